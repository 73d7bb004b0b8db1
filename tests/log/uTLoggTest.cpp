// Log files: dump and line formats to the character, the level filter,
// opening and retrying, rewind, level and directory changes, daily names and
// the date rollover.
#include "log/uTLogg.h"
#include "tests/log/LogTestUtil.h"

#include <gtest/gtest.h>

#include <vector>

using namespace logtest;

namespace {

const std::string kHeader =
    "ADDRESS  | 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F | 0123456789ABCDEF";

class LogFileTest : public ::testing::Test {
protected:
    TempDir dir;
    FixedClock clock{LocalTime(2026, 12, 6, 14, 5, 9, 47)};
    std::string stamp = "T:14.05.09.047 " + ThreadTag() + " ";

    std::unique_ptr<CLogg> Open(const std::string& name, std::int32_t level)
    {
        auto log = std::make_unique<CLogg>();
        log->ChFileLogg(dir / name);
        log->ChLevelLogg(level);  // not open yet: no level-change lines
        return log;
    }
};

TEST_F(LogFileTest, DumpOfSeventeenBytesIsFramedWithAPartialSecondRow)
{
    auto log = Open("d.log", 6);
    const std::string data = "ABCDEFGHIJKLMNOPQ";
    log->Dump(6, "Title", data.data(), data.size(), THECharLang::clASCII);
    const std::string expected =
        kFrame + "\r\n" + stamp + "Title\r\n" + kFrame + "\r\n" + kHeader + "\r\n" + kFrame + "\r\n" +
        "00000000 | 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 | ABCDEFGHIJKLMNOP\r\n" +
        "00000010 | 51" + std::string(15 * 3, ' ') + " | Q" + std::string(15, ' ') + "\r\n" +
        kFrame + "\r\n\r\n";
    EXPECT_EQ(ReadFile(dir / "d.log"), expected);
    for (const auto& line : Lines(expected))
        if (!line.empty() && line.rfind("T:", 0) != 0) {
            EXPECT_EQ(line.size(), 77u) << line;
        }
}

TEST_F(LogFileTest, EmptyDumpWritesFrameTitleAndHeaderOnly)
{
    auto log = Open("d.log", 1);
    log->Dump(1, "Nothing", nullptr, 0, THECharLang::clEBCDIC);
    EXPECT_EQ(ReadFile(dir / "d.log"), kFrame + "\r\n" + stamp + "Nothing\r\n" + kFrame + "\r\n" +
                                           kHeader + "\r\n" + kFrame + "\r\n" + kFrame + "\r\n\r\n");
}

struct TextColumnCase {
    THECharLang lang;
    std::vector<std::uint8_t> bytes;
    std::string text;
};

TEST_F(LogFileTest, TextColumnShowsRawOrTranslatedBytes)
{
    const std::vector<TextColumnCase> cases = {
        {THECharLang::clEBCDIC, {0xC1, 0xC2, 0xC3, 0x40, 0x1E, 0x00, 0x59}, "ABC \xB6.."},
        {THECharLang::clASCII, {0x0D, 0x0A, 0xE9, 0x7F, 0x1F, 0x20}, "..\xE9\x7F. "},
    };
    for (const auto& c : cases) {
        const std::string name = c.lang == THECharLang::clASCII ? "a.log" : "e.log";
        Open(name, 6)->Dump(6, "t", c.bytes.data(), c.bytes.size(), c.lang);
        const auto lines = Lines(ReadFile(dir / name));
        ASSERT_EQ(lines.size(), 8u);
        EXPECT_EQ(lines[5].substr(61), c.text + std::string(16 - c.text.size(), ' ')) << name;
        EXPECT_EQ(lines[5].size(), 77u);
    }
}

TEST_F(LogFileTest, LinesFormats)
{
    auto log = Open("m.log", 3);
    log->LoggMsg(1, "hello");
    log->MsgLogg(1, "raw text");
    log->LogMessage(1, "boxed", true);
    EXPECT_EQ(ReadFile(dir / "m.log"), stamp + "hello\r\nraw text\r\n" + kFrame + "\r\nboxed\r\n" +
                                           kFrame + "\r\n\r\n");
}

TEST_F(LogFileTest, LevelFilterPassesOnlyLinesAtOrBelowTheLevel)
{
    auto log = Open("m.log", 2);
    // Appended, not "m" + std::to_string(...): GCC 12 at -O3 reports a false
    // -Wrestrict on inserting a literal in front of a temporary string.
    for (std::uint16_t level : {1, 2, 3, 0})
        log->MsgLogg(level, std::string("m").append(std::to_string(level)));
    log->Dump(3, "dump", "x", 1, THECharLang::clASCII);
    EXPECT_EQ(ReadFile(dir / "m.log"), "m1\r\nm2\r\nm0\r\n");

    // Lowered to 0 after opening: only level 0 still passes.
    log->ChLevelLogg(0);
    log->MsgLogg(1, "one");
    log->MsgLogg(0, "zero");
    EXPECT_EQ(ReadFile(dir / "m.log"), "m1\r\nm2\r\nm0\r\nzero\r\n");
}

TEST_F(LogFileTest, LevelZeroNeverCreatesTheFile)
{
    auto log = Open("never.log", 0);
    log->MsgLogg(0, "a");
    log->LoggMsg(0, "b");
    log->Dump(0, "c", "x", 1, THECharLang::clASCII);
    log->ChLevelLogg(0);
    uTLogg::Flush();
    EXPECT_FALSE(log->GetLogOpened());
    EXPECT_EQ(FileCount(dir.path()), 0u);
}

TEST_F(LogFileTest, LevelChangeIsLoggedOnlyWhenOpen)
{
    auto log = Open("m.log", 2);
    log->ChLevelLogg(4);  // still not open
    EXPECT_EQ(log->Level(), 4);
    EXPECT_EQ(FileCount(dir.path()), 0u);

    log->MsgLogg(1, "open");
    log->ChLevelLogg(5);
    log->ChLevelLogg(0);  // the lines are level 1: filtered
    EXPECT_EQ(ReadFile(dir / "m.log"), "open\r\n" + stamp + "Cambio de Nivel de Level\r\n" + stamp +
                                           "Level anterior: 4\r\n" + stamp + "Level nuevo   : 5\r\n");
}

// The file is opened for appending (another program may write the same daily
// file), so a rewind truncates: no stale tail is left behind the new lines.
TEST_F(LogFileTest, RewindTruncatesAndLaterLinesStartTheFile)
{
    WriteFile(dir / "r.log", "0123456789abcdef\r\n");
    auto log = Open("r.log", 1);
    log->MsgLogg(1, "tail");
    log->RewindLogg();
    log->MsgLogg(1, "XY");
    EXPECT_EQ(ReadFile(dir / "r.log"), "XY\r\n");
}

TEST_F(LogFileTest, MissingDirectoryLosesLinesSilentlyAndTheNextWriteRetries)
{
    auto log = Open("sub/m.log", 1);
    log->MsgLogg(1, "lost");
    log->Dump(1, "lost", "x", 1, THECharLang::clASCII);
    uTLogg::Flush();
    EXPECT_FALSE(log->GetLogOpened());
    fs::create_directory(dir / "sub");
    log->MsgLogg(1, "kept");
    EXPECT_EQ(ReadFile(dir / "sub/m.log"), "kept\r\n");
}

TEST_F(LogFileTest, ChangingTheFileOfAnOpenLogReopensAtOnce)
{
    auto log = Open("a.log", 1);
    log->MsgLogg(1, "first");
    log->ChFileLogg(dir / "b.log");
    uTLogg::Flush();
    EXPECT_TRUE(fs::exists(dir / "b.log"));
    log->MsgLogg(1, "second");
    EXPECT_EQ(ReadFile(dir / "a.log"), "first\r\n");
    EXPECT_EQ(ReadFile(dir / "b.log"), "second\r\n");
}

TEST(DailyLogName, BuildsDirectorySeparatorPrefixDateAndExtension)
{
    struct Case {
        std::string directory;
        std::chrono::system_clock::time_point day;
        std::string full, bare;
    };
    const std::vector<Case> cases = {
        {"/logs", LocalTime(2026, 12, 6, 12, 0, 0), "/logs/TN3270_061226.SYS", "TN3270_061226.SYS"},
        {"/logs/", LocalTime(2000, 1, 31, 0, 0, 0), "/logs//TN3270_310100.SYS", "TN3270_310100.SYS"},
        {"", LocalTime(2026, 12, 6, 12, 0, 0), "/TN3270_061226.SYS", "TN3270_061226.SYS"},
    };
    for (const auto& c : cases) {
        FixedClock clock(c.day);
        CFechaLogg log(3, c.directory, "TN3270_", "SYS");
        EXPECT_EQ(log.FileName(), c.full);
        EXPECT_EQ(log.BareFileName(), c.bare);
        EXPECT_FALSE(log.GetLogOpened());
    }
    CFechaLogg longExt(1, "/x", "p", std::string(300, 'e'));
    EXPECT_EQ(longExt.Extension().size(), 255u);
}

TEST(DailyLog, RollsOverAtMidnightOnlyThroughItsDateCheckedWrites)
{
    TempDir dir;
    FixedClock clock(LocalTime(2026, 12, 6, 23, 59, 59, 900));
    CFechaLogg log(3, dir.path(), "TN3270_", "SYS");
    log.LoggMsg(1, "before");

    clock.Set(LocalTime(2026, 12, 7, 0, 0, 0, 100));
    log.Dump(1, "late dump", "x", 1, THECharLang::clASCII);  // no date check
    log.SnaDump(1, "late sna", "x", 1);
    const std::string day6 = ReadFile(dir / "TN3270_061226.SYS");
    EXPECT_NE(day6.find("late dump"), std::string::npos);
    EXPECT_NE(day6.find("late sna"), std::string::npos);

    log.LoggMsg(1, "after");
    EXPECT_EQ(log.FileName(), dir / "TN3270_071226.SYS");
    EXPECT_NE(ReadFile(dir / "TN3270_071226.SYS").find("T:00.00.00.100 "), std::string::npos);

    // The clock set back a day moves the log back too.
    clock.Set(LocalTime(2026, 12, 6, 23, 0, 0));
    log.MsgLogg(1, "back");
    EXPECT_EQ(Lines(ReadFile(dir / "TN3270_061226.SYS")).back(), "back");
    EXPECT_EQ(Lines(ReadFile(dir / "TN3270_071226.SYS")).size(), 1u);
}

TEST(DailyLog, DirectoryChangeIsAnnouncedInTheOldAndTheNewFile)
{
    TempDir dir;
    fs::create_directory(dir / "new");
    FixedClock clock(LocalTime(2026, 12, 6, 10, 0, 0));
    CFechaLogg log(2, dir.path(), "TN3270_", "SYS");
    log.ChDirLogg(dir / "new");  // not open: silent
    EXPECT_EQ(FileCount(dir.path()), 1u);
    log.ChDirLogg(dir.path());
    log.LoggMsg(1, "open");
    log.ChDirLogg(dir / "new");
    const std::string lines[] = {"Cambio de Directorio de Log", "Dir anterior: " + dir.path(),
                                 "Dir nuevo   : " + (dir / "new")};
    for (const auto& file : {dir / "TN3270_061226.SYS", dir / "new/TN3270_061226.SYS"}) {
        const auto got = Lines(ReadFile(file));
        ASSERT_GE(got.size(), 3u) << file;
        for (std::size_t i = 0; i < 3; ++i)
            EXPECT_EQ(got[got.size() - 3 + i].substr(23), lines[i]) << file;
    }
    EXPECT_EQ(log.Directory(), dir / "new");
}

TEST(LogTables, MatchTheirDocumentedMappings)
{
    int nonZero = 0;
    for (auto v : uTLogg::ebc2asc)
        nonZero += v != 0;
    EXPECT_EQ(nonZero, 164);
    EXPECT_EQ(uTLogg::ebc2asc[0x1C], 0x20);
    EXPECT_EQ(uTLogg::ebc2asc[0x1E], 0xB6);
    EXPECT_EQ(uTLogg::ebc2asc[0x6A], 0xF1);
    // Every character the reverse table knows comes back through ebc2asc,
    // except the broken bar, whose EBCDIC 0x6A shows as 0xF1.
    for (int a = 0; a < 256; ++a)
        if (uTLogg::asc2ebc[a] != 0 && a != 0xA6) {
            EXPECT_EQ(uTLogg::ebc2asc[uTLogg::asc2ebc[a]], a) << std::hex << a;
        }
}

}  // namespace
