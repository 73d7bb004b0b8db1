// The interactive terminal apart from ncurses: the key map, the screen as
// cells (colours, highlighting, hidden fields, box drawing), the status
// line, and the model driven key by key against the demo host and against
// a host that keeps the keyboard locked (what the host received checked
// with the simulator's decoder).
#include "sim/uDemoApp.h"
#include "sim/uHostSimulator.h"
#include "sim/uSim3270Encoder.h"
#include "component/uScreenExport.h"
#include "stream/uGraphicEscape.h"
#include "tools/uTerminalUi.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace {

using namespace std::chrono_literals;
using namespace tnsim;

constexpr auto kWait = 10s;

TKeyEvent K(TUiKey key, char32_t code = 0)
{
    return TKeyEvent{key, code};
}

TEST(TerminalKeys, EveryDocumentedKey)
{
    struct Case {
        TKeyEvent key;
        bool escape;
        TUiActionKind kind;
        TTn3270AidKey aid;
    } cases[] = {
        {K(TUiKey::Enter), false, TUiActionKind::Aid, TTn3270AidKey::akEnter},
        {K(TUiKey::Function, 1), false, TUiActionKind::Aid, TTn3270AidKey::akPF1},
        {K(TUiKey::Function, 12), false, TUiActionKind::Aid, TTn3270AidKey::akPF12},
        {K(TUiKey::Function, 13), false, TUiActionKind::Aid, TTn3270AidKey::akPF13},  // Shift-F1
        {K(TUiKey::Function, 24), false, TUiActionKind::Aid, TTn3270AidKey::akPF24},
        {K(TUiKey::Function, 1), true, TUiActionKind::Aid, TTn3270AidKey::akPF13},    // Esc F1
        {K(TUiKey::Function, 12), true, TUiActionKind::Aid, TTn3270AidKey::akPF24},
        {K(TUiKey::Function, 25), false, TUiActionKind::None, TTn3270AidKey::akNoOp},
        {K(TUiKey::Ctrl, U'p'), false, TUiActionKind::Aid, TTn3270AidKey::akPA1},
        {K(TUiKey::Ctrl, U'y'), false, TUiActionKind::Aid, TTn3270AidKey::akPA2},
        {K(TUiKey::Ctrl, U't'), false, TUiActionKind::Aid, TTn3270AidKey::akPA3},
        {K(TUiKey::Char, U'1'), true, TUiActionKind::Aid, TTn3270AidKey::akPA1},
        {K(TUiKey::Char, U'3'), true, TUiActionKind::Aid, TTn3270AidKey::akPA3},
        {K(TUiKey::Ctrl, U'l'), false, TUiActionKind::Aid, TTn3270AidKey::akClear},
        {K(TUiKey::Char, U'C'), true, TUiActionKind::Aid, TTn3270AidKey::akClear},
        {K(TUiKey::Ctrl, U's'), false, TUiActionKind::Aid, TTn3270AidKey::akSysReq},
        {K(TUiKey::Ctrl, U'a'), false, TUiActionKind::Aid, TTn3270AidKey::akATTN},
        {K(TUiKey::Ctrl, U'k'), false, TUiActionKind::EraseEof, TTn3270AidKey::akNoOp},
        {K(TUiKey::Ctrl, U'd'), false, TUiActionKind::Delete, TTn3270AidKey::akNoOp},
        {K(TUiKey::Delete), false, TUiActionKind::Delete, TTn3270AidKey::akNoOp},
        {K(TUiKey::Backspace), false, TUiActionKind::Backspace, TTn3270AidKey::akNoOp},
        {K(TUiKey::Insert), false, TUiActionKind::ToggleInsert, TTn3270AidKey::akNoOp},
        {K(TUiKey::Char, U'i'), true, TUiActionKind::ToggleInsert, TTn3270AidKey::akNoOp},
        {K(TUiKey::Tab), false, TUiActionKind::Tab, TTn3270AidKey::akNoOp},
        {K(TUiKey::BackTab), false, TUiActionKind::BackTab, TTn3270AidKey::akNoOp},
        {K(TUiKey::Home), false, TUiActionKind::Home, TTn3270AidKey::akNoOp},
        {K(TUiKey::Ctrl, U'g'), false, TUiActionKind::Help, TTn3270AidKey::akNoOp},
        {K(TUiKey::Char, U'?'), true, TUiActionKind::Help, TTn3270AidKey::akNoOp},
        {K(TUiKey::Ctrl, U'q'), false, TUiActionKind::Quit, TTn3270AidKey::akNoOp},
        {K(TUiKey::Char, U'q'), true, TUiActionKind::Quit, TTn3270AidKey::akNoOp},
        {K(TUiKey::Ctrl, U'r'), false, TUiActionKind::Reset, TTn3270AidKey::akNoOp},
        {K(TUiKey::Escape), false, TUiActionKind::EscapePrefix, TTn3270AidKey::akNoOp},
        {K(TUiKey::Escape), true, TUiActionKind::Reset, TTn3270AidKey::akNoOp},
        {K(TUiKey::Char, U'x'), true, TUiActionKind::None, TTn3270AidKey::akNoOp},
        {K(TUiKey::Ctrl, U'z'), false, TUiActionKind::None, TTn3270AidKey::akNoOp},
        {K(TUiKey::Other), false, TUiActionKind::None, TTn3270AidKey::akNoOp},
    };
    for (const Case& c : cases) {
        const TUiAction a = MapKey(c.key, c.escape);
        EXPECT_EQ(a.kind, c.kind) << static_cast<int>(c.key.key) << " " << static_cast<int>(c.key.code) << " "
                                  << c.escape;
        EXPECT_EQ(a.aid, c.aid) << static_cast<int>(c.key.key) << " " << static_cast<int>(c.key.code);
    }
    const TUiAction typed = MapKey(K(TUiKey::Char, U'é'), false);
    EXPECT_EQ(typed.kind, TUiActionKind::Type);
    EXPECT_EQ(typed.ch, U'é');
    const TUiAction up = MapKey(K(TUiKey::Up), false);
    EXPECT_EQ(up.kind, TUiActionKind::Move);
    EXPECT_EQ(up.rows, -1);
    EXPECT_EQ(MapKey(K(TUiKey::Right), false).cols, 1);
    for (const std::string& line : KeyMapLines())
        EXPECT_LE(line.size(), 76u) << line;
}

