// Many sessions in one process under an open load: N components (10,000 by
// default) connect through the event-loop transport to the demo host, which
// runs in a child process (forked before any thread) on its own event loop,
// with at most kMaxConnectsInFlight connects under way at once; each signs
// on (DEMO / SECRET, Enter) from its screen handler and waits on the main
// menu. Then every session sends one Enter a second, at its own random
// fixed phase, for kEnterPhase; each round trip is timed from the scheduled
// send (not the actual one, so a late send counts against the loop) to the
// unlock of the answering screen, and the first kWarmup are dropped. Read
// pause 0, logging off, model 2, plain TCP.
//
// Nothing here has a thread of its own: the sign-on runs in the screen
// handlers (on the loop threads, no dispatcher), the Enters are timers on
// the process's shared loop, and the main thread only starts connects and
// samples /proc/self/status. With TRANSPORT=thread (argument "thread") the
// same runs on the reader-thread transport (1,000 sessions by default).
//
// The last line:
//   sessions=N threads=T rss_kib_per_session=R connect_all_s=C rt_p50_ms=A
//   rt_p99_ms=B lost_screens=L loadavg=X
// T: the peak of Threads: in /proc/self/status, sampled; R: (RssAnon with N
// idle sessions - RssAnon with 1) / (N - 1), both on the menu and settled,
// before the Enter phase (the figure after it is printed above the line);
// C: from the first connect of the N - 1 to the last sign-on panel shown;
// L: Enters that got no unlock by the end of kDrain; X: the 1-minute load
// average when the program started (before its own load), marked when
// above 1.
//
//   tn_bench_sessions [sessions] [loop|thread]
#include "component/uTn3270E.h"
#include "sim/uDemoApp.h"
#include "sim/uForkedHost.h"
#include "sim/uHostSimulator.h"
#include "telnet/uLoopTransport.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kDefaultLoopSessions = 10000;
constexpr int kDefaultThreadSessions = 1000;
// Connects started and not yet at their sign-on panel (the host's listen
// queue and the client's SYNs stay bounded).
constexpr int kMaxConnectsInFlight = 4096;
// Descriptors besides the sessions' own (standard streams, pipes, the loop's).
constexpr rlim_t kSpareDescriptors = 64;
// Threads besides the sessions' readers (thread transport).
constexpr rlim_t kSpareThreads = 64;
constexpr auto kEnterPeriod = 1s;
constexpr auto kEnterPhase = 30s;
constexpr auto kWarmup = 5s;
constexpr int kRounds = static_cast<int>(kEnterPhase / kEnterPeriod);
// Between arming the Enter timers and the first Enter.
constexpr auto kLead = 500ms;
// How long the last Enters may take before they count as lost.
constexpr auto kDrain = 5s;
// After the last sign-on, before resident memory is read.
constexpr auto kSettle = 2s;
// The longest the connects and the sign-ons may take together.
constexpr auto kSignOnLimit = 300s;
// How often the main thread reads the thread count.
constexpr auto kSampleEvery = 20ms;
// Round-trip histogram: kBucket wide buckets, the last one open.
constexpr auto kBucket = 10us;
constexpr std::size_t kBuckets = 1'000'000;  // 10 s
constexpr std::uint32_t kPhaseSeed = 27;

long StatusKb(const char* key)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0)
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    return -1;
}

// User and system CPU of a process (0: this one) so far, in seconds.
double CpuSeconds(pid_t pid)
{
    std::ifstream in(pid == 0 ? std::string("/proc/self/stat") : "/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');  // the command name may hold spaces
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i)  // state .. cmajflt
        fields >> skip;
    double user = 0, system = 0;
    fields >> user >> system;
    return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

double LoadAverage()
{
    std::ifstream in("/proc/loadavg");
    double one = -1;
    in >> one;
    return one;
}

// Raises a soft limit to `need` (up to the hard limit); false when it cannot.
bool RaiseLimit(int resource, rlim_t need, rlim_t& now)
{
    rlimit lim{};
    if (::getrlimit(resource, &lim) != 0)
        return false;
    if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < need) {
        lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? need : std::min(lim.rlim_max, need);
        ::setrlimit(resource, &lim);
        ::getrlimit(resource, &lim);
    }
    now = lim.rlim_cur;
    return lim.rlim_cur == RLIM_INFINITY || lim.rlim_cur >= need;
}


