// The timer thread shared by the operators' deadlines, and the ready
// descriptor of a completed wait.
#include "component/uOperatorWait.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <vector>

const char* WaitResultName(TWaitResult result)
{
    switch (result) {
    case TWaitResult::Ok: return "ok";
    case TWaitResult::Timeout: return "timeout";
    case TWaitResult::Ended: return "ended";
    case TWaitResult::Failed: return "failed";
    case TWaitResult::Refused: return "refused";
    case TWaitResult::Cancelled: return "cancelled";
    }
    return "refused";
}

// ------------------------------------------------------------ timers

TTimerThread::TTimerThread() : thread_([this] { Run(); }) {}

TTimerThread::~TTimerThread()
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

ITimerQueue::TTimerId TTimerThread::Start(std::chrono::steady_clock::time_point when, std::function<void()> fn)
{
    TTimerId id = 0;
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        id = next_++;
        // The thread sleeps until sleepsUntil_ and then looks again: only a
        // deadline before that needs to wake it (a wait's deadline after a
        // cancelled one usually lies after it: no wake-up per wait).
        first = when < sleepsUntil_;
        due_.emplace(when, std::make_pair(id, std::move(fn)));
        when_.emplace(id, when);
    }
    if (first)
        changed_.notify_all();
    return id;
}

bool TTimerThread::Cancel(TTimerId id)
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

void TTimerThread::Run()
{
    std::unique_lock lock(mutex_);
    while (!stop_) {
        if (due_.empty()) {
            sleepsUntil_ = std::chrono::steady_clock::time_point::max();
            changed_.wait(lock);
            continue;
        }
        const auto first = due_.begin()->first;
        if (std::chrono::steady_clock::now() < first) {
            sleepsUntil_ = first;
            changed_.wait_until(lock, first);
            continue;
        }
        sleepsUntil_ = std::chrono::steady_clock::time_point::min();  // running: it looks again before sleeping
        // Everything due now, run outside the lock: a callback may start or
        // cancel timers.
        std::vector<std::function<void()>> run;
        const auto now = std::chrono::steady_clock::now();
        while (!due_.empty() && due_.begin()->first <= now) {
            when_.erase(due_.begin()->second.first);
            run.push_back(std::move(due_.begin()->second.second));
            due_.erase(due_.begin());
        }
        lock.unlock();
        for (auto& fn : run)
            fn();
        lock.lock();
    }
}

std::shared_ptr<ITimerQueue> TTimerThread::Shared()
{
    // Never destroyed: operators destroyed by static destructors may still
    // cancel their timers.
    static auto* shared = new std::shared_ptr<ITimerQueue>(std::make_shared<TTimerThread>());
    return *shared;
}

// ------------------------------------------------------------ ready descriptor

TReadyFd::TReadyFd() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (fd_ < 0)
        throw std::system_error(errno, std::generic_category(), "eventfd");
}

TReadyFd::~TReadyFd()
{
    ::close(fd_);
}

void TReadyFd::Raise()
{
    const std::uint64_t one = 1;
    // Cannot fail short of a counter overflow, which 1 per wait never reaches.
    [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
}

void TReadyFd::Clear()
{
    std::uint64_t value = 0;
    [[maybe_unused]] const ssize_t n = ::read(fd_, &value, sizeof value);  // EAGAIN when not raised
}
