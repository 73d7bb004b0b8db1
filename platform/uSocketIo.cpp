#include "platform/uSocketIo.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>

bool SetNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

namespace {

TIoResult FromCount(ssize_t n, bool reading)
{
    if (n > 0)
        return {TIoStatus::isDone, static_cast<std::size_t>(n), 0};
    if (n == 0)
        return reading ? TIoResult{TIoStatus::isClosed, 0, 0} : TIoResult{TIoStatus::isDone, 0, 0};
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return {TIoStatus::isWouldBlock, 0, 0};
    return {TIoStatus::isFailed, 0, errno};
}

} // namespace

TIoResult ReadSome(int fd, std::span<std::uint8_t> buf)
{
    if (buf.empty())
        return {TIoStatus::isFailed, 0, EINVAL};
    ssize_t n;
    do {
        n = ::recv(fd, buf.data(), buf.size(), 0);
    } while (n < 0 && errno == EINTR);
    return FromCount(n, true);
}

TIoResult WriteSome(int fd, std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return {TIoStatus::isDone, 0, 0};
    ssize_t n;
    do {
        n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return FromCount(n, false);
}

TConnectStart StartConnect(const sockaddr* addr, socklen_t length)
{
    TConnectStart out;
    const int fd = ::socket(addr->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        out.Error = errno;
        return out;
    }
    // Records are small and answered at once: no waiting for a full segment.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Not retried on EINTR: an interrupted connect goes on in the background.
    if (::connect(fd, addr, length) == 0) {
        out.Fd = fd;
        return out;
    }
    if (errno == EINPROGRESS || errno == EINTR) {
        out.Fd = fd;
        out.InProgress = true;
        return out;
    }
    out.Error = errno;
    ::close(fd);
    return out;
}

TConnectStart StartConnect(const std::string& numericAddress, std::uint16_t port)
{
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(numericAddress.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr) {
        TConnectStart out;
        out.Error = EINVAL;
        return out;
    }
    const TConnectStart out = StartConnect(found->ai_addr, found->ai_addrlen);
    ::freeaddrinfo(found);
    return out;
}

int FinishConnect(int fd)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}
