// The typing engine's editing and cursor keys: insert mode and its
// refusal, Delete, Backspace, Erase EOF, Tab, Back Tab, Home and the
// arrows, on formatted screens (fields wrapping over the screen's end
// included) and on an unformatted one.
#include "display/uTypingEngine.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// '.' for a null, '|' for a field attribute marker.
std::string Text(const TOrvTn3270display& d, int from, int n)
{
    std::string s;
    for (int i = from; i < from + n; ++i) {
        const auto c = d.Chars[static_cast<std::size_t>(i)];
        s += c == 0 ? '.' : c == 1 ? '|' : static_cast<char>(c);
    }
    return s;
}

void Put(TOrvTn3270display& d, int at, const std::string& s)
{
    for (std::size_t k = 0; k < s.size(); ++k)
        d.Chars[static_cast<std::size_t>(at) + k] = static_cast<std::uint8_t>(s[k] == '.' ? 0 : s[k]);
}

constexpr std::uint8_t kProtected = 0x20, kNumeric = 0x10, kAutoskip = 0x30;

// Row 1: protected label at 0, input field 10..17 (FA at 9), protected at 18,
// numeric input 30..34 (FA 29), protected FA at 35; row 3: input 161..165.
struct Edit : ::testing::Test {
    TOrvTn3270display d{0, 24, 80};
    TTypingEngine engine{d, nullptr};
    void SetUp() override
    {
        d.insertFA(0, kProtected);
        d.insertFA(9, 0x00);
        d.insertFA(18, kProtected);
        d.insertFA(29, kNumeric);
        d.insertFA(35, kProtected);
        d.insertFA(160, 0x00);
        d.insertFA(166, kProtected);
        d.setBitModifiedInFA(9, false);
    }
};

TEST_F(Edit, InsertShiftsIntoATrailingNullAndIsRefusedWhenTheFieldIsFull)
{
    Put(d, 10, "ACD.....");
    d.SetCursorPosition(11);
    TTypeResult r;
    ASSERT_TRUE(engine.InsertChar('B', r));
    EXPECT_EQ(Text(d, 9, 10), "|ABCD....|");
    EXPECT_EQ(d.CursorPosition, 12);
    EXPECT_TRUE(d.isFieldModified(10));

    Put(d, 10, "ABCDEFGH");
    d.SetCursorPosition(12);
    EXPECT_FALSE(engine.InsertChar('X', r));
    EXPECT_EQ(r.Refusal, TTypeRefusal::trNoRoom);
    EXPECT_EQ(r.Message(), "no room to insert at 1,13: the field ends in a character");
    EXPECT_EQ(Text(d, 10, 8), "ABCDEFGH");  // nothing lost
    EXPECT_EQ(d.CursorPosition, 12);

    // A null inside the field does not help: the last position must be one.
    Put(d, 10, "AB.DEFGH");
    d.SetCursorPosition(10);
    EXPECT_FALSE(engine.InsertChar('X', r));
    // Insert keeps the other refusals: protected, numeric.
    d.SetCursorPosition(5);
    EXPECT_FALSE(engine.InsertChar('X', r));
    EXPECT_EQ(r.Refusal, TTypeRefusal::trProtected);
    d.SetCursorPosition(30);
    EXPECT_FALSE(engine.InsertChar('X', r));
    EXPECT_EQ(r.Refusal, TTypeRefusal::trNumeric);
}

TEST_F(Edit, DeleteBackspaceAndEraseEofStayInsideTheField)
{
    Put(d, 10, "ABCDEFGH");
    d.SetCursorPosition(12);
    EXPECT_TRUE(engine.DeleteChar().Ok());
    EXPECT_EQ(Text(d, 9, 10), "|ABDEFGH.|");
    EXPECT_EQ(d.CursorPosition, 12);
    EXPECT_TRUE(d.isFieldModified(10));

    EXPECT_TRUE(engine.Backspace().Ok());
    EXPECT_EQ(Text(d, 9, 10), "|ADEFGH..|");
    EXPECT_EQ(d.CursorPosition, 11);
    EXPECT_TRUE(engine.Backspace().Ok());
    EXPECT_EQ(d.CursorPosition, 10);
    const TTypeResult atStart = engine.Backspace();
    EXPECT_EQ(atStart.Refusal, TTypeRefusal::trFieldStart);
    EXPECT_EQ(Text(d, 9, 10), "|DEFGH...|");
    EXPECT_EQ(d.CursorPosition, 10);

    d.SetCursorPosition(12);
    EXPECT_TRUE(engine.EraseEof().Ok());
    EXPECT_EQ(Text(d, 9, 10), "|DE......|");
    EXPECT_EQ(Text(d, 18, 2), "|.");  // the next field is untouched

    // Protected positions and field attributes refuse every editing key.
    Put(d, 1, "LABEL");
    for (const int at : {3, 9}) {
        d.SetCursorPosition(at);
        EXPECT_EQ(engine.DeleteChar().Refusal, TTypeRefusal::trProtected) << at;
        EXPECT_EQ(engine.Backspace().Refusal, TTypeRefusal::trProtected) << at;
        EXPECT_EQ(engine.EraseEof().Refusal, TTypeRefusal::trProtected) << at;
    }
    EXPECT_EQ(Text(d, 0, 6), "|LABEL");
}

