// The operator interface against the simulator over loopback: typing
// refusals, cursor keys, fields, region reads, the waits (satisfied by an
// event before them, by time-out, through the descriptor and the callback,
// refused where they would dead-lock) and the HTML export read back by
// Python's html.parser.
#include "component/uOperator.h"
#include "sim/uHostSimulator.h"
#include "sim/uSim3270Encoder.h"
#include "sim/uTestHost.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace tnsim;

constexpr auto kLong = 10s;

// The test screen (encoder rows and columns 1-based; offsets 0-based):
//   FA 0 "NAME" intensified  | FA 80 "USER" | FA 89 input 90-98 (cursor 90)
//   FA 99 autoskip | FA 160 red reverse "A<B&C>" | FA 169 protected
//   FA 249 numeric input 250-258 | FA 259 protected
//   FA 394 input 395-408, over the end of row 5 | FA 409 protected to the end
Bytes TestScreen(std::string_view extra = {})
{
    TSim3270Encoder e;
    e.EraseWrite(wcc::Restore | wcc::ResetMdt)
        .Field(1, 1, fa::Protected | fa::Intensified, "NAME")
        .Field(2, 1, fa::Protected, "USER")
        .Field(2, 10, fa::Unprotected)
        .IC()
        .Field(2, 20, fa::Skip)
        .FieldX(3, 1, fa::Protected, Colour::Red, Highlight::Reverse, "A<B&C>")
        .Field(3, 10, fa::Protected, extra)
        .Field(4, 10, fa::Numeric)
        .Field(4, 20, fa::Protected)
        .Field(5, 75, fa::Unprotected)
        .Field(6, 10, fa::Protected);
    return e.Take();
}

class OperatorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(op.Connect("127.0.0.1", host.Port()).Ok()) << op.LastError().Message;
        session = host.WaitSession();
        ASSERT_TRUE(session && session->WaitNegotiated());
        session->Send3270(TestScreen());
        ASSERT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Unlock), kLong), TWaitResult::Ok);
    }

    THostSimulator host;
    TOperator op;
    std::shared_ptr<TSimSession> session;
};

