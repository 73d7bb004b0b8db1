// The interactive terminal: key map, cells, status line and the model.
#include "tools/uTerminalUi.h"

#include "display/uTypingEngine.h"
#include "tools/uScreenText.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr std::uint8_t kFaDisplayBits = 0x0C;
constexpr std::uint8_t kFaIntensified = 0x08;
constexpr std::uint8_t kFaNonDisplay = 0x0C;
constexpr std::uint8_t kFaProtected = 0x20;
constexpr std::uint8_t kEabReverse = 0x80, kEabBlink = 0x40, kEabUnderscore = 0x04;
constexpr std::uint8_t kEabHighlight = kEabReverse | kEabBlink | kEabUnderscore;
constexpr std::uint8_t kEabColour = 0x38;
constexpr std::int32_t kIndicatorWidth = 10;  // "X SENDING "
constexpr std::int32_t kRightWidth = 11;      // " INS 05/020"
constexpr std::int32_t kPfShift = 12;         // Shift-F1 / Esc F1 is PF13

TTn3270AidKey Pf(std::int32_t n)
{
    return static_cast<TTn3270AidKey>(static_cast<std::int32_t>(TTn3270AidKey::akPF1) + n - 1);
}

TTn3270AidKey Pa(std::int32_t n)
{
    return static_cast<TTn3270AidKey>(static_cast<std::int32_t>(TTn3270AidKey::akPA1) + n - 1);
}

TUiAction Act(TUiActionKind kind)
{
    TUiAction a;
    a.kind = kind;
    return a;
}

TUiAction Aid(TTn3270AidKey key)
{
    TUiAction a;
    a.kind = TUiActionKind::Aid;
    a.aid = key;
    return a;
}

TUiAction Move(std::int32_t rows, std::int32_t cols)
{
    TUiAction a;
    a.kind = TUiActionKind::Move;
    a.rows = rows;
    a.cols = cols;
    return a;
}

// The keys that Esc, or Ctrl with the same letter, give (Ctrl-R = Esc r).
TUiAction Letter(char32_t c)
{
    switch (c) {
    case U'a': return Aid(TTn3270AidKey::akATTN);
    case U'c': return Aid(TTn3270AidKey::akClear);
    case U'd': return Act(TUiActionKind::Delete);
    case U'g': case U'?': return Act(TUiActionKind::Help);
    case U'h': return Act(TUiActionKind::Backspace);
    case U'i': return Act(TUiActionKind::ToggleInsert);
    case U'k': return Act(TUiActionKind::EraseEof);
    case U'l': return Aid(TTn3270AidKey::akClear);
    case U'p': case U'1': return Aid(Pa(1));
    case U'y': case U'2': return Aid(Pa(2));
    case U't': case U'3': return Aid(Pa(3));
    case U'q': return Act(TUiActionKind::Quit);
    case U'r': return Act(TUiActionKind::Reset);
    case U's': return Aid(TTn3270AidKey::akSysReq);
    default: return Act(TUiActionKind::None);
    }
}

void AppendUtf8(std::string& out, char32_t cp)
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

// The code points of well-formed UTF-8 (what RenderScreenRows makes).
std::vector<char32_t> CodePoints(const std::string& s)
{
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<std::uint8_t>(s[i]);
        const int more = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : 3;
        char32_t cp = more == 0 ? c : more == 1 ? (c & 0x1F) : more == 2 ? (c & 0x0F) : (c & 0x07);
        for (int k = 1; k <= more && i + static_cast<std::size_t>(k) < s.size(); ++k)
            cp = (cp << 6) | (static_cast<std::uint8_t>(s[i + static_cast<std::size_t>(k)]) & 0x3F);
        out.push_back(cp);
        i += static_cast<std::size_t>(more) + 1;
    }
    return out;
}

const char* StateText(TSessionState s)
{
    switch (s) {
    case TSessionState::ssNone: return "NO SESSION";
    case TSessionState::ssSscpLu: return "SSCP-LU";
    case TSessionState::ssLuLu: return "LU-LU";
    }
    return "";
}

std::string Fit(std::string s, std::int32_t width)
{
    const auto w = static_cast<std::size_t>(width > 0 ? width : 0);
    if (s.size() > w)
        s.resize(w);
    s.append(w - s.size(), ' ');
    return s;
}

