#include "sim/uTestHost.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>

namespace {

constexpr std::size_t kReceiveChunk = 65536;
constexpr int kListenBacklog = 128;

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::system_error SystemError(const char* what)
{
    return std::system_error(errno, std::generic_category(), what);
}

void Signal(int eventFd, std::uint64_t value)
{
    ssize_t rc;
    do {
        rc = ::write(eventFd, &value, sizeof value);
    } while (rc < 0 && errno == EINTR);
}

} // namespace

std::vector<std::uint8_t> HexBytes(std::string_view hex)
{
    std::vector<std::uint8_t> out;
    int high = -1;
    for (char c : hex) {
        if (c == ' ' || c == '\t' || c == '\n')
            continue;
        const int d = HexDigit(c);
        if (d < 0)
            throw std::invalid_argument("HexBytes: not a hex digit");
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + d));
            high = -1;
        }
    }
    if (high >= 0)
        throw std::invalid_argument("HexBytes: odd number of digits");
    return out;
}

std::string ToHex(std::span<const std::uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (std::uint8_t b : bytes) {
        if (!out.empty())
            out += ' ';
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

// ---------------------------------------------------------------- connection

TTestConnection::TTestConnection(int fd)
    : fd_(fd), wakeFd_(::eventfd(0, EFD_CLOEXEC))
{
    if (wakeFd_ < 0) {
        ::close(fd_);
        throw SystemError("eventfd");
    }
    receiver_ = std::thread([this] { Receive(); });
}

TTestConnection::~TTestConnection()
{
    Close();
    ::close(wakeFd_);
}

void TTestConnection::Receive()
{
    std::vector<std::uint8_t> chunk(kReceiveChunk);
    TEnd how = TEnd::None;
    bool reading = true;
    while (how == TEnd::None) {
        pollfd p[2] = {{wakeFd_, POLLIN, 0}, {fd_, static_cast<short>(reading ? POLLIN : 0), 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p[0].revents & POLLIN) {
            std::uint64_t value = 0;
            if (::read(wakeFd_, &value, sizeof value) == sizeof value)
                how = static_cast<TEnd>(value);
            continue;
        }
        if (reading && (p[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            const ssize_t n = ::recv(fd_, chunk.data(), chunk.size(), 0);
            if (n < 0 && errno == EINTR)
                continue;
            std::lock_guard lock(mutex_);
            if (n > 0) {
                received_.insert(received_.end(), chunk.begin(), chunk.begin() + n);
            } else {
                peerClosed_ = true;
                reading = false;  // keep waiting for Close/Reset; the descriptor stays ours
            }
            arrived_.notify_all();
        }
    }
    // Only this thread polls the descriptor, so only it may close it.
    std::lock_guard sendLock(sendMutex_);
    if (how == TEnd::Reset) {
        linger lin{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lin, sizeof lin);
    }
    ::close(fd_);
    fdClosed_ = true;
}

void TTestConnection::End(TEnd how)
{
    std::lock_guard endLock(endMutex_);
    {
        std::lock_guard lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        arrived_.notify_all();
    }
    Signal(wakeFd_, static_cast<std::uint64_t>(how));
    if (receiver_.joinable() && receiver_.get_id() != std::this_thread::get_id())
        receiver_.join();
}

void TTestConnection::Close()
{
    End(TEnd::Close);
}

void TTestConnection::Reset()
{
    End(TEnd::Reset);
}

bool TTestConnection::IsClosed() const
{
    std::lock_guard lock(mutex_);
    return closed_;
}

bool TTestConnection::Send(std::span<const std::uint8_t> bytes)
{
    std::lock_guard lock(sendMutex_);
    if (fdClosed_ || IsClosed())
        return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool TTestConnection::Send(std::string_view text)
{
    return Send(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

bool TTestConnection::ExpectBytes(std::span<const std::uint8_t> bytes, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    std::size_t end = 0;
    const auto found = [&] {
        auto it = std::search(received_.begin() + static_cast<std::ptrdiff_t>(mark_), received_.end(),
                              bytes.begin(), bytes.end());
        if (it == received_.end() && !bytes.empty())
            return false;
        end = static_cast<std::size_t>(it - received_.begin()) + bytes.size();
        return true;
    };
    if (!arrived_.wait_for(lock, timeout, [&] { return found() || peerClosed_ || closed_; }) || !found())
        return false;
    mark_ = end;
    return true;
}

std::vector<std::uint8_t> TTestConnection::ReadBytes(std::size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, timeout, [&] { return received_.size() - mark_ >= count || peerClosed_ || closed_; });
    const std::size_t take = std::min(count, received_.size() - mark_);
    std::vector<std::uint8_t> out(received_.begin() + static_cast<std::ptrdiff_t>(mark_),
                                  received_.begin() + static_cast<std::ptrdiff_t>(mark_ + take));
    mark_ += take;
    return out;
}

bool TTestConnection::WaitUntil(const std::function<bool(std::span<const std::uint8_t>)>& pred,
                                std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    const auto holds = [&] { return pred(std::span<const std::uint8_t>(received_).subspan(mark_)); };
    return arrived_.wait_for(lock, timeout, [&] { return holds() || peerClosed_ || closed_; }) && holds();
}

std::vector<std::uint8_t> TTestConnection::Received() const
{
    std::lock_guard lock(mutex_);
    return received_;
}

std::vector<std::uint8_t> TTestConnection::Pending() const
{
    std::lock_guard lock(mutex_);
    return {received_.begin() + static_cast<std::ptrdiff_t>(mark_), received_.end()};
}

void TTestConnection::SkipPending()
{
    std::lock_guard lock(mutex_);
    mark_ = received_.size();
}

bool TTestConnection::WaitPeerClosed(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, timeout, [&] { return peerClosed_; });
}

bool TTestConnection::PeerClosed() const
{
    std::lock_guard lock(mutex_);
    return peerClosed_;
}

// ---------------------------------------------------------------- host

TTestHost::TTestHost() : TTestHost(TServe{}) {}

TTestHost::TTestHost(TServe serve) : TTestHost(0, std::move(serve)) {}

TTestHost::TTestHost(std::uint16_t port, TServe serve) : serve_(std::move(serve))
{
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0)
        throw SystemError("socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (port != 0) {
        // A fixed port is expected to be reusable at once after a restart.
        const int on = 1;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    socklen_t len = sizeof addr;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, kListenBacklog) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        auto error = SystemError("listen");
        ::close(listenFd_);
        throw error;
    }
    port_ = ntohs(addr.sin_port);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        auto error = SystemError("eventfd");
        ::close(listenFd_);
        throw error;
    }
    acceptor_ = std::thread([this] { AcceptLoop(); });
}

TTestHost::~TTestHost()
{
    StopListening();
    std::vector<std::shared_ptr<TTestConnection>> all;
    std::vector<std::thread> servers;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        all = all_;
        servers.swap(servers_);
        accepted_.notify_all();
    }
    for (auto& c : all)
        c->Close();
    for (auto& t : servers)
        t.join();
    ::close(wakeFd_);
}

void TTestHost::AcceptLoop()
{
    for (;;) {
        pollfd p[2] = {{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
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
        // Each send goes out at once: without this, a second small write waits
        // for the peer's delayed acknowledgement (tens of milliseconds).
        const int noDelay = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        auto connection = std::make_shared<TTestConnection>(fd);
        std::lock_guard lock(mutex_);
        all_.push_back(connection);
        ++count_;
        if (serve_) {
            servers_.emplace_back([this, connection] { serve_(*connection); });
        } else {
            queue_.push_back(connection);
            accepted_.notify_all();
        }
    }
    // Only this thread polls the listening descriptor, so only it closes it.
    ::close(listenFd_);
}

void TTestHost::StopListening()
{
    Signal(wakeFd_, 1);
    if (acceptor_.joinable())
        acceptor_.join();
}

std::shared_ptr<TTestConnection> TTestHost::Accept(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(mutex_);
    if (!accepted_.wait_for(lock, timeout, [this] { return !queue_.empty() || stopping_; }) || queue_.empty())
        return nullptr;
    auto connection = queue_.front();
    queue_.pop_front();
    return connection;
}

std::size_t TTestHost::AcceptedCount() const
{
    std::lock_guard lock(mutex_);
    return count_;
}
