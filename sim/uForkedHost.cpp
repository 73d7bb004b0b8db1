// The host simulator in a forked child, reached over a port pipe and a stop pipe.
#include "sim/uForkedHost.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

namespace tnsim {

TForkedHost::TForkedHost(const TSimHostOptions& options)
{
    int portPipe[2];
    int stopPipe[2];
    if (::pipe2(portPipe, O_CLOEXEC) != 0)
        return;
    if (::pipe2(stopPipe, O_CLOEXEC) != 0) {
        ::close(portPipe[0]);
        ::close(portPipe[1]);
        return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(portPipe[0]);
        ::close(stopPipe[1]);
        RunChild(options, portPipe[1], stopPipe[0]);
    }
    ::close(portPipe[1]);
    ::close(stopPipe[0]);
    stop_ = stopPipe[1];
    std::uint16_t port = 0;
    if (pid_ > 0 && ::read(portPipe[0], &port, sizeof port) == static_cast<ssize_t>(sizeof port))
        port_ = port;
    ::close(portPipe[0]);
}

TForkedHost::~TForkedHost()
{
    if (stop_ >= 0)
        ::close(stop_);
    if (pid_ > 0) {
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

void TForkedHost::RunChild(const TSimHostOptions& options, int portOut, int stopIn)
{
    int status = 0;
    try {
        THostSimulator host(options);
        const std::uint16_t port = host.Port();
        if (::write(portOut, &port, sizeof port) != static_cast<ssize_t>(sizeof port))
            status = 1;
        ::close(portOut);
        char c;
        while (::read(stopIn, &c, 1) > 0) {
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "host simulator: %s\n", e.what());
        status = 1;
    }
    ::_exit(status);
}

} // namespace tnsim
