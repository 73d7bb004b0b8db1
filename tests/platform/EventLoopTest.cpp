// The event loop: per-descriptor order and one thread per registration,
// removal (from inside a callback, and from another thread while events
// fire) with the handler destroyed at once, timers in deadline order and
// cancelled, posts from many threads, destruction with work left; and the
// loop connection's bounded queue and failed connect.
#include "platform/uEventLoop.h"
#include "platform/uLoopConnection.h"
#include "platform/uSocketIo.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 20s;  // never reached by a passing test

struct TPair {
    int a = -1, b = -1;
    TPair()
    {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
        a = fds[0];
        b = fds[1];
    }
    ~TPair()
    {
        ::close(a);
        ::close(b);
    }
};

// Reads 4-byte counters, checks they come in sequence, on one thread, never
// two calls at once; a destroyed handler that is called fails loudly.
struct TCounterReader : IIoHandler {
    TEventLoop& loop;
    int fd;
    std::atomic<bool> inside{false};
    std::atomic<std::uint32_t> next{0};
    std::atomic<int> faults{0};
    std::thread::id thread;
    std::size_t partial = 0;
    std::uint8_t bytes[4]{};
    bool alive = true;
    TCounterReader(TEventLoop& l, int f) : loop(l), fd(f) {}
    ~TCounterReader() override { alive = false; }
    void OnIo(std::uint32_t) override
    {
        if (!alive || inside.exchange(true) || loop.CurrentThread() == TEventLoop::kNoThread)
            ++faults;
        if (thread == std::thread::id{})
            thread = std::this_thread::get_id();
        else if (thread != std::this_thread::get_id())
            ++faults;
        std::uint8_t buf[256];
        const TIoResult r = ReadSome(fd, buf);
        for (std::size_t i = 0; r.Status == TIoStatus::isDone && i < r.Bytes; ++i) {
            bytes[partial++] = buf[i];
            if (partial == 4) {
                std::uint32_t v;
                std::memcpy(&v, bytes, 4);
                if (v != next.load())
                    ++faults;
                next = v + 1;
                partial = 0;
            }
        }
        inside = false;
    }
};

void WriteCounters(int fd, std::uint32_t from, std::uint32_t to, const std::atomic<bool>* stop = nullptr)
{
    for (std::uint32_t v = from; v < to; ++v) {
        std::uint8_t b[4];
        std::memcpy(b, &v, 4);
        std::size_t done = 0;
        while (done < 4) {
            const TIoResult r = WriteSome(fd, std::span<const std::uint8_t>(b + done, 4 - done));
            if (r.Status == TIoStatus::isDone)
                done += r.Bytes;
            else if (r.Status == TIoStatus::isWouldBlock && !(stop != nullptr && *stop))
                std::this_thread::yield();
            else
                return;
        }
    }
}

