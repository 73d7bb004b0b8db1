// The actions of the s3270 protocol: the table and the handlers. Each
// handler translates its arguments into TOperator calls (through the
// session for what the session keeps) and answers in s3270's words.
#include "tools/uS3270Actions.h"

#include "tools/uS3270Parser.h"
#include "tools/uS3270Session.h"

#include "config/uTnVersion.h"
#include "log/uOrvIntfLogg.h"
#include "component/uCodePageNames.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <thread>

namespace {

using TArgs = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// Source files may source others up to this depth (a file that sources
// itself ends here instead of exhausting the stack).
constexpr int kMaxSourceDepth = 8;
// Wait(Seconds) without a time-out waits one second.
constexpr double kDefaultWaitSeconds = 1.0;
// Expect without a time-out gives up after this long.
constexpr double kDefaultExpectSeconds = 30.0;

std::string Lower(std::string_view s)
{
    std::string l(s);
    std::transform(l.begin(), l.end(), l.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return l;
}

bool Is(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Hex2(std::uint8_t b)
{
    char t[3];
    std::snprintf(t, sizeof t, "%02x", b);
    return t;
}

// Seconds as a script gives them, at most kS3270Forever (a larger number
// would overflow the conversion).
std::chrono::milliseconds Millis(double seconds)
{
    const double ms = std::clamp(seconds * 1000.0 + 0.5, 0.0, static_cast<double>(kS3270Forever.count()));
    return std::chrono::milliseconds(static_cast<std::int64_t>(ms));
}

// A refused edit locks the keyboard as a terminal does; the rest is ignored
// (s3270 answers ok for a key on a session that is not connected).
void Edited(TS3270Session& s, const TOperatorError& e, TS3270Reply& r)
{
    switch (e.Fault) {
    case TOperatorFault::Protected:
    case TOperatorFault::Numeric:
    case TOperatorFault::FieldFull:
    case TOperatorFault::FieldStart:
        s.OperatorError(r);
        break;
    default:
        break;
    }
}

// Runs an editing or cursor key unless the keyboard is locked by an
// operator error (then it is swallowed, as the terminal swallows it).
template <class F>
void Key(TS3270Session& s, TS3270Reply& r, F&& key)
{
    if (s.OperatorLocked() || !s.Op().IsConnected())
        return;
    Edited(s, key(s.Op()), r);
}

bool NoArgs(std::string_view name, const TArgs& a, TS3270Reply& r)
{
    if (a.empty())
        return true;
    r.Fail(std::string(name) + "() takes 0 arguments");
    return false;
}

// ---- screen reading: Ascii, Ebcdic and their 1-origin forms

enum class TReadAs { Ascii, Ebcdic };

std::string Cell(const TS3270Screen& sc, std::int32_t pos, TReadAs as)
{
    if (as == TReadAs::Ascii)
        return sc.text[static_cast<std::size_t>(pos)];
    return Hex2(sc.ebcdic[static_cast<std::size_t>(pos)]);
}

void AppendCell(std::string& line, const TS3270Screen& sc, std::int32_t pos, TReadAs as)
{
    if (as == TReadAs::Ebcdic && !line.empty())
        line += ' ';
    line += Cell(sc, pos, as);
}

// length positions from offset, a data line per screen row touched.
void ReadRun(const TS3270Screen& sc, std::int32_t offset, std::int32_t length, TReadAs as, TS3270Reply& r)
{
    std::string line;
    for (std::int32_t i = 0; i < length; ++i) {
        const std::int32_t pos = offset + i;
        if (i > 0 && pos % sc.cols == 0) {
            r.data.push_back(std::move(line));
            line.clear();
        }
        AppendCell(line, sc, pos, as);
    }
    r.data.push_back(std::move(line));
}

void ReadScreenText(TS3270Session& s, const TS3270Screen& sc, std::string_view name, int origin, TReadAs as,
                    const TArgs& a, TS3270Reply& r)
{
    (void)s;
    const std::string invalid = std::string(name) + ": Invalid argument";
    std::vector<std::int64_t> n;
    for (const auto& x : a)
        n.push_back(S3270Number(x));
    const std::int32_t size = sc.rows * sc.cols;
    switch (a.size()) {
    case 0:
        for (std::int32_t row = 0; row < sc.rows; ++row)
            ReadRun(sc, row * sc.cols, sc.cols, as, r);
        return;
    case 1: {
        const TCursor c = s.Cursor();
        const std::int64_t length = n[0];
        if (length < 0 || c.Offset + length > size) {
            r.Fail(invalid);
            return;
        }
        ReadRun(sc, c.Offset, static_cast<std::int32_t>(length), as, r);
        return;
    }
    case 3:
    case 4: {
        const std::int64_t row = n[0] - origin, col = n[1] - origin;
        if (row < 0 || row >= sc.rows || col < 0 || col >= sc.cols) {
            r.Fail(invalid);
            return;
        }
        if (a.size() == 3) {
            const std::int64_t offset = row * sc.cols + col;
            if (n[2] < 0 || offset + n[2] > size) {
                r.Fail(invalid);
                return;
            }
            ReadRun(sc, static_cast<std::int32_t>(offset), static_cast<std::int32_t>(n[2]), as, r);
            return;
        }
        const std::int64_t rows = n[2], cols = n[3];
        if (rows <= 0 || cols <= 0 || row + rows > sc.rows || col + cols > sc.cols) {
            r.Fail(invalid);
            return;
        }
        for (std::int64_t i = 0; i < rows; ++i) {
            std::string line;
            for (std::int64_t j = 0; j < cols; ++j)
                AppendCell(line, sc, static_cast<std::int32_t>((row + i) * sc.cols + col + j), as);
            r.data.push_back(std::move(line));
        }
        return;
    }
    default:
        r.Fail(std::string(name) + " requires 0, 1, 3 or 4 arguments");
        return;
    }
}

template <int Origin, TReadAs As>
void ActRead(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    const char* name = As == TReadAs::Ascii ? (Origin ? "Ascii1" : "Ascii") : (Origin ? "Ebcdic1" : "Ebcdic");
    ReadScreenText(s, s.ReadScreen(), name, Origin, As, a, r);
}

template <TReadAs As>
void ActReadField(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    if (!NoArgs(As == TReadAs::Ascii ? "AsciiField" : "EbcdicField", a, r))
        return;
    const TS3270Screen sc = s.ReadScreen();
    const TCursor c = s.Op().Cursor();
    TOperatorField f;
    if (!s.Op().Field(TFieldRef::At(c.Row, c.Col), f)) {
        r.Fail("Not in a field");
        return;
    }
    std::string line;
    const std::int32_t size = sc.rows * sc.cols;
    for (std::int32_t i = 0; i < f.Length && size > 0; ++i)
        AppendCell(line, sc, (f.Start + i) % size, As);
    r.data.push_back(std::move(line));
}

// ---- ReadBuffer: every position, field attributes as SF(...) markers

// The attribute byte as s3270 shows it: the six attribute bits with the
// two high bits set; then the colour (0x42, on a 3279 only) and the
// highlighting (0x41) the field's first position shows.
std::string FieldMarker(const TS3270Screen& sc, const TOperatorField& f, bool color)
{
    std::string m = "SF(c0=" + Hex2(static_cast<std::uint8_t>(0xC0 | (f.Attr & 0x3F)));
    const TScreenCell& c = sc.cells[static_cast<std::size_t>(f.Attribute)];
    const int colour = (f.Eab >> 3) & 0x07;
    if (color && colour != 0)
        m += ",42=" + Hex2(static_cast<std::uint8_t>(0xF0 + colour));
    if (c.Reverse)
        m += ",41=f2";
    else if (c.Blink)
        m += ",41=f1";
    else if (c.Underscore)
        m += ",41=f4";
    return m + ")";
}

// s3270's codes of a colour (0x42: 00 for the field's, f1 to f7) and of
// a highlighting (0x41: f0 for the field's, f1 blink, f2 reverse, f4
// underscore) from the screen's extended attribute bits.
std::uint8_t ColourCode(std::uint8_t eab)
{
    const int colour = (eab >> 3) & 0x07;
    return colour == 0 ? 0 : static_cast<std::uint8_t>(0xF0 + colour);
}

std::uint8_t HighlightCode(std::uint8_t eab)
{
    return (eab & 0x80) != 0 ? 0xF2 : (eab & 0x40) != 0 ? 0xF1 : (eab & 0x04) != 0 ? 0xF4 : 0xF0;
}

void ReadBufferOf(const TS3270Screen& sc, TReadAs as, bool color, TS3270Reply& r)
{
    std::vector<const TOperatorField*> at(sc.cells.size(), nullptr);
    for (const auto& f : sc.fields)
        if (f.Attribute >= 0 && static_cast<std::size_t>(f.Attribute) < at.size())
            at[static_cast<std::size_t>(f.Attribute)] = &f;
    // A character's own attributes are shown as SA(...) where they change
    // from the character before (field attributes between them do not
    // count), with only the types that changed; the colour on a 3279 only.
    std::uint8_t colour = 0, highlight = 0xF0;
    for (std::int32_t row = 0; row < sc.rows; ++row) {
        std::string line;
        for (std::int32_t col = 0; col < sc.cols; ++col) {
            const std::int32_t pos = row * sc.cols + col;
            const auto p = static_cast<std::size_t>(pos);
            const TScreenCell& c = sc.cells[p];
            if (!line.empty())
                line += ' ';
            if (c.FieldAttribute) {
                if (const TOperatorField* f = at[p])
                    line += FieldMarker(sc, *f, color);
                else
                    line += "SF(c0=c0)";
                continue;
            }
            const std::uint8_t cc = ColourCode(sc.charAttrs[p]), hc = HighlightCode(sc.charAttrs[p]);
            const bool newColour = color && cc != colour, newHighlight = hc != highlight;
            if (newColour || newHighlight) {
                line += "SA(";
                if (newColour)
                    line += "42=" + Hex2(cc);
                if (newHighlight)
                    line += std::string(newColour ? "," : "") + "41=" + Hex2(hc);
                line += ") ";
                colour = cc;
                highlight = hc;
            }
            if (c.Local == 0) {
                line += "00";
            } else if (as == TReadAs::Ebcdic) {
                line += sc.ge[p] != 0 ? "GE(" + Hex2(sc.ge[p]) + ")" : Hex2(sc.ebcdic[p]);
            } else {
                // The buffer's own character, also in a non-display field;
                // a line-drawing graphic escape as its box-drawing character.
                std::string ch;
                if (sc.ge[p] != 0 && !c.Hidden)
                    AppendUtf8CodePoint(ch, c.Ch);
                else
                    TScreenExport::AppendUtf8(ch, c.Local);
                for (const unsigned char b : ch)
                    line += Hex2(b);
            }
        }
        r.data.push_back(std::move(line));
    }
}

void ActReadBuffer(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    if (a.size() > 1 || (a.size() == 1 && !Is(a[0], "ascii") && !Is(a[0], "ebcdic"))) {
        r.Fail("ReadBuffer(): Parameter must be Ascii or Ebcdic");
        return;
    }
    ReadBufferOf(s.ReadScreen(), !a.empty() && Is(a[0], "ebcdic") ? TReadAs::Ebcdic : TReadAs::Ascii,
                 s.TerminalName().find("3279") != std::string::npos, r);
}

// ---- connection

void ActConnect(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    if (a.size() != 1) {
        r.Fail("Connect() requires 1 argument");
        return;
    }
    s.Connect(a[0], r);
}

void ActReconnect(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    if (!NoArgs("Reconnect", a, r))
        return;
    if (s.LastTarget().empty()) {
        r.Fail("Reconnect(): No previous host to connect to");
        return;
    }
    const std::string target = s.LastTarget();
    s.Connect(target, r);
}

void ActDisconnect(TS3270Session& s, const TArgs&, TS3270Reply&)
{
    s.Disconnect();
}

void ActQuit(TS3270Session& s, const TArgs&, TS3270Reply&)
{
    s.RequestQuit();
}

// ---- keys

template <TTn3270AidKey K>
void ActAid(TS3270Session& s, const TArgs&, TS3270Reply& r)
{
    s.Aid(K, r);
}

void ActNumberedAid(TS3270Session& s, const TArgs& a, TS3270Reply& r, bool pf)
{
    const char* name = pf ? "PF" : "PA";
    if (a.size() != 1) {
        r.Fail(std::string(name) + "() requires 1 argument");
        return;
    }
    const std::string& t = a[0];
    const bool digits = !t.empty() && std::all_of(t.begin(), t.end(), [](unsigned char c) { return std::isdigit(c); });
    const std::int64_t n = digits ? S3270Number(t) : 0;
    if (n < 1 || n > (pf ? 24 : 3)) {
        r.Fail(std::string(name) + "(): Invalid argument '" + t + "'");
        return;
    }
    const auto key = TOperator::ParseKeyName(Lower(name) + std::to_string(n));
    s.Aid(*key, r);
}

void ActPF(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    ActNumberedAid(s, a, r, true);
}

void ActPA(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    ActNumberedAid(s, a, r, false);
}

void ActReset(TS3270Session& s, const TArgs&, TS3270Reply&)
{
    s.ResetKeyboard();
}

#define TN_KEY(NAME, CALL)                                                   \
    void Act##NAME(TS3270Session& s, const TArgs&, TS3270Reply& r)          \
    {                                                                        \
        Key(s, r, [](TOperator& op) { return op.CALL(); });                  \
    }
TN_KEY(Tab, Tab)
TN_KEY(BackTab, BackTab)
TN_KEY(Home, Home)
TN_KEY(Newline, Newline)
TN_KEY(Left, Left)
TN_KEY(Right, Right)
TN_KEY(Up, Up)
TN_KEY(Down, Down)
TN_KEY(Delete, Delete)
TN_KEY(Erase, Backspace)
TN_KEY(EraseEOF, EraseEof)
TN_KEY(EraseInput, EraseInput)
TN_KEY(DeleteField, DeleteField)
#undef TN_KEY

// DUP and FIELD MARK on a protected position lock the keyboard as typing
// does; s3270 says only the first line of typing's message then.
template <class F>
void OrderKey(TS3270Session& s, TS3270Reply& r, F&& key)
{
    if (s.OperatorLocked() || !s.Op().IsConnected())
        return;
    if (key(s.Op()).Fault == TOperatorFault::Protected)
        s.OperatorError(r, "Keyboard locked");
}

void ActDup(TS3270Session& s, const TArgs&, TS3270Reply& r)
{
    OrderKey(s, r, [](TOperator& op) { return op.Dup(); });
}

void ActFieldMark(TS3270Session& s, const TArgs&, TS3270Reply& r)
{
    OrderKey(s, r, [](TOperator& op) { return op.FieldMark(); });
}

// BackSpace moves left inside the field without erasing (Erase erases).
void ActBackSpace(TS3270Session& s, const TArgs&, TS3270Reply& r)
{
    Key(s, r, [](TOperator& op) { return op.Left(); });
}

// Positions of the field under the cursor, the screen's characters and
// which of them are blank, for the word and field-end moves.
bool Blank(const TS3270Screen& sc, std::int32_t pos)
{
    const TScreenCell& c = sc.cells[static_cast<std::size_t>(pos)];
    return c.FieldAttribute || c.Local == 0 || c.Local == ' ';
}

bool Typable(const TS3270Screen& sc, std::int32_t pos)
{
    const TScreenCell& c = sc.cells[static_cast<std::size_t>(pos)];
    return !c.FieldAttribute && !c.Protected;
}

void ActFieldEnd(TS3270Session& s, const TArgs&, TS3270Reply& r)
{
    Key(s, r, [&](TOperator& op) {
        const TCursor c = op.Cursor();
        TOperatorField f;
        if (!op.Field(TFieldRef::At(c.Row, c.Col), f) || f.Protected || f.Length == 0)
            return TOperatorError{};
        const TS3270Screen sc = s.ReadScreen(false);
        const std::int32_t size = sc.rows * sc.cols;
        if (size <= 0)
            return TOperatorError{};
        std::int32_t last = -1;
        for (std::int32_t i = 0; i < f.Length; ++i)
            if (!Blank(sc, (f.Start + i) % size))
                last = i;
        const std::int32_t to = last + 1 >= f.Length ? f.Length - 1 : last + 1;
        return op.MoveCursorOffset((f.Start + to) % size);
    });
}

void ActNextWord(TS3270Session& s, const TArgs&, TS3270Reply& r)
{
    Key(s, r, [&](TOperator& op) {
        const TS3270Screen sc = s.ReadScreen(false);
        const std::int32_t size = sc.rows * sc.cols;
        if (size <= 0)
            return TOperatorError{};
        std::int32_t pos = op.Cursor().Offset;
        // Off the current word, then on to the next typable non-blank.
        std::int32_t i = 0;
        while (i < size && Typable(sc, pos) && !Blank(sc, pos)) {
            pos = (pos + 1) % size;
            ++i;
        }
        while (i < size && !(Typable(sc, pos) && !Blank(sc, pos))) {
            pos = (pos + 1) % size;
            ++i;
        }
        return i < size ? op.MoveCursorOffset(pos) : TOperatorError{};
    });
}

void ActPreviousWord(TS3270Session& s, const TArgs&, TS3270Reply& r)
{
    Key(s, r, [&](TOperator& op) {
        const TS3270Screen sc = s.ReadScreen(false);
        const std::int32_t size = sc.rows * sc.cols;
        if (size <= 0)
            return TOperatorError{};
        auto back = [&](std::int32_t p) { return (p + size - 1) % size; };
        std::int32_t pos = back(op.Cursor().Offset);
        std::int32_t i = 0;
        while (i < size && !(Typable(sc, pos) && !Blank(sc, pos))) {
            pos = back(pos);
            ++i;
        }
        if (i >= size)
            return TOperatorError{};
        while (Typable(sc, back(pos)) && !Blank(sc, back(pos)) && back(pos) != op.Cursor().Offset)
            pos = back(pos);
        return op.MoveCursorOffset(pos);
    });
}

// DeleteWord: the word before the cursor (and the blanks between) go, the
// rest of the field moves left.
void ActDeleteWord(TS3270Session& s, const TArgs&, TS3270Reply& r)
{
    Key(s, r, [&](TOperator& op) {
        const TCursor c = op.Cursor();
        TOperatorField f;
        if (!op.Field(TFieldRef::At(c.Row, c.Col), f) || f.Protected)
            return TOperatorError{TOperatorFault::Protected, "protected"};
        const TS3270Screen sc = s.ReadScreen(false);
        const std::int32_t size = sc.rows * sc.cols;
        if (size <= 0)
            return TOperatorError{};
        const std::int32_t inField = (c.Offset - f.Start + size) % size;
        std::int32_t k = inField;
        while (k > 0 && Blank(sc, (f.Start + k - 1) % size))
            --k;
        while (k > 0 && !Blank(sc, (f.Start + k - 1) % size))
            --k;
        for (std::int32_t i = k; i < inField; ++i)
            if (TOperatorError e = op.Backspace(); !e)
                return e;
        return TOperatorError{};
    });
}

void ActInsert(TS3270Session& s, const TArgs&, TS3270Reply&)
{
    s.Op().SetInsertMode(true);
}

void ActToggleInsert(TS3270Session& s, const TArgs&, TS3270Reply&)
{
    s.Op().SetInsertMode(!s.Op().InsertMode());
}

void MoveCursorTo(TS3270Session& s, const TArgs& a, TS3270Reply& r, int origin)
{
    const char* name = origin ? "MoveCursor1" : "MoveCursor";
    if (a.empty() || a.size() > 2) {
        r.Fail(std::string(name) + "() requires 1 or 2 arguments");
        return;
    }
    if (s.OperatorLocked() || !s.Op().IsConnected())
        return;
    TOperator& op = s.Op();
    const std::int64_t rows = op.ScreenRows(), cols = op.ScreenCols();
    if (a.size() == 1) {
        const std::int64_t offset = std::clamp<std::int64_t>(S3270Number(a[0]) - origin, 0, rows * cols - 1);
        op.MoveCursorOffset(static_cast<std::int32_t>(offset));
        return;
    }
    // Off-screen positions are clamped to the edges, as s3270 does.
    const std::int64_t row = std::clamp<std::int64_t>(S3270Number(a[0]) - origin, 0, rows - 1);
    const std::int64_t col = std::clamp<std::int64_t>(S3270Number(a[1]) - origin, 0, cols - 1);
    op.MoveCursor0(static_cast<std::int32_t>(row), static_cast<std::int32_t>(col));
}

void ActMoveCursor(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    MoveCursorTo(s, a, r, 0);
}

void ActMoveCursor1(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    MoveCursorTo(s, a, r, 1);
}

// ---- typing

void TypeEbcdic(TS3270Session& s, std::uint8_t code, TS3270Reply& r)
{
    const std::uint8_t local = s.Op().Component().Tn3270Stream().Ebc2Asc(code);
    s.TypeLocal(std::string(1, static_cast<char>(local)), r);
}

void ActString(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    for (const auto& arg : a) {
        std::string error;
        const auto pieces = DecodeS3270String(arg, s.Utf8(), error);
        if (!pieces) {
            // s3270 reports a bad escape but answers ok.
            r.data.push_back(error);
            return;
        }
        for (const TS3270Piece& p : *pieces) {
            if (const auto* text = std::get_if<std::string>(&p)) {
                s.Type(*text, r);
            } else if (const auto* e = std::get_if<TS3270Ebcdic>(&p)) {
                TypeEbcdic(s, e->code, r);
            } else {
                const TS3270KeyStroke k = std::get<TS3270KeyStroke>(p);
                if (!s.KeyboardUsable(r))
                    return;
                switch (k.key) {
                case TS3270Key::Enter: s.Aid(TTn3270AidKey::akEnter, r); break;
                case TS3270Key::Clear: s.Aid(TTn3270AidKey::akClear, r); break;
                case TS3270Key::PF:
                case TS3270Key::PA:
                    s.Aid(*TOperator::ParseKeyName((k.key == TS3270Key::PF ? "pf" : "pa") + std::to_string(k.number)), r);
                    break;
                case TS3270Key::Tab: ActTab(s, {}, r); break;
                case TS3270Key::BackTab: ActBackTab(s, {}, r); break;
                case TS3270Key::Left: ActLeft(s, {}, r); break;
                case TS3270Key::Newline: ActNewline(s, {}, r); break;
                }
            }
            if (r.error)
                return;
        }
    }
}

// HexString: EBCDIC codes in hex ("c1c2", "0xc1"), each typed as the
// character it stands for in the session's code page.
void ActHexString(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    std::vector<std::uint8_t> codes;
    for (std::string t : a) {
        if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
            t.erase(0, 2);
        if (t.size() % 2 != 0 ||
            !std::all_of(t.begin(), t.end(), [](unsigned char c) { return std::isxdigit(c); })) {
            r.Fail(t.size() % 2 != 0 && std::all_of(t.begin(), t.end(), [](unsigned char c) { return std::isxdigit(c); })
                       ? "HexString(): Odd number of nibbles"
                       : "HexString(): Invalid hex character");
            return;
        }
        for (std::size_t i = 0; i < t.size(); i += 2)
            codes.push_back(static_cast<std::uint8_t>(std::stoi(t.substr(i, 2), nullptr, 16)));
    }
    for (const std::uint8_t c : codes) {
        TypeEbcdic(s, c, r);
        if (r.error)
            return;
    }
}

// Key(x): one character typed (the keysym names are not kept here).
void ActKey(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    for (const auto& k : a)
        if (k.size() == 1)
            s.Type(k, r);
}

// ---- waits

const char* kWaitParameters =
    "Wait(): Parameter must be inputfield, nvtmode, 3270mode, output, seconds, disconnect or unlock";

void WaitResult(TWaitResult w, TS3270Reply& r)
{
    switch (w) {
    case TWaitResult::Ok: return;
    case TWaitResult::Timeout: r.Fail("Wait(): Timed out"); return;
    case TWaitResult::Ended:
    case TWaitResult::Failed: r.Fail("Wait(): Not connected"); return;
    default: r.Fail("Wait(): refused"); return;
    }
}

// Wait(Output): a screen newer than the last one read.
void WaitOutput(TS3270Session& s, std::chrono::milliseconds timeout, TS3270Reply& r)
{
    const auto deadline = Clock::now() + timeout;
    while (s.Op().Screens() <= s.ScreensRead()) {
        if (!s.Op().IsConnected()) {
            r.Fail("Wait(): Not connected");
            return;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            r.Fail("Wait(): Timed out");
            return;
        }
        const TWaitResult w = s.Op().Wait(TWaitCondition::Of(TWaitKind::Screen), left);
        if (w != TWaitResult::Ok && s.Op().Screens() <= s.ScreensRead()) {
            WaitResult(w, r);
            return;
        }
    }
}

void ActWait(TS3270Session& s, const TArgs& args, TS3270Reply& r)
{
    TArgs a = args;
    std::optional<double> timeout;
    if (!a.empty()) {
        if (const auto t = S3270Seconds(a[0])) {
            timeout = *t;
            a.erase(a.begin());
        }
    }
    if ((timeout && *timeout < 0)) {
        r.Fail("Too many arguments to Wait ()or invalid timeout value");
        return;
    }
    const std::string what = a.empty() ? "inputfield" : Lower(a[0]);
    const std::size_t params = a.empty() ? 0 : a.size() - 1;
    const bool positional = what == "cursorat" || what == "inputfieldat" || what == "stringat";
    if (!positional && params > 0) {
        r.Fail(S3270Seconds(a[0]) || a.size() > 2 ? "Too many arguments to Wait ()or invalid timeout value"
                                                  : kWaitParameters);
        return;
    }
    const auto limit = timeout ? Millis(*timeout) : kS3270Forever;
    TOperator& op = s.Op();
    if (what == "seconds") {
        std::this_thread::sleep_for(Millis(timeout.value_or(kDefaultWaitSeconds)));
        return;
    }
    if (what == "disconnect") {
        WaitResult(op.Wait(TWaitCondition::Of(TWaitKind::Disconnect), limit), r);
        return;
    }
    if (what == "unlock") {
        // Unlocked now is done now (an AID has already waited for the
        // host's answer): the common Enter-then-Wait(Unlock) pair costs
        // no second wait.
        if (op.IsConnected() && op.Keyboard().Locked)
            WaitResult(op.Wait(TWaitCondition::Of(TWaitKind::Unlock), limit), r);
        return;
    }
    const bool known = what == "inputfield" || what == "output" || what == "3270mode" || what == "3270" ||
                       what == "nvtmode" || what == "nvt" || positional;
    if (!known) {
        r.Fail(kWaitParameters);
        return;
    }
    if (!op.IsConnected()) {
        r.Fail("Wait(): Not connected");
        return;
    }
    if (what == "inputfield") {
        WaitResult(op.Wait(TWaitCondition::Of(TWaitKind::InputField), limit), r);
    } else if (what == "output") {
        WaitOutput(s, limit, r);
    } else if (what == "3270mode" || what == "3270") {
        WaitResult(op.Wait(TWaitCondition::Of(TWaitKind::Unlock), limit), r);
    } else if (what == "nvtmode" || what == "nvt") {
        if (!s.WaitNvtMode(Clock::now() + limit))
            r.Fail(op.IsConnected() ? "Wait(): Timed out" : "Wait(): Not connected");
    } else {
        const std::size_t need = what == "stringat" ? 3 : 2;
        if (params != need) {
            r.Fail("Wait(" + a[0] + ") requires " + std::to_string(need) + " arguments");
            return;
        }
        const auto row = static_cast<std::int32_t>(S3270Number(a[1]));
        const auto col = static_cast<std::int32_t>(S3270Number(a[2]));
        TWaitCondition c = TWaitCondition::ForCursor(row, col);
        if (what == "stringat") {
            std::string error;
            const auto local = TScreenExport::ToLocal(a[3], error);
            if (!local) {
                r.Fail("Wait(): " + error);
                return;
            }
            c = TWaitCondition::ForTextAt(row, col, *local);
        }
        WaitResult(op.Wait(c, limit), r);
        if (!r.error && what == "inputfieldat") {
            TOperatorField f;
            if (!op.Field(TFieldRef::At(row, col), f) || f.Protected)
                r.Fail("Wait(): Not an input field");
        }
    }
}

// ---- Query

std::string Query(TS3270Session& s, const std::string& item, bool& known);

const char* const kQueryItems[] = {
    "Actions", "CodePage", "CodePages", "ConnectionState", "Cursor", "Cursor1", "Formatted", "Host",
    "LocalEncoding", "LuName", "Model", "Prefixes", "ScreenSizeCurrent", "ScreenSizeMax", "TerminalName",
    "Tls", "TlsSessionInfo", "Version"};

std::string ActionList()
{
    std::vector<std::string> names;
    for (const auto& a : S3270Actions())
        names.emplace_back(a.name);
    std::sort(names.begin(), names.end(), [](const std::string& x, const std::string& y) { return Lower(x) < Lower(y); });
    std::string out;
    for (const auto& n : names)
        out += (out.empty() ? "" : " ") + n + "()";
    return out;
}

std::string Query(TS3270Session& s, const std::string& item, bool& known)
{
    known = true;
    TOperator& op = s.Op();
    const std::string i = Lower(item);
    if (i == "actions")
        return ActionList();
    if (i == "codepage") {
        const std::string page = s.Options().codePage;
        return page + " sbcs gcsgid 697 cpgid " + std::to_string(BuiltInCodePageNumber(page));
    }
    if (i == "codepages") {
        std::string out;
        for (const auto& name : BuiltInCodePageNames())
            out += (out.empty() ? "" : "\n") + name + " sbcs";
        return out;
    }
    if (i == "connectionstate")
        return s.ConnectionState();
    if (i == "cursor") {
        const TCursor c = s.Cursor();
        return std::to_string(c.Row) + " " + std::to_string(c.Col);
    }
    if (i == "cursor1") {
        const TCursor c = s.Cursor();
        return "row " + std::to_string(c.Row + 1) + " column " + std::to_string(c.Col + 1) + " offset " +
               std::to_string(c.Offset);
    }
    if (i == "formatted")
        return s.Formatted() ? "formatted" : "unformatted";
    if (i == "host") {
        if (!op.IsConnected())
            return "";
        const std::string& target = op.Target();
        const auto colon = target.rfind(':');
        return "host " + target.substr(0, colon) + " " + target.substr(colon + 1);
    }
    if (i == "localencoding")
        return s.Utf8() ? "UTF-8" : "ISO-8859-1";
    if (i == "luname")
        return op.IsConnected() ? op.Status().LuName : "";
    if (i == "model")
        return s.ModelName();
    if (i == "terminalname")
        return s.TerminalName();
    if (i == "prefixes")
        return "LNY";
    if (i == "screensizecurrent")
        return "rows " + std::to_string(op.ScreenRows()) + " columns " + std::to_string(op.ScreenCols());
    if (i == "screensizemax") {
        const TScreenSize max = op.Component().AlternateSize();
        return "rows " + std::to_string(max.Rows) + " columns " + std::to_string(max.Cols);
    }
    if (i == "tls") {
        if (!op.IsConnected())
            return "";
        const TOperatorStatus st = op.Status();
        if (st.Tls.Protocol.empty())
            return "not secure";
        return st.Tls.Verified ? "secure host-verified" : "secure host-unverified";
    }
    if (i == "tlssessioninfo") {
        const TOperatorStatus st = op.Status();
        if (!op.IsConnected() || st.Tls.Protocol.empty())
            return "";
        return "Protocol: " + st.Tls.Protocol + "\nCipher: " + st.Tls.Cipher;
    }
    if (i == "version")
        return std::string("tn3270 ") + kPackageVersion + " (s3270 protocol)";
    known = false;
    return {};
}

void ActQuery(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    if (a.size() > 1) {
        r.Fail("Query() requires 0 or 1 arguments");
        return;
    }
    bool known = true;
    if (a.empty()) {
        for (const char* item : kQueryItems) {
            std::string v = Query(s, item, known);
            if (std::string_view(item) == "Actions" || std::string_view(item) == "CodePages")
                v = "...";
            const auto nl = v.find('\n');
            if (nl != std::string::npos)
                v = v.substr(0, nl);
            r.data.push_back(std::string(item) + ":" + (v.empty() ? "" : " " + v));
        }
        return;
    }
    const std::string v = Query(s, a[0], known);
    if (!known) {
        r.Fail("Query: Unknown parameter");
        return;
    }
    TS3270Reply lines;
    lines.Fail(v);
    r.data = std::move(lines.data);
}

// ---- PrintText, Snap

void ActPrintText(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    bool html = false, toString = false;
    std::string file;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::string k = Lower(a[i]);
        if (k == "html")
            html = true;
        else if (k == "text" || k == "replace" || k == "modi" || k == "nomodi")
            continue;
        else if (k == "string")
            toString = true;
        else if (k == "file" && i + 1 < a.size())
            file = a[++i];
        else {
            r.Fail("PrintText(): unknown keyword '" + a[i] + "' (this program prints to file,PATH or string)");
            return;
        }
    }
    TOperator& op = s.Op();
    s.MarkScreensRead(op.Screens());
    if (toString) {
        TS3270Reply lines;
        std::string text = html ? op.ScreenHtml(false) : op.ScreenText();
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        lines.Fail(text);
        r.data = std::move(lines.data);
        return;
    }
    if (file.empty()) {
        r.Fail("PrintText(): printing is not provided; use PrintText(file,PATH) or PrintText(string)");
        return;
    }
    const TOperatorError e = html ? op.SaveHtml(file, false) : op.SaveText(file);
    if (!e)
        r.Fail("PrintText(): " + e.Message);
}

void ActSnap(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    const std::string what = a.empty() ? "save" : Lower(a[0]);
    auto& snap = s.Snap();
    if (what == "save") {
        snap = s.ReadScreen(false);
        return;
    }
    if (what == "wait") {
        if (a.size() > 2) {
            r.Fail("Too many arguments to Snap(Wait)");
            return;
        }
        if (a.size() == 2 && !Is(a[1], "output")) {
            r.Fail("Snap(Wait): Parameter must be Output");
            return;
        }
        WaitOutput(s, kS3270Forever, r);
        if (!r.error)
            snap = s.ReadScreen(false);
        return;
    }
    if (!snap)
        snap = s.ReadScreen(false);
    const TArgs rest(a.begin() + 1, a.end());
    if (what == "status")
        r.data.push_back(snap->status);
    else if (what == "rows")
        r.data.push_back(std::to_string(snap->rows));
    else if (what == "cols")
        r.data.push_back(std::to_string(snap->cols));
    else if (what == "ascii")
        ReadScreenText(s, *snap, "Ascii", 0, TReadAs::Ascii, rest, r);
    else if (what == "ascii1")
        ReadScreenText(s, *snap, "Ascii1", 1, TReadAs::Ascii, rest, r);
    else if (what == "ebcdic")
        ReadScreenText(s, *snap, "Ebcdic", 0, TReadAs::Ebcdic, rest, r);
    else if (what == "ebcdic1")
        ReadScreenText(s, *snap, "Ebcdic1", 1, TReadAs::Ebcdic, rest, r);
    else if (what == "readbuffer")
        ReadBufferOf(*snap, !rest.empty() && Is(rest[0], "ebcdic") ? TReadAs::Ebcdic : TReadAs::Ascii,
                     s.TerminalName().find("3279") != std::string::npos, r);
    else
        r.Fail("Snap(): Parameter must be save, status, rows, cols, Wait, Ascii, Ascii1, Ebcdic, Ebcdic1 or ReadBuffer");
}

// ---- Set, Toggle: the toggles this program has

// One Set: the value's query (no value) or its change.
void SetOne(TS3270Session& s, const std::string& given, const std::string* value, TS3270Reply& r)
{
    const std::string name = Lower(given);
    TOperator& op = s.Op();
    if (name == "insertmode") {
        if (!value)
            r.data.push_back(op.InsertMode() ? "true" : "false");
        else
            op.SetInsertMode(Is(*value, "true") || Is(*value, "on") || *value == "1");
    } else if (name == "codepage") {
        if (!value) {
            r.data.push_back(s.Options().codePage);
        } else if (!IsBuiltInCodePage(Lower(*value))) {
            r.Fail("Set(): Unknown code page '" + *value + "'");
        } else {
            op.Component().SetConversionTable(Lower(*value));
            const_cast<TS3270Options&>(s.Options()).codePage = Lower(*value);
        }
    } else if (name == "trace") {
        if (!value)
            r.data.push_back(op.Component().GetDebugLevel() > 0 ? "true" : "false");
        else
            op.Component().SetDebugLevel(Is(*value, "true") ? static_cast<std::uint16_t>(TLogLevel::llAll) : 0);
    } else if (name == "model") {
        if (!value)
            r.data.push_back(s.Options().modelSetting);
        else
            s.SetModel(*value, r);
    } else if (name == "oversize") {
        if (!value)
            r.data.push_back(s.Options().oversize);
        else
            s.SetOversize(*value, r);
    } else if (name == "accepthostname") {
        if (!value)
            r.data.push_back(s.Options().acceptHostname);
        else
            s.SetAcceptHostname(*value, r);
    } else {
        r.Fail("Set(): Unknown toggle name '" + given + "'");
    }
}

// Set(name) answers the value; Set(name, value, name, value...) sets each
// in turn, up to the first that fails.
void ActSet(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    if (a.empty()) {
        r.Fail("Set() requires 1 or 2 arguments");
        return;
    }
    if (a.size() == 1) {
        SetOne(s, a[0], nullptr, r);
        return;
    }
    if (a.size() % 2 != 0) {
        r.Fail("Set(): '" + a.back() + "' requires a value");
        return;
    }
    for (std::size_t i = 0; i < a.size() && !r.error; i += 2)
        SetOne(s, a[i], &a[i + 1], r);
}

void ActToggle(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    if (a.empty() || a.size() > 2) {
        r.Fail("Toggle() requires 1 or 2 arguments");
        return;
    }
    if (!Is(a[0], "insertmode")) {
        r.Fail("Toggle(): Unknown toggle name '" + a[0] + "'");
        return;
    }
    TOperator& op = s.Op();
    if (a.size() == 1)
        op.SetInsertMode(!op.InsertMode());
    else if (Is(a[1], "set") || Is(a[1], "clear"))
        op.SetInsertMode(Is(a[1], "set"));
    else
        r.Fail("Toggle(): Value must be 'set' or 'clear'");
}

// ---- the rest

void ActSource(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    if (a.size() != 1) {
        r.Fail("Source() requires 1 argument");
        return;
    }
    std::ifstream file(a[0]);
    if (!file) {
        r.Fail("Source(): " + a[0] + ": cannot open");
        return;
    }
    if (s.SourceDepth() >= kMaxSourceDepth) {
        r.Fail("Source(): nested too deeply");
        return;
    }
    ++s.SourceDepth();
    std::string line;
    while (!s.QuitRequested() && std::getline(file, line)) {
        TS3270ParseResult p = ParseS3270Line(line);
        if (!p.error.empty()) {
            r.Fail(p.error);
            break;
        }
        if (p.line.name.empty())
            continue;
        const TS3270Action* action = FindS3270Action(p.line.name);
        if (!action) {
            r.Fail("Unknown action: " + p.line.name);
            break;
        }
        action->handler(s, p.line.args, r);
        if (r.error)
            break;
    }
    --s.SourceDepth();
}

// Expect(text[,timeout]): the text in what the host sent in NVT mode (the
// text record's lines), waited for up to the time-out.
void ActExpect(TS3270Session& s, const TArgs& a, TS3270Reply& r)
{
    if (a.empty() || a.size() > 2) {
        r.Fail("Expect() requires 1 or 2 arguments");
        return;
    }
    std::optional<double> seconds = kDefaultExpectSeconds;
    if (a.size() == 2)
        seconds = S3270Seconds(a[1]);
    if (!seconds || *seconds <= 0) {
        r.Fail("Expect(): Invalid timeout: " + a[1]);
        return;
    }
    if (!s.InNvtMode()) {
        r.Fail("Expect() is valid only when connected in NVT mode");
        return;
    }
    // Matched within one line of the text as it arrived (the lines are cut
    // at CR LF), so the text is taken as written, without escapes.
    std::string error;
    const auto local = TScreenExport::ToLocal(a[0], error);
    if (!local || local->empty()) {
        r.Fail("Expect(): " + (error.empty() ? std::string("Empty text") : error));
        return;
    }
    switch (s.Op().Wait(TWaitCondition::ForText(*local), Millis(*seconds))) {
    case TWaitResult::Ok: return;
    case TWaitResult::Timeout: r.Fail("Expect(): Timed out"); return;
    case TWaitResult::Ended:
    case TWaitResult::Failed: r.Fail("Expect(): Not connected"); return;
    default: r.Fail("Expect(): " + s.Op().LastError().Message); return;
    }
}

void ActTransfer(TS3270Session&, const TArgs&, TS3270Reply& r)
{
    r.Fail("Transfer(): file transfer is not provided by this program");
}

void ActNothing(TS3270Session&, const TArgs&, TS3270Reply&)
{
}

constexpr TS3270Action kActions[] = {
    {"Ascii", "() | (length) | (row,col,length) | (row,col,rows,cols)", ActRead<0, TReadAs::Ascii>, "screen text, 0-origin"},
    {"Ascii1", "as Ascii", ActRead<1, TReadAs::Ascii>, "screen text, 1-origin"},
    {"AsciiField", "()", ActReadField<TReadAs::Ascii>, "the field under the cursor"},
    {"Attn", "()", ActAid<TTn3270AidKey::akATTN>, "ATTN"},
    {"BackSpace", "()", ActBackSpace, "cursor left inside the field"},
    {"BackTab", "()", ActBackTab, "previous input field"},
    {"Bell", "()", ActNothing, "nothing"},
    {"Clear", "()", ActAid<TTn3270AidKey::akClear>, "Clear key"},
    {"CloseScript", "()", ActNothing, "nothing"},
    {"Connect", "([L:][Y:][N:][LU@]host[:port])", ActConnect, "connect; returns once the first screen unlocked"},
    {"Delete", "()", ActDelete, "delete the character at the cursor"},
    {"DeleteField", "()", ActDeleteField, "empty the field"},
    {"DeleteWord", "()", ActDeleteWord, "delete the word before the cursor"},
    {"Disconnect", "()", ActDisconnect, "disconnect"},
    {"Down", "()", ActDown, "cursor down"},
    {"Dup", "()", ActDup, "DUP into the field, then Tab"},
    {"Ebcdic", "as Ascii", ActRead<0, TReadAs::Ebcdic>, "screen codes in hex, 0-origin"},
    {"Ebcdic1", "as Ascii", ActRead<1, TReadAs::Ebcdic>, "screen codes in hex, 1-origin"},
    {"EbcdicField", "()", ActReadField<TReadAs::Ebcdic>, "the field under the cursor in hex"},
    {"Enter", "()", ActAid<TTn3270AidKey::akEnter>, "Enter; returns once the host answered"},
    {"Erase", "()", ActErase, "erase the character before the cursor"},
    {"EraseEOF", "()", ActEraseEOF, "erase to the end of the field"},
    {"EraseInput", "()", ActEraseInput, "erase every input field"},
    {"Exit", "()", ActQuit, "end the program"},
    {"Expect", "(text[,timeout])", ActExpect, "wait for NVT text"},
    {"FieldEnd", "()", ActFieldEnd, "cursor after the field's last character"},
    {"FieldMark", "()", ActFieldMark, "FIELD MARK into the field"},
    {"HexString", "(hex)", ActHexString, "type EBCDIC codes"},
    {"Home", "()", ActHome, "first input field"},
    {"Info", "(text)", ActNothing, "nothing"},
    {"Insert", "()", ActInsert, "insert mode on"},
    {"Key", "(c)", ActKey, "type one character"},
    {"Left", "()", ActLeft, "cursor left"},
    {"MoveCursor", "(row,col) | (offset)", ActMoveCursor, "move the cursor, 0-origin"},
    {"MoveCursor1", "(row,col) | (offset)", ActMoveCursor1, "move the cursor, 1-origin"},
    {"Newline", "()", ActNewline, "first input field of the next row"},
    {"NextWord", "()", ActNextWord, "next word"},
    {"PA", "(1-3)", ActPA, "program attention key"},
    {"PF", "(1-24)", ActPF, "program function key"},
    {"PreviousWord", "()", ActPreviousWord, "previous word"},
    {"PrintText", "([html,](file,PATH|string))", ActPrintText, "the screen as text or HTML"},
    {"Query", "([item])", ActQuery, "session facts"},
    {"Quit", "()", ActQuit, "end the program"},
    {"ReadBuffer", "([Ascii|Ebcdic])", ActReadBuffer, "the buffer with field markers"},
    {"Reconnect", "()", ActReconnect, "connect again to the last host"},
    {"Reset", "()", ActReset, "unlock the keyboard, insert mode off"},
    {"Right", "()", ActRight, "cursor right"},
    {"Set", "(toggle[,value])", ActSet, "read or set insertMode, codePage, trace"},
    {"Snap", "([Save|Status|Rows|Cols|Ascii..|Ebcdic..|ReadBuffer|Wait,Output])", ActSnap, "a saved screen"},
    {"Source", "(file)", ActSource, "run the actions in a file"},
    {"String", "(text[,text...])", ActString, "type text with escapes"},
    {"SysReq", "()", ActAid<TTn3270AidKey::akSysReq>, "SysReq"},
    {"Tab", "()", ActTab, "next input field"},
    {"Toggle", "(toggle[,set|clear])", ActToggle, "flip a toggle"},
    {"ToggleInsert", "()", ActToggleInsert, "flip insert mode"},
    {"Transfer", "(...)", ActTransfer, "file transfer (not provided)"},
    {"Up", "()", ActUp, "cursor up"},
    {"Wait", "([timeout,]InputField|Output|Unlock|3270Mode|NVTMode|Disconnect|Seconds|CursorAt,r,c|InputFieldAt,r,c|StringAt,r,c,text)", ActWait, "wait"},
    {"ignore", "(...)", ActNothing, "nothing"},
};

}  // namespace

std::span<const TS3270Action> S3270Actions()
{
    return kActions;
}

const TS3270Action* FindS3270Action(std::string_view name)
{
    for (const auto& a : kActions)
        if (Is(a.name, name))
            return &a;
    return nullptr;
}
