// Text forms of a screen built directly in a screen buffer: what `screen`
// and `fields` print, blanking included.
#include "component/uHostFieldExtract.h"
#include "component/uScreenExport.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class ScreenText : public ::testing::Test {
protected:
    void Put(std::int32_t row, std::int32_t col, std::string_view text)
    {
        std::memcpy(screen.Chars.data() + (row - 1) * 80 + (col - 1), text.data(), text.size());
    }
    std::int32_t At(std::int32_t row, std::int32_t col) { return (row - 1) * 80 + (col - 1); }

    TOrvTn3270display screen{0, 24, 80};
};

TEST_F(ScreenText, UnformattedScreenShowsNullsAndControlsAsBlanks)
{
    Put(1, 1, "HELLO");
    Put(24, 76, "WORLD");
    screen.Chars[At(2, 1)] = 0x07;
    screen.Chars[At(2, 2)] = 0x7F;
    screen.SetCursorPosition(At(24, 80));
    const auto rows = TScreenExport::Rows(screen);
    ASSERT_EQ(rows.size(), 24u);
    for (const auto& r : rows)
        EXPECT_EQ(r.size(), 80u);
    EXPECT_EQ(rows[0], "HELLO" + std::string(75, ' '));
    EXPECT_EQ(rows[1], std::string(80, ' '));
    EXPECT_EQ(rows[23], std::string(75, ' ') + "WORLD");
}

TEST_F(ScreenText, FieldAttributesAndNonDisplayFieldsAreBlank)
{
    screen.insertFA(At(3, 1), 0x20);           // protected label
    Put(3, 2, "PASSWORD");
    screen.insertFA(At(3, 10), 0x0C);          // non-display input
    Put(3, 11, "SECRET");
    screen.insertFA(At(3, 17), 0x28);          // protected, intensified
    Put(3, 18, "SHOWN");
    // A non-display field that wraps from the last position to the first.
    screen.insertFA(At(24, 78), 0x2C);
    Put(24, 79, "XY");
    Put(1, 1, "HIDDEN");
    screen.insertFA(At(1, 7), 0x20);
    Put(1, 8, "TOP");
    const auto rows = TScreenExport::Rows(screen);
    EXPECT_EQ(rows[2].substr(0, 24), " PASSWORD        SHOWN  ");
    EXPECT_EQ(rows[23].substr(77), "   ");
    EXPECT_EQ(rows[0].substr(0, 10), "       TOP");
    const std::string text = TScreenExport::LocalText(screen);
    EXPECT_EQ(text.size(), 1920u);
    EXPECT_EQ(text.find("SECRET"), std::string::npos);
    EXPECT_NE(text.find("SHOWN"), std::string::npos);
}

TEST_F(ScreenText, LatinCharactersBecomeUtf8OneCharacterAPosition)
{
    Put(1, 1, "\xA2\xAC\xFF\x81");
    const auto rows = TScreenExport::Rows(screen);
    // 3 two-byte characters, 0x81 (unused in Windows-1252) as a blank, 76 blanks.
    EXPECT_EQ(rows[0], "\xC2\xA2\xC2\xAC\xC3\xBF " + std::string(76, ' '));
    std::string error;
    EXPECT_EQ(TScreenExport::ToLocal(rows[0], error), "\xA2\xAC\xFF " + std::string(76, ' '));
}

TEST_F(ScreenText, FieldLinesCarryNamePositionAttributesAndInputIndex)
{
    screen.insertFA(At(2, 1), 0x20);
    Put(2, 2, "USER");
    screen.insertFA(At(2, 10), 0x08 | 0x01);   // unprotected, intensified, modified
    Put(2, 11, "ME");
    screen.insertFA(At(2, 20), 0x2C);
    screen.insertFA(At(3, 10), 0x0C);          // hidden input
    Put(3, 11, "PW");
    screen.insertFA(At(3, 20), 0x30);          // protected numeric: skip
    for (std::int32_t col = 2; col <= 5; ++col)
        screen.setEFA(At(2, col), 0x28);
    screen.SetCursorPosition(At(3, 11));
    screen.update();
    TDSFields host, unprotected;
    GenHostFields(screen, host, unprotected);
    const auto lines = TScreenExport::FieldLines(host, unprotected);
    ASSERT_EQ(static_cast<std::int32_t>(lines.size()), host.Count());
    auto find = [&](const std::string& name) -> std::string {
        for (const auto& l : lines)
            if (l.rfind(name + " ", 0) == 0)
                return l;
        return "";
    };
    EXPECT_EQ(find("R2C2"), "R2C2 pos=82 len=4 attr=20 eab=28 editable=0 numeric=0 hidden=0 high=0 modified=0 "
                            "input=- text=\"USER\"");
    EXPECT_EQ(find("R2C11"), "R2C11 pos=91 len=9 attr=09 eab=00 editable=1 numeric=0 hidden=0 high=1 modified=1 "
                             "input=0 text=\"ME\"");
    // The non-display input shows blanks for its text, like the screen.
    EXPECT_EQ(find("R3C11"), "R3C11 pos=171 len=9 attr=0C eab=00 editable=1 numeric=0 hidden=1 high=0 modified=0 "
                             "input=1 text=\"  \"");
    EXPECT_NE(find("R3C21").find("attr=30 eab=00 editable=0 numeric=1"), std::string::npos);
}

TEST(QuoteText, EscapesQuotesBackslashesAndControls)
{
    EXPECT_EQ(TScreenExport::Quote(""), "\"\"");
    EXPECT_EQ(TScreenExport::Quote("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(TScreenExport::Quote(std::string("\x00\x1F\x7F\x9D\xA0\x80", 6)), "\"\\x00\\x1F\\x7F\\x9D\xC2\xA0\xE2\x82\xAC\"");
}

}  // namespace
