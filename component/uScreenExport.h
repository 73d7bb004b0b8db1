// The screen as a reader outside the library wants it: rows of text
// (UTF-8), a region, the cells with their attributes, the field lines, and
// a self-contained HTML page; and the conversions between the screen's
// local single-byte character set (Windows-1252: the translation tables
// map host characters into it) and UTF-8.
//
// Static functions over a screen buffer and field lists; they take no lock.
// The caller holds the component's session lock while they read its screen
// or lists (TOperator does). Geometry always comes from the screen
// (Rows, Cols, Size): nothing here assumes 24 x 80.
#pragma once

#include "display/uOrvTn3270display.h"
#include "fields/u3270Fields.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The 3270 colours (extended attribute colour code 1 to 7); Default: none
// given, the display's own.
enum class T3270Color : std::uint8_t { Default, Blue, Red, Pink, Green, Turquoise, Yellow, White };

// One screen position as an operator sees it.
struct TScreenCell {
    char32_t Ch = U' ';      // as the text rows show it (blank for nulls, attributes, hidden)
    std::uint8_t Local = 0;  // the buffer's own character (local set; 0 null, 1 field attribute)
    // The colour shown: the position's own extended colour, else its
    // field's, else the base colour of the field attribute (unprotected
    // green, unprotected intensified red, protected blue, protected
    // intensified white; unformatted: Default).
    T3270Color Color = T3270Color::Default;
    bool Intensified = false;
    bool Reverse = false, Underscore = false, Blink = false;
    bool Protected = false;
    bool Numeric = false;
    bool Hidden = false;          // non-display field
    bool FieldAttribute = false;  // this position holds a field attribute
    std::int32_t Field = -1;      // position of the field attribute in force; -1 unformatted
    bool operator==(const TScreenCell&) const = default;
};

class TScreenExport {
public:
    // One local character as UTF-8: 0x80-0x9F as their Unicode characters,
    // the controls (below 0x20, 0x7F, the five codes Windows-1252 leaves
    // unused) as a blank, so that a row has one character per position.
    static void AppendUtf8(std::string& out, std::uint8_t local);
    static std::string ToUtf8(std::string_view local);
    // One Unicode code point (below 0x110000) as UTF-8, for front ends that
    // draw what the cells hold.
    static void AppendCodePoint(std::string& out, char32_t cp);
    // UTF-8 to the local character set. Nothing when the text is not valid
    // UTF-8 ("text is not valid UTF-8") or holds a character Windows-1252
    // does not have ("character U+20AD cannot be shown on a 3270").
    static std::optional<std::string> ToLocal(std::string_view utf8, std::string& error);

    // The rows (screen.Rows strings of screen.Cols characters, UTF-8).
    // Nulls, field attributes, controls and every position of a non-display
    // field are blanks; graphic escapes are box-drawing characters.
    static std::vector<std::string> Rows(const TOrvTn3270display& screen);
    // The whole screen as one local string, row after row (screen.Size
    // characters, blanked as in Rows, no conversion): what Text waits search.
    static std::string LocalText(const TOrvTn3270display& screen);
    // length positions from (row, col), 0-based, running on over row ends
    // and cut at the screen's end; UTF-8. Empty when the start is off the
    // screen.
    static std::string Text(const TOrvTn3270display& screen, std::int32_t row, std::int32_t col, std::int32_t length);
    // rows x cols from (row, col), 0-based, one string per row, cut at the
    // screen's edges; UTF-8.
    static std::vector<std::string> Region(const TOrvTn3270display& screen, std::int32_t row, std::int32_t col,
                                           std::int32_t rows, std::int32_t cols);
    // Every position (screen.Size cells, row after row).
    static std::vector<TScreenCell> Cells(const TOrvTn3270display& screen);

    // A self-contained HTML page (UTF-8, inline styles): exactly one <pre>
    // whose text, with its tags taken away and the entities &lt; &gt; &amp;
    // read back, is Rows() joined by "\n" (no newline after the last row);
    // the markup adds no character inside it. Colours, intensify, reverse,
    // underscore and the cursor position are spans. statusLine, when not
    // empty, stands in a <p> after the <pre>.
    static std::string Html(const TOrvTn3270display& screen, std::string_view statusLine = {});

    // A local text between double quotes: '"' and '\' escaped with '\',
    // controls as \xHH, the rest as UTF-8.
    static std::string Quote(std::string_view local);
    // The text of one record as UTF-8, as the screen shows it (non-display
    // as blanks; with the screen, its graphic escapes as box-drawing).
    static std::string FieldText(const TDSField& item, const TOrvTn3270display* screen = nullptr);
    // One line per record of hostFields:
    //   R10C28 pos=748 len=8 attr=C8 eab=24 editable=1 numeric=0 hidden=0 high=1 modified=0 input=0 text="DEMO"
    // input: the record's index in unprotectedFields, or '-'.
    static std::vector<std::string> FieldLines(const TDSFields& hostFields, const TDSFields& unprotectedFields,
                                               const TOrvTn3270display* screen = nullptr);
};
