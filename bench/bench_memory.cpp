// Memory of connected idle sessions: one process holds N sessions (1000 by
// default) connected over loopback to the demo host of the host simulator,
// which runs in a child process so that its own memory is counted apart.
// Each session signs on (DEMO / SECRET, Enter) from its screen handler and
// then sits idle on the main menu: in its reader's wait (the thread
// transport) or registered on the event loop (the loop transport).
//
// Every figure is per session and taken as (X with N sessions - X with 1)
// / (N - 1) in this one process, so that what the first session brings
// along (the event loop's threads and scratch buffers, the code pages, the
// allocator's arenas) is not charged to each session. X: RssAnon of
// /proc/self/status (the resident anonymous memory: heap and thread
// stacks), the bytes held by live operator new allocations, malloc's
// in-use figure (which also sees the allocator's overhead), VmRSS. Also
// reported: the resident part of each reader thread's stack, the
// simulator's resident size and, with --sizes, the live allocations per
// session by size.
//
//   tn_bench_memory [sessions] [--loop | --thread] [--sizes]
//
// The transport is the component's default (the loop when TN_EVENT_LOOP=1)
// unless --loop or --thread names it. Logging stays off, model 2, plain TCP.
#include "bench/BenchAlloc.h"
#include "bench/BenchScreens.h"
#include "bench/BenchSession.h"

#include "sim/uDemoApp.h"
#include "sim/uHostSimulator.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tnbench;

// Connects still under way at most (the loop transport's Connect returns
// before the connect has ended).
constexpr int kMaxConnectsInFlight = 4096;
// How long the sign-ons may take, and the pause after them for every
// reader (or loop thread) to go back to its wait.
constexpr std::chrono::seconds kSignOnLimit{120};
constexpr std::chrono::milliseconds kSettle{500};

long StatusField(pid_t pid, const char* key)
{
    std::ifstream in(pid == 0 ? std::string("/proc/self/status") : "/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0)
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);  // kB
    return -1;
}

struct TStackUse {
    int Count = 0;
    long RssKbTotal = 0;
    long RssKbMax = 0;
};

// Resident part of the mappings that look like reader stacks: private,
// writable, anonymous, of the configured stack size (the guard page may be
// counted in it or split off).
TStackUse ReaderStacks(std::size_t stackSize)
{
    TStackUse use;
    std::ifstream in("/proc/self/smaps");
    std::string line;
    bool candidate = false;
    const long wantKb = static_cast<long>(stackSize / 1024);
    long sizeKb = 0;
    while (std::getline(in, line)) {
        unsigned long lo = 0, hi = 0;
        char perms[8] = {};
        unsigned long long offset = 0;
        char dev[16] = {};
        unsigned long inode = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx %7s %llx %15s %lu", &lo, &hi, perms, &offset, dev, &inode) == 6) {
            std::istringstream rest(line);
            std::string a, b, c, d, e, path;
            rest >> a >> b >> c >> d >> e >> path;
            sizeKb = static_cast<long>((hi - lo) / 1024);
            candidate = std::string(perms) == "rw-p" && inode == 0 && path.empty() &&
                        (sizeKb == wantKb || sizeKb == wantKb - 4 || sizeKb == wantKb + 4);
            continue;
        }
        long rss = 0;
        if (candidate && std::sscanf(line.c_str(), "Rss: %ld kB", &rss) == 1) {
            ++use.Count;
            use.RssKbTotal += rss;
            use.RssKbMax = std::max(use.RssKbMax, rss);
            candidate = false;
        }
    }
    return use;
}

std::size_t MallocInUse()
{
    const auto mi = mallinfo2();
    return mi.uordblks + mi.hblkhd;
}

// The simulator in a child process: writes its port to `out`, serves until
// `in` reaches end of file.
pid_t StartSimulator(std::uint16_t& port, int& control)
{
    int portPipe[2], ctlPipe[2];
    if (pipe(portPipe) != 0 || pipe(ctlPipe) != 0)
        return -1;
    const pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        close(portPipe[0]);
        close(ctlPipe[1]);
        int status = 0;
        {
            tnsim::TSimHostOptions options;
            options.appFactory = tnsim::TDemoApp::Factory();
            options.eventLoop = true;  // a few threads for every connection
            tnsim::THostSimulator host(options);
            const std::uint16_t p = host.Port();
            if (write(portPipe[1], &p, sizeof p) != static_cast<ssize_t>(sizeof p))
                status = 1;
            close(portPipe[1]);
            char c;
            while (read(ctlPipe[0], &c, 1) > 0) {
            }
        }
        _exit(status);
    }
    close(portPipe[1]);
    close(ctlPipe[0]);
    control = ctlPipe[1];
    const bool ok = read(portPipe[0], &port, sizeof port) == static_cast<ssize_t>(sizeof port);
    close(portPipe[0]);
    return ok ? pid : -1;
}


// One session and where it stands on the demo host.
struct TClient {
    std::unique_ptr<TBenchSession> Tn;
    bool SignOnSent = false;  // the handler's own (handlers of one session never overlap)
};

