// A timer queue for an operator whose waits are mostly "until the host
// answers": its thread is woken only for a deadline sooner than the one
// it already sleeps towards, and otherwise looks at least once every
// kCoarseTick. A wait with a far deadline (an AID waiting for the host,
// a day long) then costs no wake-up of the timer thread at all, where a
// queue that sleeps until its first deadline must be woken for every new
// one; on a loaded machine each such wake-up is a context switch per
// round trip.
#pragma once

#include "component/uOperatorWait.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

// The longest the thread sleeps without looking: a deadline further away
// than this is seen at a tick before it is due.
inline constexpr std::chrono::milliseconds kCoarseTick{1000};

class TCoarseTimerQueue final : public ITimerQueue {
public:
    TCoarseTimerQueue();
    // Drops the timers not yet due and joins the thread.
    ~TCoarseTimerQueue() override;
    TCoarseTimerQueue(const TCoarseTimerQueue&) = delete;
    TCoarseTimerQueue& operator=(const TCoarseTimerQueue&) = delete;

    TTimerId Start(std::chrono::steady_clock::time_point when, std::function<void()> fn) override;
    bool Cancel(TTimerId id) override;

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::multimap<std::chrono::steady_clock::time_point, std::pair<TTimerId, std::function<void()>>> due_;
    std::map<TTimerId, std::chrono::steady_clock::time_point> when_;
    // When the thread looks next (guarded by mutex_): a new deadline before
    // it wakes the thread, a later one waits for that look.
    std::chrono::steady_clock::time_point wakes_ = std::chrono::steady_clock::time_point::min();
    TTimerId next_ = 1;
    bool stop_ = false;
    std::thread thread_;
};
