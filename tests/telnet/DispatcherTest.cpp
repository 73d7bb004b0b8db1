// The dispatcher that stands in for the hidden window, and the sized
// reader thread: what the event delivery of the telnet component relies on.
#include "platform/uDispatcher.h"
#include "platform/uThread.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Pumps the dispatcher until pred holds (or ten seconds pass).
template <class Pred>
bool PumpUntil(TDispatcher& d, Pred pred)
{
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        d.ProcessMessages(10ms);
    }
    return true;
}

TEST(Dispatcher, SendFromAnotherThreadRunsOnTheOwnThreadInOrderAndWaits)
{
    TDispatcher d;
    TDispatchTarget target;
    std::vector<int> order;
    std::vector<std::thread::id> ranOn;
    std::atomic<int> returned{0};
    std::thread sender([&] {
        for (int i = 0; i < 3; ++i) {
            const bool ran = d.Send(target, [&, i] {
                order.push_back(i);
                ranOn.push_back(std::this_thread::get_id());
            });
            // Synchronous: by the time Send returns the function has run.
            EXPECT_TRUE(ran);
            EXPECT_EQ(order.size(), static_cast<std::size_t>(i + 1));
            ++returned;
        }
    });
    ASSERT_TRUE(PumpUntil(d, [&] { return returned == 3; }));
    sender.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    for (auto id : ranOn)
        EXPECT_EQ(id, std::this_thread::get_id());
}

TEST(Dispatcher, SendOnTheOwnThreadRunsInlineAndDropsExceptions)
{
    TDispatcher d;
    TDispatchTarget target;
    bool ran = false;
    EXPECT_TRUE(d.Send(target, [&] { ran = true; throw std::runtime_error("handler failed"); }));
    EXPECT_TRUE(ran);
}

TEST(Dispatcher, CancelReleasesAWaitingSenderWithoutRunningAndRefusesLaterSends)
{
    TDispatcher d;
    TDispatchTarget dying, other;
    bool ranDying = false, ranOther = false;
    auto first = std::async(std::launch::async, [&] { return d.Send(dying, [&] { ranDying = true; }); });
    auto second = std::async(std::launch::async, [&] { return d.Send(other, [&] { ranOther = true; }); });
    // Both are queued once the dispatcher could see them; cancel only one.
    ASSERT_EQ(first.wait_for(50ms), std::future_status::timeout);
    d.Cancel(dying);
    EXPECT_FALSE(first.get());
    ASSERT_TRUE(PumpUntil(d, [&] { return second.wait_for(0s) == std::future_status::ready; }));
    EXPECT_TRUE(second.get());
    EXPECT_FALSE(ranDying);
    EXPECT_TRUE(ranOther);
    EXPECT_FALSE(d.Send(dying, [&] { ranDying = true; }));
    EXPECT_FALSE(ranDying);
}

TEST(Dispatcher, PostsQueueAndCancelOrDestructionFreesThemUnrun)
{
    auto d = std::make_unique<TDispatcher>();
    TDispatchTarget kept, dying;
    std::vector<int> order;
    auto token = std::make_shared<int>(0);  // held by the posts to be freed unrun
    EXPECT_TRUE(d->Post(kept, [&] { order.push_back(1); }) && order.empty());  // not run inline
    EXPECT_TRUE(d->Post(dying, [&, token] { order.push_back(9); }));
    d->Cancel(dying);
    EXPECT_FALSE(d->Post(dying, [token] {}));
    EXPECT_EQ(token.use_count(), 1);
    EXPECT_EQ(d->ProcessMessages(), 1u);  // not the cancelled one
    EXPECT_TRUE(d->Post(kept, [token] {}));
    d.reset();
    EXPECT_EQ(token.use_count(), 1);
}

TEST(Dispatcher, RunReturnsAfterStopAndOnlyItsOwnThreadMayPump)
{
    TDispatcher d;
    TDispatchTarget target;
    std::thread sender([&] {
        d.Send(target, [] {});
        d.Stop();
    });
    d.Run();
    sender.join();
    std::thread stranger([&] { EXPECT_THROW(d.ProcessMessages(), std::logic_error); });
    stranger.join();
}

TEST(NativeThread, RunsWithTheStackSizeAskedFor)
{
    constexpr std::size_t kStack = 256u << 10;
    std::size_t seen = 0;
    TNativeThread t;
    t.Start([&] {
        pthread_attr_t attr;
        pthread_getattr_np(pthread_self(), &attr);
        pthread_attr_getstacksize(&attr, &seen);
        pthread_attr_destroy(&attr);
    }, kStack);
    EXPECT_TRUE(t.Joinable());
    t.Join();
    // Sanitizers add room of their own; either way far below the 8 MiB default.
    EXPECT_GE(seen, kStack);
    EXPECT_LT(seen, 2u << 20);
}

} // namespace