TEST(TerminalCells, ColoursHighlightingHiddenFieldsAndBoxDrawing)
{
    TOrvTn3270display d(0, 24, 80);
    d.insertFA(0, 0x20);          // protected: blue
    d.Chars[1] = 'A';
    d.insertFA(10, 0x28);         // protected intensified: white, bold
    d.Chars[11] = 'B';
    d.insertFA(20, 0x00);         // input: green
    d.Chars[21] = 'C';
    d.insertFA(30, 0x08);         // input intensified: red
    d.insertFA(40, 0x0C);         // input non-display: a password
    d.Chars[41] = 'S';
    d.insertFA(50, 0x20);
    d.setEFA(50, 0x30 | 0x04);    // field: yellow, underscore
    d.Chars[51] = 'Y';
    d.Chars[52] = 'R';
    d.ExtAttrs[52] = 0x10 | 0x80; // the character's own: red, reverse
    d.Chars[53] = '-';
    d.GeCodes[53] = 0xA2;         // GE horizontal line
    d.Chars[53] = GeLocal(0xA2);
    d.insertFA(60, 0x20);
    d.setEFA(60, 0x40);           // blink, base colour
    d.Chars[61] = 0xE9;           // é in the local set

    const TUiCells cells = RenderCells(TScreenExport::Cells(d));
    struct Expect {
        int at;
        char32_t ch;
        TUiColor color;
        bool bold, reverse, underline, blink;
    } cases[] = {
        {0, U' ', TUiColor::Blue, false, false, false, false},
        {1, U'A', TUiColor::Blue, false, false, false, false},
        {11, U'B', TUiColor::White, true, false, false, false},
        {21, U'C', TUiColor::Green, false, false, false, false},
        {31, U' ', TUiColor::Red, true, false, false, false},
        {41, U' ', TUiColor::Green, false, false, false, false},  // hidden
        {51, U'Y', TUiColor::Yellow, false, false, true, false},
        {52, U'R', TUiColor::Red, false, true, false, false},
        {53, U'\u2500', TUiColor::Yellow, false, false, true, false},
        {61, U'é', TUiColor::Blue, false, false, false, true},
        {1919, U' ', TUiColor::Blue, false, false, false, true},  // the last field runs to the end
    };
    for (const Expect& e : cases) {
        const TUiCell& c = cells[static_cast<std::size_t>(e.at)];
        EXPECT_EQ(c.ch, e.ch) << e.at;
        EXPECT_EQ(c.color, e.color) << e.at;
        EXPECT_EQ(c.bold, e.bold) << e.at;
        EXPECT_EQ(c.reverse, e.reverse) << e.at;
        EXPECT_EQ(c.underline, e.underline) << e.at;
        EXPECT_EQ(c.blink, e.blink) << e.at;
    }

    // The field that wraps over the screen's end colours the top left too.
    TOrvTn3270display w(0, 24, 80);
    w.insertFA(1900, 0x28);
    w.Chars[0] = 'W';
    EXPECT_EQ(RenderCells(TScreenExport::Cells(w))[0].color, TUiColor::White);
    // Unformatted: green, as a 3270 shows it.
    TOrvTn3270display u(0, 24, 80);
    u.Chars[5] = 'U';
    EXPECT_EQ(RenderCells(TScreenExport::Cells(u))[5].color, TUiColor::Green);
    EXPECT_EQ(RenderCells(TScreenExport::Cells(u))[5].ch, U'U');
}

