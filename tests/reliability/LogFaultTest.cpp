// The log directory failing under a live session: missing, unwritable,
// removed while its file is open, or on a full disk. The session must go on
// (screens arrive, keys reach the host), the lines written meanwhile are
// lost without a word, and writing resumes once the directory is usable.
//
// Root ignores permission bits, so for root "unwritable" is a read-only
// tmpfs mounted by the test, and the full disk a small tmpfs filled up; where
// mounting is not allowed those cases are skipped with a message.
#include "ReliabilitySupport.h"

#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "log/uTLogg.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <fcntl.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace reliability {
namespace {

using namespace tnsim;
namespace fs = std::filesystem;

constexpr unsigned long kTmpfsBytes = 64 * 1024;

// A small tmpfs mounted on a directory for the life of the object.
class TTmpfs {
public:
    TTmpfs(const fs::path& dir, bool readOnly) : dir_(dir)
    {
        std::string options = "size=";
        options += std::to_string(kTmpfsBytes);
        options += ",mode=0755";
        mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", readOnly ? MS_RDONLY : 0, options.c_str()) == 0;
        if (!mounted_)
            error_ = std::strerror(errno);
    }
    ~TTmpfs()
    {
        if (mounted_)
            ::umount2(dir_.c_str(), MNT_DETACH);
    }
    TTmpfs(const TTmpfs&) = delete;
    TTmpfs& operator=(const TTmpfs&) = delete;
    bool Mounted() const { return mounted_; }
    const std::string& Error() const { return error_; }
    bool RemountWritable()
    {
        std::string options = "size=";
        options += std::to_string(kTmpfsBytes);
        return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT, options.c_str()) == 0;
    }

private:
    fs::path dir_;
    bool mounted_ = false;
    std::string error_;
};

// Fills the file system of dir: a filler file written until ENOSPC.
bool FillDisk(const fs::path& filler)
{
    const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const std::vector<char> block(4096, 'F');
    bool full = false;
    for (int i = 0; i < 1024 && !full; ++i) {
        const ssize_t n = ::write(fd, block.data(), block.size());
        full = n < 0 && errno == ENOSPC;
        if (n >= 0 && static_cast<std::size_t>(n) < block.size()) {
            // A short write: the last block did not fit; the next one fails.
            continue;
        }
    }
    ::close(fd);
    return full;
}

enum class TFault { Missing, Unwritable, RemovedWhileOpen, DiskFull, FifoAtThePath };

struct TLogFaultCase {
    const char* name;
    TFault fault;
};

class LogDirectoryFault : public ::testing::TestWithParam<TLogFaultCase> {
protected:
    void TearDown() override
    {
        tn.reset();
        host.reset();
        // Logging belongs to the process: off, and back to the module's directory.
        SetLogging(0);
        SetLoggingDir(gModulePath);
    }
    // One round of the session: a screen from the host, a key back to it.
    void Round(TSimSession& s, const std::string& text)
    {
        const int screens = events.Count("ScreenChange");
        s.Send3270(TSim3270Encoder()
                       .EraseWrite(wcc::Restore | wcc::ResetMdt)
                       .Field(1, 1, fa::Protected, text)
                       .Field(2, 1, fa::Unprotected)
                       .IC()
                       .Field(2, 20, fa::Protected)
                       .Take());
        ASSERT_TRUE(events.WaitFor("ScreenChange", screens + 1));
        ASSERT_TRUE(FieldsShow(*tn, text));
        {
            auto guard = tn->Lock();
            ASSERT_EQ(tn->UnprotectedFields.Count(), 1);
            tn->UnprotectedFields.Items(0)->SetData(text.substr(0, 5));
            tn->SetAidKey(TTn3270AidKey::akEnter);
        }
        auto in = s.WaitInbound(kWait);
        ASSERT_TRUE(in);
        ASSERT_EQ(in->fields.size(), 1u);
        EXPECT_EQ(in->fields[0].text, text.substr(0, 5));
    }

    TRecorder events;
    std::unique_ptr<THostSimulator> host;
    std::unique_ptr<TTn3270E> tn;
};

