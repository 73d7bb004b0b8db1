// Text records shown as field lines.
#include "ExtractTestSupport.h"

namespace {

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

struct TextCase {
    const char* name;
    std::string record;
    bool extended;
    int cursor;
    std::vector<Rec> lines;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class TextRecordTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(TextRecordTest, LinesBecomeProtectedRecords)
{
    const TextCase& c = GetParam();
    // Lists holding a published screen, the unprotected one borrowing.
    PaintedScreen ps;
    TDSFields host;
    TDSFields unprotected;
    GenHostFields(ps.screen, host, unprotected);
    ASSERT_EQ(unprotected.Count(), 24);
    unprotected.CursorPos = 42;

    const auto bytes = Bytes(c.record);
    EXPECT_TRUE(ShowTextRecord(bytes.data(), static_cast<std::int32_t>(bytes.size()), c.extended, host, unprotected));
    ExpectRecords(host, c.lines);
    EXPECT_EQ(host.CursorPos, c.cursor);
    EXPECT_EQ(unprotected.Count(), 0);
    EXPECT_EQ(unprotected.CursorPos, 42);
    for (std::int32_t k = 0; k < host.Count(); ++k) {
        const T3270Field* f = As3270Field(host.Items(k));
        EXPECT_EQ(f->Row, k + 1);
        EXPECT_EQ(f->Col, 1);
        EXPECT_FALSE(f->GetModified());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Records, TextRecordTest,
    ::testing::Values(
        TextCase{"ExtendedTwoLines", std::string("\x00\x00\x00\x00\x00", 5) + "LINE1\r\nLINE2\r\n", true, 240,
                 {{1, 5, 0x20, 0, "LINE1"}, {81, 5, 0x20, 0, "LINE2"}}},
        // Without the header; the last two bytes of the record are not text.
        TextCase{"PlainRecordLastLineWithoutCrLf", "AB\r\n\r\nC D\xFF\xEF", false, 320,
                 {{1, 2, 0x20, 0, "AB"}, {81, 0, 0x20, 0, ""}, {161, 3, 0x20, 0, "C D"}}},
        // A lone CR or LF is text.
        TextCase{"LoneCrAndLfStayInTheLine", "A\rB\nC\r\nxx", false, 160, {{1, 5, 0x20, 0, "A\rB\nC"}}},
        // The header is skipped even when it looks like text.
        TextCase{"HeaderAlwaysSkippedWhenExtended", "HEADRTEXT..", true, 160, {{1, 4, 0x20, 0, "TEXT"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextRecordEdgeTest, EmptyRecordsAnnounceOrNot)
{
    PaintedScreen ps;
    ps.Text(0, "KEEP");
    TDSFields host;
    TDSFields unprotected;
    GenHostFields(ps.screen, host, unprotected);

    // Length 0: nothing at all.
    EXPECT_FALSE(ShowTextRecord(nullptr, 0, true, host, unprotected));
    // Texts that come out empty: the lists stay, the screen change is raised.
    const auto shortExtended = Bytes(std::string("\x00\x00\x00\x00\x00\r\n", 7));
    EXPECT_TRUE(ShowTextRecord(shortExtended.data(), 7, true, host, unprotected));
    const auto shorterThanHeader = Bytes("ABC");
    EXPECT_TRUE(ShowTextRecord(shorterThanHeader.data(), 3, true, host, unprotected));
    EXPECT_TRUE(ShowTextRecord(shorterThanHeader.data(), 2, false, host, unprotected));
    EXPECT_EQ(host.Count(), 24);
    EXPECT_EQ(unprotected.Count(), 24);
    EXPECT_EQ(host.Items(0)->Data, "KEEP");
}

}  // namespace
