// The text forms of a 3270 session the tn3270 program prints: the screen
// as rows of characters, the field lists as one line per record, and the
// conversions between the screen's local single-byte character set
// (Windows-1252: the translation tables map host characters into it) and
// the UTF-8 of the terminal or pipe on the other side. The program speaks
// UTF-8 whatever the locale says: pipes and scripts often run under the C
// locale and still want UTF-8.
//
// Pure functions over a screen buffer and field lists; they take no lock.
// The caller holds the component's session lock while they read its screen
// or lists (TOrvTelnet::Lock()).
#pragma once

#include "display/uOrvTn3270display.h"
#include "fields/u3270Fields.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One local (Windows-1252) character as UTF-8: the euro sign, quotes and
// dashes of 0x80-0x9F as their Unicode characters, and the controls (below
// 0x20, 0x7F, the five codes Windows-1252 leaves unused) as a blank, so
// that a row always has one printable character per position.
void AppendLocalAsUtf8(std::string& out, std::uint8_t c);

// The rows of the screen (screen.Rows strings, each screen.Cols characters,
// UTF-8 encoded). Nulls, field attribute positions, controls and every
// position of a non-display field are blanks.
std::vector<std::string> RenderScreenRows(const TOrvTn3270display& screen);

// "cursor ROW COL", 1-based.
std::string RenderCursor(const TOrvTn3270display& screen);

// The whole screen as one local string, row after row (screen.Size
// characters, with the blanking of RenderScreenRows but no conversion):
// what `wait text` searches.
std::string ScreenLocalText(const TOrvTn3270display& screen);

// A local text between double quotes, as the script's lexer reads it back:
// '"' and '\' escaped with '\', controls as \xHH, 0xA0-0xFF as UTF-8.
std::string QuoteText(std::string_view local);

// One line per record of hostFields:
//   R10C28 pos=748 len=8 attr=C8 eab=24 editable=1 numeric=0 hidden=0 high=1 modified=0 input=0 text="DEMO"
// pos is the 1-based position, attr/eab two hexadecimal digits, input the
// record's index in unprotectedFields (what `set` takes) or '-' when it is
// not there. The text of a non-display record is shown as blanks, like the
// screen shows it.
// With the screen the records were cut from, the characters that are
// graphic escapes there are shown as box-drawing characters (as the
// screen's rows show them); the records themselves hold '-', '|', '+'.
std::vector<std::string> RenderFields(const TDSFields& hostFields, const TDSFields& unprotectedFields,
                                      const TOrvTn3270display* screen = nullptr);

// The text of one record as UTF-8, as the screen shows it: every character
// of a non-display record and every control as a blank and, with the
// screen the record was cut from, its graphic escapes as box-drawing
// characters.
std::string FieldTextUtf8(const TDSField& item, const TOrvTn3270display* screen = nullptr);

// UTF-8 to the local character set (Windows-1252). Nothing when the text
// is not valid UTF-8 or holds a character Windows-1252 does not have;
// `error` then says why.
std::optional<std::string> Utf8ToLocal(std::string_view utf8, std::string& error);
