// The log facade (logging control, the three write functions, switching
// under concurrent writers) and the trace helper.
#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "tests/log/LogTestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cinttypes>
#include <thread>

using namespace logtest;

namespace {

class LogFacadeTest : public ::testing::Test {
protected:
    TempDir dir;
    FixedClock clock{LocalTime(2026, 12, 6, 9, 30, 0, 5)};
    std::string savedDir = gLogDir;
    std::int32_t savedLevel = gLogLevel;

    void SetUp() override
    {
        SetLogging(0);
        gLogLevel = 0;
        gLogDir = dir.path();
    }
    void TearDown() override
    {
        SetLogging(0);
        gLogDir = savedDir;
        gLogLevel = savedLevel;
    }
    std::string Sys(const std::string& d) const { return d + "/TN3270_061226.SYS"; }
    std::string Dmp(const std::string& d) const { return d + "/TN3270_061226.DMP"; }
};

// The log sits below the configuration: the package frame hands it its
// settings (the globals it reads) and its start hook; nothing in the log
// refers upward, so this program has the frame because it uses it here.
TEST(LogFacadeStart, ThePackageLoadGaveTheLogItsSettings)
{
    EXPECT_EQ(PackageState(), TPackageState::psLoaded);
    EXPECT_EQ(gLogID, gSubServicio + "_");
    EXPECT_EQ(gLogExt, "SYS");
    EXPECT_EQ(gDumpExt, "DMP");
}

TEST_F(LogFacadeTest, OffWritesNothingAndCreatesNoFile)
{
    EXPECT_EQ(gLogID, "TN3270_");
    MsgLog(0, "m");
    DumpLog(0, "d", "abc", 3);
    SnaDump(0, "s", "abc", 3);
    EXPECT_FALSE(LogEnabled(0));
    EXPECT_EQ(FileCount(dir.path()), 0u);
}

TEST_F(LogFacadeTest, LevelDecidesWhatReachesTheMessageAndDumpLogs)
{
    SetLogging(4);
    EXPECT_EQ(gLogLevel, 4);
    MsgLog(4, "four");
    MsgLog(5, "five");
    DumpLog(6, "six", "abc", 3);
    EXPECT_EQ(ReadFile(Sys(dir.path())), "T:09.30.00.005 " + ThreadTag() + " four\r\n");
    LogFlush();
    EXPECT_FALSE(fs::exists(Dmp(dir.path())));
    EXPECT_TRUE(LogEnabled(4));
    EXPECT_FALSE(LogEnabled(5));

    SetLogging(6);
    MsgLog(6, "six");
    DumpLog(6, "six", "abc", 3);
    EXPECT_EQ(Lines(ReadFile(Sys(dir.path()))).size(), 2u);
    EXPECT_EQ(Lines(ReadFile(Dmp(dir.path()))).size(), 8u);
}

TEST_F(LogFacadeTest, DirectoryChangeRestartsWithTheLastPositiveLevel)
{
    TempDir other;
    SetLogging(3);
    SetLogging(0);
    EXPECT_EQ(gLogLevel, 3);
    MsgLog(1, "off");
    SetLoggingDir(other.path());
    MsgLog(3, "three");
    EXPECT_EQ(Lines(ReadFile(Sys(other.path()))).size(), 1u);
    EXPECT_EQ(FileCount(dir.path()), 0u);
}

TEST_F(LogFacadeTest, DirectoryChangeWhileNeverOnOnlyRecordsTheDirectory)
{
    TempDir other;
    SetLoggingDir(other.path());
    MsgLog(0, "x");
    EXPECT_EQ(gLogDir, other.path());
    EXPECT_EQ(FileCount(other.path()), 0u);
    SetLogging(2);
    MsgLog(2, "two");
    LogFlush();
    EXPECT_TRUE(fs::exists(Sys(other.path())));
}

TEST_F(LogFacadeTest, DumpLogAndSnaDumpDifferOnlyInTheTextColumn)
{
    SetLogging(6);
    const std::uint8_t data[] = {0xC1, 0xC2, 0x0D, 0x40, 0x81};
    DumpLog(6, "t", data, sizeof data);
    SnaDump(6, "t", data, sizeof data);
    const auto lines = Lines(ReadFile(Dmp(dir.path())));
    ASSERT_EQ(lines.size(), 16u);
    for (std::size_t i = 0; i < 8; ++i)
        if (i != 5) {
            EXPECT_EQ(lines[i], lines[i + 8]);
        }
    EXPECT_EQ(lines[5].substr(0, 61), lines[13].substr(0, 61));
    EXPECT_EQ(lines[5].substr(61, 5), "\xC1\xC2.@\x81");
    EXPECT_EQ(lines[13].substr(61, 5), "AB. a");
}

TEST_F(LogFacadeTest, DumpsAreNeverCut)
{
    SetLogging(6);
    DumpLog(6, "empty", nullptr, 0);
    std::vector<std::uint8_t> big(65537, 0x41);
    DumpLog(6, "big", big.data(), big.size());
    const auto lines = Lines(ReadFile(Dmp(dir.path())));
    // Empty: 7 lines; big: 4097 rows, the last of one byte.
    ASSERT_EQ(lines.size(), 7u + 7u + 4097u);
    EXPECT_EQ(lines[3], lines[10]);
    EXPECT_EQ(lines[lines.size() - 3].substr(0, 13), "00010000 | 41");
}

TEST_F(LogFacadeTest, UnusableDirectoryLosesLinesAndTheNextWriteRetries)
{
    SetLoggingDir(dir / "later");
    SetLogging(2);
    MsgLog(1, "lost");
    DumpLog(1, "lost", "x", 1);
    LogFlush();  // the writer has tried, and failed, to open
    fs::create_directory(dir / "later");
    MsgLog(1, "kept");
    EXPECT_EQ(Lines(ReadFile(Sys(dir / "later"))).size(), 1u);
}

// Every dump in a dump file must be whole: frame, title, frame, header,
// frame, rows, frame, empty line, with no foreign line inside.
// A full writer queue drops whole dumps and says so in a line of its own,
// which is left out here.
std::vector<std::string> LinesWithoutDropNotes(const std::string& file)
{
    std::vector<std::string> out;
    for (auto& line : Lines(ReadFile(file)))
        if (line.find(" Lineas descartadas (cola de log llena): ") == std::string::npos)
            out.push_back(std::move(line));
    return out;
}

void ExpectWholeDumps(const std::string& file, std::size_t rows)
{
    const auto lines = LinesWithoutDropNotes(file);
    const std::size_t per = 7 + rows;
    ASSERT_EQ(lines.size() % per, 0u) << file;
    for (std::size_t i = 0; i < lines.size(); i += per) {
        ASSERT_EQ(lines[i], kFrame);
        ASSERT_NE(lines[i + 1].find(" dump"), std::string::npos);
        ASSERT_EQ(lines[i + 3].substr(0, 7), "ADDRESS");
        ASSERT_EQ(lines[i + 5 + rows], kFrame);
        ASSERT_EQ(lines[i + 6 + rows], "");
    }
}

TEST_F(LogFacadeTest, SwitchingWhileTwoThreadsWriteNeverUsesAFreedLog)
{
    TempDir other;
    constexpr int kSwitches = 2000;
    std::atomic<bool> stop{false};
    const std::vector<std::uint8_t> data(40, 0xC1);
    auto writer = [&](int id) {
        const std::string text = "writer " + std::to_string(id);
        while (!stop.load()) {
            MsgLog(1, text);
            SnaDump(1, text + " dump", data.data(), data.size());
        }
    };
    std::thread w1(writer, 1), w2(writer, 2);
    for (int i = 0; i < kSwitches; ++i) {
        SetLogging(3);
        SetLogging(0);
        SetLoggingDir(i % 2 ? dir.path() : other.path());
    }
    stop = true;
    w1.join();
    w2.join();
    SetLogging(0);
    for (const auto& d : {dir.path(), other.path()}) {
        if (fs::exists(Dmp(d)))
            ExpectWholeDumps(Dmp(d), 3);
        if (fs::exists(Sys(d))) {
            for (const auto& line : LinesWithoutDropNotes(Sys(d)))
                ASSERT_NE(line.find(" writer "), std::string::npos) << line;
        }
    }
}

// ---------------------------------------------------------------- TTraceLog

class TProbe : public TObject {};

std::string Hex(const void* p)
{
    char buf[24];
    std::snprintf(buf, sizeof buf, "%" PRIXPTR, reinterpret_cast<std::uintptr_t>(p));
    return buf;
}

TEST_F(LogFacadeTest, TracerWritesEntryAndExitLines)
{
    SetLogging(4);
    const TProbe probe;
    { TTraceLog trace(nullptr, "Run", 4); }
    { TTraceLog trace(&probe, "Go", "a, b", 4); }
    { TTraceLog hidden(&probe, "Deep", 5); }
    const std::string p = "T:09.30.00.005 " + ThreadTag() + " ";
    const std::string obj = "TProbe(" + Hex(&probe) + ").Go";
    EXPECT_EQ(ReadFile(Sys(dir.path())), p + "NILObject(0).Run - Entry Point\r\n" + p +
                                             "NILObject(0).Run - Exit Point\r\n" + p + obj +
                                             "(a, b)- Entry Point\r\n" + p + obj + " - Exit Point\r\n");
}

TEST_F(LogFacadeTest, TracerChecksPointersAndLogsResults)
{
    SetLogging(4);
    int x = 0;
    std::vector<std::string> got;
    {
        TTraceLog trace(nullptr, "M", 9);  // entry and exit filtered
        EXPECT_TRUE(trace.Assigned(&x, "x", 1));
        EXPECT_FALSE(trace.Assigned(nullptr, "ptr", 1));
        EXPECT_FALSE(trace.Assigned(std::shared_ptr<int>(), "ref", 1));
        EXPECT_TRUE(trace.Assigned(std::make_shared<int>(1), "ref", 1));
        trace.Log("note", 2);
        trace.LogResult(-1, 1);
        trace.LogResult(reinterpret_cast<const void*>(0x1F), 1);
        trace.LogResult(true, 1);
        trace.LogResult(false, 1);
        trace.LogResult("text", 1);
        trace.LogResult(7, 5);  // above the log level
    }
    for (const auto& line : Lines(ReadFile(Sys(dir.path()))))
        got.push_back(line.substr(23));
    EXPECT_EQ(got, (std::vector<std::string>{"NILObject(0).M - ptr is nil", "NILObject(0).M - ref is nil",
                                             "NILObject(0).M - note", "Result = -1", "Result = 1F",
                                             "Result = True", "Result = False", "Result = text"}));
}

}  // namespace
