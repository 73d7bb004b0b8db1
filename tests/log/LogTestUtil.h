// Helpers shared by the log and configuration tests: a temporary directory,
// a settable clock for the log classes, and file reading.
#pragma once

#include "log/uTLogg.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace logtest {

namespace fs = std::filesystem;

class TempDir {
public:
    TempDir()
    {
        std::string tmpl = (fs::temp_directory_path() / "tnlogXXXXXX").string();
        path_ = ::mkdtemp(tmpl.data()) ? tmpl : std::string();
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Log calls queue their lines for the writer thread: what a test reads is
// what was logged before, once flushed.
inline std::string ReadFile(const std::string& path)
{
    uTLogg::Flush();
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Lines split at CR LF; a trailing CR LF gives no empty last element.
inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto end = text.find("\r\n", pos);
        if (end == std::string::npos) {
            out.push_back(text.substr(pos));
            break;
        }
        out.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return out;
}

inline std::size_t FileCount(const std::string& dir)
{
    uTLogg::Flush();
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir))
        ++n;
    return n;
}

// Local wall-clock time, so expectations hold in any time zone.
inline std::chrono::system_clock::time_point LocalTime(int y, int mo, int d, int h, int mi, int s,
                                                       int ms = 0)
{
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(ms);
}

inline std::atomic<std::int64_t> gFakeNowMs{0};
inline std::chrono::system_clock::time_point FakeNow()
{
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(gFakeNowMs.load()));
}
// Sets the log classes' clock to a fixed instant until the object dies.
class FixedClock {
public:
    explicit FixedClock(std::chrono::system_clock::time_point t)
    {
        Set(t);
        uTLogg::SetClock(&FakeNow);
    }
    ~FixedClock() { uTLogg::SetClock(nullptr); }
    FixedClock(const FixedClock&) = delete;
    FixedClock& operator=(const FixedClock&) = delete;
    void Set(std::chrono::system_clock::time_point t)
    {
        gFakeNowMs = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    }
};

// "I:nnnnn" of the calling thread, computed from the kernel directly.
inline std::string ThreadTag()
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "I:%05ld", static_cast<long>(::syscall(SYS_gettid) % 100000));
    return buf;
}

inline const std::string kFrame(77, '=');

}  // namespace logtest
