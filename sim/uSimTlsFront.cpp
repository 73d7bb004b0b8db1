// The simulator's TLS front: one thread per connection, one SSL object per
// thread, so the front itself needs no locking around OpenSSL.
#include "sim/uSimTlsFront.h"

#include "platform/uTlsTransport.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace tnsim {

namespace {

using Clock = std::chrono::steady_clock;

// Longest the front waits for a client in the clear-text exchange and the handshake.
constexpr std::chrono::milliseconds kStepTimeout{10000};
constexpr std::size_t kRelayChunk = 16384;
constexpr int kListenBacklog = 64;

constexpr std::uint8_t IAC = 0xFF, DO = 0xFD, WILL = 0xFB, WONT = 0xFC, SB = 0xFA, SE = 0xF0;

std::string SslErrors()
{
    std::string text;
    unsigned long e = 0;
    while ((e = ERR_get_error()) != 0) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (text.empty())
            text = buf;
    }
    return text.empty() ? "no detail" : text;
}

bool SendAll(int fd, const std::uint8_t* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t rc = ::send(fd, p, n, MSG_NOSIGNAL);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd w{fd, POLLOUT, 0};
            ::poll(&w, 1, static_cast<int>(kStepTimeout.count()));
            continue;
        }
        if (rc <= 0)
            return false;
        p += rc;
        n -= static_cast<std::size_t>(rc);
    }
    return true;
}

// Waits for fd (events) or the stop signal; 1 ready, 0 time-out, -1 stopped.
int WaitReady(int fd, short events, int stopFd, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return 0;
        pollfd p[2] = {{stopFd, POLLIN, 0}, {fd, events, 0}};
        const int rc = ::poll(p, 2, static_cast<int>(std::min<long long>(left, 0x7fffffff)));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || (p[0].revents & POLLIN))
            return -1;
        if (rc > 0)
            return 1;
    }
}

struct TSslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};

} // namespace

struct TSimTlsFront::TCtx {
    SSL_CTX* ctx = nullptr;
    ~TCtx() { SSL_CTX_free(ctx); }
};

