// The event loop's own costs: a task posted from another thread until it
// has run (wake-up included), a burst of posts, a timer set and cancelled,
// a burst of due timers run in order, and one byte's round trip through a
// loop connection pair (write, readiness, read, answer).
#include "platform/uEventLoop.h"
#include "platform/uLoopConnection.h"

#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <atomic>
#include <future>
#include <memory>

namespace {

void WaitUntil(const std::atomic<std::int64_t>& value, std::int64_t target)
{
    while (value.load(std::memory_order_acquire) < target) {
    }
}

// One post, from this thread, until it has run on the loop thread.
void BM_PostAndWait(benchmark::State& state)
{
    TEventLoop loop(1);
    std::atomic<std::int64_t> ran{0};
    std::int64_t want = 0;
    for (auto _ : state) {
        loop.Post(0, [&] { ran.fetch_add(1, std::memory_order_release); });
        WaitUntil(ran, ++want);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostAndWait);

// 1,000 posts in a row, then the wait for the last: the per-task cost when
// one wake-up serves many.
void BM_PostBurst(benchmark::State& state)
{
    constexpr int kBurst = 1000;
    TEventLoop loop(1);
    std::atomic<std::int64_t> ran{0};
    std::int64_t want = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBurst; ++i)
            loop.Post(0, [&] { ran.fetch_add(1, std::memory_order_release); });
        want += kBurst;
        WaitUntil(ran, want);
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
}
BENCHMARK(BM_PostBurst);

// A deadline set and cancelled before it comes (a connect deadline or a
// read pause that was not needed), from outside the loop.
void BM_TimerAddCancel(benchmark::State& state)
{
    TEventLoop loop(1);
    for (auto _ : state) {
        const TTimerId id = loop.AddTimer(0, std::chrono::seconds(30), [] {});
        benchmark::DoNotOptimize(loop.CancelTimer(id));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TimerAddCancel);

// 1,000 timers already due, run in deadline order, until the last has run.
void BM_DueTimers(benchmark::State& state)
{
    constexpr int kTimers = 1000;
    TEventLoop loop(1);
    std::atomic<std::int64_t> ran{0};
    std::int64_t want = 0;
    for (auto _ : state) {
        const auto now = TEventLoop::TClock::now();
        for (int i = 0; i < kTimers; ++i)
            loop.AddTimerAt(0, now - std::chrono::microseconds(kTimers - i),
                            [&] { ran.fetch_add(1, std::memory_order_release); });
        want += kTimers;
        WaitUntil(ran, want);
    }
    state.SetItemsProcessed(state.iterations() * kTimers);
}
BENCHMARK(BM_DueTimers);

// One byte sent through a loop connection and echoed by its peer, also a
// loop connection: the readiness path twice per round trip.
void BM_ConnectionRoundTrip(benchmark::State& state)
{
    TEventLoop loop(static_cast<std::size_t>(state.range(0)));
    struct TEcho : ILoopConnectionHandler {
        std::atomic<std::int64_t>* got = nullptr;  // null: echo instead
        void OnData(TLoopConnection& c, std::span<const std::uint8_t> bytes) override
        {
            if (got != nullptr)
                got->fetch_add(static_cast<std::int64_t>(bytes.size()), std::memory_order_release);
            else
                c.Send(bytes);
        }
        void OnClosed(TLoopConnection&, TLoopEnd, int) override {}
    };
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    std::atomic<std::int64_t> got{0};
    auto client = std::make_shared<TEcho>();
    client->got = &got;
    TLoopConnectionOptions o;
    o.thread = 0;
    auto a = TLoopConnection::Create(loop, fds[0], client, o);
    o.thread = loop.Threads() - 1;
    auto b = TLoopConnection::Create(loop, fds[1], std::make_shared<TEcho>(), o);
    a->Start();
    b->Start();
    const std::uint8_t byte = 0x7D;
    std::int64_t want = 0;
    for (auto _ : state) {
        a->Send(std::span(&byte, 1));
        WaitUntil(got, ++want);
    }
    a->Close();
    b->Close();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConnectionRoundTrip)->Arg(1)->Arg(2);

}  // namespace

BENCHMARK_MAIN();