TEST(TerminalStatus, LineShowsConnectionLockMessageInsertAndCursor)
{
    TUiStatus s;
    s.host = "127.0.0.1:3270";
    s.connected = true;
    s.tn3270e = true;
    s.lu = "SIM00001";
    s.state = TSessionState::ssLuLu;
    s.cursorRow = 5;
    s.cursorCol = 20;
    std::string line = StatusLine(s, 80);
    EXPECT_EQ(line.size(), 80u);
    EXPECT_EQ(line.rfind("          127.0.0.1:3270 TN3270E LU SIM00001 LU-LU", 0), 0u) << line;
    EXPECT_EQ(line.substr(69), "     05/020");

    s.keyboard = "SYSTEM";
    s.insert = true;
    s.message = "X NUM numeric field at 5,20 takes only 0-9 . -";
    line = StatusLine(s, 100);
    EXPECT_EQ(line.size(), 100u);
    EXPECT_EQ(line.rfind("X SYSTEM  X NUM numeric field", 0), 0u) << line;
    EXPECT_EQ(line.substr(89), " INS 05/020");

    s = TUiStatus{};
    s.host = "h:23";
    s.tn3270e = false;
    EXPECT_NE(StatusLine(s, 80).find("DISCONNECTED h:23"), std::string::npos);
    s.connected = true;
    EXPECT_NE(StatusLine(s, 80).find("h:23 TN3270 NO SESSION"), std::string::npos);
    s.tls = true;
    EXPECT_NE(StatusLine(s, 80).find("h:23 TN3270 TLS NO SESSION"), std::string::npos);
}

// ---------------------------------------------------------------- against hosts