template <typename Pred>
bool WaitFor(Pred pred)
{
    const auto end = std::chrono::steady_clock::now() + kWait;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(EventLoop, EachDescriptorIsServedInOrderOnOneThreadNeverTwiceAtOnce)
{
    TEventLoop loop(2);
    ASSERT_EQ(loop.Threads(), 2u);
    constexpr int kPairs = 8;
    constexpr std::uint32_t kCounters = 20000;
    std::vector<std::unique_ptr<TPair>> pairs;
    std::vector<std::unique_ptr<TCounterReader>> readers;
    std::vector<TIoId> ids;
    for (int i = 0; i < kPairs; ++i) {
        pairs.push_back(std::make_unique<TPair>());
        readers.push_back(std::make_unique<TCounterReader>(loop, pairs.back()->b));
        ids.push_back(loop.Add(pairs.back()->b, kIoRead, *readers.back()));
    }
    EXPECT_NE(TEventLoop::ThreadOf(ids[0]), TEventLoop::ThreadOf(ids[1])) << "round robin over the threads";
    std::vector<std::thread> writers;
    for (int i = 0; i < kPairs; ++i)
        writers.emplace_back([&, i] { WriteCounters(pairs[i]->a, 0, kCounters); });
    for (auto& w : writers)
        w.join();
    for (int i = 0; i < kPairs; ++i) {
        EXPECT_TRUE(WaitFor([&] { return readers[i]->next.load() == kCounters; })) << "pair " << i;
        loop.Remove(ids[i]);
        EXPECT_EQ(readers[i]->faults.load(), 0) << "pair " << i;
    }
}

// Removing itself and a neighbour whose readiness came in the same batch:
// neither is called again although both stay readable, and both handlers
// are destroyed inside the callback.
TEST(EventLoop, RemovalFromInsideACallbackStopsEveryLaterCall)
{
    TEventLoop loop(1);
    TPair p1, p2;
    struct TSelfRemover : IIoHandler {
        TEventLoop* loop;
        TIoId self = 0, other = 0;
        std::unique_ptr<IIoHandler>* selfOwner = nullptr;
        std::unique_ptr<IIoHandler>* otherOwner = nullptr;
        std::atomic<int>* calls;
        void OnIo(std::uint32_t) override
        {
            ++*calls;
            loop->Remove(other);
            loop->Remove(self);
            otherOwner->reset();
            selfOwner->reset();  // this object is gone now
        }
    };
    std::atomic<int> calls{0};
    std::unique_ptr<IIoHandler> h1 = std::make_unique<TSelfRemover>();
    std::unique_ptr<IIoHandler> h2 = std::make_unique<TSelfRemover>();
    auto& r1 = static_cast<TSelfRemover&>(*h1);
    auto& r2 = static_cast<TSelfRemover&>(*h2);
    // Both readable before either is registered: one epoll batch holds both.
    ASSERT_EQ(::write(p1.a, "x", 1), 1);
    ASSERT_EQ(::write(p2.a, "y", 1), 1);
    std::promise<void> added;
    loop.Post(0, [&] {
        r1.loop = r2.loop = &loop;
        r1.calls = r2.calls = &calls;
        r1.selfOwner = r2.otherOwner = &h1;
        r1.otherOwner = r2.selfOwner = &h2;
        r1.self = r2.other = loop.Add(p1.b, kIoRead, r1, 0);
        r1.other = r2.self = loop.Add(p2.b, kIoRead, r2, 0);
        added.set_value();
    });
    added.get_future().wait();
    ASSERT_TRUE(WaitFor([&] { return calls.load() > 0; }));
    std::promise<void> later;
    loop.AddTimer(0, 20ms, [&] { later.set_value(); });  // a few more passes of the loop
    later.get_future().wait();
    EXPECT_EQ(calls.load(), 1);
    EXPECT_FALSE(h1);
    EXPECT_FALSE(h2);
}

TEST(EventLoop, RemovalFromAnotherThreadWaitsForTheRunningCallback)
{
    TEventLoop loop(2);
    for (int round = 0; round < 200; ++round) {
        TPair p;
        auto reader = std::make_unique<TCounterReader>(loop, p.b);
        const TIoId id = loop.Add(p.b, kIoRead, *reader);
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            std::uint32_t v = 0;
            while (!stop) {
                WriteCounters(p.a, v, v + 16, &stop);
                v += 16;
            }
        });
        WaitFor([&] { return reader->next.load() > 0; });
        loop.Remove(id);
        const int faults = reader->faults.load();
        reader.reset();  // a call after Remove would touch freed memory
        stop = true;
        writer.join();
        ASSERT_EQ(faults, 0) << "round " << round;
    }
}

TEST(EventLoop, TimersRunInDeadlineOrderAndCancelledOnesNever)
{
    TEventLoop loop(1);
    std::mutex m;
    std::vector<int> order;
    const auto base = TEventLoop::TClock::now() + 200ms;  // all set before the first is due
    // Set out of order; 2 and 3 share a deadline and keep the order they were set in.
    const int offsets[] = {5, 1, 3, 3, 0, 4, 2};
    const int labels[] = {7, 1, 3, 4, 0, 6, 2};
    std::vector<TTimerId> ids;
    for (int i = 0; i < 7; ++i)
        ids.push_back(loop.AddTimerAt(0, base + offsets[i] * 5ms, [&, label = labels[i]] {
            std::lock_guard lock(m);
            order.push_back(label);
        }));
    EXPECT_TRUE(loop.CancelTimer(ids[5]));   // label 6, from another thread
    EXPECT_FALSE(loop.CancelTimer(ids[5]));  // once only
    // Label 1 cancels label 2 from inside its own task (on the loop thread).
    TTimerId two = ids[6];
    std::atomic<bool> cancelledInside{false};
    loop.AddTimerAt(0, base + 1 * 5ms, [&] { cancelledInside = loop.CancelTimer(two); });
    std::promise<void> done;
    loop.AddTimerAt(0, base + 40ms, [&] { done.set_value(); });
    done.get_future().wait();
    EXPECT_TRUE(cancelledInside.load());
    EXPECT_EQ(order, (std::vector<int>{0, 1, 3, 4, 7}));
    EXPECT_FALSE(loop.CancelTimer(ids[0])) << "a timer that ran";
}

