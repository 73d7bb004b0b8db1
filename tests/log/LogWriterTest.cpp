// What production asks of the logs: no secret and no forged line in any
// file, never a blocked caller (FIFO at the path, stalled disk), drops
// counted, two programs appending to one file without a lost or torn line.
#include "log/uOrvIntfLogg.h"
#include "log/uTLogg.h"
#include "tests/log/LogTestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <condition_variable>
#include <mutex>
#include <regex>
#include <utility>

extern char** environ;

using namespace logtest;

namespace {

static_assert(noexcept(SetLogging(0)) && noexcept(SetLoggingDir(std::declval<const std::string&>())) && noexcept(MsgLog(1, "")) &&
              noexcept(DumpLog(1, "", nullptr, 0)) && noexcept(SnaDump(1, "", nullptr, 0)));

class LogWriterTest : public ::testing::Test {
protected:
    TempDir dir;
    FixedClock clock{LocalTime(2026, 12, 6, 14, 5, 9, 47)};

    std::unique_ptr<CLogg> Open(const std::string& name, std::int32_t level)
    {
        auto log = std::make_unique<CLogg>();
        log->ChFileLogg(dir / name);
        log->ChLevelLogg(level);
        return log;
    }
};

TEST_F(LogWriterTest, MaskedBytesShowAsStarsInHexAndTextAndFilesAre0600)
{
    ::umask(0);  // the mode is the log's own, not the umask's leftover
    auto log = Open("d.log", 6);
    // "PW=" then the password 'SEC' in EBCDIC, masked; a byte after the mask's end is shown.
    const std::uint8_t data[] = {0xD7, 0xE6, 0x7E, 0xE2, 0xC5, 0xC3, 0xC1};
    const std::uint8_t mask[] = {0, 0, 0, 1, 1, 1};
    log->Dump(6, "sent", data, sizeof data, THECharLang::clEBCDIC, mask);
    const auto lines = Lines(ReadFile(dir / "d.log"));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[5], "00000000 | D7 E6 7E ** ** ** C1                            | PW=***A         ");
    EXPECT_EQ(lines[5].size(), uTLogg::kDumpLineWidth);
    struct stat st{};
    ASSERT_EQ(::stat((dir / "d.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ::umask(022);
}

// A host's text may carry CR LF (through the translation table or a graphic
// escape): it must not start a line of its own in the log.
TEST_F(LogWriterTest, ControlBytesInLoggedTextCannotForgeLines)
{
    auto log = Open("m.log", 6);
    log->LoggMsg(1, "host says\r\nT:00.00.00.000 I:00001 forged\x1b[2J");
    log->Dump(1, std::string_view("title\r\nforged", 13), "x", 1, THECharLang::clASCII);
    const auto lines = Lines(ReadFile(dir / "m.log"));
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[0].find("host says..T:00.00.00.000 I:00001 forged.[2J"), std::string::npos) << lines[0];
    EXPECT_NE(lines[2].find("title..forged"), std::string::npos) << lines[2];
    EXPECT_EQ(lines.size(), 1u + 8u);  // the message, the dump of one row
}

// A FIFO at the log path (with or without a reader) would block a plain open
// or every write: the caller returns, nothing is written, the writer goes on.
TEST_F(LogWriterTest, AFifoAtTheLogPathNeverBlocksAndIsRefused)
{
    ASSERT_EQ(::mkfifo((dir / "fifo.log").c_str(), 0600), 0);
    auto log = Open("fifo.log", 6);
    for (int i = 0; i < 50; ++i)
        log->LoggMsg(1, "to the fifo");
    EXPECT_TRUE(uTLogg::Flush());
    EXPECT_FALSE(log->GetLogOpened());

    const int reader = ::open((dir / "fifo.log").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    log->LoggMsg(1, "to the fifo with a reader");
    EXPECT_TRUE(uTLogg::Flush());
    EXPECT_FALSE(log->GetLogOpened());
    char buf[64];
    EXPECT_LE(::read(reader, buf, sizeof buf), 0);  // nothing reached it
    ::close(reader);

    auto other = Open("ok.log", 6);
    other->MsgLogg(1, "still written");
    EXPECT_EQ(ReadFile(dir / "ok.log"), "still written\r\n");
}

// A writer stalled on the disk: callers return at once, what does not fit
// in the queue is dropped and counted, and the count is written first when
// the disk comes back.
std::mutex gStallMutex;
std::condition_variable gStallCv;
bool gStalled = false;
bool gInHook = false;
void StallHook()
{
    std::unique_lock lock(gStallMutex);
    gInHook = true;
    gStallCv.notify_all();
    gStallCv.wait(lock, [] { return !gStalled; });
}

TEST_F(LogWriterTest, AStalledWriterDropsAndCountsAndNeverBlocksTheCaller)
{
    constexpr std::size_t kQueue = 8;
    constexpr int kLines = 100;
    auto log = Open("s.log", 6);
    uTLogg::SetWriterLimits(kQueue, 0);
    {
        std::lock_guard lock(gStallMutex);
        gStalled = true;
        gInHook = false;
    }
    uTLogg::SetWriterHook(&StallHook);
    log->MsgLogg(1, "first");
    {
        std::unique_lock lock(gStallMutex);  // the writer holds "first" and waits
        ASSERT_TRUE(gStallCv.wait_for(lock, std::chrono::seconds(10), [] { return gInHook; }));
    }
    const std::uint64_t droppedBefore = uTLogg::DroppedLines();
    for (int i = 0; i < kLines; ++i)
        log->MsgLogg(1, "line " + std::to_string(i));  // would hang here if a call waited for the disk
    const std::uint64_t dropped = uTLogg::DroppedLines() - droppedBefore;
    EXPECT_EQ(dropped, kLines - kQueue);
    {
        std::lock_guard lock(gStallMutex);
        gStalled = false;
    }
    gStallCv.notify_all();
    uTLogg::SetWriterHook(nullptr);
    uTLogg::SetWriterLimits(0, 0);
    log->MsgLogg(1, "after");
    // "first", the lines the queue held, the count where the gap is, "after".
    const auto lines = Lines(ReadFile(dir / "s.log"));
    ASSERT_EQ(lines.size(), 1 + kQueue + 1 + 1);
    EXPECT_EQ(lines[0], "first");
    EXPECT_EQ(lines[1], "line 0");
    EXPECT_EQ(lines[kQueue], "line " + std::to_string(kQueue - 1));
    EXPECT_NE(lines[kQueue + 1].find("Lineas descartadas (cola de log llena): " + std::to_string(kLines - kQueue)),
              std::string::npos) << lines[kQueue + 1];
    EXPECT_EQ(lines.back(), "after");
}

// Two programs append to one daily file at the same time: every line of
// both arrives whole (the file is opened for appending).
TEST_F(LogWriterTest, TwoProcessesAppendingToOneFileLoseAndTearNoLine)
{
    constexpr int kPerProcess = 10000;
    const std::string file = dir / "shared.SYS";
    std::vector<pid_t> pids;
    for (const char* tag : {"A", "B"}) {
        std::vector<std::string> args{LOG_APPEND_CHILD, file, tag, std::to_string(kPerProcess)};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        ASSERT_EQ(::posix_spawn(&pid, LOG_APPEND_CHILD, nullptr, nullptr, argv.data(), environ), 0);
        pids.push_back(pid);
    }
    for (const pid_t pid : pids) {
        int status = -1;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    const std::regex shape(R"(T:\d\d\.\d\d\.\d\d\.\d{3} I:\d{5} ([AB]) (\d{5}) x{60})");
    std::vector<int> next(2, 0);
    for (const auto& line : Lines(ReadFile(file))) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << "torn line: " << line;
        const int who = m[1] == "A" ? 0 : 1;
        ASSERT_EQ(std::stoi(m[2]), next[who]) << line;  // in order, none missing
        ++next[who];
    }
    EXPECT_EQ(next[0], kPerProcess);
    EXPECT_EQ(next[1], kPerProcess);
}

// The tracer passes its level as the 16-bit value it is: -1 is 65535 (not
// written at level 6), 65536 is 0 (written).
TEST(TraceLevel, PassesTheSixteenBitValueNotAClampedOne)
{
    TempDir dir;
    FixedClock clock{LocalTime(2026, 12, 6, 9, 30, 0, 5)};
    const std::string savedDir = gLogDir;
    const std::int32_t savedLevel = gLogLevel;
    SetLogging(0);
    gLogDir = dir.path();
    SetLogging(6);
    {
        TTraceLog trace(nullptr, "Run", 65536);
        trace.LogResult(std::int32_t{7}, -1);
        trace.LogResult(std::int32_t{8}, 65536 + 6);
    }
    const std::string text = ReadFile(dir / "TN3270_061226.SYS");
    SetLogging(0);
    gLogDir = savedDir;
    gLogLevel = savedLevel;
    EXPECT_NE(text.find("NILObject(0).Run - Entry Point"), std::string::npos) << text;
    EXPECT_NE(text.find("NILObject(0).Run - Exit Point"), std::string::npos) << text;
    EXPECT_EQ(text.find("Result = 7"), std::string::npos) << text;
    EXPECT_NE(text.find("Result = 8"), std::string::npos) << text;
}

}  // namespace
