// What the operator interface costs on an Enter round trip: the key, then
// the wait for the host's answer through TOperator (Key + Wait(Screen):
// marks, the wait's condition, deadline on the shared timer thread,
// completion through the callback and the descriptor), against the bare
// component (SetAidKey, then a condition variable raised by the unlock
// event's handler). The host answers every key at once with a screen that
// unlocks the keyboard. Both over loopback against the simulator, read
// pause 0 (with the default 5 ms pause both are the pause), in one run,
// five repetitions each; the program prints the medians and their ratio.
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

void BM_Bare_SetAidKeyUntilUnlock(benchmark::State& state)
{
    THostSimulator host(Options());
    std::mutex mutex;
    std::condition_variable changed;
    std::uint64_t unlocks = 0;
    TTn3270E tn;
    Quick(tn.Timings);
    tn.Host = "127.0.0.1";
    tn.Port = host.Port();
    tn.OnSystemUnLock = [&](TObject*) {
        {
            std::lock_guard lock(mutex);
            ++unlocks;
        }
        changed.notify_all();
    };
    auto waitUnlock = [&](std::uint64_t seen) {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, kAnswerTimeout, [&] { return unlocks > seen; }))
            throw std::runtime_error("no unlock");
    };
    tn.Connect();
    waitUnlock(0);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::uint64_t seen = 0;
        {
            std::lock_guard lock(mutex);
            seen = unlocks;
        }
        tn.SetAidKey(TTn3270AidKey::akEnter);
        waitUnlock(seen);
    }
    Record(state, "bare", std::chrono::steady_clock::now() - start);
    tn.OnSystemUnLock = nullptr;
    tn.Disconnect();
}

void BM_Operator_KeyThenWaitScreen(benchmark::State& state)
{
    THostSimulator host(Options());
    TOperator op;
    Quick(op.Component().Timings);
    if (!op.Connect("127.0.0.1", host.Port()) || op.Wait(TWaitCondition::Of(TWaitKind::Unlock), kAnswerTimeout) != TWaitResult::Ok)
        throw std::runtime_error("no session");
    const TWaitCondition screen = TWaitCondition::Of(TWaitKind::Screen);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        op.Key(TTn3270AidKey::akEnter);
        if (op.Wait(screen, kAnswerTimeout) != TWaitResult::Ok)
            throw std::runtime_error("no answer: " + op.LastError().Message);
    }
    Record(state, "operator", std::chrono::steady_clock::now() - start);
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
    for (int r = 0; r < kRepetitions; ++r) {
        // Interleaved by hand, so that a slower moment of the shared machine
        // falls on both alike.
        benchmark::RegisterBenchmark(("RoundTrip/Bare/" + std::to_string(r)).c_str(), BM_Bare_SetAidKeyUntilUnlock)
            ->Iterations(2000)->Unit(benchmark::kMicrosecond)->UseRealTime();
        benchmark::RegisterBenchmark(("RoundTrip/Operator/" + std::to_string(r)).c_str(), BM_Operator_KeyThenWaitScreen)
            ->Iterations(2000)->Unit(benchmark::kMicrosecond)->UseRealTime();
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double bare = Median(gPerIteration["bare"]), op = Median(gPerIteration["operator"]);
    std::printf("\nEnter round trip, median of %d: bare SetAidKey + unlock event %.1f us, "
                "operator Key + Wait(Screen) %.1f us, ratio %.3f\n",
                kRepetitions, bare / 1e3, op / 1e3, bare > 0 ? op / bare : 0.0);
    return 0;
}
