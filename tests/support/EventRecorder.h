// The event recorder the telnet, component and reliability tests share: it
// hooks the seven event properties of a telnet component, notes each call
// (name, thread, and whatever a snapshot function reads then), runs an extra
// action inside a named handler, and lets a test wait for events with a
// time-out instead of sleeping.
#pragma once

#include "telnet/uOrvTelnet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tntest {

// One handler call: the event's name, what the snapshot noted, the thread.
struct TSeen {
    std::string name;
    int hostCount = 0;
    int unprotectedCount = 0;
    std::thread::id thread;
};

class TEventRecorder {
public:
    // Notes more about the moment of a handler call (runs inside the handler).
    using TSnapshot = std::function<void(TSeen&)>;

    explicit TEventRecorder(std::chrono::milliseconds defaultWait = std::chrono::seconds(10))
        : defaultWait_(defaultWait)
    {
    }

    // Hooks every event property of the component; each handler checks its
    // Sender, records the call, then runs the action set with On.
    void Attach(TOrvTelnet& t, TSnapshot snapshot = {})
    {
        auto hook = [this, &t, snapshot](const char* name) {
            return [this, &t, snapshot, name](TObject* sender) {
                EXPECT_EQ(sender, static_cast<TObject*>(&t));
                TSeen seen{name, 0, 0, std::this_thread::get_id()};
                if (snapshot)
                    snapshot(seen);
                Record(std::move(seen));
                std::function<void()> extra;
                {
                    std::lock_guard lock(mutex_);
                    if (auto it = hooks_.find(name); it != hooks_.end())
                        extra = it->second;
                }
                if (extra)
                    extra();
            };
        };
        t.OnConnect = hook("Connect");
        t.OnConnectionFail = hook("ConnectionFail");
        t.OnDisconnect = hook("Disconnect");
        t.OnSessionState = hook("SessionState");
        t.OnScreenChange = hook("ScreenChange");
        t.OnSystemLock = hook("SystemLock");
        t.OnSystemUnLock = hook("SystemUnLock");
    }
    // Runs fn inside the named handler, after it is recorded (set before Connect).
    void On(const std::string& name, std::function<void()> fn)
    {
        std::lock_guard lock(mutex_);
        hooks_[name] = std::move(fn);
    }
    // Records a name by hand (a test's own marker in the sequence).
    void Add(const std::string& name) { Record({name, 0, 0, std::this_thread::get_id()}); }

    // Waits until the name has been recorded count times; zero: the default wait.
    bool WaitFor(const std::string& name, int count = 1, std::chrono::milliseconds timeout = {})
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout.count() > 0 ? timeout : defaultWait_,
                                 [&] { return CountLocked(name) >= count; });
    }
    int Count(const std::string& name) const
    {
        std::lock_guard lock(mutex_);
        return CountLocked(name);
    }
    int CountOf(const std::string& name) const { return Count(name); }
    std::vector<TSeen> All() const
    {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::vector<std::string> Names() const
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& s : seen_)
            out.push_back(s.name);
        return out;
    }
    std::vector<std::thread::id> Threads() const
    {
        std::lock_guard lock(mutex_);
        std::vector<std::thread::id> out;
        for (const auto& s : seen_)
            out.push_back(s.thread);
        return out;
    }
    // The last call of the named handler (empty when none).
    TSeen Last(const std::string& name) const
    {
        std::lock_guard lock(mutex_);
        for (auto it = seen_.rbegin(); it != seen_.rend(); ++it)
            if (it->name == name)
                return *it;
        return {};
    }
    // The names recorded since the last call, and forgets them (transcripts).
    std::vector<std::string> TakeNames()
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (std::size_t i = taken_; i < seen_.size(); ++i)
            out.push_back(seen_[i].name);
        taken_ = seen_.size();
        return out;
    }

private:
    void Record(TSeen s)
    {
        std::lock_guard lock(mutex_);
        seen_.push_back(std::move(s));
        changed_.notify_all();
    }
    int CountLocked(const std::string& name) const
    {
        int n = 0;
        for (const auto& s : seen_)
            n += s.name == name ? 1 : 0;
        return n;
    }

    const std::chrono::milliseconds defaultWait_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<TSeen> seen_;
    std::size_t taken_ = 0;
    std::map<std::string, std::function<void()>> hooks_;
};

} // namespace tntest
