// Invariants the fuzz targets (and the regression tests that replay their
// findings) check after every step. Each check returns "" when everything
// holds, otherwise a one-line description of the first broken invariant.
#pragma once

#include "display/uOrvTn3270display.h"
#include "fields/uDSFields.h"
#include "stream/uOrvTn3270stream.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tnfuzz {

using Bytes = std::vector<std::uint8_t>;

// The screen buffer after any record: cursor inside the screen, nothing
// written beyond Size, Formatted exactly when a field attribute marker is
// present, and every position carrying the attribute byte of the field it
// belongs to (the byte of the marker before it, wrapping), or no field bits
// at all on an unformatted screen.
std::string CheckScreen(const TOrvTn3270display& screen);

// The stream between records: input buffer empty, status one of the texts
// the stream sets, session state a valid value.
std::string CheckStreamState(const TOrvTn3270stream& stream);

// Lists built by GenHostFields from screen: records in screen order, each
// inside one row of the screen, not covering a field attribute, with the
// screen's text (nulls as blanks; editable records may lose trailing blanks
// and control codes), and the unprotected list exactly the editable records
// of the host list, in order, as the same objects.
std::string CheckHostFields(const TOrvTn3270display& screen, const TDSFields& host, const TDSFields& unprotected);

// Lists in any state the component may leave them (after a text record as
// well as after a screen): the unprotected list borrows editable records of
// the host list, in the host list's order, and no record holds more text
// than its length.
std::string CheckListShape(const TDSFields& host, const TDSFields& unprotected);

// One block the stream handed to OnWriteData (TN3270E header included when
// extended): for a Read Buffer reply the exact size, for a Read Modified
// reply an upper bound and the SBA structure (one SBA per modified field,
// at the position after its field attribute, in screen order), and in
// extended mode a header the stream may send.
enum class TReplyKind { Any, ReadBuffer, ReadModified };
std::string CheckReply(const TOrvTn3270stream& stream, const Bytes& block, TReplyKind kind);

// The bytes a telnet client sent, concatenated: every IAC starts a complete
// command (IAC IAC, IAC EOR, IAC verb option, IAC SB ... IAC SE, or one of
// the two-byte commands the client sends), so data 0xFF bytes are doubled.
std::string CheckTelnetOutput(const Bytes& sent);

}  // namespace tnfuzz