// Round trips, counted from any thread.
class THistogram {
public:
    THistogram() : counts_(kBuckets) {}
    void Add(Clock::duration rt)
    {
        const auto i = static_cast<std::size_t>(std::max<Clock::rep>(0, rt / kBucket));
        counts_[std::min(i, kBuckets - 1)].fetch_add(1, std::memory_order_relaxed);
        total_.fetch_add(1, std::memory_order_relaxed);
    }
    std::uint64_t Count() const { return total_.load(); }
    // The upper edge of the bucket that holds the p-th fraction, in ms.
    double PercentileMs(double p) const
    {
        const std::uint64_t total = total_.load();
        if (total == 0)
            return 0;
        const auto want = static_cast<std::uint64_t>(p * static_cast<double>(total) + 0.999999);
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < kBuckets; ++i) {
            seen += counts_[i].load(std::memory_order_relaxed);
            if (seen >= want)
                return std::chrono::duration<double, std::milli>(kBucket * (i + 1)).count();
        }
        return std::chrono::duration<double, std::milli>(kBucket * kBuckets).count();
    }

private:
    std::vector<std::atomic<std::uint32_t>> counts_;
    std::atomic<std::uint64_t> total_{0};
};

enum class TStage : std::uint8_t { Connecting, SigningOn, AtMenu, Failed };

struct TClient {
    std::unique_ptr<TTn3270E> tn;
    std::atomic<TStage> stage{TStage::Connecting};
    // The loop thread its handlers run on (kNoThread on a reader thread).
    std::size_t thread = TEventLoop::kNoThread;
    Clock::duration phase{};
    // The scheduled time of the Enter that waits for its unlock, in ticks
    // of Clock; 0: none.
    std::atomic<Clock::rep> pendingSince{0};
};

// What every handler and timer reports to.
struct TRun {
    std::mutex mutex;
    std::condition_variable changed;
    int inFlight = 0;   // under mutex
    int atSignOn = 0;   // under mutex
    int atMenu = 0;     // under mutex
    int failed = 0;     // under mutex
    Clock::time_point lastSignOnPanel{};  // under mutex
    std::atomic<Clock::rep> phaseStart{0};   // the Enter phase's start
    std::atomic<Clock::rep> measureFrom{0};  // round trips of Enters scheduled from here on count
    std::atomic<std::uint64_t> sent{0}, answered{0}, skipped{0}, disconnects{0};
    THistogram rt;
    // The longest round trip of the Enters scheduled in each second of the
    // phase (whether a slow moment was a stall or a queue).
    std::atomic<Clock::rep> worst[kRounds] = {};
    int peakThreads = 0;  // main thread only
    // The machine while it runs (main thread only): runnable threads of
    // every process (/proc/loadavg), and how late this thread's own
    // wake-ups came (a stall of the whole machine shows here too; a loop
    // thread that only lacks its share of the cores does not).
    std::uint64_t samples = 0, runnableSum = 0;
    int runnableMax = 0;
    Clock::duration lateMax{};

    void Sample()
    {
        peakThreads = std::max(peakThreads, static_cast<int>(StatusKb("Threads")));
        std::ifstream in("/proc/loadavg");
        std::string one, five, fifteen;
        int runnable = 0;
        if (in >> one >> five >> fifteen >> runnable) {
            ++samples;
            runnableSum += static_cast<std::uint64_t>(runnable);
            runnableMax = std::max(runnableMax, runnable);
        }
    }
    void ResetMachineFigures()
    {
        samples = runnableSum = 0;
        runnableMax = 0;
        lateMax = {};
    }
    // Waits (sampling the thread count) until done() or the deadline; done() under mutex.
    template <class F>
    bool WaitUntil(Clock::time_point deadline, F done)
    {
        std::unique_lock lock(mutex);
        for (;;) {
            if (done())
                return true;
            if (Clock::now() >= deadline)
                return false;
            const auto asleep = Clock::now();
            changed.wait_for(lock, kSampleEvery);
            lateMax = std::max(lateMax, Clock::now() - asleep - kSampleEvery);
            lock.unlock();
            Sample();
            lock.lock();
        }
    }
    void SleepFor(Clock::duration d)
    {
        WaitUntil(Clock::now() + d, [] { return false; });
    }
    void Left(TStage from, TStage to)
    {
        std::lock_guard lock(mutex);
        if (from == TStage::Connecting) {
            --inFlight;
            if (to == TStage::SigningOn) {
                ++atSignOn;
                lastSignOnPanel = Clock::now();
            }
        }
        if (to == TStage::AtMenu)
            ++atMenu;
        if (to == TStage::Failed)
            ++failed;
        changed.notify_all();
    }
};