const char* RefusalTag(TTypeRefusal r)
{
    switch (r) {
    case TTypeRefusal::trNone: return "";
    case TTypeRefusal::trProtected: return "X PROT ";
    case TTypeRefusal::trNumeric: return "X NUM ";
    case TTypeRefusal::trNotCarried: return "X CHAR ";
    case TTypeRefusal::trNoRoom: return "X FULL ";
    case TTypeRefusal::trFieldStart: return "X FIELD ";
    }
    return "";
}

}  // namespace

// ---------------------------------------------------------------- keys

TUiAction MapKey(const TKeyEvent& key, bool afterEscape)
{
    switch (key.key) {
    case TUiKey::Char:
        if (afterEscape)
            return Letter(key.code >= U'A' && key.code <= U'Z' ? key.code - U'A' + U'a' : key.code);
        {
            TUiAction a;
            a.kind = TUiActionKind::Type;
            a.ch = key.code;
            return a;
        }
    case TUiKey::Ctrl:
        // Ctrl with a digit or '?' does not exist; only the letters.
        return key.code >= U'a' && key.code <= U'z' ? Letter(key.code) : Act(TUiActionKind::None);
    case TUiKey::Function:
        if (key.code < 1 || key.code > 24)
            return Act(TUiActionKind::None);
        if (afterEscape && key.code <= static_cast<char32_t>(kPfShift))
            return Aid(Pf(static_cast<std::int32_t>(key.code) + kPfShift));
        return Aid(Pf(static_cast<std::int32_t>(key.code)));
    case TUiKey::Enter: return Aid(TTn3270AidKey::akEnter);
    case TUiKey::Tab: return Act(TUiActionKind::Tab);
    case TUiKey::BackTab: return Act(TUiActionKind::BackTab);
    case TUiKey::Up: return Move(-1, 0);
    case TUiKey::Down: return Move(1, 0);
    case TUiKey::Left: return Move(0, -1);
    case TUiKey::Right: return Move(0, 1);
    case TUiKey::Home: return Act(TUiActionKind::Home);
    case TUiKey::Backspace: return Act(TUiActionKind::Backspace);
    case TUiKey::Delete: return Act(TUiActionKind::Delete);
    case TUiKey::Insert: return Act(TUiActionKind::ToggleInsert);
    case TUiKey::Escape:
        // Esc Esc: nothing pending any more.
        return afterEscape ? Act(TUiActionKind::Reset) : Act(TUiActionKind::EscapePrefix);
    case TUiKey::Other: break;
    }
    return Act(TUiActionKind::None);
}

const std::vector<std::string>& KeyMapLines()
{
    static const std::vector<std::string> lines = {
        "Enter            Enter             Tab, Shift-Tab   next, previous field",
        "F1..F12          PF1..PF12         arrows, Home     move the cursor",
        "Shift-F1..F12    PF13..PF24        (or Esc, then F1..F12)",
        "Ctrl-P  PA1      Ctrl-Y  PA2       Ctrl-T  PA3      (or Esc, then 1 2 3)",
        "Ctrl-L  Clear    Ctrl-S  SysReq    Ctrl-A  ATTN     (or Esc, then c s a)",
        "Backspace, Delete (Ctrl-D): inside the field        Ctrl-K  Erase EOF",
        "Insert (Esc i)   insert mode on/off                 Ctrl-R  Reset",
        "Ctrl-G (Esc ?)   this key map                       Ctrl-Q (Esc q)  quit",
    };
    return lines;
}

// ---------------------------------------------------------------- screen

