// Shared by the fault and load tests: an event recorder that notes what the
// field lists held when each handler ran, process figures read from /proc
// (threads, resident memory), the screen as text, and a few byte helpers.
#pragma once

#include "component/uTn3270E.h"
#include "sim/uHostSimulator.h"
#include "sim/uSim3270Encoder.h"
#include "sim/uTestHost.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace reliability {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// Waits that a passing test never reaches; generous for sanitizer builds.
inline constexpr std::chrono::milliseconds kWait{20000};

// One handler call: the event and what the lists held then.
struct TSeen {
    std::string name;
    int hostCount = 0;
    int unprotectedCount = 0;
};

// Hooks the seven events of a component and lets the test wait for them.
class TRecorder {
public:
    void Attach(TTn3270E& tn)
    {
        auto hook = [this, &tn](const char* name) {
            return [this, &tn, name](TObject*) {
                // The reader waits for its handlers, but another application
                // thread (a Disconnect) may change the lists meanwhile: read
                // them under the lock, which a handler may take.
                int host = 0;
                int unprotected = 0;
                {
                    auto guard = tn.Lock();
                    host = tn.HostFields.Count();
                    unprotected = tn.UnprotectedFields.Count();
                }
                Add({name, host, unprotected});
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
        tn.OnConnect = hook("Connect");
        tn.OnConnectionFail = hook("ConnectionFail");
        tn.OnDisconnect = hook("Disconnect");
        tn.OnSessionState = hook("SessionState");
        tn.OnScreenChange = hook("ScreenChange");
        tn.OnSystemLock = hook("SystemLock");
        tn.OnSystemUnLock = hook("SystemUnLock");
    }
    // Runs fn inside the named handler after recording it (set before Connect).
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
    TSeen Last(const std::string& name) const
    {
        std::lock_guard lock(mutex_);
        for (auto it = seen_.rbegin(); it != seen_.rend(); ++it)
            if (it->name == name)
                return *it;
        return {};
    }
    std::vector<std::string> Names() const
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& s : seen_)
            out.push_back(s.name);
        return out;
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
            n += s.name == name ? 1 : 0;
        return n;
    }
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<TSeen> seen_;
    std::map<std::string, std::function<void()>> hooks_;
};

// Threads of this process, as the kernel lists them.
inline int ThreadCount()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// A "Name:  value kB" line of /proc/self/status, in KiB (0 when absent).
inline long StatusKb(std::string_view key)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0 && line.size() > key.size() && line[key.size()] == ':')
            return std::stol(line.substr(key.size() + 1));
    return 0;
}

// One row (1-based) of the component's screen as text; nulls and field
// attribute positions read as blanks. Takes the session lock.
inline std::string RowText(TTn3270E& tn, int row)
{
    auto guard = tn.Lock();
    const auto& screen = tn.Tn3270Stream().Screen();
    std::string out;
    for (int c = 0; c < screen.Cols; ++c) {
        const std::uint8_t ch = screen.Chars[static_cast<std::size_t>((row - 1) * screen.Cols + c)];
        out.push_back(ch < 0x20 ? ' ' : static_cast<char>(ch));
    }
    return out;
}

// True when a record of HostFields holds the text. Takes the session lock.
inline bool FieldsShow(TTn3270E& tn, std::string_view text)
{
    auto guard = tn.Lock();
    for (int i = 0; i < tn.HostFields.Count(); ++i)
        if (const TDSField* f = tn.HostFields.Items(i); f != nullptr && f->Data.find(text) != std::string::npos)
            return true;
    return false;
}

// Test timings: no read pause, bounded connect.
inline TTelnetTimings QuickTimings()
{
    TTelnetTimings t;
    t.ReadPause = 0ms;
    t.ConnectTimeout = 5000ms;
    return t;
}

inline Bytes Hex(std::string_view hex)
{
    return HexBytes(hex);
}

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Doubles IAC and appends IAC EOR: one record as a host frames it.
inline Bytes Framed(const Bytes& record)
{
    return tnsim::TSimTelnet::Frame(record);
}

// The 5-byte TN3270E header of a 3270-DATA record without response.
inline Bytes DataHeader()
{
    return Bytes{0x00, 0x00, 0x00, 0x00, 0x00};
}

// Every *.SYS file of the directory, concatenated (empty when none).
inline std::string ReadMessageLogs(const std::filesystem::path& dir)
{
    std::string all;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        if (entry.path().extension() != ".SYS")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return all;
}

// A fresh empty directory under the system's temporary directory, removed
// with its contents when the object goes.
class TTempDir {
public:
    explicit TTempDir(const std::string& tag)
    {
        namespace fs = std::filesystem;
        static int counter = 0;
        std::string name = "tn_rel_";
        name += tag;
        name += '_';
        name += std::to_string(::getpid());
        name += '_';
        name += std::to_string(++counter);
        path_ = fs::temp_directory_path() / name;
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TTempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace reliability