bool Shows(TTn3270E& tn, std::string_view text)
{
    auto guard = tn.Lock();
    for (int i = 0; i < tn.HostFields.Count(); ++i)
        if (const TDSField* f = tn.HostFields.Items(i); f != nullptr && f->Data.find(text) != std::string::npos)
            return true;
    return false;
}

void Attach(TClient& c, TRun& run, TEventLoop& loop, bool eventLoop, std::uint16_t port)
{
    c.tn = std::make_unique<TTn3270E>();
    TTn3270E& tn = *c.tn;
    tn.Host = "127.0.0.1";
    tn.Port = port;
    tn.EventLoop = eventLoop;
    tn.SetReadPause(0);
    tn.OnScreenChange = [&c, &run, &loop](TObject*) {
        switch (c.stage.load()) {
        case TStage::Connecting: {
            if (!Shows(*c.tn, "SIGN ON"))
                return;
            c.thread = loop.CurrentThread();
            c.stage = TStage::SigningOn;
            run.Left(TStage::Connecting, TStage::SigningOn);
            auto guard = c.tn->Lock();
            if (c.tn->UnprotectedFields.Count() != 2)
                return;
            c.tn->UnprotectedFields.Items(0)->SetData("DEMO");
            c.tn->UnprotectedFields.Items(1)->SetData("SECRET");
            c.tn->SetAidKey(TTn3270AidKey::akEnter);
            return;
        }
        case TStage::SigningOn:
            if (Shows(*c.tn, "MAIN MENU")) {
                c.stage = TStage::AtMenu;
                run.Left(TStage::SigningOn, TStage::AtMenu);
            }
            return;
        default:
            return;
        }
    };
    tn.OnSystemUnLock = [&c, &run](TObject*) {
        const Clock::rep since = c.pendingSince.exchange(0);
        if (since == 0)
            return;
        run.answered.fetch_add(1, std::memory_order_relaxed);
        const Clock::duration rt = Clock::now() - Clock::time_point(Clock::duration(since));
        if (since >= run.measureFrom.load(std::memory_order_relaxed))
            run.rt.Add(rt);
        const auto second = (Clock::duration(since) - Clock::duration(run.phaseStart.load())) / kEnterPeriod;
        if (second >= 0 && second < kRounds) {
            auto& worst = run.worst[second];
            Clock::rep seen = worst.load(std::memory_order_relaxed);
            while (rt.count() > seen && !worst.compare_exchange_weak(seen, rt.count(), std::memory_order_relaxed)) {
            }
        }
    };
    tn.OnConnectionFail = [&c, &run](TObject*) {
        const TStage was = c.stage.exchange(TStage::Failed);
        if (was != TStage::Failed)
            run.Left(was, TStage::Failed);
    };
    tn.OnDisconnect = [&run](TObject*) { run.disconnects.fetch_add(1); };
}

