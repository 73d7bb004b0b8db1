// Field extraction: how screens painted the way a host paints them come out
// as records, which records the unprotected list borrows, the cursor, the
// log line, and invariants over arbitrary screens.
#include "ExtractTestSupport.h"

#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

namespace {

const std::string kBlanks(80, ' ');

std::string Blanks(int n) { return std::string(static_cast<std::size_t>(n), ' '); }

struct LayoutCase {
    const char* name;
    std::function<void(PaintedScreen&)> paint;
    int count;             // records in HostFields
    int first;             // index of the first record checked
    std::vector<Rec> recs; // records from that index on
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class LayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(LayoutTest, RecordsFollowFieldsRowsAndExtendedAttributes)
{
    const LayoutCase& c = GetParam();
    PaintedScreen ps;
    c.paint(ps);
    TDSFields host;
    TDSFields unprotected;
    GenHostFields(ps.screen, host, unprotected);
    EXPECT_EQ(host.Count(), c.count);
    ExpectRecordsFrom(host, c.first, c.recs);

    // The unprotected list is exactly the editable records, in order.
    std::int32_t u = 0;
    for (std::int32_t k = 0; k < host.Count(); ++k) {
        if (As3270Field(host.Items(k))->GetEditable()) {
            ASSERT_EQ(unprotected.Items(u), host.Items(k)) << "record " << k;
            ++u;
        }
    }
    EXPECT_EQ(unprotected.Count(), u);
}

const LayoutCase kLayouts[] = {
    {"FieldAttributeAtTheFirstPosition",
     [](PaintedScreen& s) {
         s.Field(0, 0x20);
         s.Text(1, "NAME");
     },
     24, 0, {{2, 79, 0x20, 0, "NAME" + Blanks(75)}, {81, 80, 0x20, 0, kBlanks}}},

    {"OddAttributeOfTheFirstPositionIsPublishedAs02",
     [](PaintedScreen& s) { s.Field(100, 0x18); },
     25, 0, {{1, 80, 0x02, 0, ""}, {81, 20, 0x02, 0, ""}, {102, 59, 0x18, 0, ""}, {161, 80, 0x18, 0, ""}}},

    {"ProtectedKeepsBlanksUnprotectedIsTrimmedButKeepsItsLength",
     [](PaintedScreen& s) {
         s.Field(80, 0x20);
         s.Text(81, "AB");  // 83 stays null
         s.Text(84, " C");
         s.Field(90, 0x00);
         s.Text(91, "X Y \x1f");
         s.Field(100, 0x20);
     },
     26, 0,
     {{1, 80, 0x20, 0, kBlanks},
      {82, 9, 0x20, 0, "AB  C    "},
      {92, 9, 0x00, 0, "X Y"},
      {102, 59, 0x20, 0, Blanks(59)},
      {161, 80, 0x20, 0, kBlanks}}},

    {"FieldFromRowThreeToRowFiveGivesThreeRecords",
     [](PaintedScreen& s) {
         s.Field(170, 0x04);
         s.Text(171, "ONE");
         s.Text(240, "TWO");
         s.Text(320, "THREE");
         s.Field(330, 0x20);
     },
     26, 2,
     {{161, 10, 0x20, 0, Blanks(10)},
      {172, 69, 0x04, 0, "ONE"},
      {241, 80, 0x04, 0, "TWO"},
      {321, 10, 0x04, 0, "THREE"},
      {332, 69, 0x20, 0, Blanks(69)}}},

    {"AdjacentFieldAttributesGiveNoEmptyRecord",
     [](PaintedScreen& s) {
         s.Field(400, 0x20);
         s.Field(401, 0x00);
         s.Text(402, "AB");
         s.Field(410, 0x20);
     },
     25, 4, {{321, 80, 0x20, 0, kBlanks}, {403, 8, 0x00, 0, "AB"}, {412, 69, 0x20, 0, Blanks(69)}}},

    {"FieldAttributeInTheLastColumnStartsTheNextRow",
     [](PaintedScreen& s) {
         s.Field(79, 0x00);
         s.Text(80, "NEXT");
         s.Field(200, 0x20);
     },
     25, 0, {{1, 79, 0x20, 0, Blanks(79)}, {81, 80, 0x00, 0, "NEXT"}, {161, 40, 0x00, 0, ""}, {202, 39, 0x20, 0, Blanks(39)}}},

    {"FieldStartingInTheLastColumn",
     [](PaintedScreen& s) {
         s.Field(78, 0x00);
         s.Text(79, "QR");
         s.Field(200, 0x20);
     },
     26, 0, {{1, 78, 0x20, 0, Blanks(78)}, {80, 1, 0x00, 0, "Q"}, {81, 80, 0x00, 0, "R"}, {161, 40, 0x00, 0, ""}}},

    {"ExtendedAttributeSplitsAField",
     [](PaintedScreen& s) {
         s.Field(480, 0x00);
         s.Text(481, "AAAABBBBCCCC");
         s.Ext(485, 4, 0x10);
         s.Field(500, 0x20);
     },
     27, 6,
     {{482, 4, 0x00, 0x00, "AAAA"},
      {486, 4, 0x00, 0x10, "BBBB"},
      {490, 11, 0x00, 0x00, "CCCC"},
      {502, 59, 0x20, 0x00, Blanks(59)}}},

    {"SingleAttributedPositionBeforeAFieldAttributeKeepsItsOwnField",
     [](PaintedScreen& s) {
         s.Field(600, 0x20);
         s.Text(601, "PROT");
         s.Ext(610, 1, 0x80);
         s.Field(611, 0x00);
         s.Field(620, 0x20);
     },
     28, 8, {{602, 9, 0x20, 0x00, "PROT     "}, {611, 1, 0x20, 0x80, " "}, {613, 8, 0x00, 0x00, ""}}},

    {"FieldAttributeAtTheLastPositionEndsTheLastRecord",
     [](PaintedScreen& s) {
         s.Field(1880, 0x00);
         s.Text(1881, "END");
         s.Text(1918, "Z");
         s.Field(1919, 0x20);
     },
     25, 23, {{1841, 40, 0x20, 0, Blanks(40)}, {1882, 38, 0x00, 0, "END" + Blanks(34) + "Z"}}},

    {"WithoutFieldAttributeTheLastRecordTakesTheLastPosition",
     [](PaintedScreen& s) {
         s.Field(1880, 0x00);
         s.Text(1919, "Z");
     },
     25, 23, {{1841, 40, 0x00, 0, ""}, {1882, 39, 0x00, 0, Blanks(38) + "Z"}}},

    {"ExtendedAttributeChangeAtTheLastPositionSplitsToo",
     [](PaintedScreen& s) {
         s.Field(1880, 0x00);
         s.Text(1918, "YZ");
         s.Ext(1919, 1, 0x20);
     },
     26, 24, {{1882, 38, 0x00, 0x00, Blanks(37) + "Y"}, {1920, 1, 0x00, 0x20, "Z"}}},

    {"ModifiedDataTagOfTheScreenFieldIsTheRecordsModified",
     [](PaintedScreen& s) {
         s.Field(800, 0x01);
         s.Text(801, "X");
         s.Field(810, 0x21);
         s.Text(811, "P");
         s.Field(820, 0x00);
         s.Text(821, "Q");
     },
     26, 10, {{802, 9, 0x01, 0, "X"}, {812, 9, 0x21, 0, "P" + Blanks(8)}, {822, 59, 0x00, 0, "Q"}}},
};

INSTANTIATE_TEST_SUITE_P(Screens, LayoutTest, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HostFieldExtractTest, UnformattedScreenGivesOneEditableRecordPerRow)
{
    PaintedScreen ps;
    ps.Text(0, "HELLO");
    ps.Text(85, "  X  ");
    ps.Text(1840, std::string(80, 'Z'));
    ps.screen.SetCursorPosition(0);
    TDSFields host;
    TDSFields unprotected;
    GenHostFields(ps.screen, host, unprotected);

    std::vector<Rec> want;
    for (int row = 0; row < 24; ++row)
        want.push_back({row * 80 + 1, 80, 0x00, 0, ""});
    want[0].data = "HELLO";
    want[1].data = Blanks(7) + "X";
    want[23].data = std::string(80, 'Z');
    ExpectRecords(host, want);
    ExpectRecords(unprotected, want);
    EXPECT_EQ(host.CursorPos, 1);
    EXPECT_EQ(unprotected.CursorPos, 1);
    // The screen's text is not an edit.
    for (std::int32_t k = 0; k < host.Count(); ++k)
        EXPECT_FALSE(As3270Field(host.Items(k))->GetModified()) << k;
}

TEST(HostFieldExtractTest, RebuildReplacesTheRecordsOfBothLists)
{
    PaintedScreen ps;
    ps.Field(10, 0x00);
    ps.Field(20, 0x20);
    ps.screen.SetCursorPosition(1919);
    TDSFields host;
    TDSFields unprotected;
    GenHostFields(ps.screen, host, unprotected);
    ASSERT_EQ(unprotected.Count(), 1);
    EXPECT_EQ(host.CursorPos, 1920);
    EXPECT_EQ(unprotected.CursorPos, 1920);

    // The application edits a record; the next screen brings new records
    // (under ASan a stale entry in the borrowing list would be caught).
    unprotected.Items(0)->SetData("EDIT");
    ps.screen.clear();
    ps.Text(0, "PLAIN");
    GenHostFields(ps.screen, host, unprotected);
    ASSERT_EQ(host.Count(), 24);
    ASSERT_EQ(unprotected.Count(), 24);
    EXPECT_EQ(unprotected.Items(0), host.Items(0));
    EXPECT_EQ(host.Items(0)->Data, "PLAIN");
    EXPECT_EQ(host.CursorPos, 1);
}

TEST(HostFieldExtractTest, LogLineFormat)
{
    PaintedScreen ps;
    ps.Text(80, "ABC");
    TDSFields host;
    TDSFields unprotected;
    GenHostFields(ps.screen, host, unprotected);
    EXPECT_EQ(FormatHostFieldLog(*host.Items(1)),
              "Col:01 - Row:02 - Len:80 - Pos:0081 - Attr:$00 - Eab:$00 - Data:ABC");

    T3270Field f;
    f.SetPos(1920);
    f.Len = 1;
    f.Attr = 0x2D;
    f.Eab = 0xA8;
    EXPECT_EQ(FormatHostFieldLog(f), "Col:00 - Row:25 - Len:01 - Pos:1920 - Attr:$2D - Eab:$A8 - Data:");

    // A non-display field (a password) shows one '*' per character, unless
    // the profile asks for the contents (UnmaskedDumps=1).
    f.Attr = 0x0C;
    f.Len = 6;
    f.Data = "S3CRET";
    EXPECT_EQ(FormatHostFieldLog(f), "Col:00 - Row:25 - Len:06 - Pos:1920 - Attr:$0C - Eab:$A8 - Data:******");
    f.Attr = 0x0D;  // modified: what the operator typed
    EXPECT_EQ(FormatHostFieldLog(f).substr(59), "Data:******");
    f.Attr = 0x08;  // intensified is displayed
    EXPECT_EQ(FormatHostFieldLog(f).substr(59), "Data:S3CRET");
    f.Attr = 0x0C;
    gUnmaskedDumps = true;
    EXPECT_EQ(FormatHostFieldLog(f).substr(59), "Data:S3CRET");
    gUnmaskedDumps = false;
}

// The line reaches the message log at level 5, one per record, and not at 4.
TEST(HostFieldExtractTest, EachRecordIsLoggedAtLevelFive)
{
    namespace fs = std::filesystem;
    std::string dir = (fs::temp_directory_path() / "tnextractXXXXXX").string();
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    const std::string savedDir = gLogDir;
    const std::int32_t savedLevel = gLogLevel;
    SetLogging(0);
    gLogDir = dir;

    PaintedScreen ps;
    ps.Text(80, "ABC");
    TDSFields host;
    TDSFields unprotected;
    SetLogging(4);
    GenHostFields(ps.screen, host, unprotected);
    SetLogging(5);
    GenHostFields(ps.screen, host, unprotected);
    SetLogging(0);
    gLogDir = savedDir;
    gLogLevel = savedLevel;

    std::string text;
    LogFlush();
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        text += s.str();
    }
    fs::remove_all(dir);
    std::size_t lines = 0;
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at + 2))
        ++lines;
    EXPECT_EQ(lines, 24U);
    EXPECT_NE(text.find(" Col:01 - Row:02 - Len:80 - Pos:0081 - Attr:$00 - Eab:$00 - Data:ABC\r\n"), std::string::npos)
        << text;
}

