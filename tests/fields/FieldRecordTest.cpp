// Field records: position arithmetic, names, Assign, the Modified rule,
// the attribute views and the colours.
#include "fields/u3270Fields.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

struct PosCase {
    std::int16_t pos;
    std::int16_t row;
    std::int16_t col;
};

class SetPosTest : public ::testing::TestWithParam<PosCase> {};

TEST_P(SetPosTest, SetsRowAndColumnAndReadsBack)
{
    const PosCase c = GetParam();
    T3270Field f;
    f.Len = 7;
    f.SetPos(c.pos);
    EXPECT_EQ(f.Row, c.row);
    EXPECT_EQ(f.Col, c.col);
    EXPECT_EQ(f.GetPos(), c.pos);
    EXPECT_EQ(f.Len, 7);
}

INSTANTIATE_TEST_SUITE_P(Positions, SetPosTest,
                         ::testing::Values(PosCase{0, 1, 0}, PosCase{1, 1, 1}, PosCase{79, 1, 79},
                                           PosCase{80, 2, 0}, PosCase{81, 2, 1}, PosCase{1841, 24, 1},
                                           PosCase{1920, 25, 0}, PosCase{-1, 1, -1}, PosCase{-81, 0, -1},
                                           PosCase{32767, 410, 47}, PosCase{-32768, -408, -48}));

TEST(FieldRecordTest, RoundTripsEveryPosition)
{
    TDSField f;
    for (const std::int16_t columns : {80, 132, 160, 0}) {
        f.Columns = columns;
        for (int p = -32768; p <= 32767; ++p) {
            f.SetPos(static_cast<std::int16_t>(p));
            ASSERT_EQ(f.GetPos(), p) << columns;
        }
    }
    // A 27x132 screen: position 133 is row 2, column 1; 132 the last column of row 1.
    f.Columns = 132;
    f.SetPos(133);
    EXPECT_EQ(f.GetName(), "R2C1");
    f.SetPos(132);
    EXPECT_EQ(f.GetName(), "R2C0");
    f.SetPos(3564);
    EXPECT_EQ(f.GetName(), "R28C0");
}

TEST(FieldRecordTest, NameShowsRowAndColumn)
{
    T3270Field f;
    EXPECT_EQ(f.GetName(), "R0C0");
    f.Row = 3;
    f.Col = 12;
    EXPECT_EQ(f.GetName(), "R3C12");
    f.SetPos(-1);
    EXPECT_EQ(f.GetName(), "R1C-1");
}

TEST(FieldRecordTest, AssignCopiesAllButLength)
{
    TDSField src;
    src.Row = 4;
    src.Col = 9;
    src.Len = 5;
    src.Attr = 0x21;
    src.Eab = 0x28;
    src.SetData("HELLO");
    src.Columns = 132;
    T3270Field dst;
    dst.Len = 9;
    dst.Assign(&src);
    EXPECT_EQ(dst.Columns, 132);
    EXPECT_EQ(dst.Row, 4);
    EXPECT_EQ(dst.Col, 9);
    EXPECT_EQ(dst.Len, 9);
    EXPECT_EQ(dst.Attr, 0x21);
    EXPECT_EQ(dst.Eab, 0x28);
    EXPECT_EQ(dst.Data, "HELLO");

    // Any other class, or none, leaves the target as it was.
    TDSFields notAField;
    dst.Assign(&notAField);
    dst.Assign(nullptr);
    EXPECT_EQ(dst.Row, 4);
    EXPECT_EQ(dst.Data, "HELLO");
    EXPECT_EQ(dst.Len, 9);
}

TEST(FieldRecordTest, ModifiedFollowsTextChangesAndIsNeverCleared)
{
    T3270Field f;
    f.Attr = 0x00;
    f.SetData("");  // same text as a new record's
    EXPECT_FALSE(f.GetModified());
    f.SetModified(false);  // false never sets the tag
    EXPECT_FALSE(f.GetModified());
    f.Data = "ABC";
    f.SetData("ABC");
    EXPECT_FALSE(f.GetModified());
    f.SetData("ABD");
    EXPECT_TRUE(f.GetModified());
    EXPECT_EQ(f.Attr, 0x01);
    f.SetModified(false);
    EXPECT_TRUE(f.GetModified());

    // Exact byte comparison: a text with an embedded zero differs.
    T3270Field g;
    g.Data = "AB";
    g.SetData(std::string_view("AB\0", 3));
    EXPECT_TRUE(g.GetModified());
    EXPECT_EQ(g.Data.size(), 3U);

    // The generic record has no modified tag to set.
    TDSField plain;
    plain.SetData("XYZ");
    EXPECT_EQ(plain.Attr, 0x00);
}