TEST_F(OperatorTest, TypingAndEditingRefusalsSayWhyAndKeepWhatWasTyped)
{
    struct Case {
        std::int32_t row, col;  // 0-based cursor
        std::string prefill;    // typed first (overwrite), then the cursor goes back
        bool insert;
        std::string text;       // empty: Backspace
        TOperatorFault fault;
        std::string message;
        std::string shows = {};  // what the field shows afterwards
    };
    const std::vector<Case> cases = {
        {1, 1, "", false, "x", TOperatorFault::Protected, "position 2,2 is protected"},
        {3, 10, "", false, "12a", TOperatorFault::Numeric,
         "numeric field at 4,13 takes only 0-9 . - (2 of 3 characters typed)"},
        // Autoskip: past the field's end the cursor jumps to the numeric field.
        {1, 18, "", false, "ab", TOperatorFault::Numeric,
         "numeric field at 4,11 takes only 0-9 . - (1 of 2 characters typed)"},
        {1, 10, "", false, "ab\xE4", TOperatorFault::NotCarried,
         "character \xC3\xA4 cannot be sent in the built-in table (2 of 3 characters typed)", "ab "},
        {1, 10, "ABCDEFGHI", true, "X", TOperatorFault::FieldFull,
         "no room to insert at 2,11: the field ends in a character"},
        {1, 10, "", false, "", TOperatorFault::FieldStart, "position 2,11 is the start of the field"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        ASSERT_TRUE(op.EraseInput().Ok());
        ASSERT_TRUE(op.MoveCursor0(c.row, c.col).Ok());
        if (!c.prefill.empty()) {
            ASSERT_TRUE(op.Type(c.prefill).Ok()) << op.LastError().Message;
            ASSERT_TRUE(op.MoveCursor0(c.row, c.col).Ok());
        }
        op.SetInsertMode(c.insert);
        const TOperatorError e = c.text.empty() ? op.Backspace() : op.Type(c.text);
        EXPECT_EQ(e.Fault, c.fault);
        EXPECT_EQ(e.Message, c.message);
        EXPECT_EQ(op.LastError().Message, c.message);
        if (!c.shows.empty()) {
            EXPECT_EQ(op.ReadText(c.row, c.col, static_cast<std::int32_t>(c.shows.size())), c.shows);
        }
        op.Reset();
        EXPECT_FALSE(op.InsertMode());
    }
}

TEST_F(OperatorTest, SetFieldFollowsTheScriptRulesAndTheOneCharacterCheck)
{
    struct Case {
        TFieldRef ref;
        std::string text;
        TOperatorFault fault;
        std::string message;
    };
    const std::vector<Case> cases = {
        {TFieldRef::Parse("7"), "x", TOperatorFault::UnknownField, "no input field 7 (the screen has 4)"},
        {TFieldRef::Parse("r9c9"), "x", TOperatorFault::UnknownField, "no field R9C9"},
        {TFieldRef::Parse("r2c2"), "x", TOperatorFault::Protected, "field R2C2 is protected"},
        {TFieldRef::ByIndex(0), "0123456789", TOperatorFault::FieldFull,
         "text of 10 characters does not fit field R2C11 of 9"},
        {TFieldRef::ByIndex(0), std::string("a\x01", 2), TOperatorFault::NotCarried,
         "text holds a character a field cannot hold (\\x00 or \\x01)"},
        // The same check as typing: CanCarry (a control is refused too).
        {TFieldRef::ByIndex(0), "\xE4", TOperatorFault::NotCarried,
         "character \xC3\xA4 cannot be sent in the built-in table"},
        {TFieldRef::ByIndex(0), "a\tb", TOperatorFault::NotCarried,
         "character \\x09 cannot be sent in the built-in table"},
        {TFieldRef::ByIndex(2), std::string(15, 'x'), TOperatorFault::FieldFull,
         "text of 15 characters does not fit field R5C76 of 14"},
    };
    for (const Case& c : cases) {
        const TOperatorError e = op.SetField(c.ref, c.text);
        EXPECT_EQ(e.Fault, c.fault) << c.message;
        EXPECT_EQ(e.Message, c.message);
    }
    // A field over a row end is one field of two records; `set` fills it.
    TOperatorField f;
    ASSERT_TRUE(op.Field(TFieldRef::At(5, 3), f).Ok());
    EXPECT_EQ(f.Start, 395);
    EXPECT_EQ(f.Length, 14);
    EXPECT_EQ(f.Records, 2);
    EXPECT_EQ(f.Name, "R5C76");
    EXPECT_EQ(f.Attribute, 394);
    const std::string text = "OVERTHEEND";
    ASSERT_TRUE(op.SetField(TFieldRef::ByName("r5c76"), text).Ok());
    ASSERT_TRUE(op.SetField(TFieldRef::ByIndex(0), "DEMO").Ok());
    ASSERT_TRUE(op.Key(TTn3270AidKey::akEnter).Ok());
    const auto in = session->WaitInbound();
    ASSERT_TRUE(in);
    ASSERT_NE(in->FieldAt(2, 11), nullptr);
    EXPECT_EQ(in->FieldAt(2, 11)->text, "DEMO");
    ASSERT_NE(in->FieldAt(5, 76), nullptr);
    EXPECT_EQ(in->FieldAt(5, 76)->text, text);
    EXPECT_EQ(in->cursor, 90);
}

// A host text message is published as field lines and paints nothing: the
// fields are its lines, not what the 3270 screen before it still shows.
// The change callback has run for it once the wait has seen it.
TEST_F(OperatorTest, AHostTextMessageOverAScreenGivesItsLinesAsFieldsAndIsNotified)
{
    std::atomic<int> changes{0};
    op.SetOnChange([&] { ++changes; });
    session->SendNvt("LINE1\r\nLINE2\r\n");
    ASSERT_EQ(op.Wait(TWaitCondition::ForText("LINE2"), kLong), TWaitResult::Ok);
    EXPECT_GE(changes.load(), 1);
    const std::vector<TOperatorField> fields = op.Fields();
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].Text, "LINE1");
    EXPECT_EQ(fields[1].Text, "LINE2");
    EXPECT_EQ(fields[1].Attribute, -1);
    TOperatorField f;
    ASSERT_TRUE(op.Field(TFieldRef::At(1, 3), f).Ok());
    EXPECT_EQ(f.Text, "LINE2");
    op.SetOnChange({});
}