bool ScreenShows(TTn3270E& tn, std::string_view text)
{
    auto guard = tn.Lock();
    for (int i = 0; i < tn.HostFields.Count(); ++i)
        if (const TDSField* f = tn.HostFields.Items(i); f != nullptr && f->Data.find(text) != std::string::npos)
            return true;
    return false;
}

// The figures of the process at one moment.
struct TSample {
    long RssAnonKb = 0;
    long VmRssKb = 0;
    std::size_t MallocInUse = 0;
    TAllocStats Alloc;
    std::vector<std::int64_t> BySize;
};

TSample Sample(bool sizes)
{
    TSample s;
    s.RssAnonKb = StatusField(0, "RssAnon");
    s.VmRssKb = StatusField(0, "VmRSS");
    s.MallocInUse = MallocInUse();
    s.Alloc = AllocSnapshot();
    if (sizes)
        s.BySize = LiveBySize();
    return s;
}

// The sessions signed on and at the menu, and those that failed.
class TSignOns {
public:
    void AtMenu()
    {
        std::lock_guard lock(mutex_);
        ++atMenu_;
        cv_.notify_all();
    }
    void Failed()
    {
        std::lock_guard lock(mutex_);
        ++failed_;
        cv_.notify_all();
    }
    // Until done + failed reaches `count`; false at the time limit or on a failure.
    bool WaitFor(int count, std::chrono::steady_clock::time_point deadline)
    {
        std::unique_lock lock(mutex_);
        return cv_.wait_until(lock, deadline, [&] { return atMenu_ + failed_ >= count; }) && failed_ == 0;
    }
    int Done()
    {
        std::lock_guard lock(mutex_);
        return atMenu_ + failed_;
    }
    int Menus()
    {
        std::lock_guard lock(mutex_);
        return atMenu_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    int atMenu_ = 0;
    int failed_ = 0;
};

// Starts a session: connects, and from its screen handler signs on.
void StartClient(TClient& client, std::uint16_t port, bool loop, TSignOns& signOns)
{
    client.Tn = std::make_unique<TBenchSession>();
    TBenchSession& tn = *client.Tn;
    tn.Host = "127.0.0.1";
    tn.Port = port;
    tn.EventLoop = loop;
    tn.OnScreenChange = [&client, &signOns](TObject*) {
        TTn3270E& t = *client.Tn;
        if (ScreenShows(t, "MAIN MENU")) {
            signOns.AtMenu();
            return;
        }
        if (client.SignOnSent || !ScreenShows(t, "SIGN ON"))
            return;
        client.SignOnSent = true;
        auto guard = t.Lock();
        if (t.UnprotectedFields.Count() != 2)
            return;
        t.UnprotectedFields.Items(0)->SetData("DEMO");
        t.UnprotectedFields.Items(1)->SetData("SECRET");
        t.SetAidKey(TTn3270AidKey::akEnter);
    };
    tn.OnConnectionFail = [&signOns](TObject*) { signOns.Failed(); };
    tn.Connect();
    if (!loop && !tn.IsConnected())
        signOns.Failed();
}

double PerSession(double with, double one, int sessions)
{
    return (with - one) / static_cast<double>(sessions - 1);
}

}  // namespace