TEST(EventLoop, PostsFromManyThreadsRunAllAndInOrderPerPoster)
{
    TEventLoop loop(2);
    constexpr int kPosters = 8;
    constexpr int kEach = 5000;
    std::vector<int> last(kPosters, -1);  // touched on loop thread 1 only
    std::atomic<int> faults{0}, ran{0};
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p)
        posters.emplace_back([&, p] {
            for (int i = 0; i < kEach; ++i)
                ASSERT_TRUE(loop.Post(1, [&, p, i] {
                    if (loop.CurrentThread() != 1 || last[p] != i - 1)
                        ++faults;
                    last[p] = i;
                    ++ran;
                }));
        });
    for (auto& t : posters)
        t.join();
    EXPECT_TRUE(WaitFor([&] { return ran.load() == kPosters * kEach; }));
    EXPECT_EQ(faults.load(), 0);
    EXPECT_FALSE(loop.Post(2, [] {})) << "no such thread";
}

TEST(EventLoop, DestructionWithWorkLeftCallsNothingAndMayHappenInsideACallback)
{
    TPair p;
    std::atomic<int> calls{0};
    struct TCounting : IIoHandler {
        std::atomic<int>* calls;
        void OnIo(std::uint32_t) override { ++*calls; }
    } handler;
    handler.calls = &calls;
    {
        TEventLoop loop(2);
        loop.AddTimer(0, 1h, [&] { ++calls; });
        loop.Add(p.b, 0, handler);
    }
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(::write(p.a, "x", 1), 1) << "the descriptor stays the caller's";

    // The last owner lets the loop go from one of its own callbacks.
    auto loop = std::make_shared<TEventLoop>(2);
    std::promise<void> gone, posted;
    auto postReturned = posted.get_future();
    loop->Post(0, [&] {
        postReturned.wait();  // the poster is done with the loop
        auto last = std::move(loop);
        last.reset();
        gone.set_value();
    });
    posted.set_value();
    gone.get_future().wait();
    EXPECT_FALSE(loop);
}

// A peer that never reads: the queue reaches its bound and the connection
// ends with leQueueFull; a connect to a closed port ends with leConnectFailed.
TEST(LoopConnection, QueueBoundAndFailedConnectEndTheConnection)
{
    TEventLoop loop(1);
    struct TEnd : ILoopConnectionHandler {
        std::promise<TLoopEnd> ended;
        void OnData(TLoopConnection&, std::span<const std::uint8_t>) override {}
        void OnClosed(TLoopConnection&, TLoopEnd end, int) override { ended.set_value(end); }
    };
    TPair p;
    auto h = std::make_shared<TEnd>();
    auto ended = h->ended.get_future();
    TLoopConnectionOptions o;
    o.maxQueued = 64 * 1024;
    auto c = TLoopConnection::Create(loop, ::dup(p.b), h, o);
    c->Start();
    std::vector<std::uint8_t> block(16 * 1024, 0x40);
    int accepted = 0;
    while (c->Send(block) && accepted < 10000)
        ++accepted;
    ASSERT_EQ(ended.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(ended.get(), TLoopEnd::leQueueFull);
    EXPECT_FALSE(c->Send(block));

    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    ::close(listener);  // bound once, now nobody listens there
    const TConnectStart s = StartConnect("127.0.0.1", ntohs(addr.sin_port));
    if (s.Fd < 0) {  // refused at once, as loopback may
        EXPECT_EQ(s.Error, ECONNREFUSED);
        return;
    }
    auto h2 = std::make_shared<TEnd>();
    auto ended2 = h2->ended.get_future();
    o.connecting = s.InProgress;
    o.connectTimeout = 10s;
    auto c2 = TLoopConnection::Create(loop, s.Fd, h2, o);
    c2->Start();
    ASSERT_EQ(ended2.wait_for(kWait), std::future_status::ready);
    EXPECT_EQ(ended2.get(), s.InProgress ? TLoopEnd::leConnectFailed : TLoopEnd::leFailed);
}

}  // namespace