TEST_F(OperatorTest, CursorKeysMoveTheOneCursorAndTheListsFollow)
{
    struct Case {
        std::int32_t fromRow, fromCol;
        TOperatorError (TOperator::*key)();
        std::int32_t row, col;
    };
    const std::vector<Case> cases = {
        {0, 0, &TOperator::Tab, 1, 10},     {1, 10, &TOperator::Tab, 3, 10},
        {3, 10, &TOperator::BackTab, 1, 10}, {3, 12, &TOperator::BackTab, 3, 10},
        {7, 0, &TOperator::Home, 1, 10},     {1, 15, &TOperator::Newline, 3, 10},
        {0, 0, &TOperator::Left, 23, 79},    {0, 5, &TOperator::Up, 23, 5},
        {23, 79, &TOperator::Right, 0, 0},   {2, 2, &TOperator::Down, 3, 2},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(op.MoveCursor0(c.fromRow, c.fromCol).Ok());
        ASSERT_TRUE((op.*c.key)().Ok());
        const TCursor at = op.Cursor();
        EXPECT_EQ(at.Row, c.row) << "from " << c.fromRow << "," << c.fromCol;
        EXPECT_EQ(at.Col, c.col) << "from " << c.fromRow << "," << c.fromCol;
        EXPECT_EQ(at.Offset, c.row * 80 + c.col);
        auto guard = op.Component().Lock();
        EXPECT_EQ(op.Component().UnprotectedFields.CursorPos, at.Offset + 1);
        EXPECT_EQ(op.Component().HostFields.CursorPos, at.Offset + 1);
    }
    EXPECT_EQ(op.MoveCursor1(25, 1).Fault, TOperatorFault::OutOfRange);
    EXPECT_EQ(op.MoveCursor1(25, 1).Message, "cursor must be within rows 1-24 and columns 1-80");
    EXPECT_EQ(op.MoveCursorOffset(1920).Fault, TOperatorFault::OutOfRange);
    ASSERT_TRUE(op.MoveCursor1(4, 12).Ok());
    ASSERT_TRUE(op.Key(TTn3270AidKey::akPF3).Ok());
    const auto in = session->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->cursor, 3 * 80 + 11);
    EXPECT_EQ(in->aid, 0xF3);
    // While the host holds the keyboard, input and keys are refused.
    EXPECT_EQ(op.Type("1").Message, "SENDING: keyboard locked, input refused");
    EXPECT_EQ(op.Key(TTn3270AidKey::akEnter).Fault, TOperatorFault::KeyboardLocked);
    op.SetTypeAhead(true);
    EXPECT_TRUE(op.Type("1").Ok());
}

TEST_F(OperatorTest, RegionsAndCellsReadTheScreen)
{
    std::string text;
    EXPECT_TRUE(op.ReadText(0, 1, 4, text).Ok());
    EXPECT_EQ(text, "NAME");
    EXPECT_EQ(op.ReadText(0, 79, 3), "  U");          // on over the row end
    EXPECT_EQ(op.ReadText(23, 78, 10), "  ");          // cut at the screen's end
    EXPECT_EQ(op.ReadText(24, 0, 1, text).Fault, TOperatorFault::OutOfRange);
    std::vector<std::string> region;
    ASSERT_TRUE(op.ReadRegion(1, 0, 2, 7, region).Ok());
    EXPECT_EQ(region, (std::vector<std::string>{" USER  ", " A<B&C>"}));
    ASSERT_TRUE(op.ReadRegion(23, 78, 5, 5, region).Ok());
    EXPECT_EQ(region, (std::vector<std::string>{"  "}));
    const std::vector<TScreenCell> cells = op.Cells();
    ASSERT_EQ(cells.size(), 1920u);
    EXPECT_EQ(cells[161].Ch, U'A');
    EXPECT_EQ(cells[161].Color, T3270Color::Red);
    EXPECT_TRUE(cells[161].Reverse && cells[161].Protected);
    EXPECT_EQ(cells[161].Field, 160);
    EXPECT_TRUE(cells[160].FieldAttribute);
    EXPECT_EQ(cells[1].Color, T3270Color::White);   // protected intensified
    EXPECT_TRUE(cells[1].Intensified);
    EXPECT_EQ(cells[90].Color, T3270Color::Green);  // unprotected
    EXPECT_TRUE(cells[250].Numeric && !cells[250].Protected);
    const TOperatorStatus s = op.Status();
    EXPECT_TRUE(s.Connected && s.Formatted && s.Tn3270E);
    EXPECT_EQ(s.Rows, 24);
    EXPECT_EQ(s.Cursor.Offset, 90);
    EXPECT_EQ(op.StatusLines()[3], "keyboard unlocked");
}

