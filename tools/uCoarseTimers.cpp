// The coarse timer queue.
#include "tools/uCoarseTimers.h"

#include <algorithm>
#include <vector>

TCoarseTimerQueue::TCoarseTimerQueue() : thread_([this] { Run(); }) {}

TCoarseTimerQueue::~TCoarseTimerQueue()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        due_.clear();
        when_.clear();
    }
    changed_.notify_all();
    thread_.join();
}

ITimerQueue::TTimerId TCoarseTimerQueue::Start(std::chrono::steady_clock::time_point when, std::function<void()> fn)
{
    TTimerId id = 0;
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        id = next_++;
        due_.emplace(when, std::make_pair(id, std::move(fn)));
        when_.emplace(id, when);
        wake = when < wakes_;
    }
    if (wake)
        changed_.notify_all();
    return id;
}

bool TCoarseTimerQueue::Cancel(TTimerId id)
{
    std::lock_guard lock(mutex_);
    const auto w = when_.find(id);
    if (w == when_.end())
        return false;
    for (auto [it, end] = due_.equal_range(w->second); it != end; ++it) {
        if (it->second.first == id) {
            due_.erase(it);
            break;
        }
    }
    when_.erase(w);
    return true;
}

void TCoarseTimerQueue::Run()
{
    std::unique_lock lock(mutex_);
    while (!stop_) {
        const auto now = std::chrono::steady_clock::now();
        std::vector<std::function<void()>> run;
        while (!due_.empty() && due_.begin()->first <= now) {
            when_.erase(due_.begin()->second.first);
            run.push_back(std::move(due_.begin()->second.second));
            due_.erase(due_.begin());
        }
        if (!run.empty()) {
            // Outside the lock: a callback may start or cancel timers.
            wakes_ = std::chrono::steady_clock::time_point::min();
            lock.unlock();
            for (auto& fn : run)
                fn();
            lock.lock();
            continue;
        }
        wakes_ = now + kCoarseTick;
        if (!due_.empty())
            wakes_ = std::min(wakes_, due_.begin()->first);
        changed_.wait_until(lock, wakes_);
    }
}
