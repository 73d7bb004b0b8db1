// What the operator interface costs on an Enter round trip: the key, then
// the wait for the host's answer through TOperator (Key + Wait(Screen):
// marks, the wait's condition, deadline on the shared timer thread,
// completion through the callback and the descriptor), against the bare
// component (SetAidKey, then a condition variable raised by the unlock
// event's handler). The host answers every key at once with a screen that
// unlocks the keyboard. Both over loopback against the simulator, read
// pause 0 (with the default 5 ms pause both are the pause), in one run:
// the two alternate key by key, five repetitions of 2000 keys each; the
// program prints the median of each and their ratio.
#include "component/uOperator.h"
#include "sim/uHostSimulator.h"
#include "sim/uSim3270Encoder.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace tnsim;

constexpr int kRepetitions = 5;
constexpr auto kAnswerTimeout = 10s;

// Answers every key with the same small form, keyboard restored.
class TAnswerApp final : public ISimHostApp {
public:
    static Bytes Screen()
    {
        TSim3270Encoder e;
        e.EraseWrite(wcc::Restore | wcc::ResetMdt)
            .Field(1, 1, fa::Protected | fa::Intensified, "ACCOUNT INQUIRY")
            .Field(3, 1, fa::Protected, "ACCOUNT")
            .Field(3, 10, fa::Unprotected, "")
            .IC()
            .Field(3, 20, fa::Protected, "BALANCE 1234.56");
        return e.Take();
    }
    void OnStart(TSimSession& s) override { s.Send3270(Screen()); }
    void OnRecord(TSimSession& s, const TSimRecord& r) override
    {
        if (!r.tn3270e || r.header.dataType != dt::Response)
            s.Send3270(Screen());
    }
};

TSimHostOptions Options()
{
    TSimHostOptions o;
    o.appFactory = [] { return std::make_unique<TAnswerApp>(); };
    return o;
}

void Quick(TTelnetTimings& t)
{
    t.ReadPause = std::chrono::milliseconds(0);
    // Far more than 50 blocks in two seconds: not a receive loop.
    t.BurstWindow = std::chrono::milliseconds(0);
}

std::map<std::string, std::vector<double>> gPerIteration;  // ns, one entry per repetition

void Record(benchmark::State& state, const std::string& name, std::chrono::steady_clock::duration spent)
{
    if (state.iterations() > 0)
        gPerIteration[name].push_back(std::chrono::duration<double, std::nano>(spent).count() /
                                      static_cast<double>(state.iterations()));
}

// The bare component: SetAidKey, then the unlock event's handler wakes us.
class TBare {
public:
    explicit TBare(std::uint16_t port)
    {
        Quick(tn_.Timings);
        tn_.Host = "127.0.0.1";
        tn_.Port = port;
        tn_.OnSystemUnLock = [this](TObject*) {
            {
                std::lock_guard lock(mutex_);
                ++unlocks_;
            }
            changed_.notify_all();
        };
        tn_.Connect();
        WaitUnlock(0);
    }
    ~TBare()
    {
        tn_.OnSystemUnLock = nullptr;
        tn_.Disconnect();
    }
    void RoundTrip()
    {
        std::uint64_t seen = 0;
        {
            std::lock_guard lock(mutex_);
            seen = unlocks_;
        }
        tn_.SetAidKey(TTn3270AidKey::akEnter);
        WaitUnlock(seen);
    }

private:
    void WaitUnlock(std::uint64_t seen)
    {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kAnswerTimeout, [&] { return unlocks_ > seen; }))
            throw std::runtime_error("no unlock");
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t unlocks_ = 0;
    TTn3270E tn_;  // last: destroyed first
};

// The operator: Key, then Wait(Screen).
class TOperated {
public:
    explicit TOperated(std::uint16_t port)
    {
        Quick(op_.Component().Timings);
        if (!op_.Connect("127.0.0.1", port) ||
            op_.Wait(TWaitCondition::Of(TWaitKind::Unlock), kAnswerTimeout) != TWaitResult::Ok)
            throw std::runtime_error("no session");
    }
    void RoundTrip()
    {
        op_.Key(TTn3270AidKey::akEnter);
        if (op_.Wait(screen_, kAnswerTimeout) != TWaitResult::Ok)
            throw std::runtime_error("no answer: " + op_.LastError().Message);
    }

private:
    TOperator op_;
    const TWaitCondition screen_ = TWaitCondition::Of(TWaitKind::Screen);
};

// Both sessions at once, their round trips alternating, each timed on its
// own: a slower moment of the shared machine falls on both alike.
void BM_RoundTrip_BareAndOperator(benchmark::State& state)
{
    THostSimulator host(Options());
    TBare bare(host.Port());
    TOperated operated(host.Port());
    using Clock = std::chrono::steady_clock;
    Clock::duration bareSpent{}, opSpent{};
    bool operatorFirst = false;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        if (operatorFirst)
            operated.RoundTrip();
        else
            bare.RoundTrip();
        const auto t1 = Clock::now();
        if (operatorFirst)
            bare.RoundTrip();
        else
            operated.RoundTrip();
        const auto t2 = Clock::now();
        (operatorFirst ? opSpent : bareSpent) += t1 - t0;
        (operatorFirst ? bareSpent : opSpent) += t2 - t1;
        operatorFirst = !operatorFirst;
    }
    Record(state, "bare", bareSpent);
    Record(state, "operator", opSpent);
    state.counters["bare_us"] = std::chrono::duration<double, std::micro>(bareSpent).count() /
                                static_cast<double>(state.iterations());
    state.counters["operator_us"] = std::chrono::duration<double, std::micro>(opSpent).count() /
                                    static_cast<double>(state.iterations());
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RegisterBenchmark("RoundTrip/BareAndOperator", BM_RoundTrip_BareAndOperator)
        ->Iterations(2000)
        ->Repetitions(kRepetitions)
        ->Unit(benchmark::kMicrosecond)
        ->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double bare = Median(gPerIteration["bare"]), op = Median(gPerIteration["operator"]);
    std::printf("\nEnter round trip, median of %d: bare SetAidKey + unlock event %.1f us, "
                "operator Key + Wait(Screen) %.1f us, ratio %.3f\n",
                kRepetitions, bare / 1e3, op / 1e3, bare > 0 ? op / bare : 0.0);
    return 0;
}