// One Enter of the open loop, on a loop thread, and the timer of the next.
void Enter(TClient& c, TRun& run, TEventLoop& loop, Clock::time_point start, int round)
{
    const Clock::time_point due = start + c.phase + kEnterPeriod * round;
    Clock::rep idle = 0;
    if (c.pendingSince.compare_exchange_strong(idle, due.time_since_epoch().count())) {
        run.sent.fetch_add(1, std::memory_order_relaxed);
        c.tn->SetAidKey(TTn3270AidKey::akEnter);
    } else {
        run.skipped.fetch_add(1, std::memory_order_relaxed);  // the last one is still unanswered
    }
    if (round + 1 < kRounds)
        loop.AddTimerAt(c.thread, due + kEnterPeriod,
                        [&c, &run, &loop, start, round] { Enter(c, run, loop, start, round + 1); });
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string_view transport = argc > 2 ? argv[2] : "loop";
    const bool eventLoop = transport != "thread";
    const int sessions = argc > 1 && std::atoi(argv[1]) > 0 ? std::atoi(argv[1])
                         : eventLoop                         ? kDefaultLoopSessions
                                                             : kDefaultThreadSessions;
    if (sessions < 2 || (transport != "loop" && transport != "thread")) {
        std::fprintf(stderr, "usage: %s [sessions >= 2, 0: the default] [loop|thread]\n", argv[0]);
        return 2;
    }
    const double loadAtStart = LoadAverage();
    std::printf("transport: %s, sessions: %d, cores: %u, load average at the start: %.2f\n",
                eventLoop ? "event loop" : "reader thread per session", sessions, std::thread::hardware_concurrency(),
                loadAtStart);

    // One socket per session in each process (the child inherits the limit).
    rlim_t files = 0;
    const rlim_t needFiles = static_cast<rlim_t>(sessions) + kSpareDescriptors;
    if (!RaiseLimit(RLIMIT_NOFILE, needFiles, files)) {
        std::printf("the open-file limit is %llu and cannot be raised to the %llu the sessions need\n",
                    static_cast<unsigned long long>(files), static_cast<unsigned long long>(needFiles));
        return 1;
    }
    std::printf("open-file limit: %llu (%llu needed)\n", static_cast<unsigned long long>(files),
                static_cast<unsigned long long>(needFiles));
    if (!eventLoop) {
        rlim_t threads = 0;
        const rlim_t needThreads = static_cast<rlim_t>(sessions) + kSpareThreads;
        if (!RaiseLimit(RLIMIT_NPROC, needThreads, threads)) {
            std::printf("the process/thread limit is %llu and cannot be raised to the %llu the readers need\n",
                        static_cast<unsigned long long>(threads), static_cast<unsigned long long>(needThreads));
            return 1;
        }
    }
    std::fflush(stdout);

    tnsim::TSimHostOptions hostOptions;
    hostOptions.appFactory = tnsim::TDemoApp::Factory();
    hostOptions.eventLoop = true;
    tnsim::TForkedHost host(hostOptions);  // the demo host on its event loop, before any thread of this process
    if (host.Port() == 0) {
        std::printf("the host simulator did not start\n");
        return 1;
    }

    TRun run;  // the histogram's pages are touched here, before either memory figure
    auto loop = TLoopTransport::SharedLoop();
    std::vector<TClient> clients(static_cast<std::size_t>(sessions));
    std::mt19937 random(kPhaseSeed);
    std::uniform_int_distribution<Clock::rep> phase(0, Clock::duration(kEnterPeriod).count() - 1);
    for (auto& c : clients)
        c.phase = Clock::duration(phase(random));
    run.Sample();

    // The first session alone, for the memory of one.
    Attach(clients[0], run, *loop, eventLoop, host.Port());
    {
        std::lock_guard lock(run.mutex);
        ++run.inFlight;
    }
    clients[0].tn->Connect();
    if (!run.WaitUntil(Clock::now() + 30s, [&] { return run.atMenu + run.failed >= 1; }) || run.failed > 0) {
        std::printf("the first session did not sign on\n");
        return 1;
    }
    run.SleepFor(kSettle);
    const long rssOne = StatusKb("RssAnon");

    // The others, at most kMaxConnectsInFlight under way.
    const auto connectStart = Clock::now();
    const auto deadline = connectStart + kSignOnLimit;
    for (std::size_t i = 1; i < clients.size(); ++i) {
        if (!run.WaitUntil(deadline, [&] { return run.inFlight < kMaxConnectsInFlight; }))
            break;
        {
            std::lock_guard lock(run.mutex);
            ++run.inFlight;
        }
        Attach(clients[i], run, *loop, eventLoop, host.Port());
        clients[i].tn->Connect();
    }
    const bool allSignedOn = run.WaitUntil(deadline, [&] { return run.atMenu + run.failed >= sessions; });
    const auto signOnEnd = Clock::now();
    int atSignOn, atMenu, failed;
    Clock::time_point lastPanel;
    {
        std::lock_guard lock(run.mutex);
        atSignOn = run.atSignOn;
        atMenu = run.atMenu;
        failed = run.failed;
        lastPanel = run.lastSignOnPanel;
    }
    const double connectAll = std::chrono::duration<double>(lastPanel - connectStart).count();
    const double signOnAll = std::chrono::duration<double>(signOnEnd - connectStart).count();
    std::printf("connected (sign-on panel shown): %d in %.2f s, at most %d connects in flight; "
                "signed on (main menu): %d in %.2f s; failed: %d\n",
                atSignOn, connectAll, kMaxConnectsInFlight, atMenu, signOnAll, failed);
    if (!allSignedOn || failed > 0) {
        std::printf("not every session signed on: %d of %d at the menu, %d failed\n", atMenu, sessions, failed);
        return 1;
    }
    run.SleepFor(kSettle);
    const long rssAll = StatusKb("RssAnon");
    const double perSession = static_cast<double>(rssAll - rssOne) / (sessions - 1);
    std::printf("RssAnon idle on the menu: %ld KiB with 1 session, %ld KiB with %d: %.1f KiB per session\n",
                rssOne, rssAll, sessions, perSession);
    std::fflush(stdout);

    // The open loop.
    const auto start = Clock::now() + kLead;
    run.phaseStart = start.time_since_epoch().count();
    run.measureFrom = (start + kWarmup).time_since_epoch().count();
    for (std::size_t i = 0; i < clients.size(); ++i) {
        TClient& c = clients[i];
        if (c.thread == TEventLoop::kNoThread)
            c.thread = i % loop->Threads();
        TRun* r = &run;
        TEventLoop* l = loop.get();
        loop->AddTimerAt(c.thread, start + c.phase, [&c, r, l, start] { Enter(c, *r, *l, start, 0); });
    }
    const double clientCpu = CpuSeconds(0), hostCpu = CpuSeconds(host.Pid());
    run.ResetMachineFigures();
    run.SleepFor(start + kEnterPhase - Clock::now());
    const double clientCpuPhase = CpuSeconds(0) - clientCpu, hostCpuPhase = CpuSeconds(host.Pid()) - hostCpu;
    const auto drainEnd = Clock::now() + kDrain;
    run.WaitUntil(drainEnd, [&] { return run.answered.load() >= run.sent.load(); });
    const std::uint64_t sent = run.sent.load(), answered = run.answered.load();
    const std::uint64_t lost = sent - std::min(sent, answered);
    const long rssAfter = StatusKb("RssAnon");
    const double loadAtEnd = LoadAverage();
    std::printf("Enters: %llu sent in %d rounds, %llu answered, %llu not sent (the last still unanswered), "
                "%llu disconnects; round trips timed: %llu\n",
                static_cast<unsigned long long>(sent), kRounds, static_cast<unsigned long long>(answered),
                static_cast<unsigned long long>(run.skipped.load()),
                static_cast<unsigned long long>(run.disconnects.load()),
                static_cast<unsigned long long>(run.rt.Count()));
    std::printf("round trip from the scheduled send to the unlock: p50 %.2f ms, p90 %.2f ms, p99 %.2f ms, "
                "p99.9 %.2f ms, max %.2f ms\n",
                run.rt.PercentileMs(0.5), run.rt.PercentileMs(0.9), run.rt.PercentileMs(0.99),
                run.rt.PercentileMs(0.999), run.rt.PercentileMs(1.0));
    std::printf("longest round trip of each second's Enters, ms:");
    for (const auto& w : run.worst)
        std::printf(" %.0f", std::chrono::duration<double, std::milli>(Clock::duration(w.load())).count());
    std::printf("\n");
    std::printf("the machine in the Enter phase: %.1f runnable threads on average (all processes, these "
                "included), %d at most; this process's main thread woke up to %.1f ms late\n",
                run.samples > 0 ? static_cast<double>(run.runnableSum) / static_cast<double>(run.samples) : 0.0,
                run.runnableMax, std::chrono::duration<double, std::milli>(run.lateMax).count());
    const double perEnter = 1e6 / static_cast<double>(std::max<std::uint64_t>(1, sent));
    std::printf("CPU in the Enter phase: this process %.1f s (%.1f us an Enter), the host %.1f s (%.1f us an Enter)\n",
                clientCpuPhase, clientCpuPhase * perEnter, hostCpuPhase, hostCpuPhase * perEnter);
    std::printf("RssAnon after the Enter phase: %ld KiB: %.1f KiB per session; load average at the end: %.2f\n",
                rssAfter, static_cast<double>(rssAfter - rssOne) / (sessions - 1), loadAtEnd);

    char load[64];
    std::snprintf(load, sizeof load, "%.2f%s", loadAtStart, loadAtStart > 1 ? " (above 1: figures are not clean)" : "");
    std::printf("sessions=%d threads=%d rss_kib_per_session=%.1f connect_all_s=%.2f rt_p50_ms=%.2f rt_p99_ms=%.2f "
                "lost_screens=%llu loadavg=%s\n",
                sessions, run.peakThreads, perSession, connectAll, run.rt.PercentileMs(0.5),
                run.rt.PercentileMs(0.99), static_cast<unsigned long long>(lost), load);
    std::fflush(stdout);

    for (auto& c : clients)
        if (c.tn)
            c.tn->Disconnect();
    clients.clear();
    return 0;
}