TEST_F(OperatorTest, WaitsSeeTheEventBeforeThemAndTimeOut)
{
    ASSERT_TRUE(op.Key(TTn3270AidKey::akEnter).Ok());
    ASSERT_TRUE(session->WaitInbound());
    session->Send3270(TestScreen("ANSWER"));
    // Text and Unlock waits move no screen mark: the screen the key brought
    // came before the Screen wait and satisfies it at once.
    ASSERT_EQ(op.Wait(TWaitCondition::ForText("ANSWER"), kLong), TWaitResult::Ok);
    ASSERT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Unlock), kLong), TWaitResult::Ok);
    EXPECT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Screen), 0ms), TWaitResult::Ok);
    EXPECT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Screen), 30ms), TWaitResult::Timeout);
    EXPECT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Unlock), 0ms), TWaitResult::Ok);
    EXPECT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::InputField), 0ms), TWaitResult::Ok);
    EXPECT_EQ(op.Wait(TWaitCondition::ForCursor(1, 10), 0ms), TWaitResult::Ok);
    EXPECT_EQ(op.Wait(TWaitCondition::ForTextAt(2, 10, "ANSWER"), 0ms), TWaitResult::Ok);
    EXPECT_EQ(op.Wait(TWaitCondition::ForTextAt(2, 11, "ANSWER"), 30ms), TWaitResult::Timeout);
    EXPECT_EQ(op.Wait(TWaitCondition::ForCursor(24, 0), 0ms), TWaitResult::Refused);
    EXPECT_EQ(op.LastError().Fault, TOperatorFault::OutOfRange);
    // The operator's own cursor key satisfies a cursor wait.
    std::promise<TWaitResult> moved;
    ASSERT_TRUE(op.StartWait(TWaitCondition::ForCursor(3, 10), kLong, [&](TWaitResult r) { moved.set_value(r); }));
    ASSERT_TRUE(op.Tab().Ok());
    EXPECT_EQ(moved.get_future().get(), TWaitResult::Ok);
    // The host ends the session: waits for the screen end, Disconnect is done.
    session->Close();
    EXPECT_EQ(op.Wait(TWaitCondition::ForText("NEVER"), kLong), TWaitResult::Ended);
    EXPECT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Disconnect), 0ms), TWaitResult::Ok);
    EXPECT_EQ(op.Disconnect().Message, "not connected");
}

// With no read pause, an answer in two records (the first leaves the
// keyboard locked) ends the key's waits only with the second; the unlock of
// the screen before the key, delivered after it, does not count.
TEST(OperatorWire, AnAnswerInTwoRecordsEndsTheKeysWaitsOnlyWhenWhole)
{
    THostSimulator host;
    TOperator op;
    op.Component().SetReadPause(0);
    ASSERT_TRUE(op.Connect("127.0.0.1", host.Port()).Ok());
    const auto s = host.WaitSession();
    ASSERT_TRUE(s && s->WaitNegotiated());
    s->Send3270(TSim3270Encoder().EraseWrite(wcc::Restore).Field(1, 1, fa::Unprotected, "READY").Take());
    ASSERT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Unlock), kLong), TWaitResult::Ok);
    ASSERT_TRUE(op.Key(TTn3270AidKey::akEnter).Ok());
    ASSERT_TRUE(s->WaitData());
    s->Send3270(TSim3270Encoder().EraseWrite(wcc::ResetMdt).Field(1, 1, fa::Protected, "PART ONE").Take());
    ASSERT_EQ(op.Wait(TWaitCondition::ForText("PART ONE"), kLong), TWaitResult::Ok);
    EXPECT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Screen), 100ms), TWaitResult::Timeout);
    EXPECT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Unlock), 100ms), TWaitResult::Timeout);
    s->Send3270(TSim3270Encoder().Write(wcc::Restore).SBA(2, 1).Text("PART TWO").Take());
    EXPECT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Screen), kLong), TWaitResult::Ok);
    EXPECT_EQ(op.ReadText(1, 0, 8), "PART TWO");
}

