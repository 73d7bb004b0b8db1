// Memory of connected idle sessions: one process holds N sessions (1000 by
// default) connected over loopback to the host simulator, which runs in a
// child process so that its own memory is counted apart. Each session has
// received and published one screen and then sits idle in its reader's wait.
//
// Reported: heap per session (bytes held by live operator new allocations,
// and malloc's own in-use figure, which also sees the allocator's overhead
// and direct malloc calls), the resident size of the client process (VmRSS)
// before and with the sessions, the resident part of each reader thread's
// stack, and the simulator's resident size.
//
//   tn_bench_memory [sessions]
#include "bench/BenchAlloc.h"
#include "bench/BenchScreens.h"
#include "bench/BenchSession.h"

#include "sim/uHostSimulator.h"

#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

// What the simulated host does with each connection: one screen, then it
// waits for keys it never gets.
class TOneScreenApp final : public tnsim::ISimHostApp {
public:
    void OnStart(tnsim::TSimSession& session) override { session.Send3270(RealisticScreen()); }
    void OnRecord(tnsim::TSimSession&, const tnsim::TSimRecord&) override {}
};

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
            options.appFactory = [] { return std::make_unique<TOneScreenApp>(); };
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

}  // namespace

int main(int argc, char** argv)
{
    const int sessions = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (sessions <= 0) {
        std::fprintf(stderr, "usage: %s [sessions]\n", argv[0]);
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

    std::mutex mutex;
    std::condition_variable cv;
    int screens = 0;
    const std::size_t stackSize = TTelnetTimings{}.ReaderStackSize;

    const long rssBefore = StatusField(0, "VmRSS");
    const std::size_t mallocBefore = MallocInUse();
    const auto allocBefore = AllocSnapshot();

    std::vector<std::unique_ptr<TBenchSession>> clients;
    clients.reserve(static_cast<std::size_t>(sessions));
    const auto allocAfterVector = AllocSnapshot();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < sessions; ++i) {
        auto c = std::make_unique<TBenchSession>();
        c->Host = "127.0.0.1";
        c->Port = port;
        c->OnScreenChange = [&](TObject*) {
            std::lock_guard lock(mutex);
            ++screens;
            cv.notify_all();
        };
        c->Connect();
        if (!c->IsConnected()) {
            std::fprintf(stderr, "session %d did not connect\n", i + 1);
            return 1;
        }
        clients.push_back(std::move(c));
    }
    {
        std::unique_lock lock(mutex);
        if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return screens >= sessions; })) {
            std::fprintf(stderr, "only %d of %d sessions got their screen\n", screens, sessions);
            return 1;
        }
    }
    const double connectSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Idle: let every reader go back to its wait.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    const long rssWith = StatusField(0, "VmRSS");
    const std::size_t mallocWith = MallocInUse();
    const auto allocWith = AllocSnapshot();
    const TStackUse stacks = ReaderStacks(stackSize);
    const long simRss = StatusField(sim, "VmRSS");
    const long threads = StatusField(0, "Threads");

    const double n = sessions;
    const double liveNew = static_cast<double>(allocWith.LiveBytes - allocAfterVector.LiveBytes) / n;
    const double mallocPer = (static_cast<double>(mallocWith) - static_cast<double>(mallocBefore)) / n;
    std::printf("sessions connected and idle:       %d (in %.2f s), %ld threads in the client process\n", sessions,
                connectSeconds, threads);
    std::printf("heap per session (operator new):   %.1f KiB live in %.1f allocations\n", liveNew / 1024.0,
                static_cast<double>(allocWith.Allocations - allocWith.Frees -
                                    (allocAfterVector.Allocations - allocAfterVector.Frees)) / n);
    std::printf("heap per session (malloc in use):  %.1f KiB\n", mallocPer / 1024.0);
    std::printf("reader stack reserved:             %zu KiB per session\n", stackSize / 1024);
    std::printf("reader stack resident:             %.1f KiB average, %ld KiB at most (%d stacks found)\n",
                stacks.Count > 0 ? static_cast<double>(stacks.RssKbTotal) / stacks.Count : 0.0, stacks.RssKbMax,
                stacks.Count);
    std::printf("client VmRSS:                      %.1f MiB before, %.1f MiB with the sessions (%.1f KiB each)\n",
                rssBefore / 1024.0, rssWith / 1024.0, static_cast<double>(rssWith - rssBefore) / n);
    std::printf("simulator VmRSS (child process):   %.1f MiB\n", simRss / 1024.0);
    std::printf("RESULT sessions=%d heap_new_kib=%.1f heap_malloc_kib=%.1f stack_rss_kib=%.1f rss_mib=%.1f "
                "sim_rss_mib=%.1f\n",
                sessions, liveNew / 1024.0, mallocPer / 1024.0,
                stacks.Count > 0 ? static_cast<double>(stacks.RssKbTotal) / stacks.Count : 0.0, rssWith / 1024.0,
                simRss / 1024.0);
    (void)allocBefore;

    for (auto& c : clients) {
        c->OnScreenChange = nullptr;
        c->Disconnect();
    }
    clients.clear();
    close(control);
    int status = 0;
    waitpid(sim, &status, 0);
    return 0;
}
