// Shared by the fault and load tests: the shared event recorder noting what
// the field lists held when each handler ran, process figures read from /proc
// (threads, resident memory), the screen as text, and a few byte helpers.
#pragma once

#include "component/uTn3270E.h"
#include "log/uOrvIntfLogg.h"
#include "sim/uHostSimulator.h"
#include "sim/uSim3270Encoder.h"
#include "sim/uTestHost.h"
#include "tests/support/EventRecorder.h"
#include "tests/support/TelnetHelpers.h"

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

using tntest::TSeen;

// The shared recorder, noting what the field lists held when each handler
// ran. The reader waits for its handlers, but another application thread (a
// Disconnect) may change the lists meanwhile: they are read under the lock,
// which a handler may take.
class TRecorder : public tntest::TEventRecorder {
public:
    TRecorder() : TEventRecorder(kWait) {}
    void Attach(TTn3270E& tn)
    {
        TEventRecorder::Attach(tn, [&tn](TSeen& seen) {
            auto guard = tn.Lock();
            seen.hostCount = tn.HostFields.Count();
            seen.unprotectedCount = tn.UnprotectedFields.Count();
        });
    }
};

// Threads of this process, as the kernel lists them.
inline int ThreadCount()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
        ++n;
    return n;
}

// The thread count once it has come down to at most `limit`, or the count
// at the deadline. A thread that has said its last word (a simulator
// session that reported the disconnect, a reader that delivered its last
// event) is still listed until it has unwound, and nothing tells when that
// is: the kernel's list is the only witness, so it is read again until the
// deadline. A thread that never ends still fails the caller's check.
inline int ThreadCountOnceAtMost(int limit, std::chrono::milliseconds within)
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    int n = ThreadCount();
    while (n > limit && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        n = ThreadCount();
    }
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
    return tntest::TestTimings();
}

inline Bytes Hex(std::string_view hex)
{
    return HexBytes(hex);
}

using tntest::Framed;

inline Bytes Cat(std::initializer_list<Bytes> parts)
{
    return tntest::Concat(parts);
}

// The 5-byte TN3270E header of a 3270-DATA record without response.
inline Bytes DataHeader()
{
    return Bytes{0x00, 0x00, 0x00, 0x00, 0x00};
}

// Every *.SYS file of the directory, concatenated (empty when none).
inline std::string ReadMessageLogs(const std::filesystem::path& dir)
{
    LogFlush();  // the log's writer thread has written what was logged so far
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
