// The host simulator in a child process, for programs that measure their
// own process (threads, resident memory) apart from the host's: construct
// it before the process starts any thread, since the child forks from it.
// The child writes its port to a pipe and serves until the parent closes
// the other pipe (the destructor), then exits.
#pragma once

#include "sim/uHostSimulator.h"

#include <sys/types.h>

#include <cstdint>

namespace tnsim {

class TForkedHost {
public:
    explicit TForkedHost(const TSimHostOptions& options);
    ~TForkedHost();
    TForkedHost(const TForkedHost&) = delete;
    TForkedHost& operator=(const TForkedHost&) = delete;

    // 0 when the child did not start or report its port.
    std::uint16_t Port() const { return port_; }
    pid_t Pid() const { return pid_; }

private:
    [[noreturn]] static void RunChild(const TSimHostOptions& options, int portOut, int stopIn);

    pid_t pid_ = -1;
    int stop_ = -1;
    std::uint16_t port_ = 0;
};

} // namespace tnsim
