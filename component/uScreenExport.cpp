// The screen as text, cells and HTML; local text to and from UTF-8.
#include "component/uScreenExport.h"

#include "stream/uGraphicEscape.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

// 3270 field attribute byte (getFA) and extended attribute byte.
constexpr std::uint8_t kFaDisplayBits = 0x0C;
constexpr std::uint8_t kFaIntensified = 0x08;
constexpr std::uint8_t kFaNonDisplay = 0x0C;
constexpr std::uint8_t kFaProtected = 0x20;
constexpr std::uint8_t kFaNumeric = 0x10;
constexpr std::uint8_t kEabReverse = 0x80, kEabBlink = 0x40, kEabUnderscore = 0x04;
constexpr std::uint8_t kEabHighlight = kEabReverse | kEabBlink | kEabUnderscore;
constexpr std::uint8_t kEabColour = 0x38;
constexpr int kEabColourShift = 3;

// Windows-1252 0x80-0x9F as Unicode; 0 for the five codes it leaves unused.
constexpr std::array<std::uint16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98
};

// CSS of the 3270 colours, by T3270Color (Default shows as green, the
// colour of an ordinary unprotected field on a 3279).
constexpr std::array<const char*, 8> kColourNames = {"default", "blue", "red", "pink",
                                                     "green", "turquoise", "yellow", "white"};
constexpr std::array<const char*, 8> kColourCss = {"#30d030", "#6080ff", "#ff3030", "#ff40ff",
                                                   "#30d030", "#40e0e0", "#ffff40", "#ffffff"};
constexpr char kBackgroundCss[] = "#000000";

bool IsControl(std::uint8_t c)
{
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0 && kCp1252High[c - 0x80] == 0);
}

void AppendCodePoint(std::string& out, std::uint32_t cp)
{
    TScreenExport::AppendCodePoint(out, static_cast<char32_t>(cp));
}

std::uint32_t LocalCodePoint(std::uint8_t c)
{
    if (IsControl(c))
        return U' ';
    if (c >= 0x80 && c < 0xA0)
        return kCp1252High[c - 0x80];
    return c;
}

// The Windows-1252 code of a Unicode character; nothing when it has none.
std::optional<std::uint8_t> LocalOf(std::uint32_t cp)
{
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF))
        return static_cast<std::uint8_t>(cp);
    for (std::size_t i = 0; i < kCp1252High.size(); ++i)
        if (kCp1252High[i] != 0 && kCp1252High[i] == cp)
            return static_cast<std::uint8_t>(0x80 + i);
    return std::nullopt;
}

// The local character shown at a position.
// The 3270 DUP and FIELD MARK (EBCDIC X'1C', X'1E', the same controls in
// the local set of every built-in page) show as a display shows them, an
// overscored '*' and ';', typed by the operator or written by the host;
// other controls show as blanks.
constexpr std::uint8_t kLocalDup = 0x1C, kLocalFieldMark = 0x1E;

std::uint8_t Shown(const TOrvTn3270display& screen, std::int32_t i)
{
    const std::uint8_t c = screen.Chars[static_cast<std::size_t>(i)];
    const bool orderMark = c == kLocalDup || c == kLocalFieldMark;
    if (c == TOrvTndisplay::kNull || c == TOrvTndisplay::kFieldMarker || (IsControl(c) && !orderMark))
        return ' ';
    // On an unformatted screen every position's attribute is 0: displayed.
    if ((screen.getFA(i) & kFaNonDisplay) == kFaNonDisplay)
        return ' ';
    if (orderMark)
        return c == kLocalDup ? '*' : ';';
    return c;
}

// The character a position shows: a graphic escape as its box-drawing
// character, else the local character.
std::uint32_t ShownCodePoint(const TOrvTn3270display& screen, std::int32_t i)
{
    const std::uint8_t shown = Shown(screen, i);
    const std::uint32_t line = shown != ' ' ? GeUnicode(screen.GeCodes[static_cast<std::size_t>(i)]) : 0;
    return line != 0 ? line : LocalCodePoint(shown);
}

void AppendEscaped(std::string& out, std::uint32_t cp)
{
    switch (cp) {
    case U'<': out += "&lt;"; break;
    case U'>': out += "&gt;"; break;
    case U'&': out += "&amp;"; break;
    default: AppendCodePoint(out, cp); break;
    }
}

void AppendEscaped(std::string& out, std::string_view utf8)
{
    for (const char ch : utf8) {
        if (ch == '<' || ch == '>' || ch == '&')
            AppendEscaped(out, static_cast<std::uint32_t>(ch));
        else
            out.push_back(ch);  // UTF-8 bytes as they are
    }
}