TEST_P(LogDirectoryFault, TheSessionGoesOnLinesAreLostAndWritingResumes)
{
    const TFault fault = GetParam().fault;
    TTempDir base("logfault");
    const fs::path dir = base.Path() / "logs";
    std::unique_ptr<TTmpfs> mount;
    std::function<void()> repair;

    switch (fault) {
    case TFault::Missing:
        repair = [&] { fs::create_directories(dir); };
        break;
    case TFault::Unwritable:
        fs::create_directories(dir);
        if (::geteuid() != 0) {
            fs::permissions(dir, fs::perms::none);
            repair = [&] { fs::permissions(dir, fs::perms::owner_all); };
        } else {
            mount = std::make_unique<TTmpfs>(dir, true);
            if (!mount->Mounted())
                GTEST_SKIP() << "running as root, which writes through permission bits, and a read-only "
                                "tmpfs cannot be mounted here ("
                             << mount->Error() << ")";
            repair = [&] { ASSERT_TRUE(mount->RemountWritable()) << std::strerror(errno); };
        }
        break;
    case TFault::RemovedWhileOpen:
        fs::create_directories(dir);
        repair = [&] { fs::create_directories(dir); };
        break;
    case TFault::DiskFull:
        fs::create_directories(dir);
        mount = std::make_unique<TTmpfs>(dir, false);
        if (!mount->Mounted())
            GTEST_SKIP() << "a small tmpfs to fill cannot be mounted here (" << mount->Error() << ")";
        ASSERT_TRUE(FillDisk(dir / "filler"));
        repair = [&] { fs::remove(dir / "filler"); };
        break;
    case TFault::FifoAtThePath: {
        // A FIFO named like today's message log: a plain open would wait
        // for a reader, with every session's log call behind it.
        fs::create_directories(dir);
        const std::string sys = CFechaLogg(1, dir.string(), gLogID, gLogExt).FileName();
        ASSERT_EQ(::mkfifo(sys.c_str(), 0600), 0);
        repair = [&, sys] { fs::remove(sys); };
        break;
    }
    }

    host = std::make_unique<THostSimulator>();
    tn = std::make_unique<TTn3270E>();
    tn->Host = "127.0.0.1";
    tn->Port = host->Port();
    tn->Timings = QuickTimings();
    events.Attach(*tn);
    tn->SetDebugDir(dir.string());
    tn->SetDebugLevel(4);

    if (fault == TFault::RemovedWhileOpen) {
        MsgLog(1, "FIRST-LINE");
        ASSERT_NE(ReadMessageLogs(dir).find("FIRST-LINE"), std::string::npos);
        fs::remove_all(dir);
    }

    tn->Connect();
    auto s = host->WaitSession(kWait);
    ASSERT_TRUE(s && s->WaitNegotiated(kWait));
    Round(*s, "WHILE BROKEN");
    MsgLog(1, "LOST-LINE");
    LogFlush();  // tried (and lost) while the directory is still broken

    repair();
    Round(*s, "AFTER REPAIR");
    MsgLog(1, "BACK-LINE");
    EXPECT_TRUE(tn->IsConnected());
    EXPECT_EQ(events.Count("Disconnect"), 0);

    const std::string text = ReadMessageLogs(dir);
    EXPECT_EQ(text.find("LOST-LINE"), std::string::npos) << text;
    EXPECT_NE(text.find("BACK-LINE\r\n"), std::string::npos) << "writing did not resume:\n" << text;
    EXPECT_NE(text.find("Notify event ceScreenChanged\r\n"), std::string::npos) << text;
    tn.reset();
}

const TLogFaultCase kLogFaultCases[] = {
    {"Missing", TFault::Missing},
    {"Unwritable", TFault::Unwritable},
    {"RemovedWhileOpen", TFault::RemovedWhileOpen},
    {"DiskFull", TFault::DiskFull},
    {"FifoAtThePath", TFault::FifoAtThePath},
};
INSTANTIATE_TEST_SUITE_P(Reliability, LogDirectoryFault, ::testing::ValuesIn(kLogFaultCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The disk stalls (a hung mount): the writer waits in a test hook. The
// session's log calls must not wait with it: rounds complete, what the small
// queue cannot hold is dropped and counted, and the count reaches the file
// when the disk is back.
std::mutex gStallMutex;
std::condition_variable gStallCv;
bool gStalled = false;
void StallHook()
{
    std::unique_lock lock(gStallMutex);
    gStallCv.wait(lock, [] { return !gStalled; });
}
void Unstall()
{
    {
        std::lock_guard lock(gStallMutex);
        gStalled = false;
    }
    gStallCv.notify_all();
    uTLogg::SetWriterHook(nullptr);
    uTLogg::SetWriterLimits(0, 0);
}

TEST_F(LogDirectoryFault, AStalledDiskNeverHoldsUpTheSession)
{
    TTempDir base("logstall");
    host = std::make_unique<THostSimulator>();
    tn = std::make_unique<TTn3270E>();
    tn->Host = "127.0.0.1";
    tn->Port = host->Port();
    tn->Timings = QuickTimings();
    events.Attach(*tn);
    tn->SetDebugDir(base.Path().string());
    tn->SetDebugLevel(6);  // every record dumped: plenty to queue

    tn->Connect();
    auto s = host->WaitSession(kWait);
    ASSERT_TRUE(s && s->WaitNegotiated(kWait));

    const std::uint64_t droppedBefore = uTLogg::DroppedLines();
    uTLogg::SetWriterLimits(4, 0);
    {
        std::lock_guard lock(gStallMutex);
        gStalled = true;
    }
    uTLogg::SetWriterHook(&StallHook);
    struct TRelease {
        ~TRelease() { Unstall(); }
    } release;
    for (int i = 0; i < 5; ++i)
        Round(*s, "WHILE STALLED " + std::to_string(i));
    for (int i = 0; i < 200; ++i)
        MsgLog(1, "FLOOD");
    EXPECT_GT(uTLogg::DroppedLines() - droppedBefore, 0u);

    Unstall();
    Round(*s, "AFTER THE STALL");
    MsgLog(1, "BACK-LINE");
    EXPECT_TRUE(tn->IsConnected());
    const std::string text = ReadMessageLogs(base.Path());
    EXPECT_NE(text.find("Lineas descartadas (cola de log llena): "), std::string::npos) << text;
    EXPECT_NE(text.find("BACK-LINE\r\n"), std::string::npos) << text;
    tn.reset();
}

}  // namespace
}  // namespace reliability
