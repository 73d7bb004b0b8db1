// Many sessions in one process: at least 200 components, each against its
// own connection to the demo host, each signing on (DEMO / SECRET, Enter)
// from its screen handler and reaching the main menu. No screen may be
// lost or doubled, no thread may be left behind, and the resident memory
// per session is reported.
//
// The demo host runs in a child process forked before any thread exists,
// so that the process's figures (threads, resident memory) are the
// components' alone. When the process already has threads (run together
// with other tests) the host runs in process and the memory figure
// includes it; the test says which.
//
// TN_LOAD_SESSIONS overrides the number of sessions (for longer runs).
//
// A third run signs 2,000 sessions on against the simulator in loop mode,
// in process: its few loop threads carry every connection, so the process
// holds one reader thread per component and not one more. A fourth puts
// the components on the event loop too: 1,000 sessions, and no thread per
// session on either side.
#include "ReliabilitySupport.h"

#include "platform/uDispatcher.h"
#include "platform/uWinControl.h"
#include "sim/uDemoApp.h"
#include "sim/uForkedHost.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <iostream>
#include <thread>

namespace reliability {
namespace {

using namespace tnsim;

constexpr int kDefaultSessions = 200;
// Sessions of the run against the simulator's event loop.
constexpr int kLoopHostSessions = 2000;
// Sessions of the run with the components on the event loop as well.
constexpr int kLoopClientSessions = 1000;
// Descriptors besides the sessions' own (standard streams, logs, pipes).
constexpr rlim_t kSpareDescriptors = 64;
// The whole run must end well within this, also in sanitizer builds.
constexpr std::chrono::seconds kRunLimit{240};

// Threads of the process before any test code ran (a sanitizer's runtime
// may have one of its own): with no more than these, forking is safe.
const int kThreadsAtStart = ThreadCount();

int SessionCount()
{
    if (const char* v = std::getenv("TN_LOAD_SESSIONS"); v != nullptr && std::atoi(v) > 0)
        return std::atoi(v);
    return kDefaultSessions;
}

// Raises the soft descriptor limit to what the run needs (up to the hard
// limit); false when even the hard limit is too low.
bool EnsureDescriptors(rlim_t need)
{
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return false;
    if (lim.rlim_cur >= need)
        return true;
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < need)
        return false;
    lim.rlim_cur = need;
    return ::setrlimit(RLIMIT_NOFILE, &lim) == 0;
}


// One session: signs on from its screen handler (on its reader thread).
struct TSession {
    std::unique_ptr<TTn3270E> tn;
    // Written by the handlers (reader thread), read after the run.
    std::vector<std::string> panels;
    std::atomic<int> disconnects{0};
    std::atomic<int> failures{0};
    bool signedOn = false;
};

// Signs every session on and checks what each saw. With a dispatcher, every
// handler of every session runs on this thread, which pumps while it waits
// (one application window serving all sessions).
enum class THostKind { Threads, EventLoop, EventLoopBothSides };

void RunSessions(bool withDispatcher, int sessions = SessionCount(), THostKind hostKind = THostKind::Threads)
{
    const bool loopHost = hostKind != THostKind::Threads;
    const bool loopClients = hostKind == THostKind::EventLoopBothSides;
    ASSERT_TRUE(EnsureDescriptors(static_cast<rlim_t>(sessions) * 2 + kSpareDescriptors))
        << "the descriptor limit is too low for " << sessions << " sessions";

    const bool separateHost = !loopHost && ThreadCount() == kThreadsAtStart;
    std::unique_ptr<TForkedHost> child;
    std::unique_ptr<THostSimulator> inProcess;
    std::uint16_t port = 0;
    if (separateHost) {
        TSimHostOptions options;
        options.appFactory = TDemoApp::Factory();
        child = std::make_unique<TForkedHost>(options);
        port = child->Port();
    } else {
        TSimHostOptions options;
        options.appFactory = TDemoApp::Factory();
        options.eventLoop = loopHost;
        inProcess = std::make_unique<THostSimulator>(options);
        port = inProcess->Port();
    }
    ASSERT_NE(port, 0);

    // A sanitizer's runtime may start a thread of its own with the first
    // thread the program creates: let that happen before the count.
    std::thread([] {}).join();
    const int threadsBefore = ThreadCount();
    const long rssBefore = StatusKb("VmRSS");
    const auto start = std::chrono::steady_clock::now();

    auto dispatcher = withDispatcher ? std::make_shared<TDispatcher>() : nullptr;
    TWinControl form(nullptr, dispatcher);
    std::mutex mutex;
    std::condition_variable changed;
    int atMenu = 0;
    int failed = 0;
    std::vector<std::unique_ptr<TSession>> all;
    all.reserve(static_cast<std::size_t>(sessions));
    for (int i = 0; i < sessions; ++i) {
        auto session = std::make_unique<TSession>();
        TSession& s = *session;
        s.tn = std::make_unique<TTn3270E>(withDispatcher ? &form : nullptr);
        TTn3270E& tn = *s.tn;
        tn.Host = "127.0.0.1";
        tn.Port = port;
        tn.Timings = QuickTimings();
        if (loopClients)
            tn.EventLoop = true;
        tn.OnScreenChange = [&s, &tn, &mutex, &changed, &atMenu](TObject*) {
            // Inside the handler the lists are stable; FieldsShow and
            // SetAidKey take the lock themselves.
            if (FieldsShow(tn, "MAIN MENU")) {
                s.panels.push_back(FieldsShow(tn, "User . . . : DEMO") ? "MENU DEMO" : "MENU");
                std::lock_guard lock(mutex);
                ++atMenu;
                changed.notify_all();
                return;
            }
            if (!FieldsShow(tn, "SIGN ON")) {
                s.panels.push_back("OTHER");
                return;
            }
            s.panels.push_back("SIGN ON");
            if (s.signedOn)
                return;
            s.signedOn = true;
            auto guard = tn.Lock();
            if (tn.UnprotectedFields.Count() != 2)
                return;
            tn.UnprotectedFields.Items(0)->SetData("DEMO");
            tn.UnprotectedFields.Items(1)->SetData("SECRET");
            tn.SetAidKey(TTn3270AidKey::akEnter);
        };
        tn.OnDisconnect = [&s](TObject*) { ++s.disconnects; };
        tn.OnConnectionFail = [&s, &mutex, &changed, &failed](TObject*) {
            ++s.failures;
            std::lock_guard lock(mutex);
            ++failed;
            changed.notify_all();
        };
        all.push_back(std::move(session));
        tn.Connect();
    }
    auto allDone = [&] { return atMenu + failed >= sessions; };
    if (withDispatcher) {
        const auto deadline = std::chrono::steady_clock::now() + kRunLimit;
        for (;;) {
            {
                std::lock_guard lock(mutex);
                if (allDone() || std::chrono::steady_clock::now() >= deadline)
                    break;
            }
            dispatcher->ProcessMessages(10ms);
        }
        std::lock_guard lock(mutex);
        EXPECT_TRUE(allDone()) << atMenu << " of " << sessions << " sessions reached the menu";
    } else {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, kRunLimit, allDone))
            << atMenu << " of " << sessions << " sessions reached the menu";
    }
    const auto took = std::chrono::steady_clock::now() - start;
    const long rssHeld = StatusKb("VmRSS");
    const int threadsHeld = ThreadCount();

    int lost = 0;
    int connected = 0;
    for (const auto& s : all) {
        connected += s->tn->IsConnected() ? 1 : 0;
        auto guard = s->tn->Lock();
        const std::vector<std::string> want = {"SIGN ON", "MENU DEMO"};
        if (s->panels != want || s->tn->ScreenCount() != 2 || !s->tn->GetStatus().empty())
            ++lost;
    }
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(lost, 0) << "sessions that did not see exactly the sign-on panel, then the menu";
    EXPECT_EQ(connected, sessions);
    if (loopClients) {
        // The loop's threads (one per core, shared by both sides) and the
        // operator's timer thread at most.
        const int loopThreads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        EXPECT_LE(threadsHeld, threadsBefore + 2 * loopThreads + 1) << "no thread per session";
    } else if (separateHost || loopHost) {
        EXPECT_EQ(threadsHeld, threadsBefore + sessions) << "one reader thread per session"
                                                         << (loopHost ? ", none in the simulator" : "");
    }

    for (auto& s : all)
        s->tn->Disconnect();
    int disconnects = 0;
    for (auto& s : all)
        disconnects += s->disconnects.load();
    EXPECT_EQ(disconnects, sessions);
    all.clear();
    // The process's shared loop outlives its sessions; nothing else may.
    if (loopClients)
        EXPECT_LE(ThreadCount(), threadsHeld) << "threads left behind";
    else
        EXPECT_EQ(ThreadCount(), threadsBefore) << "threads left behind";

    const double perSessionKb = static_cast<double>(rssHeld - rssBefore) / sessions;
    const double seconds = std::chrono::duration<double>(took).count();
    std::cout << "[ FIGURES  ] " << (withDispatcher ? "through one dispatcher, "
                                      : loopClients ? "handlers on the loop threads, "
                                                    : "handlers on the readers, ")
              << "sessions held: " << sessions << ", signed on and at the menu: " << atMenu
              << ", screens lost: " << lost << ", time to sign all on: " << seconds << " s"
              << ", resident memory per session: " << perSessionKb << " KiB ("
              << (separateHost  ? "components only, host in a child process"
                  : loopClients ? "components and host in process on event loops"
                  : loopHost    ? "host in process on its event loop included"
                               : "host in process included")
              << "), threads while held: " << threadsHeld << std::endl;
    ::testing::Test::RecordProperty("sessions", sessions);
    ::testing::Test::RecordProperty("rss_kib_per_session", std::to_string(perSessionKb));
    ::testing::Test::RecordProperty("seconds", std::to_string(seconds));
}

TEST(ManySessions, EverySessionSignsOnAndReachesTheMenuWithNothingLost)
{
    RunSessions(false);
}

TEST(ManySessions, EverySessionSignsOnThroughOneDispatcherWithNothingLost)
{
    RunSessions(true);
}

TEST(ManySessions, TwoThousandSignOnsAgainstTheSimulatorOnItsEventLoopLoseNothing)
{
    RunSessions(false, kLoopHostSessions, THostKind::EventLoop);
}

TEST(ManySessions, AThousandSessionsOnTheEventLoopAgainstTheSimulatorOnItsOwnLoseNothing)
{
    RunSessions(false, kLoopClientSessions, THostKind::EventLoopBothSides);
}

}  // namespace
}  // namespace reliability