struct AttrCase {
    std::uint8_t attr;
    bool editable, numeric, visible, high, skip, modified;
};

class AttrViewTest : public ::testing::TestWithParam<AttrCase> {};

TEST_P(AttrViewTest, BooleanViewsOfTheFieldAttribute)
{
    const AttrCase c = GetParam();
    T3270Field f;
    f.Attr = c.attr;
    EXPECT_EQ(f.GetEditable(), c.editable);
    EXPECT_EQ(f.GetNumeric(), c.numeric);
    EXPECT_EQ(f.GetVisible(), c.visible);
    EXPECT_EQ(f.GetHigh(), c.high);
    EXPECT_EQ(f.GetSkip(), c.skip);
    EXPECT_EQ(f.GetModified(), c.modified);
}

INSTANTIATE_TEST_SUITE_P(Attributes, AttrViewTest,
                         ::testing::Values(
                             //        attr  edit   num    vis    high   skip   mdt
                             AttrCase{0x00, true, false, true, false, false, false},
                             AttrCase{0x2C, false, false, false, false, false, false},
                             AttrCase{0x30, false, true, true, false, true, false},
                             AttrCase{0x08, true, false, true, true, false, false},
                             AttrCase{0x04, true, false, true, false, false, false},
                             AttrCase{0x1C, true, true, false, false, false, false},
                             AttrCase{0x39, false, true, true, true, true, true}));

TEST(FieldRecordTest, ExtendedAttributeViews)
{
    T3270Field f;
    f.Eab = 0x80 | 0x04;
    EXPECT_TRUE(f.GetReverse());
    EXPECT_FALSE(f.GetBlinking());
    EXPECT_TRUE(f.GetUnderline());
    EXPECT_FALSE(f.GetMandatory());
    f.Eab = 0x40 | 0x02;
    EXPECT_FALSE(f.GetReverse());
    EXPECT_TRUE(f.GetBlinking());
    EXPECT_FALSE(f.GetUnderline());
    EXPECT_TRUE(f.GetMandatory());
}

struct ColorCase {
    std::uint8_t attr;
    std::uint8_t eab;
    TColor color;
};

class ColorTest : public ::testing::TestWithParam<ColorCase> {};

TEST_P(ColorTest, ColourFromAttributes)
{
    T3270Field f;
    f.Attr = GetParam().attr;
    f.Eab = GetParam().eab;
    EXPECT_EQ(f.GetColor(), GetParam().color) << std::hex << int(f.Attr) << " " << int(f.Eab);
}

INSTANTIATE_TEST_SUITE_P(
    Colours, ColorTest,
    ::testing::Values(
        // Eab 0: the field attribute decides.
        ColorCase{0x00, 0x00, 0x00008000}, ColorCase{0x08, 0x00, 0x000000FF}, ColorCase{0x20, 0x00, 0x00FF0000},
        ColorCase{0x28, 0x00, 0x00FFFFFF},
        // Non-display is not "high": a hidden protected field is blue.
        ColorCase{0x2C, 0x00, 0x00FF0000},
        // Eab not 0: the colour code alone, default being black.
        ColorCase{0x28, 0x80, 0x00000000}, ColorCase{0x00, 0x02, 0x00000000}, ColorCase{0x00, 0x08, 0x00FF0000},
        ColorCase{0x00, 0x10, 0x000000FF}, ColorCase{0x00, 0x18, 0x00FF00FF}, ColorCase{0x20, 0x20, 0x00008000},
        ColorCase{0x00, 0x28, 0x00FFFF00}, ColorCase{0x00, 0x30, 0x0000FFFF}, ColorCase{0x00, 0xB8, 0x00FFFFFF}));

}  // namespace
