// The interactive terminal: key map, cells, status line and the model.
#include "tools/uTerminalUi.h"

#include <cstdio>

namespace {

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
    TScreenExport::AppendCodePoint(out, cp);
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

const char* RefusalTag(TOperatorFault f)
{
    switch (f) {
    case TOperatorFault::Protected: return "X PROT ";
    case TOperatorFault::Numeric: return "X NUM ";
    case TOperatorFault::NotCarried: return "X CHAR ";
    case TOperatorFault::FieldFull: return "X FULL ";
    case TOperatorFault::FieldStart: return "X FIELD ";
    default: return "X ";
    }
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

TUiCells RenderCells(const std::vector<TScreenCell>& cells)
{
    TUiCells out(cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) {
        const TScreenCell& c = cells[i];
        TUiCell& cell = out[i];
        cell.ch = c.Ch;
        // Unformatted, a 3270 shows its characters as unprotected ones: green.
        cell.color = c.Color == T3270Color::Default && c.Field < 0 ? T3270Color::Green : c.Color;
        cell.bold = c.Intensified;
        cell.reverse = c.Reverse;
        cell.underline = c.Underscore;
        cell.blink = c.Blink;
    }
    return out;
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

TTerminalUiModel::TTerminalUiModel(TOperator& session) : session_(session) {}

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
        session_.Reset();
        done.repaint = true;
        return done;
    case TUiActionKind::ToggleInsert: session_.SetInsertMode(!session_.InsertMode()); return done;
    case TUiActionKind::EscapePrefix: return done;
    default: break;
    }
    if (!session_.IsConnected())
        return Refuse("X: not connected (Ctrl-Q quits)");
    TOperatorError e;
    switch (a.kind) {
    case TUiActionKind::Aid: e = session_.Key(a.aid); break;
    case TUiActionKind::Tab: e = session_.Tab(); break;
    case TUiActionKind::BackTab: e = session_.BackTab(); break;
    case TUiActionKind::Home: e = session_.Home(); break;
    case TUiActionKind::Move:
        for (std::int32_t r = a.rows; e.Ok() && r != 0; r += r < 0 ? 1 : -1)
            e = r < 0 ? session_.Up() : session_.Down();
        for (std::int32_t c = a.cols; e.Ok() && c != 0; c += c < 0 ? 1 : -1)
            e = c < 0 ? session_.Left() : session_.Right();
        break;
    case TUiActionKind::Type: {
        std::string utf8, error;
        AppendUtf8(utf8, a.ch);
        const auto local = TScreenExport::ToLocal(utf8, error);
        if (!local || local->size() != 1) {
            char text[96];
            std::snprintf(text, sizeof text, "X CHAR character U+%04X is not in the terminal's character set",
                          static_cast<unsigned>(a.ch));
            return Refuse(text);
        }
        e = session_.Type(*local);
        break;
    }
    case TUiActionKind::Backspace: e = session_.Backspace(); break;
    case TUiActionKind::Delete: e = session_.Delete(); break;
    case TUiActionKind::EraseEof: e = session_.EraseEof(); break;
    default: return done;
    }
    if (!e.Ok())
        return Refuse(RefusalTag(e.Fault) + e.Message);
    return done;
}

TUiFrame TTerminalUiModel::Frame()
{
    TUiFrame f;
    const TOperatorStatus s = session_.Status();
    f.rows = s.Rows;
    f.cols = s.Cols;
    f.cells = RenderCells(session_.Cells());
    f.status.host = s.Target;
    f.status.connected = s.Connected;
    f.status.cursorRow = s.Cursor.Row + 1;
    f.status.cursorCol = s.Cursor.Col + 1;
    f.status.tn3270e = s.Tn3270E;
    f.status.state = s.SessionState;
    f.status.keyboard = s.Keyboard.Text;
    if (f.status.tn3270e)
        f.status.lu = s.LuName;
    f.status.tls = f.status.connected && !s.Tls.Protocol.empty();
    f.status.insert = s.InsertMode;
    f.status.message = message_;
    f.help = help_;
    return f;
}