TUiCells RenderCells(const TOrvTn3270display& screen)
{
    TUiCells cells{};
    const std::vector<std::string> rows = RenderScreenRows(screen);
    for (std::size_t r = 0; r < rows.size() && r < static_cast<std::size_t>(kUiRows); ++r) {
        const std::vector<char32_t> cps = CodePoints(rows[r]);
        for (std::size_t c = 0; c < cps.size() && c < static_cast<std::size_t>(kUiCols); ++c)
            cells[r * static_cast<std::size_t>(kUiCols) + c].ch = cps[c];
    }
    const std::int32_t n = std::min<std::int32_t>(screen.Size, kUiRows * kUiCols);
    // The field attribute in force at position 0 is the screen's last one
    // (fields wrap); from there on each one starts its field.
    std::int32_t fa = screen.Formatted ? screen.findPrevFA(screen.Size - 1) : -1;
    for (std::int32_t i = 0; i < n; ++i) {
        const auto u = static_cast<std::size_t>(i);
        if (screen.Formatted && screen.Chars[u] == TOrvTndisplay::kFieldMarker)
            fa = i;
        const std::uint8_t attr = screen.getFA(i);
        const std::uint8_t own = screen.ExtAttrs[u];
        const std::uint8_t field = fa >= 0 ? screen.ExtAttrs[static_cast<std::size_t>(fa)] : 0;
        const std::uint8_t colour = (own & kEabColour) != 0 ? (own & kEabColour) : (field & kEabColour);
        const std::uint8_t light = (own & kEabHighlight) != 0 ? (own & kEabHighlight) : (field & kEabHighlight);
        TUiCell& cell = cells[u];
        const bool bright = (attr & kFaDisplayBits) == kFaIntensified;
        const bool input = (attr & kFaProtected) == 0;
        if (colour != 0)
            cell.color = static_cast<TUiColor>(colour >> 3);
        else
            cell.color = input ? (bright ? TUiColor::Red : TUiColor::Green)
                               : (bright ? TUiColor::White : TUiColor::Blue);
        cell.bold = bright;
        // A hidden field shows nothing, not even its highlighting (a
        // reversed password field would show its length only).
        if ((attr & kFaDisplayBits) == kFaNonDisplay && screen.Chars[u] != TOrvTndisplay::kFieldMarker)
            cell.bold = false;
        cell.reverse = (light & kEabReverse) != 0;
        cell.underline = (light & kEabUnderscore) != 0;
        cell.blink = (light & kEabBlink) != 0;
    }
    return cells;
}

std::string StatusLine(const TUiStatus& s, std::int32_t width)
{
    const std::string indicator = s.keyboard.empty() ? std::string() : "X " + s.keyboard;
    std::string middle;
    if (!s.message.empty()) {
        middle = s.message;
    } else if (!s.connected) {
        middle = "DISCONNECTED" + (s.host.empty() ? std::string() : " " + s.host) + "  Ctrl-Q quits";
    } else {
        middle = s.host + (s.tn3270e ? " TN3270E" : " TN3270") + (s.tls ? " TLS" : "");
        if (!s.lu.empty())
            middle += " LU " + s.lu;
        middle += std::string(" ") + StateText(s.state);
    }
    char right[32];
    std::snprintf(right, sizeof right, " %s %02d/%03d", s.insert ? "INS" : "   ", s.cursorRow, s.cursorCol);
    const std::int32_t middleWidth = width - kIndicatorWidth - kRightWidth;
    if (middleWidth < 0)
        return Fit(indicator + " " + middle, width);
    return Fit(indicator, kIndicatorWidth) + Fit(middle, middleWidth) + Fit(right, kRightWidth);
}

// ---------------------------------------------------------------- model

TTerminalUiModel::TTerminalUiModel(TTerminalSession& session) : session_(session) {}

TUiOutcome TTerminalUiModel::Refuse(std::string message)
{
    message_ = std::move(message);
    TUiOutcome o;
    o.beep = true;
    return o;
}

TUiOutcome TTerminalUiModel::HandleKey(const TKeyEvent& key)
{
    if (help_) {
        // Any key closes the key map and does nothing else.
        help_ = false;
        escape_ = false;
        return {};
    }
    const TUiAction action = MapKey(key, escape_);
    escape_ = action.kind == TUiActionKind::EscapePrefix;
    if (escape_)
        return {};
    message_.clear();
    return Apply(action);
}

