#include "platform/uTcpClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

int PollTimeout(std::chrono::milliseconds ms)
{
    return static_cast<int>(std::clamp<std::int64_t>(ms.count(), 0, 0x7fffffff));
}

std::string ErrorText(int code)
{
    char buf[128];
    // GNU strerror_r returns the text (maybe not in buf).
    return strerror_r(code, buf, sizeof buf);
}

} // namespace

TTcpConnection::TTcpConnection(int fd, std::chrono::milliseconds sendTimeout) : fd_(fd), sendTimeout_(sendTimeout) {}

TTcpConnection::~TTcpConnection()
{
    tls_.store(nullptr, std::memory_order_release);
    tlsOwner_.reset();  // the TLS session uses the descriptor: it goes first
    ::close(fd_);
}

void TTcpConnection::StartTls(const TTlsSettings& settings, const std::string& host,
                              std::chrono::steady_clock::time_point deadline)
{
    std::lock_guard lock(sendMutex_);
    if (tls_.load(std::memory_order_acquire) != nullptr)
        return;
    try {
        if (IsShutdown())
            throw ETlsError(TTlsFailure::tfClosedDuringHandshake, "TLS: the connection was closed before the handshake");
        tlsOwner_ = TTlsSession::Connect(fd_, settings, host, deadline);
    } catch (...) {
        tlsFailed_ = true;
        throw;
    }
    tls_.store(tlsOwner_.get(), std::memory_order_release);
}

TTlsInfo TTcpConnection::TlsInfo() const
{
    TTlsSession* tls = tls_.load(std::memory_order_acquire);
    return tls != nullptr ? tls->Info() : TTlsInfo{};
}

std::string TTcpConnection::TlsFailureText() const
{
    TTlsSession* tls = tls_.load(std::memory_order_acquire);
    return tls != nullptr ? tls->FailureText() : std::string();
}

TTcpConnection::TWait TTcpConnection::WaitForData(std::chrono::milliseconds timeout) const
{
    // Bytes already inside the TLS session do not make the socket readable.
    if (TTlsSession* tls = tls_.load(std::memory_order_acquire); tls != nullptr && tls->HasPending())
        return TWait::Ready;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const int rc = ::poll(&p, 1, PollTimeout(left));
        if (rc > 0)
            return TWait::Ready;
        if (rc == 0)
            return TWait::Timeout;
        if (errno != EINTR)
            return TWait::Failed;
    }
}

std::int32_t TTcpConnection::ReceiveBuf(void* buf, std::int32_t len) const
{
    if (len <= 0)
        return 0;
    if (TTlsSession* tls = tls_.load(std::memory_order_acquire); tls != nullptr)
        return tls->Read(buf, len);
    for (;;) {
        const ssize_t n = ::recv(fd_, buf, static_cast<std::size_t>(len), 0);
        if (n >= 0)
            return static_cast<std::int32_t>(n);
        if (errno != EINTR)
            return -1;
    }
}

std::int32_t TTcpConnection::SendBuf(const void* buf, std::int32_t len, int* error)
{
    std::lock_guard lock(sendMutex_);
    if (IsShutdown()) {
        *error = ESHUTDOWN;
        return -1;
    }
    if (tlsFailed_) {
        *error = EPROTO;
        return -1;
    }
    if (TTlsSession* tls = tls_.load(std::memory_order_acquire); tls != nullptr)
        return tls->Write(buf, len, Clock::now() + sendTimeout_, error);
    const auto* p = static_cast<const std::uint8_t*>(buf);
    std::int32_t left = len;
    while (left > 0) {
        // MSG_NOSIGNAL: a peer that went away must never end the process.
        const ssize_t n = ::send(fd_, p, static_cast<std::size_t>(left), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            return -1;
        }
        p += n;
        left -= static_cast<std::int32_t>(n);
    }
    return len;
}

void TTcpConnection::Shutdown()
{
    if (!shutdown_.exchange(true, std::memory_order_acq_rel))
        ::shutdown(fd_, SHUT_RDWR);
}

TTcpClient::~TTcpClient()
{
    Shutdown();
}

