// The host screens the benchmarks feed, built with the host simulator's own
// 3270 encoder (never with the client's code), and the framing a host puts
// around them on the wire.
#pragma once

#include "sim/uSim3270Codes.h"

#include <cstdint>

namespace tnbench {

using tnsim::Bytes;

// A formatted 24x80 application screen as hosts send them: a title line,
// a form of labelled input fields, a table of protected data lines with
// colour changes inside them, a message line, a command line and the PF key
// legend. About 20 fields, mixed protected and unprotected, some with
// extended colour and highlighting. The 3270 part only (Erase/Write first).
Bytes RealisticScreen();

// The realistic screen's wide counterpart, for a model 5 (27x132) after
// Erase/Write Alternate: the same application laid out as wide panels are
// (command and scroll fields on top, the form in two columns, a wider table
// of longer lines, totals, message and PF key lines), with the realistic
// screen's density: as many fields, unprotected fields and bytes per screen
// position.
Bytes RealisticWideScreen();
inline constexpr int kWideRows = 27;
inline constexpr int kWideCols = 132;

// A busy screen for field extraction: all 24 rows carry label/input pairs,
// many with extended attributes and attribute changes inside fields.
Bytes BusyScreen();

// Erase/Write followed by 1920 characters of text: every position painted.
Bytes FullScreenText();

// A form with exactly `count` unprotected fields whose modified data tag
// the host sets (so that a Read Modified returns all of them), each holding
// a few characters, and protected labels before them.
Bytes ModifiedFormScreen(int count);

// What a host sends for one 3270-DATA record in TN3270E mode: the 5-byte
// header (3270-DATA, no response, the sequence number), the record with IAC
// doubled, then IAC EOR.
Bytes FrameTn3270E(const Bytes& record3270, std::uint16_t seq = 0);

// The same record framed for a plain TN3270 session (no header).
Bytes FramePlain(const Bytes& record3270);

}  // namespace tnbench
