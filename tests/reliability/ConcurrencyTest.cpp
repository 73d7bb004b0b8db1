// Application calls from other threads while the reader thread processes a
// stream of screens: keys with field edits, property changes, reading the
// lists under the session lock, snapshots, logging switched on and off,
// Disconnect and Connect, and destroying the component. Meant to be run
// under ThreadSanitizer (and AddressSanitizer) as well as plainly: besides
// the sanitizers' findings, each reader of the lists checks that what it
// sees under the lock is one consistent screen.
#include "ReliabilitySupport.h"
#include "telnet/uLoopTransport.h"

#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "platform/uDispatcher.h"
#include "platform/uWinControl.h"

#include <atomic>

namespace reliability {
namespace {

using namespace tnsim;

// Screens the host writes: a title with the screen number, three input
// fields. Every screen has the same shape, so a reader under the lock can
// check that it sees one whole screen.
Bytes NumberedScreen(int n)
{
    std::string title = "SCREEN ";
    title += std::to_string(n);
    return TSim3270Encoder()
        .EraseWrite(wcc::Restore | wcc::ResetMdt)
        .Field(1, 1, fa::Protected, title)
        .Field(3, 10, fa::Unprotected, "ONE")
        .IC()
        .Field(3, 30, fa::Protected)
        .Field(4, 10, fa::Unprotected, "TWO")
        .Field(4, 30, fa::Protected)
        .Field(5, 10, fa::Numeric, "3")
        .Field(5, 30, fa::Protected)
        .Take();
}

// What a reader under the lock must see: records in screen order, each
// editable record also in HostFields, no text longer than its record, and
// a numbered screen whole (its three input fields). SysReq leaves a cleared
// unformatted screen, which is consistent too.
void CheckConsistent(TTn3270E& tn, std::atomic<int>& problems)
{
    auto guard = tn.Lock();
    int lastPos = 0;
    for (int i = 0; i < tn.HostFields.Count(); ++i) {
        const auto* f = As3270Field(tn.HostFields.Items(i));
        if (f == nullptr || f->GetPos() <= lastPos || f->Data.size() > static_cast<std::size_t>(f->Len)) {
            ++problems;
            return;
        }
        lastPos = f->GetPos();
    }
    for (int i = 0; i < tn.UnprotectedFields.Count(); ++i) {
        const auto* f = As3270Field(tn.UnprotectedFields.Items(i));
        if (f == nullptr || !f->GetEditable() || tn.HostFields.IndexOf(f) < 0)
            ++problems;
    }
    const TDSField* first = tn.HostFields.Items(0);
    if (first != nullptr && first->Data.compare(0, 7, "SCREEN ") == 0 && tn.UnprotectedFields.Count() != 3)
        ++problems;
}

// The host side: writes numbered screens back to back until stopped (or
// until the connection ends), and keeps the inbound queue drained.
class THostWriter {
public:
    explicit THostWriter(std::shared_ptr<TSimSession> s) : s_(std::move(s))
    {
        thread_ = std::thread([this] {
            int n = 0;
            while (!stop_.load() && s_->IsConnected()) {
                s_->Send3270(NumberedScreen(++n));
                while (s_->WaitRecord(0ms)) {
                }
                sent_.store(n);
            }
        });
    }
    ~THostWriter() { Stop(); }
    THostWriter(const THostWriter&) = delete;
    THostWriter& operator=(const THostWriter&) = delete;
    void Stop()
    {
        stop_.store(true);
        if (thread_.joinable())
            thread_.join();
    }
    int Sent() const { return sent_.load(); }

private:
    std::shared_ptr<TSimSession> s_;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

TTelnetTimings FloodTimings()
{
    TTelnetTimings t = QuickTimings();
    t.BurstWindow = 0ms;  // a screen stream here is wanted, not a loop
    return t;
}

struct TMode {
    const char* name;
    bool dispatcher;
};

class CallsFromThreads : public ::testing::TestWithParam<TMode> {};

TEST_P(CallsFromThreads, KeysPropertiesListsLoggingDisconnectAndDestructionWhileScreensArrive)
{
    const bool withDispatcher = GetParam().dispatcher;
    TTempDir logDir("concurrency");
    THostSimulator host;
    auto dispatcher = withDispatcher ? std::make_shared<TDispatcher>() : nullptr;
    TWinControl form(nullptr, dispatcher);
    auto tn = std::make_unique<TTn3270E>(withDispatcher ? &form : nullptr);
    tn->Host = "127.0.0.1";
    tn->Port = host.Port();
    tn->Timings = FloodTimings();
    TRecorder events;
    events.Attach(*tn);
    std::atomic<int> problems{0};
    std::atomic<int> handlerKeys{0};
    // The normal use: a key sent from the screen handler, now and then.
    // (Through a plain pointer: the handler may still run while another
    // thread destroys the component, which waits for it.)
    TTn3270E* const raw = tn.get();
    events.On("ScreenChange", [&events, &problems, &handlerKeys, raw] {
        CheckConsistent(*raw, problems);
        if (events.Count("ScreenChange") % 8 == 0) {
            raw->SetAidKey(TTn3270AidKey::akPF1);
            ++handlerKeys;
        }
    });

    // With a dispatcher the main thread must pump while it waits, or no
    // handler could run; without one it simply blocks.
    auto pumpUntil = [&](const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (!done() && std::chrono::steady_clock::now() < deadline)
            dispatcher->ProcessMessages(1ms);
        return done();
    };
    // Runs fn on a thread of its own and waits for it.
    auto onOtherThread = [&](const std::function<void()>& fn) {
        std::atomic<bool> finished{false};
        std::thread t([&] {
            fn();
            finished = true;
        });
        if (withDispatcher) {
            EXPECT_TRUE(pumpUntil([&] { return finished.load(); }));
        }
        t.join();
    };
    auto waitScreens = [&](int count) {
        if (withDispatcher)
            return pumpUntil([&] { return events.Count("ScreenChange") >= count; });
        return events.WaitFor("ScreenChange", count);
    };

    // On the event loop OnConnect follows Connect on a loop thread, which
    // waits for the dispatcher: the negotiation goes on once it has run.
    auto waitConnect = [&](int count) {
        if (withDispatcher) {
            EXPECT_TRUE(pumpUntil([&] { return events.Count("Connect") >= count; }));
        }
    };
    tn->Connect();
    waitConnect(1);
    auto s = host.WaitSession(kWait);
    ASSERT_TRUE(s && s->WaitNegotiated(kWait));
    auto writer = std::make_unique<THostWriter>(s);
    ASSERT_TRUE(waitScreens(1));

    // Each worker makes at least kRounds calls, and goes on until the reader
    // has published kMinScreens screens, so that the calls overlap the
    // processing of many records whatever the speed of the build.
    constexpr int kRounds = 150;
    constexpr int kMinScreens = 40;
    auto more = [&](int i, int rounds) { return i < rounds || events.Count("ScreenChange") < kMinScreens; };
    std::atomic<int> running{4};
    std::vector<std::thread> workers;
    // Keys with field edits, under the lock.
    workers.emplace_back([&] {
        for (int i = 0; more(i, kRounds); ++i) {
            auto guard = tn->Lock();
            if (auto* f = tn->UnprotectedFields.Items(0))
                f->SetData(std::to_string(i));
            static constexpr TTn3270AidKey kKeys[] = {TTn3270AidKey::akEnter, TTn3270AidKey::akPF3,
                                                      TTn3270AidKey::akPA1,  TTn3270AidKey::akClear,
                                                      TTn3270AidKey::akATTN, TTn3270AidKey::akSysReq};
            tn->SetAidKey(kKeys[i % 6]);
        }
        --running;
    });
    // Property changes and getters.
    workers.emplace_back([&] {
        for (int i = 0; more(i, kRounds); ++i) {
            tn->SetDeviceName(tn->GetDeviceName());
            tn->SetTerminalType(tn->GetTerminalType());
            tn->SetExtended(true);
            tn->SetFunctions(tn->GetFunctions());
            tn->SetConversionTable("");
            (void)tn->GetConversionTable();
            (void)tn->GetStatus();
            (void)tn->GetSessionState();
            (void)tn->GetLastAidKey();
            (void)tn->ScreenCount();
            (void)tn->IsConnected();
        }
        --running;
    });
    // Readers of the lists, under the lock and by snapshot.
    workers.emplace_back([&] {
        for (int i = 0; more(i, kRounds * 4); ++i) {
            CheckConsistent(*tn, problems);
            const TTn3270Snapshot snap = tn->Snapshot();
            if (!snap.HostFields.empty() && snap.HostFields[0].Data.compare(0, 7, "SCREEN ") == 0 &&
                snap.UnprotectedFields.size() != 3)
                ++problems;
        }
        --running;
    });
    // Logging switched on and off while the reader logs.
    workers.emplace_back([&] {
        tn->SetDebugDir(logDir.Path().string());
        for (int i = 0; more(i, 40); ++i)
            tn->SetDebugLevel(i % 2 == 0 ? 6 : 0);
        tn->SetDebug(false);
        --running;
    });
    if (withDispatcher) {
        EXPECT_TRUE(pumpUntil([&] { return running.load() == 0; }));
    }
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(problems.load(), 0);
    EXPECT_GT(writer->Sent(), 0);

    // Disconnect from another thread while screens keep coming.
    onOtherThread([&] { tn->Disconnect(); });
    if (withDispatcher) {
        EXPECT_TRUE(pumpUntil([&] { return events.Count("Disconnect") == 1; }));
    }
    ASSERT_TRUE(events.WaitFor("Disconnect"));
    writer.reset();
    EXPECT_TRUE(s->WaitDisconnect(kWait));

    // Connect again, and destroy the component from another thread while
    // the reader is busy with the stream.
    tn->Connect();
    waitConnect(2);
    auto s2 = host.WaitSession(kWait);
    ASSERT_TRUE(s2 && s2->WaitNegotiated(kWait));
    writer = std::make_unique<THostWriter>(s2);
    ASSERT_TRUE(waitScreens(events.Count("ScreenChange") + 5));
    onOtherThread([&] { tn.reset(); });
    EXPECT_TRUE(s2->WaitDisconnect(kWait));
    writer.reset();
    EXPECT_EQ(events.Count("Disconnect"), 1) << "destruction raised a disconnect";
    EXPECT_EQ(problems.load(), 0);
    EXPECT_GT(handlerKeys.load(), 0);
}

const TMode kModes[] = {{"HandlersOnTheReader", false}, {"HandlersThroughTheDispatcher", true}};
INSTANTIATE_TEST_SUITE_P(Reliability, CallsFromThreads, ::testing::ValuesIn(kModes),
                         [](const auto& info) { return std::string(info.param.name); });

// Disconnect, Connect and destruction raced against a busy reader many
// times, each from a thread of its own: the old connection's disconnect is
// reported once (none for a destroyed component), a Connect on a connected
// component replaces the connection, and nothing is left running.
TEST(Races, DisconnectConnectAndDestructionAgainstABusyReaderRepeatedly)
{
    THostSimulator host;
    if (TTn3270E().EventLoop)
        TLoopTransport::SharedLoop();  // its threads are there before the count
    const int threadsBefore = ThreadCount();
    enum class TStep { DisconnectThenDestroy, Destroy, ConnectAgainThenDestroy };
    constexpr int kRounds = 12;
    for (int round = 0; round < kRounds; ++round) {
        const auto step = static_cast<TStep>(round % 3);
        TRecorder events;
        auto tn = std::make_unique<TTn3270E>();
        tn->Host = "127.0.0.1";
        tn->Port = host.Port();
        tn->Timings = FloodTimings();
        events.Attach(*tn);
        tn->Connect();
        auto s = host.WaitSession(kWait);
        ASSERT_TRUE(s && s->WaitNegotiated(kWait));
        auto writer = std::make_unique<THostWriter>(s);
        ASSERT_TRUE(events.WaitFor("ScreenChange", 1 + round % 4));
        int disconnects = 0;
        if (step == TStep::DisconnectThenDestroy) {
            std::thread([&] { tn->Disconnect(); }).join();
            ASSERT_TRUE(events.WaitFor("Disconnect"));
            EXPECT_TRUE(s->WaitDisconnect(kWait));
            disconnects = 1;
        } else if (step == TStep::ConnectAgainThenDestroy) {
            std::thread([&] { tn->Connect(); }).join();
            EXPECT_EQ(events.Count("Disconnect"), 1);
            EXPECT_TRUE(s->WaitDisconnect(kWait));
            writer.reset();
            s = host.WaitSession(kWait);
            ASSERT_TRUE(s && s->WaitNegotiated(kWait));
            writer = std::make_unique<THostWriter>(s);
            const int screens = events.Count("ScreenChange");
            ASSERT_TRUE(events.WaitFor("ScreenChange", screens + 2));
            disconnects = 1;
        }
        std::thread([&] { tn.reset(); }).join();
        writer.reset();
        EXPECT_EQ(events.Count("Disconnect"), disconnects);
        EXPECT_TRUE(s->WaitDisconnect(kWait));
    }
    // Every reader has ended: only the simulator's own threads may remain.
    const int limit = threadsBefore + 2 * static_cast<int>(host.ActiveSessions());
    EXPECT_LE(ThreadCountOnceAtMost(limit, kWait), limit);
}

// The debug properties write the module's logging settings, which every
// component shares: two components changing them from two threads while a
// third thread logs must not race on them.
TEST(Races, DebugPropertiesOfTwoComponentsSetFromTwoThreadsWhileAThirdLogs)
{
    TTempDir dirA("debugA");
    TTempDir dirB("debugB");
    TTn3270E a;
    TTn3270E b;
    std::atomic<bool> stop{false};
    auto churn = [&stop](TTn3270E& tn, const std::string& dir) {
        for (int i = 0; i < 200; ++i) {
            tn.SetDebugDir(dir);
            tn.SetDebugLevel(static_cast<std::uint16_t>(i % 3 == 0 ? 0 : 4));
            const std::string seen = tn.GetDebugDir();
            EXPECT_FALSE(seen.empty());
            (void)tn.GetDebug();
        }
        stop = true;
    };
    std::thread writer([&stop] {
        for (int i = 0; !stop.load(); ++i)
            MsgLog(1, std::to_string(i));
    });
    std::thread t1(churn, std::ref(a), dirA.Path().string());
    std::thread t2(churn, std::ref(b), dirB.Path().string());
    t1.join();
    t2.join();
    writer.join();
    a.SetDebugLevel(0);
    a.SetDebugDir(gModulePath);
}

}  // namespace
}  // namespace reliability