class TerminalModel : public ::testing::Test {
protected:
    void Keys(const std::string& text)
    {
        for (const char c : text)
            Press(K(TUiKey::Char, static_cast<unsigned char>(c)));
    }
    TUiOutcome Press(TKeyEvent k) { return model.HandleKey(k); }
    std::string Row(const TUiFrame& f, int row)
    {
        std::string s;
        for (int c = 0; c < f.cols; ++c) {
            const char32_t ch = f.cells[static_cast<std::size_t>((row - 1) * f.cols + c)].ch;
            s += ch < 0x80 ? static_cast<char>(ch) : '?';
        }
        return s;
    }
    bool Shows(const std::string& text)
    {
        return session.Wait(TWaitCondition::ForText(text), kWait) == TWaitResult::Ok;
    }
    TOperator session;
    TTerminalUiModel model{session};
};

TEST_F(TerminalModel, DemoSignOnMenuInquiryRefusalsAndLogoff)
{
    TSimHostOptions o;
    o.appFactory = TDemoApp::Factory();
    THostSimulator host(o);
    ASSERT_TRUE(session.Connect("127.0.0.1", host.Port())) << session.LastError().Message;
    const auto s = host.WaitSession();
    ASSERT_TRUE(s);
    ASSERT_TRUE(Shows("SIGN ON"));
    ASSERT_EQ(session.Wait(TWaitCondition::Of(TWaitKind::Unlock), kWait), TWaitResult::Ok);
    TUiFrame f = model.Frame();
    EXPECT_EQ(f.status.lu, "SIM00001");
    EXPECT_TRUE(f.status.tn3270e);
    EXPECT_EQ(f.status.state, TSessionState::ssLuLu);

    // A label is protected: refused with a message and a beep, nothing typed.
    Press(K(TUiKey::Home));
    Press(K(TUiKey::Up));
    const TUiOutcome refused = Press(K(TUiKey::Char, U'Z'));
    EXPECT_TRUE(refused.beep);
    EXPECT_EQ(model.Message().rfind("X PROT position ", 0), 0u) << model.Message();
    EXPECT_EQ(model.Frame().status.message, model.Message());

    Press(K(TUiKey::Home));
    Keys("demx");
    Press(K(TUiKey::Backspace));
    Keys("o");
    Press(K(TUiKey::Tab));
    Keys("secret");
    f = model.Frame();
    EXPECT_TRUE(f.status.message.empty());  // the next key cleared it
    EXPECT_EQ(Row(f, 10).find("demo"), 27u) << Row(f, 10);
    EXPECT_EQ(Row(f, 12).find("secret"), std::string::npos);  // non-display
    EXPECT_FALSE(Press(K(TUiKey::Enter)).beep);
    auto in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::Enter);
    ASSERT_EQ(in->fields.size(), 2u);
    EXPECT_EQ(in->fields[0].text, "demo");
    EXPECT_EQ(in->fields[1].text, "secret");
    ASSERT_TRUE(Shows("MAIN MENU"));
    ASSERT_EQ(session.Wait(TWaitCondition::Of(TWaitKind::Unlock), kWait), TWaitResult::Ok);

    Keys("1");
    Press(K(TUiKey::Enter));
    ASSERT_TRUE(Shows("ACCOUNT INQUIRY"));
    ASSERT_EQ(session.Wait(TWaitCondition::Of(TWaitKind::Unlock), kWait), TWaitResult::Ok);
    // The numeric account field refuses a letter; the digits before stay.
    Keys("1000x");
    EXPECT_EQ(model.Message().rfind("X NUM numeric field at 5,", 0), 0u) << model.Message();
    Press(K(TUiKey::Enter));
    ASSERT_TRUE(Shows("ACCOUNT NUMBER MUST BE 5 DIGITS"));
    ASSERT_EQ(session.Wait(TWaitCondition::Of(TWaitKind::Unlock), kWait), TWaitResult::Ok);
    (void)s->WaitInbound();
    (void)s->WaitInbound();

    // Erase EOF empties the field; insert mode puts a digit in front, and
    // is refused once the field's last position holds a digit.
    Press(K(TUiKey::Home));
    Press(K(TUiKey::Ctrl, U'k'));
    Keys("1001");
    Press(K(TUiKey::Home));
    Press(K(TUiKey::Insert));
    EXPECT_TRUE(model.Frame().status.insert);
    Keys("1");
    EXPECT_TRUE(model.Message().empty()) << model.Message();
    EXPECT_TRUE(Press(K(TUiKey::Char, U'2')).beep);
    EXPECT_EQ(model.Message().rfind("X FULL no room to insert", 0), 0u) << model.Message();
    Press(K(TUiKey::Insert));
    Press(K(TUiKey::Enter));
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    ASSERT_FALSE(in->fields.empty());
    EXPECT_EQ(in->fields[0].text, "11001");
    ASSERT_TRUE(Shows("ACCOUNT 11001 NOT FOUND"));
    ASSERT_EQ(session.Wait(TWaitCondition::Of(TWaitKind::Unlock), kWait), TWaitResult::Ok);

    Press(K(TUiKey::Home));
    Press(K(TUiKey::Ctrl, U'k'));
    Keys("10001");
    Press(K(TUiKey::Enter));
    in = s->WaitInbound();
    ASSERT_TRUE(in && !in->fields.empty());
    EXPECT_EQ(in->fields[0].text, "10001");
    ASSERT_TRUE(Shows("ANNA BERGER"));
    ASSERT_EQ(session.Wait(TWaitCondition::Of(TWaitKind::Unlock), kWait), TWaitResult::Ok);

    Press(K(TUiKey::Function, 12));  // PF12: log off
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::PF[11]);
    ASSERT_EQ(session.Wait(TWaitCondition::Of(TWaitKind::Disconnect), kWait), TWaitResult::Ok);
    EXPECT_NE(StatusLine(model.Frame().status, 80).find("DISCONNECTED"), std::string::npos);
    EXPECT_TRUE(Press(K(TUiKey::Char, U'a')).beep);
    EXPECT_TRUE(Press(K(TUiKey::Ctrl, U'q')).quit);
}