TEST_F(Edit, EditsOfAFieldThatWrapsOverTheScreenEnd)
{
    TOrvTn3270display w{0, 24, 80};
    TTypingEngine e{w, nullptr};
    w.insertFA(1915, 0x00);  // input 1916..1919 and 0..2
    w.insertFA(3, kProtected);
    Put(w, 1916, "ABCD");
    Put(w, 0, "EF.");
    w.SetCursorPosition(1918);
    TTypeResult r;
    ASSERT_TRUE(e.InsertChar('X', r));
    EXPECT_EQ(Text(w, 1916, 4) + Text(w, 0, 3), "ABXCDEF");
    w.SetCursorPosition(1919);
    EXPECT_TRUE(e.DeleteChar().Ok());
    EXPECT_EQ(Text(w, 1916, 4) + Text(w, 0, 3), "ABXDEF.");
    w.SetCursorPosition(0);
    EXPECT_TRUE(e.Backspace().Ok());
    EXPECT_EQ(w.CursorPosition, 1919);
    EXPECT_EQ(Text(w, 1916, 4) + Text(w, 0, 3), "ABXEF..");
    EXPECT_TRUE(e.EraseEof().Ok());
    EXPECT_EQ(Text(w, 1916, 4) + Text(w, 0, 4), "ABX....|");
}

TEST_F(Edit, TabBackTabHomeAndArrows)
{
    struct Case {
        int from;
        int tab, backTab;
    } cases[] = {
        {0, 10, 161},    // before the first input field; back tab wraps to the last
        {10, 30, 161},   // at a field's start: on to the next / back to the previous
        {13, 30, 10},    // inside a field: back tab goes to its start
        {31, 161, 30},
        {170, 10, 161},  // after the last input field: tab wraps to the first
    };
    for (const Case& c : cases) {
        d.SetCursorPosition(c.from);
        engine.Tab();
        EXPECT_EQ(d.CursorPosition, c.tab) << c.from;
        d.SetCursorPosition(c.from);
        engine.BackTab();
        EXPECT_EQ(d.CursorPosition, c.backTab) << c.from;
    }
    d.SetCursorPosition(500);
    engine.Home();
    EXPECT_EQ(d.CursorPosition, 10);

    d.SetCursorPosition(0);
    engine.Move(0, -1);
    EXPECT_EQ(d.CursorPosition, 1919);
    engine.Move(1, 0);
    EXPECT_EQ(d.CursorPosition, 79);
    engine.Move(-1, 0);
    EXPECT_EQ(d.CursorPosition, 1919);
    engine.Move(0, 1);
    EXPECT_EQ(d.CursorPosition, 0);

    // No input field at all: Tab and Home go to the top left.
    TOrvTn3270display p{0, 24, 80};
    TTypingEngine pe{p, nullptr};
    p.insertFA(0, kAutoskip);
    p.SetCursorPosition(100);
    pe.Tab();
    EXPECT_EQ(p.CursorPosition, 0);
    p.SetCursorPosition(100);
    pe.BackTab();
    EXPECT_EQ(p.CursorPosition, 0);
}

TEST(EditUnformatted, TheWholeScreenIsOneField)
{
    TOrvTn3270display d{0, 24, 80};
    TTypingEngine e{d, nullptr};
    Put(d, 0, "LOGON");
    d.SetCursorPosition(0);
    EXPECT_EQ(e.Backspace().Refusal, TTypeRefusal::trFieldStart);
    TTypeResult r;
    ASSERT_TRUE(e.InsertChar('X', r));  // the screen's last position is a null
    EXPECT_EQ(Text(d, 0, 7), "XLOGON.");
    d.SetCursorPosition(3);
    EXPECT_TRUE(e.EraseEof().Ok());
    EXPECT_EQ(Text(d, 0, 7), "XLO....");
    EXPECT_EQ(d.Chars[1919], 0);
    e.Tab();
    EXPECT_EQ(d.CursorPosition, 0);
}

} // namespace
