// Text forms of the screen and the field lists.
#include "tools/uScreenText.h"

#include "stream/uGraphicEscape.h"

#include <array>
#include <cstdio>

namespace {

constexpr std::uint8_t kNonDisplay = 0x0C;  // display bits of a 3270 field attribute: non-display

// Windows-1252 0x80-0x9F as Unicode; 0 for the five codes it leaves unused.
constexpr std::array<std::uint16_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98
};

bool IsControl(std::uint8_t c)
{
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c < 0xA0 && kCp1252High[c - 0x80] == 0);
}

void AppendCodePoint(std::string& out, std::uint32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
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
std::uint8_t Shown(const TOrvTn3270display& screen, std::int32_t i)
{
    const std::uint8_t c = screen.Chars[static_cast<std::size_t>(i)];
    if (c == TOrvTndisplay::kNull || c == TOrvTndisplay::kFieldMarker || IsControl(c))
        return ' ';
    // On an unformatted screen every position's attribute is 0: displayed.
    if ((screen.getFA(i) & kNonDisplay) == kNonDisplay)
        return ' ';
    return c;
}

}  // namespace

void AppendLocalAsUtf8(std::string& out, std::uint8_t c)
{
    if (IsControl(c))
        out.push_back(' ');
    else if (c >= 0x80 && c < 0xA0)
        AppendCodePoint(out, kCp1252High[c - 0x80]);
    else
        AppendCodePoint(out, c);
}

std::vector<std::string> RenderScreenRows(const TOrvTn3270display& screen)
{
    std::vector<std::string> rows;
    if (screen.Cols <= 0)
        return rows;
    rows.reserve(static_cast<std::size_t>(screen.Rows));
    for (std::int32_t r = 0; r < screen.Rows; ++r) {
        std::string row;
        row.reserve(static_cast<std::size_t>(screen.Cols));
        for (std::int32_t c = 0; c < screen.Cols; ++c) {
            const std::int32_t i = r * screen.Cols + c;
            const std::uint8_t shown = i < screen.Size ? Shown(screen, i) : ' ';
            // A graphic escape is drawn as the true box-drawing character.
            const std::uint32_t line = shown != ' ' ? GeUnicode(screen.GeCodes[static_cast<std::size_t>(i)]) : 0;
            if (line != 0)
                AppendCodePoint(row, line);
            else
                AppendLocalAsUtf8(row, shown);
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string RenderCursor(const TOrvTn3270display& screen)
{
    const std::int32_t cols = screen.Cols > 0 ? screen.Cols : 1;
    const std::int32_t p = screen.inRange(screen.CursorPosition) ? screen.CursorPosition : 0;
    return "cursor " + std::to_string(p / cols + 1) + " " + std::to_string(p % cols + 1);
}

std::string ScreenLocalText(const TOrvTn3270display& screen)
{
    std::string text;
    text.reserve(static_cast<std::size_t>(screen.Size));
    for (std::int32_t i = 0; i < screen.Size; ++i)
        text.push_back(static_cast<char>(Shown(screen, i)));
    return text;
}

std::string QuoteText(std::string_view local)
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
            AppendLocalAsUtf8(out, c);
        }
    }
    out.push_back('"');
    return out;
}

std::vector<std::string> RenderFields(const TDSFields& hostFields, const TDSFields& unprotectedFields,
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
        std::string quoted = QuoteText(hidden ? std::string(item->Data.size(), ' ') : item->Data);
        if (screen != nullptr && !hidden) {
            // The record's characters that are graphic escapes on the screen
            // are drawn as box-drawing characters: QuoteText again, piecewise.
            // (assign(1, '"'), not = "\"": GCC 12 at -O3 reports a false
            // -Wrestrict on assigning a literal over the string built above)
            quoted.assign(1, '"');
            for (std::size_t k = 0; k < item->Data.size(); ++k) {
                const std::int32_t p = item->GetPos() - 1 + static_cast<std::int32_t>(k);
                const auto c = static_cast<std::uint8_t>(item->Data[k]);
                const std::uint32_t line =
                    p >= 0 && p < screen->Size && screen->Chars[static_cast<std::size_t>(p)] == c
                        ? GeUnicode(screen->GeCodes[static_cast<std::size_t>(p)])
                        : 0;
                if (line != 0) {
                    AppendCodePoint(quoted, line);
                } else {
                    const std::string one = QuoteText(std::string_view(item->Data).substr(k, 1));
                    quoted += one.substr(1, one.size() - 2);
                }
            }
            quoted += "\"";
        }
        line += quoted;
        lines.push_back(std::move(line));
    }
    return lines;
}

std::string FieldTextUtf8(const TDSField& item, const TOrvTn3270display* screen)
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
            AppendLocalAsUtf8(out, c);
    }
    return out;
}

std::optional<std::string> Utf8ToLocal(std::string_view utf8, std::string& error)
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