TEST_F(OperatorTest, CompletionRaisesTheDescriptorAndRunsTheCallbackOnce)
{
    std::atomic<int> calls{0};
    std::promise<TWaitResult> result;
    ASSERT_TRUE(op.StartWait(TWaitCondition::ForText("LATER"), kLong, [&](TWaitResult r) {
        ++calls;
        // Inside the reader's handler: a blocking wait would dead-lock.
        EXPECT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Screen), 0ms), TWaitResult::Refused);
        EXPECT_EQ(op.LastError().Fault, TOperatorFault::WrongThread);
        result.set_value(r);
    }));
    pollfd p{op.ReadyFd(), POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    EXPECT_FALSE(op.StartWait(TWaitCondition::Of(TWaitKind::Screen), kLong));
    EXPECT_EQ(op.LastError().Fault, TOperatorFault::Busy);
    EXPECT_FALSE(op.TakeWaitResult());
    session->Send3270(TestScreen("LATER"));
    ASSERT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_EQ(result.get_future().get(), TWaitResult::Ok);
    EXPECT_EQ(op.TakeWaitResult(), TWaitResult::Ok);
    EXPECT_EQ(::poll(&p, 1, 0), 0);
    EXPECT_EQ(calls.load(), 1);
    // A deadline and a cancel complete it too, through the same paths.
    std::promise<TWaitResult> timedOut;
    ASSERT_TRUE(op.StartWait(TWaitCondition::ForText("NEVER"), 20ms, [&](TWaitResult r) {
        // On the timer's thread: a blocking wait would wait for itself.
        EXPECT_EQ(op.Wait(TWaitCondition::ForText("NEVER"), 20ms), TWaitResult::Refused);
        timedOut.set_value(r);
    }));
    EXPECT_EQ(timedOut.get_future().get(), TWaitResult::Timeout);
    ASSERT_TRUE(op.StartWait(TWaitCondition::ForText("NEVER"), kLong));
    EXPECT_TRUE(op.CancelWait());
    EXPECT_EQ(op.TakeWaitResult(), TWaitResult::Cancelled);
    // Holding the session lock: refused as well.
    auto guard = op.Component().Lock();
    EXPECT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Screen), 0ms), TWaitResult::Refused);
}

TEST_F(OperatorTest, HtmlExportHoldsTheRowsInOnePreWithColours)
{
    const auto dir = std::filesystem::temp_directory_path() / ("tn_operator_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string html = (dir / "screen.html").string(), rows = (dir / "rows.txt").string(),
                      out = (dir / "runs.txt").string();
    ASSERT_TRUE(op.SaveHtml(html).Ok());
    ASSERT_TRUE(op.SaveText(rows).Ok());
    std::string joined = op.ScreenText();
    joined.pop_back();  // the <pre> holds no newline after the last row
    std::ofstream(rows, std::ios::trunc) << joined;
    const std::string command = std::string(TN_PYTHON) + " " + TN_HTML_CHECK + " " + html + " " + rows +
                                " red cursor intensified > " + out;
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ifstream in(out);
    std::vector<std::string> runs;
    for (std::string line; std::getline(in, line);)
        runs.push_back(line);
    // classes (sorted) | the text of a run
    auto has = [&](const std::string& classes, const std::string& text) {
        return std::any_of(runs.begin(), runs.end(), [&](const std::string& r) {
            return r.rfind(classes + "|", 0) == 0 && r.find(text, classes.size() + 1) != std::string::npos;
        });
    };
    EXPECT_TRUE(has("red reverse", "A<B&C>")) << testing::PrintToString(runs);
    EXPECT_TRUE(has("intensified white", "NAME")) << testing::PrintToString(runs);
    EXPECT_TRUE(has("cursor green", " ")) << testing::PrintToString(runs);
    EXPECT_EQ(op.SaveHtml((dir / "no" / "such.html").string()).Fault, TOperatorFault::Io);
    std::filesystem::remove_all(dir);
}

TEST(OperatorKeys, NamesParseBackToTheirKeys)
{
    for (int k = static_cast<int>(TTn3270AidKey::akEnter); k <= static_cast<int>(TTn3270AidKey::akPA3); ++k) {
        const auto key = static_cast<TTn3270AidKey>(k);
        EXPECT_EQ(TOperator::ParseKeyName(TOperator::KeyName(key)), key) << TOperator::KeyName(key);
    }
    EXPECT_EQ(TOperator::ParseKeyName("PF24"), TTn3270AidKey::akPF24);
    for (const char* bad : {"pf0", "pf25", "pf01", "pa4", "enterx", ""})
        EXPECT_FALSE(TOperator::ParseKeyName(bad)) << bad;
}

TEST(OperatorConnect, ARefusedConnectionSaysWhereAndAConnectWaitFails)
{
    std::uint16_t port = 0;
    {
        TTestHost closed;  // a port nothing listens on once it is gone
        port = closed.Port();
    }
    TOperator op;
    const TOperatorError e = op.Connect("127.0.0.1", port);
    EXPECT_EQ(e.Fault, TOperatorFault::ConnectFailed);
    EXPECT_EQ(e.Message, "cannot connect to 127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Connect), 0ms), TWaitResult::Failed);
    EXPECT_EQ(op.Type("x").Fault, TOperatorFault::NotConnected);
    EXPECT_EQ(op.Wait(TWaitCondition::Of(TWaitKind::Screen), 0ms), TWaitResult::Ended);
}

}  // namespace