std::string HtmlClasses(const TScreenCell& c, bool cursor)
{
    std::string out = kColourNames[static_cast<std::size_t>(c.Color)];
    if (c.Intensified)
        out += " intensified";
    if (c.Reverse)
        out += " reverse";
    if (c.Underscore)
        out += " underscore";
    if (c.Blink)
        out += " blink";
    if (cursor)
        out += " cursor";
    return out;
}

} // namespace

// ------------------------------------------------------------ characters

void TScreenExport::AppendUtf8(std::string& out, std::uint8_t local)
{
    AppendCodePoint(out, LocalCodePoint(local));
}

std::string TScreenExport::ToUtf8(std::string_view local)
{
    std::string out;
    out.reserve(local.size());
    for (const char ch : local)
        AppendUtf8(out, static_cast<std::uint8_t>(ch));
    return out;
}

std::optional<std::string> TScreenExport::ToLocal(std::string_view utf8, std::string& error)
{
    std::string local;
    local.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<std::uint8_t>(utf8[i]);
        if (c < 0x80) {
            local.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        // Lead byte: how many continuation bytes, and the smallest code point
        // that needs this length (shorter forms are overlong and invalid).
        int more = 0;
        std::uint32_t cp = 0, least = 0;
        if ((c & 0xE0) == 0xC0) {
            more = 1, cp = c & 0x1F, least = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            more = 2, cp = c & 0x0F, least = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            more = 3, cp = c & 0x07, least = 0x10000;
        } else {
            error = "text is not valid UTF-8";
            return std::nullopt;
        }
        if (utf8.size() - i <= static_cast<std::size_t>(more)) {
            error = "text is not valid UTF-8";
            return std::nullopt;
        }
        for (int k = 1; k <= more; ++k) {
            const auto cc = static_cast<std::uint8_t>(utf8[i + static_cast<std::size_t>(k)]);
            if ((cc & 0xC0) != 0x80) {
                error = "text is not valid UTF-8";
                return std::nullopt;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            error = "text is not valid UTF-8";
            return std::nullopt;
        }
        const auto c1252 = LocalOf(cp);
        if (!c1252) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "character U+%04X cannot be shown on a 3270", static_cast<unsigned>(cp));
            error = buf;
            return std::nullopt;
        }
        local.push_back(static_cast<char>(*c1252));
        i += static_cast<std::size_t>(more) + 1;
    }
    return local;
}

std::string TScreenExport::Quote(std::string_view local)
{
    std::string out = "\"";
    for (const char ch : local) {
        const auto c = static_cast<std::uint8_t>(ch);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(ch);
        } else if (IsControl(c)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            AppendUtf8(out, c);
        }
    }
    out.push_back('"');
    return out;
}

// ------------------------------------------------------------ text

std::vector<std::string> TScreenExport::Rows(const TOrvTn3270display& screen)
{
    return Region(screen, 0, 0, screen.Rows, screen.Cols);
}

std::string TScreenExport::LocalText(const TOrvTn3270display& screen)
{
    std::string text;
    text.reserve(static_cast<std::size_t>(screen.Size));
    for (std::int32_t i = 0; i < screen.Size; ++i)
        text.push_back(static_cast<char>(Shown(screen, i)));
    return text;
}

std::string TScreenExport::Text(const TOrvTn3270display& screen, std::int32_t row, std::int32_t col,
                                std::int32_t length)
{
    std::string out;
    if (row < 0 || col < 0 || row >= screen.Rows || col >= screen.Cols || length <= 0)
        return out;
    const std::int64_t start = static_cast<std::int64_t>(row) * screen.Cols + col;
    const std::int64_t end = std::min<std::int64_t>(start + length, screen.Size);
    for (std::int64_t i = start; i < end; ++i)
        AppendCodePoint(out, ShownCodePoint(screen, static_cast<std::int32_t>(i)));
    return out;
}

std::vector<std::string> TScreenExport::Region(const TOrvTn3270display& screen, std::int32_t row, std::int32_t col,
                                               std::int32_t rows, std::int32_t cols)
{
    std::vector<std::string> out;
    if (row < 0 || col < 0 || row >= screen.Rows || col >= screen.Cols || rows <= 0 || cols <= 0)
        return out;
    const auto lastRow = static_cast<std::int32_t>(std::min<std::int64_t>(static_cast<std::int64_t>(row) + rows, screen.Rows));
    const std::int32_t width = static_cast<std::int32_t>(std::min<std::int64_t>(cols, screen.Cols - col));
    out.reserve(static_cast<std::size_t>(lastRow - row));
    for (std::int32_t r = row; r < lastRow; ++r) {
        std::string line;
        line.reserve(static_cast<std::size_t>(width));
        for (std::int32_t c = col; c < col + width; ++c) {
            const std::int32_t i = r * screen.Cols + c;
            AppendCodePoint(line, i < screen.Size ? ShownCodePoint(screen, i) : U' ');
        }
        out.push_back(std::move(line));
    }
    return out;
}

