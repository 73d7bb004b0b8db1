// Publishing the screen as host field records: the field extraction that
// follows every screen change, and the display of a host text record as
// field lines. Free functions over the screen buffer and the component's two
// lists, so the component calls them and tests drive them without a session.
//
// Both functions rebuild hostFields (whose record set gets the records) and
// unprotectedFields (which refers to the editable ones): the records of
// hostFields' set are freed first (FreeFields), with unprotectedFields
// emptied before, whether or not the two lists share one set.
// Neither takes a lock: the caller keeps the screen and the lists away from
// other threads for the duration of the call.
#pragma once

#include "display/uOrvTn3270display.h"
#include "fields/u3270Fields.h"

#include <cstdint>
#include <string>

// The default screen: 1920 positions, 80 to a row. The extraction walks the
// size in use (Size positions, Cols to a row), whatever it is.
inline constexpr std::int32_t kHostFieldScreenSize = 1920;
inline constexpr std::int32_t kHostFieldColumns = 80;
// Bytes of the TN3270E header in front of a text record in extended mode.
inline constexpr std::int32_t kTextRecordHeaderSize = 5;

// Cuts the screen into records and fills both lists.
//
// One T3270Field per run of positions on one row that shares a field and an
// extended attribute: a field attribute ends the open record and starts one
// after it; a change of extended attribute starts one at the change; a field
// that runs over the end of a row continues as a new record on the next row.
// Each record has Columns (the screen's Cols), Pos (1-based, through
// SetPos, so Row and Col count in the screen's columns), Len, Data (nulls shown as
// blanks; trailing characters up to 0x20 removed for editable records, Len
// unchanged), Attr (getFA of the field, its modified data tag included; the
// text does not mark it modified) and Eab (extended attribute of its first
// position). Empty runs give no record. hostFields gets every record in
// screen order, unprotectedFields the editable ones in the same order; both
// CursorPos := screen.CursorPosition + 1.
// With logging at level 5 each record is logged with FormatHostFieldLog.
// Allocates only the records and the texts longer than a short string;
// the lists keep their capacity between calls. Reports no errors (std::bad_alloc
// aside, after which both lists are still consistent).
void GenHostFields(const TOrvTn3270display& screen, TDSFields& hostFields, TDSFields& unprotectedFields);

// "Col:%.2d - Row:%.2d - Len:%.2d - Pos:%.4d - Attr:$%.2X - Eab:$%.2X - Data:%s"
// for the record (decimal values zero-padded, bytes as upper-case hex); the
// Data of a non-display field is one '*' per character unless UnmaskedDumps.
std::string FormatHostFieldLog(const TDSField& field);

// Shows a host text record (NVT data, or a record before binary mode) as
// field lines. data/len is the whole record as received (data may be null
// only when len <= 0). With extended, the first 5 bytes are a TN3270E header
// and are skipped whether or not the session agreed to TN3270E. The text is
// what remains less the record's last two bytes.
//   - len == 0: nothing happens; returns false (nothing to announce).
//   - empty text: the lists stay as they were; returns true.
//   - otherwise: both lists are emptied, and for each line (cut at CR LF; a
//     final CR LF gives no empty line after it) hostFields gets a protected
//     T3270Field (Attr 0x20, not modified) at Row n, Col 1, with the line as
//     Data and its length as Len (a line longer than 32767 characters, more
//     than Len counts, goes on in the next records, each a line of its own);
//     hostFields.CursorPos := 80 * (lines + 1);
//     unprotectedFields stays empty and keeps its CursorPos; returns true.
// True means the caller raises ceScreenChanged. Reads nothing outside data.
bool ShowTextRecord(const std::uint8_t* data, std::int32_t len, bool extended, TDSFields& hostFields,
                    TDSFields& unprotectedFields);
// Whether ShowTextRecord replaces the lists for this record (its text is
// not empty).
bool TextRecordHasText(const std::uint8_t* data, std::int32_t len, bool extended);
