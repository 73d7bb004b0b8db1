// Non-blocking socket calls for connections carried on an event loop: a
// connect that returns at once (EINPROGRESS, then the outcome from SO_ERROR
// once the socket is writable) and reads and writes that say "would block"
// instead of waiting. Each is one system call (interrupted calls are
// retried); none raises SIGPIPE.
#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

enum class TIoStatus : std::uint8_t {
    isDone,        // bytes moved (count in TIoResult::Bytes)
    isWouldBlock,  // nothing now: wait for readiness
    isClosed,      // read: the peer ended the stream
    isFailed,      // the socket failed (errno value in TIoResult::Error)
};

struct TIoResult {
    TIoStatus Status = TIoStatus::isFailed;
    std::size_t Bytes = 0;
    int Error = 0;
};

// Puts fd into non-blocking mode; false (errno kept) when it cannot.
bool SetNonBlocking(int fd);

// One recv into buf; an empty buf is refused (isFailed, EINVAL).
TIoResult ReadSome(int fd, std::span<std::uint8_t> buf);
// One send of at most bytes.size() bytes: a short count is isDone too.
TIoResult WriteSome(int fd, std::span<const std::uint8_t> bytes);

struct TConnectStart {
    int Fd = -1;              // the socket (non-blocking), or -1
    bool InProgress = false;  // wait until writable, then FinishConnect
    int Error = 0;            // why Fd is -1
};

// Starts a connect to addr with a new non-blocking TCP socket (TCP_NODELAY
// set, close-on-exec). Loopback connects may finish at once (InProgress
// false). Name resolution is not done here: it blocks, so keep it off a
// loop thread.
TConnectStart StartConnect(const sockaddr* addr, socklen_t length);
// The same for a numeric IPv4 or IPv6 address (no name lookup).
TConnectStart StartConnect(const std::string& numericAddress, std::uint16_t port);
// Once the connecting socket is writable (or reports an error): 0 when the
// connection stands, else the errno value of the failure.
int FinishConnect(int fd);