std::vector<TScreenCell> TScreenExport::Cells(const TOrvTn3270display& screen)
{
    std::vector<TScreenCell> cells(static_cast<std::size_t>(std::max(screen.Size, 0)));
    // The field attribute in force at position 0 is the screen's last one
    // (fields wrap); from there on each one starts its field.
    std::int32_t fa = screen.Formatted ? screen.findPrevFA(screen.Size - 1) : -1;
    for (std::int32_t i = 0; i < screen.Size; ++i) {
        const auto u = static_cast<std::size_t>(i);
        TScreenCell& cell = cells[u];
        const bool marker = screen.Formatted && screen.Chars[u] == TOrvTndisplay::kFieldMarker;
        if (marker)
            fa = i;
        cell.Ch = ShownCodePoint(screen, i);
        cell.Local = screen.Chars[u];
        cell.FieldAttribute = marker;
        cell.Field = fa;
        const std::uint8_t attr = screen.Formatted ? screen.getFA(i) : 0;
        const std::uint8_t own = screen.ExtAttrs[u];
        const std::uint8_t field = fa >= 0 ? screen.ExtAttrs[static_cast<std::size_t>(fa)] : 0;
        const std::uint8_t colour = (own & kEabColour) != 0 ? (own & kEabColour) : (field & kEabColour);
        const std::uint8_t light = (own & kEabHighlight) != 0 ? (own & kEabHighlight) : (field & kEabHighlight);
        const bool bright = (attr & kFaDisplayBits) == kFaIntensified;
        cell.Protected = screen.Formatted && (attr & kFaProtected) != 0;
        cell.Numeric = screen.Formatted && (attr & kFaNumeric) != 0;
        cell.Hidden = screen.Formatted && (attr & kFaDisplayBits) == kFaNonDisplay;
        if (colour != 0)
            cell.Color = static_cast<T3270Color>(colour >> kEabColourShift);
        else if (screen.Formatted)
            cell.Color = cell.Protected ? (bright ? T3270Color::White : T3270Color::Blue)
                                        : (bright ? T3270Color::Red : T3270Color::Green);
        // A hidden field shows nothing, not even its highlighting (a
        // reversed password field would show its length only).
        cell.Intensified = bright && !(cell.Hidden && !marker);
        cell.Reverse = (light & kEabReverse) != 0;
        cell.Underscore = (light & kEabUnderscore) != 0;
        cell.Blink = (light & kEabBlink) != 0;
    }
    return cells;
}

// ------------------------------------------------------------ HTML

std::string TScreenExport::Html(const TOrvTn3270display& screen, std::string_view statusLine)
{
    std::string out;
    out.reserve(static_cast<std::size_t>(screen.Size) * 4 + 2048);
    out += "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>3270 screen</title>\n<style>\n";
    out += std::string("body{background:") + kBackgroundCss + ";color:" + kColourCss[0] + "}\n";
    out += "pre{font-family:monospace;line-height:1.2;margin:0}\n";
    for (std::size_t k = 0; k < kColourNames.size(); ++k) {
        out += std::string("span.") + kColourNames[k] + "{color:" + kColourCss[k] + "}\n";
        out += std::string("span.") + kColourNames[k] + ".reverse{color:" + kBackgroundCss +
               ";background:" + kColourCss[k] + "}\n";
    }
    out += "span.intensified{font-weight:bold}\nspan.underscore{text-decoration:underline}\n"
           "span.cursor{outline:1px solid #ffffff}\np.status{font-family:monospace;color:#c0c0c0}\n";
    out += "</style></head><body>\n<pre>";
    const std::vector<TScreenCell> cells = Cells(screen);
    const std::int32_t cursor = screen.inRange(screen.CursorPosition) ? screen.CursorPosition : 0;
    for (std::int32_t r = 0; r < screen.Rows; ++r) {
        if (r > 0)
            out.push_back('\n');
        // One span per run of cells that look the same; the cursor's cell
        // is a run of its own.
        std::string open;
        for (std::int32_t c = 0; c < screen.Cols; ++c) {
            const std::int32_t i = r * screen.Cols + c;
            if (i >= screen.Size) {
                if (!open.empty())
                    out += "</span>";
                open.clear();
                out.push_back(' ');
                continue;
            }
            const TScreenCell& cell = cells[static_cast<std::size_t>(i)];
            const bool isCursor = i == cursor;
            const std::string classes = HtmlClasses(cell, isCursor);
            if (classes != open || isCursor || (i > 0 && i - 1 == cursor)) {
                if (!open.empty())
                    out += "</span>";
                out += "<span class=\"" + classes + "\">";
                open = classes;
            }
            AppendEscaped(out, cell.Ch);
        }
        if (!open.empty())
            out += "</span>";
    }
    out += "</pre>\n";
    if (!statusLine.empty()) {
        out += "<p class=\"status\">";
        AppendEscaped(out, statusLine);
        out += "</p>\n";
    }
    out += "</body></html>\n";
    return out;
}