TSimTlsFront::TSimTlsFront(TSimTlsOptions options) : options_(std::move(options)), ctx_(std::make_unique<TCtx>())
{
    // OpenSSL writes with write(2): a client that went away must not end the test program.
    ::signal(SIGPIPE, SIG_IGN);
    InitTlsLibrary();  // before any other OpenSSL call of the process
    ctx_->ctx = SSL_CTX_new(TLS_server_method());
    if (ctx_->ctx == nullptr)
        throw std::runtime_error("TLS front: no context: " + SslErrors());
    if (SSL_CTX_use_certificate_chain_file(ctx_->ctx, options_.certFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx_->ctx, options_.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("TLS front: cannot load " + options_.certFile + ": " + SslErrors());
    if (!options_.clientCaFile.empty()) {
        if (SSL_CTX_load_verify_locations(ctx_->ctx, options_.clientCaFile.c_str(), nullptr) != 1)
            throw std::runtime_error("TLS front: cannot load " + options_.clientCaFile + ": " + SslErrors());
        SSL_CTX_set_client_CA_list(ctx_->ctx, SSL_load_client_CA_file(options_.clientCaFile.c_str()));
        SSL_CTX_set_verify(ctx_->ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }
    if (options_.maxVersion != 0)
        SSL_CTX_set_max_proto_version(ctx_->ctx, options_.maxVersion);

    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, kListenBacklog) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const int code = errno;
        ::close(listenFd_);
        throw std::system_error(code, std::generic_category(), "listen");
    }
    port_ = ntohs(addr.sin_port);
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (stopFd_ < 0) {
        const int code = errno;
        ::close(listenFd_);
        throw std::system_error(code, std::generic_category(), "eventfd");
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

TSimTlsFront::~TSimTlsFront()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t rc = ::write(stopFd_, &one, sizeof one);
    acceptor_.join();
    std::vector<std::thread> servers;
    {
        std::lock_guard lock(mutex_);
        servers.swap(servers_);
    }
    for (auto& t : servers)
        t.join();
    ::close(stopFd_);
}

void TSimTlsFront::AcceptLoop()
{
    for (;;) {
        pollfd p[2] = {{stopFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[0].revents & POLLIN)
            break;
        if (!(p[1].revents & POLLIN))
            continue;
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard lock(mutex_);
        ++accepted_;
        servers_.emplace_back([this, fd] { Serve(fd); });
    }
    ::close(listenFd_);
}

std::size_t TSimTlsFront::AcceptedCount() const
{
    std::lock_guard lock(mutex_);
    return accepted_;
}

void TSimTlsFront::Report(TSimTlsPeer peer)
{
    std::lock_guard lock(mutex_);
    peers_.push_back(std::move(peer));
    reported_.notify_all();
}

std::optional<TSimTlsPeer> TSimTlsFront::WaitHandshake(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    if (!reported_.wait_for(lock, timeout, [this] { return !peers_.empty(); }))
        return std::nullopt;
    TSimTlsPeer p = std::move(peers_.front());
    peers_.pop_front();
    return p;
}

void TSimTlsFront::Serve(int fd)
{
    TSimTlsPeer peer;
    int backend = -1;
    const auto finish = [&] {
        if (backend >= 0)
            ::close(backend);
        ::close(fd);
    };
    const auto fail = [&](const std::string& why) {
        peer.failure = why;
        Report(std::move(peer));
        finish();
    };
    const auto deadline = Clock::now() + kStepTimeout;

    if (options_.startTls) {
        // Clear-text part, read a byte at a time so that not one byte of the
        // client's first handshake message is taken here.
        const std::uint8_t offer[] = {IAC, DO, kOptStartTls};
        SendAll(fd, offer, sizeof offer);
        const std::vector<std::uint8_t> will{IAC, WILL, kOptStartTls};
        const std::vector<std::uint8_t> wont{IAC, WONT, kOptStartTls};
        const std::vector<std::uint8_t> follows{IAC, SB, kOptStartTls, kStartTlsFollows, IAC, SE};
        const auto endsWith = [&](const std::vector<std::uint8_t>& tail) {
            return peer.clearBytes.size() >= tail.size() &&
                   std::equal(tail.begin(), tail.end(), peer.clearBytes.end() - static_cast<long>(tail.size()));
        };
        bool sentFollows = false;
        for (;;) {
            if (WaitReady(fd, POLLIN, stopFd_, deadline) <= 0)
                return fail("START_TLS: no answer from the client");
            std::uint8_t byte = 0;
            if (::recv(fd, &byte, 1, 0) <= 0)
                return fail("START_TLS: the client closed the connection");
            peer.clearBytes.push_back(byte);
            if (endsWith(wont))
                return fail("START_TLS: the client refused (WONT)");
            if (!sentFollows && endsWith(will)) {
                const std::uint8_t sb[] = {IAC, SB, kOptStartTls, kStartTlsFollows, IAC, SE};
                SendAll(fd, sb, sizeof sb);
                sentFollows = true;
            } else if (sentFollows && endsWith(follows)) {
                break;
            }
        }
    }

    if (options_.fault == TSimTlsFault::StallHandshake) {
        // Reported at once (the client is in its handshake now), then the
        // connection is held without a word until the client gives up.
        peer.failure = "stalled in the handshake";
        Report(peer);
        std::uint8_t byte = 0;
        while (WaitReady(fd, POLLIN, stopFd_, Clock::now() + std::chrono::hours(1)) > 0 &&
               ::recv(fd, &byte, 1, 0) > 0) {
        }
        return finish();
    }

    if (options_.fault == TSimTlsFault::CloseInHandshake) {
        if (WaitReady(fd, POLLIN, stopFd_, deadline) > 0) {
            std::array<std::uint8_t, 4096> hello{};
            [[maybe_unused]] const ssize_t n = ::recv(fd, hello.data(), hello.size(), 0);
        }
        return fail("closed in the handshake on purpose");
    }

    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    std::unique_ptr<SSL, TSslFree> ssl(SSL_new(ctx_->ctx));
    if (!ssl || SSL_set_fd(ssl.get(), fd) != 1)
        return fail("no SSL object: " + SslErrors());
    ERR_clear_error();
    // firstBytesWithHandshake: the handshake is written to memory and sent
    // after each step, but for the last, which waits for the host's bytes.
    BIO* held = nullptr;
    if (options_.firstBytesWithHandshake) {
        held = BIO_new(BIO_s_mem());
        SSL_set0_wbio(ssl.get(), held);  // the SSL object owns it now
    }
    const auto sendHeld = [&] {
        char* data = nullptr;
        const long size = BIO_get_mem_data(held, &data);
        const bool sent =
            size <= 0 || SendAll(fd, reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
        BIO_reset(held);
        return sent;
    };
    for (;;) {
        const int rc = SSL_accept(ssl.get());
        if (rc == 1)
            break;
        if (held != nullptr && !sendHeld())
            return fail("handshake: the client went away");
        const int err = SSL_get_error(ssl.get(), rc);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            if (WaitReady(fd, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, stopFd_, deadline) <= 0)
                return fail("handshake: no answer from the client");
            continue;
        }
        return fail("handshake failed: " + SslErrors());
    }
    peer.handshakeDone = true;
    peer.protocol = SSL_get_version(ssl.get());
    if (const char* sni = SSL_get_servername(ssl.get(), TLSEXT_NAMETYPE_host_name); sni != nullptr)
        peer.serverName = sni;
    if (X509* cert = SSL_get1_peer_certificate(ssl.get()); cert != nullptr) {
        char line[256];
        X509_NAME_oneline(X509_get_subject_name(cert), line, sizeof line);
        peer.clientSubject = line;
        X509_free(cert);
    }
    Report(peer);

    backend = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(options_.backendPort);
    if (backend < 0 || ::connect(backend, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return finish();
    const int one = 1;
    ::setsockopt(backend, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    std::vector<std::uint8_t> buf(kRelayChunk);
    if (held != nullptr) {
        if (WaitReady(backend, POLLIN, stopFd_, deadline) <= 0)
            return finish();
        const ssize_t n = ::recv(backend, buf.data(), buf.size(), 0);
        if (n <= 0 || SSL_write(ssl.get(), buf.data(), static_cast<int>(n)) <= 0 || !sendHeld())
            return finish();
        SSL_set0_wbio(ssl.get(), BIO_new_socket(fd, BIO_NOCLOSE));  // frees the memory one
    }
    if (options_.fault == TSimTlsFault::CutRecord) {
        // The host's first bytes become one record, of which the client gets half.
        if (WaitReady(backend, POLLIN, stopFd_, deadline) > 0) {
            const ssize_t n = ::recv(backend, buf.data(), buf.size(), 0);
            if (n > 0) {
                BIO* mem = BIO_new(BIO_s_mem());
                SSL_set0_wbio(ssl.get(), mem);  // the SSL object owns it now
                SSL_write(ssl.get(), buf.data(), static_cast<int>(n));
                char* data = nullptr;
                const long size = BIO_get_mem_data(mem, &data);
                SendAll(fd, reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size / 2));
            }
        }
        return finish();
    }

    // Relay until either side ends or the front stops.
    for (;;) {
        if (SSL_pending(ssl.get()) == 0) {
            pollfd p[3] = {{stopFd_, POLLIN, 0}, {fd, POLLIN, 0}, {backend, POLLIN, 0}};
            if (::poll(p, 3, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (p[0].revents & POLLIN)
                break;
            if (p[2].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = ::recv(backend, buf.data(), buf.size(), 0);
                if (n <= 0) {
                    SSL_shutdown(ssl.get());  // close_notify, then the close
                    break;
                }
                if (options_.keyUpdates)
                    SSL_key_update(ssl.get(), SSL_KEY_UPDATE_REQUESTED);  // goes out with the write
                bool ok = true;
                for (;;) {
                    const int rc = SSL_write(ssl.get(), buf.data(), static_cast<int>(n));
                    if (rc > 0)
                        break;
                    const int err = SSL_get_error(ssl.get(), rc);
                    if ((err != SSL_ERROR_WANT_WRITE && err != SSL_ERROR_WANT_READ) ||
                        WaitReady(fd, err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, stopFd_,
                                  Clock::now() + kStepTimeout) <= 0) {
                        ok = false;
                        break;
                    }
                }
                if (!ok)
                    break;
            }
            if (!(p[1].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
        }
        const int rc = SSL_read(ssl.get(), buf.data(), static_cast<int>(buf.size()));
        if (rc > 0) {
            if (!SendAll(backend, buf.data(), static_cast<std::size_t>(rc)))
                break;
            continue;
        }
        const int err = SSL_get_error(ssl.get(), rc);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
            break;
        ERR_clear_error();
    }
    finish();
}

}  // namespace tnsim