TEST_F(TerminalModel, LockedKeyboardRefusesTypingAndKeysButNotAttn)
{
    THostSimulator host;
    ASSERT_TRUE(session.Connect("127.0.0.1", host.Port())) << session.LastError().Message;
    const auto s = host.WaitSession();
    ASSERT_TRUE(s && s->WaitNegotiated());
    // A write without keyboard restore leaves the keyboard locked.
    TSim3270Encoder e;
    e.EraseWrite(0).Field(1, 1, fa::Protected, "LOCKED").Field(2, 1, fa::Unprotected).IC();
    s->Send3270(e.Take());
    ASSERT_TRUE(Shows("LOCKED"));
    const TUiFrame f = model.Frame();
    ASSERT_FALSE(f.status.keyboard.empty());
    EXPECT_TRUE(Press(K(TUiKey::Char, U'A')).beep);
    EXPECT_EQ(model.Message(), "X " + f.status.keyboard + ": keyboard locked, input refused");
    EXPECT_TRUE(Press(K(TUiKey::Enter)).beep);
    EXPECT_EQ(model.Message(), "X " + f.status.keyboard + ": keyboard locked, key not sent");
    EXPECT_EQ(Row(model.Frame(), 2).find('A'), std::string::npos);
    EXPECT_FALSE(s->WaitInbound(200ms));
    // ATTN is the key for a locked keyboard: it goes out as IAC IP.
    EXPECT_FALSE(Press(K(TUiKey::Ctrl, U'a')).beep);
    const auto command = s->WaitTelnetCommand();
    ASSERT_TRUE(command);
    EXPECT_EQ(*command, 0xF4);
    // The key map opens and the next key only closes it.
    Press(K(TUiKey::Ctrl, U'g'));
    EXPECT_TRUE(model.Frame().help);
    EXPECT_FALSE(Press(K(TUiKey::Ctrl, U'q')).quit);
    EXPECT_FALSE(model.Frame().help);
}

} // namespace
