// A real host that nobody on the project wrote: Debian's mainframe
// emulator, started on a free loopback port with a minimal configuration
// (no operating system; a few 3270 console devices), whose console server
// greets each 3270 connection with its connection screen over plain TN3270.
//
// The process is ours alone: started in a temporary directory, stopped by
// its process id (SIGTERM, then SIGKILL after a bounded wait) when the
// object goes, and told by the kernel to end if the test process dies first.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>

class THerculesHost {
public:
    // Longest wait for the console port to be served.
    static constexpr std::chrono::seconds kStartTimeout{30};
    // Longest wait for the process to end after SIGTERM. The emulator often
    // leaves SIGTERM unanswered (it ends at once or not at all), so the
    // wait before SIGKILL is kept short.
    static constexpr std::chrono::seconds kStopTimeout{2};
    // A port picked free may be taken again before the emulator binds it:
    // tries with a new port.
    static constexpr int kStartAttempts = 3;

    // The emulator's program on PATH, or nothing.
    static std::optional<std::filesystem::path> Find();

    THerculesHost() = default;
    ~THerculesHost();
    THerculesHost(const THerculesHost&) = delete;
    THerculesHost& operator=(const THerculesHost&) = delete;

    // Starts it with console devices 0010 and 0011 and waits until its
    // console port accepts connections. False with the reason (and the
    // emulator's output) in error.
    bool Start(std::string& error);
    // SIGTERM, a bounded wait, then SIGKILL. Idempotent.
    void Stop();

    std::uint16_t Port() const { return port_; }
    bool Running() const { return pid_ > 0; }
    // What the emulator printed so far.
    std::string Output() const;
    // Waits until its output holds the text; false on time-out or exit.
    bool WaitOutput(const std::string& text, std::chrono::milliseconds timeout);

private:
    bool StartOnce(const std::filesystem::path& program, std::string& error);
    void ReadOutput(int fd, int stopFd);
    void Reap();

    std::filesystem::path dir_;
    std::uint16_t port_ = 0;
    pid_t pid_ = -1;
    int pidfd_ = -1;
    int stopPipe_[2] = {-1, -1};
    std::thread reader_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;  // guarded by mutex_
    bool eof_ = false;    // guarded by mutex_
};