// Any screen content yields records that tile the screen: every position is
// in exactly one record except the field attribute positions, no record
// leaves its row, and the texts follow the planes.
TEST(HostFieldExtractTest, ArbitraryScreensAreTiledByTheRecords)
{
    std::mt19937 rng(20240607);
    TDSFields host;
    TDSFields unprotected;
    for (int round = 0; round < 300; ++round) {
        PaintedScreen ps;
        // Every screen model's alternate size, and an oversize one.
        const TScreenSize sizes[] = {{24, 80}, {32, 80}, {43, 80}, {27, 132}, {62, 160}};
        const TScreenSize size = sizes[round % 5];
        ps.screen.SetScreenSizes(kDefaultScreenSize, size);
        ps.screen.SelectSize(size);
        const int n = size.Positions(), cols = size.Cols;
        std::uniform_int_distribution<int> any(0, 255);
        const int density = 1 + round % 40;
        for (int i = 0; i < n; ++i) {
            ps.screen.Chars[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(any(rng));
            if (any(rng) % density == 0)
                ps.screen.ExtAttrs[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(any(rng));
        }
        for (int i = 0; i < n; ++i)
            if (ps.screen.Chars[static_cast<std::size_t>(i)] == 0x01)
                ps.screen.Chars[static_cast<std::size_t>(i)] = 'x';
        for (int n = any(rng) % 60; n > 0; --n)
            ps.Field(any(rng) * n / 256 + any(rng) % 8, static_cast<std::uint8_t>(any(rng)));
        GenHostFields(ps.screen, host, unprotected);

        std::vector<int> cover(static_cast<std::size_t>(n), 0);
        int previousEnd = 0;
        std::int32_t u = 0;
        for (std::int32_t k = 0; k < host.Count(); ++k) {
            const T3270Field* f = As3270Field(host.Items(k));
            ASSERT_NE(f, nullptr);
            const int first = f->GetPos() - 1;
            const int last = first + f->Len - 1;
            ASSERT_GE(f->Len, 1);
            ASSERT_GT(first, previousEnd - 1) << "round " << round << " record " << k;
            ASSERT_LE(last, n - 1);
            EXPECT_EQ(f->Columns, cols);
            ASSERT_EQ(first / cols, last / cols) << "round " << round << " record " << k;
            previousEnd = last + 1;
            // A record starts at a row, after a field attribute or at a
            // change of extended attribute, and holds no further change.
            const auto& E = ps.screen.ExtAttrs;
            ASSERT_TRUE(first % cols == 0 || ps.screen.Chars[static_cast<std::size_t>(first) - 1] == 0x01 ||
                        E[static_cast<std::size_t>(first)] != E[static_cast<std::size_t>(first) - 1])
                << "round " << round << " record " << k;
            for (int i = first; i <= last; ++i) {
                ++cover[static_cast<std::size_t>(i)];
                ASSERT_EQ(E[static_cast<std::size_t>(i)], E[static_cast<std::size_t>(first)])
                    << "round " << round << " record " << k << " position " << i;
            }
            EXPECT_EQ(f->Eab, ps.screen.ExtAttrs[static_cast<std::size_t>(first)]);
            // The run that starts at the first position publishes 0x18 as 0x02,
            // also on the rows it continues on.
            bool firstRun = true;
            for (int i = 0; i <= first && firstRun; ++i)
                firstRun = ps.screen.Chars[static_cast<std::size_t>(i)] != 0x01 &&
                           ps.screen.ExtAttrs[static_cast<std::size_t>(i)] == 0;
            const std::uint8_t fa = ps.screen.getFA(first);
            EXPECT_EQ(f->Attr, firstRun && fa == 0x18 ? 0x02 : fa) << "round " << round << " record " << k;
            ASSERT_LE(f->Data.size(), static_cast<std::size_t>(f->Len));
            for (std::size_t j = 0; j < f->Data.size(); ++j) {
                const std::uint8_t c = ps.screen.Chars[static_cast<std::size_t>(first) + j];
                ASSERT_EQ(static_cast<std::uint8_t>(f->Data[j]), c == 0 ? 0x20 : c);
            }
            if (f->GetEditable()) {
                ASSERT_EQ(unprotected.Items(u++), f);
                if (!f->Data.empty()) {
                    EXPECT_GT(static_cast<std::uint8_t>(f->Data.back()), 0x20);
                }
            } else {
                EXPECT_EQ(f->Data.size(), static_cast<std::size_t>(f->Len));
            }
        }
        EXPECT_EQ(unprotected.Count(), u);
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(cover[static_cast<std::size_t>(i)], ps.screen.Chars[static_cast<std::size_t>(i)] == 0x01 ? 0 : 1)
                << "round " << round << " position " << i;
    }
}

}  // namespace