int main(int argc, char** argv)
{
    int sessions = 1000;
    const char* env = std::getenv("TN_EVENT_LOOP");
    bool loop = env != nullptr && std::strcmp(env, "1") == 0;
    bool sizes = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--loop")
            loop = true;
        else if (a == "--thread")
            loop = false;
        else if (a == "--sizes")
            sizes = true;
        else if (std::atoi(a.c_str()) > 0)
            sessions = std::atoi(a.c_str());
        else {
            std::fprintf(stderr, "usage: %s [sessions >= 2] [--loop | --thread] [--sizes]\n", argv[0]);
            return 2;
        }
    }
    if (sessions < 2) {
        std::fprintf(stderr, "at least 2 sessions: the figures are differences against one session\n");
        return 2;
    }
    // One socket per session here, and one per session in the simulator.
    rlimit files{};
    getrlimit(RLIMIT_NOFILE, &files);
    const rlim_t want = static_cast<rlim_t>(sessions) + 64;
    if (files.rlim_cur < want) {
        files.rlim_cur = std::min(files.rlim_max, want);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur < want) {
        std::fprintf(stderr, "open-file limit %llu is below the %llu the sessions need\n",
                     static_cast<unsigned long long>(files.rlim_cur), static_cast<unsigned long long>(want));
        return 1;
    }

    std::uint16_t port = 0;
    int control = -1;
    const pid_t sim = StartSimulator(port, control);
    if (sim < 0) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }

    const std::size_t stackSize = TTelnetTimings{}.ReaderStackSize;
    TSignOns signOns;
    std::vector<TClient> clients(static_cast<std::size_t>(sessions));
    const auto deadline = [] { return std::chrono::steady_clock::now() + kSignOnLimit; };

    // One session first: what it brings along for every session is in the
    // figures taken with it.
    StartClient(clients[0], port, loop, signOns);
    if (!signOns.WaitFor(1, deadline())) {
        std::fprintf(stderr, "the first session did not reach the menu\n");
        return 1;
    }
    std::this_thread::sleep_for(kSettle);
    const TSample one = Sample(sizes);

    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i < sessions; ++i) {
        while (i - signOns.Done() >= kMaxConnectsInFlight)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        StartClient(clients[static_cast<std::size_t>(i)], port, loop, signOns);
    }
    if (!signOns.WaitFor(sessions, deadline())) {
        std::fprintf(stderr, "only %d of %d sessions reached the menu\n", signOns.Menus(), sessions);
        return 1;
    }
    const double signOnSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::this_thread::sleep_for(kSettle);
    const TSample with = Sample(sizes);
    const TStackUse stacks = ReaderStacks(stackSize);
    const long simRss = StatusField(sim, "VmRSS");
    const long threads = StatusField(0, "Threads");

    const double rssAnon = PerSession(static_cast<double>(with.RssAnonKb), static_cast<double>(one.RssAnonKb), sessions);
    const double vmRss = PerSession(static_cast<double>(with.VmRssKb), static_cast<double>(one.VmRssKb), sessions);
    const double liveNew = PerSession(static_cast<double>(with.Alloc.LiveBytes), static_cast<double>(one.Alloc.LiveBytes),
                                      sessions) / 1024.0;
    const double liveCount = PerSession(static_cast<double>(with.Alloc.Allocations - with.Alloc.Frees),
                                        static_cast<double>(one.Alloc.Allocations - one.Alloc.Frees), sessions);
    const double mallocPer = PerSession(static_cast<double>(with.MallocInUse), static_cast<double>(one.MallocInUse),
                                        sessions) / 1024.0;
    const double stackRss = stacks.Count > 0 ? static_cast<double>(stacks.RssKbTotal) / stacks.Count : 0.0;
    std::printf("transport:                         %s\n", loop ? "event loop" : "reader thread per session");
    std::printf("sessions signed on, idle at menu:  %d (the last %d in %.2f s), %ld threads in the client process\n",
                sessions, sessions - 1, signOnSeconds, threads);
    std::printf("per session: (X with %d sessions - X with 1) / %d\n", sessions, sessions - 1);
    std::printf("  RssAnon (resident heap, stacks):  %.1f KiB\n", rssAnon);
    std::printf("  VmRSS:                            %.1f KiB\n", vmRss);
    std::printf("  heap (operator new):              %.1f KiB live in %.1f allocations\n", liveNew, liveCount);
    std::printf("  heap (malloc in use):             %.1f KiB\n", mallocPer);
    if (!loop) {
        std::printf("reader stack reserved:             %zu KiB per session\n", stackSize / 1024);
        std::printf("reader stack resident:             %.1f KiB average, %ld KiB at most (%d stacks found)\n",
                    stackRss, stacks.RssKbMax, stacks.Count);
    }
    std::printf("client RssAnon:                    %.1f MiB with 1 session, %.1f MiB with %d\n",
                one.RssAnonKb / 1024.0, with.RssAnonKb / 1024.0, sessions);
    std::printf("simulator VmRSS (child process):   %.1f MiB\n", simRss / 1024.0);
    if (sizes) {
        // The size classes that hold the most per session.
        struct TClass {
            std::size_t Index;
            double Count;
        };
        std::vector<TClass> classes;
        for (std::size_t i = 0; i < with.BySize.size(); ++i) {
            const double c = PerSession(static_cast<double>(with.BySize[i]), static_cast<double>(one.BySize[i]), sessions);
            if (c > 0.005 || c < -0.005)
                classes.push_back({i, c});
        }
        std::sort(classes.begin(), classes.end(), [](const TClass& a, const TClass& b) {
            return a.Count * static_cast<double>(a.Index) > b.Count * static_cast<double>(b.Index);
        });
        std::printf("live allocations per session by usable size (the largest shares):\n");
        for (std::size_t k = 0; k < classes.size() && k < 24; ++k) {
            const std::size_t lo = classes[k].Index * kSizeClassBytes;
            std::printf("  %6zu-%6zu bytes: %6.2f allocations, %6.2f KiB\n", lo, lo + kSizeClassBytes - 1,
                        classes[k].Count, classes[k].Count * static_cast<double>(lo) / 1024.0);
        }
    }
    std::printf("RESULT transport=%s sessions=%d rss_anon_kib_per_session=%.1f heap_new_kib=%.1f heap_malloc_kib=%.1f "
                "stack_rss_kib=%.1f threads=%ld sim_rss_mib=%.1f\n",
                loop ? "loop" : "thread", sessions, rssAnon, liveNew, mallocPer, loop ? 0.0 : stackRss, threads,
                simRss / 1024.0);

    for (auto& c : clients)
        c.Tn->Disconnect();
    clients.clear();
    close(control);
    int status = 0;
    waitpid(sim, &status, 0);
    return 0;
}