// ------------------------------------------------------------ fields

std::string TScreenExport::FieldText(const TDSField& item, const TOrvTn3270display* screen)
{
    const T3270Field* f = As3270Field(&item);
    const bool hidden = f != nullptr && !f->GetVisible();
    std::string out;
    out.reserve(item.Data.size());
    for (std::size_t k = 0; k < item.Data.size(); ++k) {
        const auto c = static_cast<std::uint8_t>(item.Data[k]);
        if (hidden) {
            out.push_back(' ');
            continue;
        }
        // The record holds '-', '|', '+' for a line the screen draws: the
        // screen's own character at that position tells which it is.
        const std::int32_t p = item.GetPos() - 1 + static_cast<std::int32_t>(k);
        const std::uint32_t line = screen != nullptr && p >= 0 && p < screen->Size &&
                                           screen->Chars[static_cast<std::size_t>(p)] == c
                                       ? GeUnicode(screen->GeCodes[static_cast<std::size_t>(p)])
                                       : 0;
        if (line != 0)
            AppendCodePoint(out, line);
        else
            AppendUtf8(out, c);
    }
    return out;
}

std::vector<std::string> TScreenExport::FieldLines(const TDSFields& hostFields, const TDSFields& unprotectedFields,
                                                   const TOrvTn3270display* screen)
{
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(hostFields.Count()));
    for (std::int32_t i = 0; i < hostFields.Count(); ++i) {
        const TDSField* item = hostFields.Items(i);
        if (item == nullptr)
            continue;
        const T3270Field* f = As3270Field(item);
        const bool editable = f ? f->GetEditable() : (item->Attr & T3270Field::kAttrProtected) == 0;
        const bool numeric = f ? f->GetNumeric() : false;
        const bool hidden = f ? !f->GetVisible() : false;
        const bool high = f ? f->GetHigh() : false;
        const bool modified = f ? f->GetModified() : false;
        const std::int32_t input = unprotectedFields.IndexOf(item);
        char head[160];
        std::snprintf(head, sizeof head,
                      "%s pos=%d len=%d attr=%02X eab=%02X editable=%d numeric=%d hidden=%d high=%d modified=%d input=",
                      item->GetName().c_str(), static_cast<int>(item->GetPos()), static_cast<int>(item->Len),
                      item->Attr, item->Eab, editable, numeric, hidden, high, modified);
        std::string line = head;
        line += input >= 0 ? std::to_string(input) : std::string("-");
        line += " text=";
        std::string quoted;
        if (screen != nullptr && !hidden) {
            // Graphic escapes of the screen as box-drawing characters; the
            // rest quoted as Quote does.
            quoted.assign(1, '"');
            for (std::size_t k = 0; k < item->Data.size(); ++k) {
                const std::int32_t p = item->GetPos() - 1 + static_cast<std::int32_t>(k);
                const auto c = static_cast<std::uint8_t>(item->Data[k]);
                const std::uint32_t drawn =
                    p >= 0 && p < screen->Size && screen->Chars[static_cast<std::size_t>(p)] == c
                        ? GeUnicode(screen->GeCodes[static_cast<std::size_t>(p)])
                        : 0;
                if (drawn != 0) {
                    AppendCodePoint(quoted, drawn);
                } else {
                    const std::string one = Quote(std::string_view(item->Data).substr(k, 1));
                    quoted.append(one, 1, one.size() - 2);
                }
            }
            quoted.push_back('"');
        } else {
            quoted = Quote(hidden ? std::string(item->Data.size(), ' ') : item->Data);
        }
        line += quoted;
        lines.push_back(std::move(line));
    }
    return lines;
}

void TScreenExport::AppendCodePoint(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}