std::int32_t TTcpClient::ResolveServicePort(const std::string& service)
{
    if (service.empty())
        return -1;
    std::string lower = service;
    for (auto& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::string* names[] = {&service, &lower};
    for (const std::string* name : names) {
        servent entry{};
        servent* found = nullptr;
        char buf[1024];
        if (getservbyname_r(name->c_str(), "tcp", &entry, buf, sizeof buf, &found) == 0 && found != nullptr)
            return ntohs(static_cast<std::uint16_t>(found->s_port));
    }
    return -1;
}

int TTcpClient::ConnectTo(const std::string& node, bool numeric, std::int32_t port, Clock::time_point deadline) const
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (numeric ? AI_NUMERICHOST : 0);
    addrinfo* list = nullptr;
    const std::string portText = std::to_string(port);
    if (int rc = ::getaddrinfo(node.c_str(), portText.c_str(), &hints, &list); rc != 0)
        throw ESocketError("Cannot resolve " + node + ": " + gai_strerror(rc), 0);
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(list, ::freeaddrinfo);

    int lastError = ETIMEDOUT;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        int rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            // Bounded connect: an unreachable address must not hold the caller for minutes.
            for (;;) {
                pollfd p{fd, POLLOUT, 0};
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                const int prc = ::poll(&p, 1, PollTimeout(left));
                if (prc < 0 && errno == EINTR)
                    continue;
                if (prc <= 0) {
                    errno = prc == 0 ? ETIMEDOUT : errno;
                    rc = -1;
                    break;
                }
                int soError = 0;
                socklen_t soLen = sizeof soError;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLen);
                errno = soError;
                rc = soError == 0 ? 0 : -1;
                break;
            }
        }
        if (rc == 0) {
            const int flags = ::fcntl(fd, F_GETFL);
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
            const int one = 1;
            // Attention keys are small records a user waits for: send them at once.
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            timeval tv{};
            tv.tv_sec = static_cast<time_t>(SendTimeout.count() / 1000);
            tv.tv_usec = static_cast<suseconds_t>((SendTimeout.count() % 1000) * 1000);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            return fd;
        }
        lastError = errno;
        ::close(fd);
        if (Clock::now() >= deadline)
            break;
    }
    throw ESocketError("Cannot connect to " + node + " port " + portText + ": " + ErrorText(lastError), lastError);
}

void TTcpClient::Open()
{
    if (Active())
        Close();
    std::int32_t port = port_;
    if (!service_.empty()) {
        port = ResolveServicePort(service_);
        if (port < 0)
            throw ESocketError("Unknown service " + service_, 0);
    }
    if (port <= 0 || port > 65535)
        throw ESocketError("Invalid port " + std::to_string(port), 0);
    const bool numeric = !Address.empty();
    const std::string& node = numeric ? Address : Host;
    if (node.empty())
        throw ESocketError("No host or address to connect to", 0);
    // One bound for the connect and the TLS handshake together.
    const auto deadline = Clock::now() + ConnectTimeout;
    const int fd = ConnectTo(node, numeric, port, deadline);
    auto conn = std::make_shared<TTcpConnection>(fd, SendTimeout);
    if (TlsDirect)
        conn->StartTls(TlsSettings, node, deadline);  // ETlsError: conn closes the descriptor
    {
        std::lock_guard lock(connMutex_);
        conn_ = std::move(conn);
    }
    active_.store(true, std::memory_order_release);
    if (OnConnect)
        OnConnect(*this);
}

void TTcpClient::Close()
{
    if (!active_.exchange(false, std::memory_order_acq_rel))
        return;
    std::shared_ptr<TTcpConnection> conn;
    {
        std::lock_guard lock(connMutex_);
        conn = std::move(conn_);
    }
    if (conn)
        conn->Shutdown();
    if (OnDisconnect)
        OnDisconnect(*this);
}

std::shared_ptr<TTcpConnection> TTcpClient::Connection() const
{
    std::lock_guard lock(connMutex_);
    return conn_;
}

std::int32_t TTcpClient::SendBuf(const void* buf, std::int32_t len)
{
    auto conn = Connection();
    if (!conn || !Active())
        return -1;
    int code = 0;
    const std::int32_t sent = conn->SendBuf(buf, len, &code);
    if (sent >= 0)
        return sent;
    if (OnError)
        OnError(*this, TErrorEvent::eeSend, code);
    if (code != 0)
        throw ESocketError("Send failed: " + ErrorText(code), code);
    return -1;
}

void TTcpClient::Shutdown()
{
    if (auto conn = Connection())
        conn->Shutdown();
}
