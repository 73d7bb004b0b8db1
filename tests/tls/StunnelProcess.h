// An independent TLS server for the end-to-end tests: Debian's stunnel,
// started on a free loopback port with a configuration written for the
// run, terminating TLS with a given certificate and passing the clear
// bytes to a plain host on another loopback port.
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

class TStunnelProcess {
public:
    static constexpr std::chrono::seconds kStartTimeout{20};
    static constexpr std::chrono::seconds kStopTimeout{5};
    // A port picked free may be taken before stunnel binds it: tries again.
    static constexpr int kStartAttempts = 3;

    // The program on PATH ("stunnel4", else "stunnel"), or nothing.
    static std::optional<std::filesystem::path> Find();

    TStunnelProcess() = default;
    ~TStunnelProcess();
    TStunnelProcess(const TStunnelProcess&) = delete;
    TStunnelProcess& operator=(const TStunnelProcess&) = delete;

    // Serves TLS with cert/key on a free port, relaying to 127.0.0.1:backendPort.
    // False with the reason (and stunnel's output) in error.
    bool Start(const std::string& cert, const std::string& key, std::uint16_t backendPort, std::string& error);
    // SIGTERM, a bounded wait, then SIGKILL. Idempotent.
    void Stop();

    std::uint16_t Port() const { return port_; }
    std::string Output() const;

private:
    bool StartOnce(const std::filesystem::path& program, const std::string& cert, const std::string& key,
                   std::uint16_t backendPort, std::string& error);
    bool WaitOutput(const std::string& text, const std::string& failure, std::chrono::milliseconds timeout);
    void ReadOutput(int fd, int stopFd);

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