TUiOutcome TTerminalUiModel::Apply(const TUiAction& a)
{
    TUiOutcome done;
    switch (a.kind) {
    case TUiActionKind::None: return Refuse("X KEY: this key does nothing here (Ctrl-G shows the keys)");
    case TUiActionKind::Quit: done.quit = true; return done;
    case TUiActionKind::Help: help_ = true; return done;
    case TUiActionKind::Reset:
        insert_ = false;
        done.repaint = true;
        return done;
    case TUiActionKind::ToggleInsert: insert_ = !insert_; return done;
    case TUiActionKind::EscapePrefix: return done;
    default: break;
    }
    if (!session_.IsConnected())
        return Refuse("X: not connected (Ctrl-Q quits)");
    TTn3270E& tn = session_.Component();
    if (a.kind == TUiActionKind::Aid) {
        const bool always = a.aid == TTn3270AidKey::akATTN || a.aid == TTn3270AidKey::akSysReq;
        const std::string lock = tn.GetStatus();
        if (!lock.empty() && !always)
            return Refuse("X " + lock + ": keyboard locked, key not sent");
        std::string error;
        if (!session_.Key(a.aid, error))
            return Refuse("X: " + error);
        return done;
    }
    auto guard = tn.Lock();
    TOrvTn3270stream& stream = tn.Tn3270Stream();
    TOrvTn3270display& screen = stream.Screen();
    TTypingEngine engine(screen, [&stream](std::uint8_t c) { return stream.CanCarry(c); });
    auto moved = [&] {
        // The next key sends the cursor the unprotected list holds.
        const auto pos = static_cast<std::int16_t>(screen.CursorPosition + 1);
        tn.UnprotectedFields.CursorPos = pos;
        tn.HostFields.CursorPos = pos;
        return done;
    };
    switch (a.kind) {
    case TUiActionKind::Tab: engine.Tab(); return moved();
    case TUiActionKind::BackTab: engine.BackTab(); return moved();
    case TUiActionKind::Home: engine.Home(); return moved();
    case TUiActionKind::Move: engine.Move(a.rows, a.cols); return moved();
    default: break;
    }
    // Edits: refused while the host holds the keyboard.
    const std::string lock = tn.GetStatus();
    if (!lock.empty())
        return Refuse("X " + lock + ": keyboard locked, input refused");
    TTypeResult r;
    switch (a.kind) {
    case TUiActionKind::Type: {
        std::string utf8, error;
        AppendUtf8(utf8, a.ch);
        const auto local = Utf8ToLocal(utf8, error);
        if (!local || local->size() != 1) {
            char text[96];
            std::snprintf(text, sizeof text, "X CHAR character U+%04X is not in the terminal's character set",
                          static_cast<unsigned>(a.ch));
            return Refuse(text);
        }
        const auto c = static_cast<std::uint8_t>((*local)[0]);
        if (insert_)
            engine.InsertChar(c, r);
        else
            engine.TypeChar(c, r);
        break;
    }
    case TUiActionKind::Backspace: r = engine.Backspace(); break;
    case TUiActionKind::Delete: r = engine.DeleteChar(); break;
    case TUiActionKind::EraseEof: r = engine.EraseEof(); break;
    default: return done;
    }
    // The lists show the edited screen; the next key sends what it holds.
    tn.GenHostFields();
    if (!r.Ok())
        return Refuse(RefusalTag(r.Refusal) + r.Message());
    return done;
}

TUiFrame TTerminalUiModel::Frame()
{
    TUiFrame f;
    TTn3270E& tn = session_.Component();
    f.status.host = session_.Target();
    f.status.connected = session_.IsConnected();
    {
        auto guard = tn.Lock();
        TOrvTn3270stream& stream = tn.Tn3270Stream();
        const TOrvTn3270display& screen = stream.Screen();
        f.cells = RenderCells(screen);
        const std::int32_t p = screen.inRange(screen.CursorPosition) ? screen.CursorPosition : 0;
        f.status.cursorRow = p / kUiCols + 1;
        f.status.cursorCol = p % kUiCols + 1;
        f.status.tn3270e = stream.TN3270EMode;
        f.status.state = stream.SessionState;
        f.status.keyboard = tn.GetStatus();
    }
    if (f.status.tn3270e)
        f.status.lu = tn.GetDeviceName();
    f.status.tls = f.status.connected && !tn.GetTlsInfo().Protocol.empty();
    f.status.insert = insert_;
    f.status.message = message_;
    f.help = help_;
    return f;
}
