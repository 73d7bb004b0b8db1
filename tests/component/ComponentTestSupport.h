// Shared by the component tests: an event recorder that notes the state of
// the field lists when each handler runs, a component whose sends can be
// captured, and helpers for screens and inbound records.
#pragma once

#include "component/uTn3270E.h"
#include "sim/uHostSimulator.h"
#include "sim/uSim3270Encoder.h"
#include "sim/uTestHost.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <stdexcept>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

inline constexpr std::chrono::milliseconds kWait{10000};

// One handler call: the event's name and what the lists held then.
struct TSeen {
    std::string name;
    int hostCount;
    int unprotectedCount;
    std::thread::id thread;
};

class TEvents {
public:
    // Hooks the seven events. Handlers read the lists: inside a handler they are stable.
    void Attach(TTn3270E& tn)
    {
        auto hook = [this, &tn](const char* name) {
            return [this, &tn, name](TObject* sender) {
                EXPECT_EQ(sender, &tn);
                Add({name, tn.HostFields.Count(), tn.UnprotectedFields.Count(), std::this_thread::get_id()});
                std::function<void()> extra;
                {
                    std::lock_guard lock(mutex_);
                    auto it = hooks_.find(name);
                    if (it != hooks_.end())
                        extra = it->second;
                }
                if (extra)
                    extra();
            };
        };
        tn.OnConnect = hook("Connect");
        tn.OnConnectionFail = hook("ConnectionFail");
        tn.OnDisconnect = hook("Disconnect");
        tn.OnSessionState = hook("SessionState");
        tn.OnScreenChange = hook("ScreenChange");
        tn.OnSystemLock = hook("SystemLock");
        tn.OnSystemUnLock = hook("SystemUnLock");
    }
    // Runs fn inside the named handler, after it is recorded (set before Connect).
    void On(const std::string& name, std::function<void()> fn)
    {
        std::lock_guard lock(mutex_);
        hooks_[name] = std::move(fn);
    }
    bool WaitFor(const std::string& name, int count = 1, std::chrono::milliseconds timeout = kWait)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return CountLocked(name) >= count; });
    }
    int Count(const std::string& name) const
    {
        std::lock_guard lock(mutex_);
        return CountLocked(name);
    }
    std::vector<TSeen> All() const
    {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> out;
        for (const auto& s : All())
            out.push_back(s.name);
        return out;
    }
    // The last call of the named handler.
    TSeen Last(const std::string& name) const
    {
        std::lock_guard lock(mutex_);
        for (auto it = seen_.rbegin(); it != seen_.rend(); ++it)
            if (it->name == name)
                return *it;
        return {};
    }

private:
    void Add(TSeen s)
    {
        std::lock_guard lock(mutex_);
        seen_.push_back(std::move(s));
        changed_.notify_all();
    }
    int CountLocked(const std::string& name) const
    {
        int n = 0;
        for (const auto& s : seen_)
            n += s.name == name;
        return n;
    }
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<TSeen> seen_;
    std::map<std::string, std::function<void()>> hooks_;
};

// A component whose every send is kept instead of written to a socket;
// bytes are fed with Feed as if the reader had received them.
class TCaptureTn3270E : public TTn3270E {
public:
    std::int32_t Send(const void* buf, std::int32_t len) override
    {
        const auto* p = static_cast<const std::uint8_t*>(buf);
        Sent.insert(Sent.end(), p, p + len);
        return len;
    }
    void Feed(const Bytes& b) { NewData(b.data(), static_cast<std::int32_t>(b.size())); }
    Bytes TakeSent()
    {
        Bytes out;
        out.swap(Sent);
        return out;
    }
    Bytes Sent;  // the tests' thread only
};

// Test timings: no read pause.
inline TTelnetTimings FastTimings()
{
    TTelnetTimings t;
    t.ReadPause = 0ms;
    t.ConnectTimeout = 5000ms;
    return t;
}

// One outbound record as a 3270 would frame it: IAC doubled, IAC EOR.
inline Bytes Framed(const Bytes& record)
{
    Bytes out;
    for (auto b : record) {
        out.push_back(b);
        if (b == 0xFF)
            out.push_back(0xFF);
    }
    out.push_back(0xFF);
    out.push_back(0xEF);
    return out;
}

// The record inside one IAC EOR frame (undoubled); empty when it is not one.
inline Bytes Unframe(const Bytes& frame)
{
    Bytes out;
    if (frame.size() < 2 || frame[frame.size() - 2] != 0xFF || frame.back() != 0xEF)
        return out;
    for (std::size_t i = 0; i + 2 < frame.size(); ++i) {
        out.push_back(frame[i]);
        if (frame[i] == 0xFF)
            ++i;
    }
    return out;
}

inline Bytes Hex(std::string_view hex)
{
    return HexBytes(hex);
}

// The unprotected record at the index as a 3270 field; fails the test when missing.
inline T3270Field& Unprotected(TTn3270E& tn, int index)
{
    auto* f = As3270Field(tn.UnprotectedFields.Items(index));
    if (f == nullptr)
        throw std::runtime_error("no unprotected field " + std::to_string(index));
    return *f;
}
