// A connection on the event loop: TLink owns the socket on its loop thread
// and reaches the component only under the session lock, after checking
// that the component is alive and still carries this link (as a reader
// thread does), so that a link outliving its component touches nothing.
#include "telnet/uLoopTransport.h"

#include "log/uOrvIntfLogg.h"
#include "platform/uSocketIo.h"
#include "telnet/uSocketReader.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

static_assert(TLoopTransport::kMaxBlockBytes == TThSocketRead::kReadBufferSize);

namespace {

constexpr char kTlsRefused[] = "TLS: not carried on the event loop yet (the reader-thread transport carries it)";

// Addresses of one name tried per connect, in the resolver's order: a name
// often has an IPv6 and an IPv4 address ("localhost": ::1 first), and a
// host may listen on one of them only, as the reader thread's client knows.
constexpr std::size_t kMaxAddresses = 8;

struct TAddress {
    sockaddr_storage Address{};
    socklen_t Length = 0;
};

// The addresses of host:port (port < 0: the telnet service), or why not.
// Blocks for a name lookup (numeric addresses and "localhost" answer at once).
std::string Resolve(const std::string& host, std::int32_t port, std::vector<TAddress>& addresses)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const std::string service = port < 0 ? "telnet" : std::to_string(port);
    const int rc = getaddrinfo(host.empty() ? "localhost" : host.c_str(), service.c_str(), &hints, &found);
    if (rc != 0 || found == nullptr)
        return "cannot resolve " + host + ": " + gai_strerror(rc);
    for (const addrinfo* ai = found; ai != nullptr && addresses.size() < kMaxAddresses; ai = ai->ai_next) {
        if (ai->ai_addrlen > sizeof(sockaddr_storage))
            continue;
        TAddress& a = addresses.emplace_back();
        std::memcpy(&a.Address, ai->ai_addr, ai->ai_addrlen);
        a.Length = ai->ai_addrlen;
    }
    freeaddrinfo(found);
    return {};
}

// A connect begun to the first address that takes one; the addresses
// tried are dropped. Fd < 0 (with the last error) when none did.
TConnectStart StartFirst(std::vector<TAddress>& addresses)
{
    TConnectStart start;
    start.Error = EADDRNOTAVAIL;
    while (!addresses.empty()) {
        const TAddress a = addresses.front();
        addresses.erase(addresses.begin());
        start = StartConnect(reinterpret_cast<const sockaddr*>(&a.Address), a.Length);
        if (start.Fd >= 0)
            break;
    }
    return start;
}

} // namespace

class TLoopTransport::TLink final : public IIoHandler, public TDeliverySource, public std::enable_shared_from_this<TLink> {
public:
    using Clock = std::chrono::steady_clock;
    enum class TState : std::uint8_t { Connecting, Open, Ended };

    TLink(TLoopTransport& owner, int fd, const TConnectTarget& target, std::vector<TAddress> next)
        : owner_(&owner), sink_(&owner.sink_), core_(owner.core_), loop_(owner.loop_), fd_(fd),
          thread_(owner.thread_), sendTimeout_(target.SendTimeout), next_(std::move(next))
    {
    }
    ~TLink() override
    {
        if (fd_ >= 0)
            ::close(fd_);
    }

    // Registers the socket (write interest: the connect's outcome) and the
    // connect deadline, on the loop thread. False when the loop refuses.
    bool Begin(std::chrono::milliseconds connectTimeout)
    {
        auto self = shared_from_this();
        return loop_->Post(thread_, [self, connectTimeout] {
            try {
                std::lock_guard lock(self->mutex_);
                if (self->state_ == TState::Ended)
                    return;
                self->io_ = self->loop_->Add(self->fd_, kIoWrite, *self, self->thread_);
                self->registered_ = self;
            } catch (const std::exception& e) {
                self->loop_->Post(self->thread_, [self, why = std::string(e.what())] { self->ConnectFailed(why); });
                return;
            }
            if (connectTimeout.count() > 0)
                self->loop_->AddTimer(self->thread_, connectTimeout, [self] {
                    if (self->State() == TState::Connecting)
                        self->ConnectFailed("the connect timed out");
                });
        });
    }

    TState State() const
    {
        std::lock_guard lock(mutex_);
        return state_;
    }

    // Under the session lock, from the component.
    void StartReading(const TTelnetTimings& timings, std::optional<Clock::time_point> deadline)
    {
        auto self = shared_from_this();
        loop_->Post(thread_, [self, timings, deadline] {
            self->timings_ = timings;
            self->guard_.Start();
            {
                std::lock_guard lock(self->mutex_);
                if (self->state_ != TState::Open)
                    return;
                self->reading_ = true;
                self->UpdateInterest();
            }
            if (deadline)
                self->loop_->AddTimerAt(self->thread_, *deadline, [self] { self->Deadline(); });
            self->ArmIdle();
        });
    }

    // Under the session lock: bytes written now or queued; -1 when not open
    // (or refused: `failed` is then set and the caller tells the sink).
    std::int32_t Write(std::span<const std::uint8_t> bytes, bool& failed)
    {
        failed = false;
        std::lock_guard lock(mutex_);
        if (state_ != TState::Open || cut_)
            return -1;
        const auto now = Clock::now();
        if (!queue_.empty() && now - lastProgress_ >= sendTimeout_) {
            failed = true;
            return -1;
        }
        std::size_t written = 0;
        if (queue_.empty()) {
            while (written < bytes.size()) {
                const TIoResult r = WriteSome(fd_, bytes.subspan(written));
                if (r.Status == TIoStatus::isDone) {
                    written += r.Bytes;
                    continue;
                }
                if (r.Status == TIoStatus::isWouldBlock)
                    break;
                failed = true;
                return -1;
            }
            if (written == bytes.size())
                return static_cast<std::int32_t>(bytes.size());
        }
        if (queue_.size() - queueHead_ + bytes.size() - written > kMaxQueuedBytes) {
            failed = true;
            return -1;
        }
        const bool wasEmpty = queue_.empty();
        queue_.insert(queue_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(written), bytes.end());
        if (wasEmpty) {
            lastProgress_ = now;
            UpdateInterest();
            auto self = shared_from_this();
            loop_->Post(thread_, [self] { self->ArmSendTimeout(); });
        }
        return static_cast<std::int32_t>(bytes.size());
    }

    // Any thread: the socket is shut down now (the host sees the end) and
    // the rest of the end is left to the loop thread.
    void Stop(bool cutOnly)
    {
        {
            std::lock_guard lock(mutex_);
            if (state_ == TState::Ended || (cutOnly && cut_))
                return;
            cut_ = true;
            if (fd_ >= 0)
                ::shutdown(fd_, SHUT_RDWR);
        }
        if (cutOnly)
            return;
        // NotifyOwner stays: what this link raised before (OnDisconnect
        // among it) is still delivered; Owned() keeps it from raising more.
        auto self = shared_from_this();
        if (!loop_->Post(thread_, [self] { self->Teardown(); }))
            self->Teardown();
    }

private:
    void OnIo(std::uint32_t events) override
    {
        auto self = shared_from_this();  // a callback may end the link
        TState state;
        {
            std::lock_guard lock(mutex_);
            state = state_;
        }
        if (state == TState::Connecting) {
            const int error = FinishConnect(fd_);
            if (error != 0) {
                if (!ConnectNext())
                    ConnectFailed(std::string("the connect failed: ") + std::strerror(error));
                return;
            }
            Connected();
            return;
        }
        if (state != TState::Open)
            return;
        if (events & kIoWrite)
            Flush();
        if (events & (kIoRead | kIoHangup | kIoError)) {
            if (timings_.ReadPause.count() > 0) {
                // The read pause: the rest of a record sent in pieces comes
                // in the same block. No read interest meanwhile.
                {
                    std::lock_guard lock(mutex_);
                    reading_ = false;
                    UpdateInterest();
                }
                loop_->AddTimer(thread_, timings_.ReadPause, [self] { self->ReadBlock(); });
            } else {
                ReadBlock();
            }
        }
    }

    void Connected()
    {
        {
            std::lock_guard lock(mutex_);
            if (state_ != TState::Connecting)
                return;
            state_ = TState::Open;
            reading_ = false;  // until StartReading
            UpdateInterest();
        }
        TSessionGuard guard(core_);
        TProcessingScope scope(*core_, *this);
        if (!Owned())
            return;
        owner_->connected_.store(true, std::memory_order_release);
        if (LogEnabled(TLogLevel::llConnect))
            MsgLog(TLogLevel::llConnect, "Connected (event loop).");
        sink_->OnConnected(nullptr);
    }

    // The connect to one address failed: the next address gets a socket of
    // its own, under the same deadline. False when none is left (or the
    // link is being cut). On the loop thread.
    bool ConnectNext()
    {
        const TConnectStart start = StartFirst(next_);
        if (start.Fd < 0)
            return false;
        TIoId old;
        {
            std::lock_guard lock(mutex_);
            if (state_ != TState::Connecting || cut_) {
                ::close(start.Fd);
                return false;
            }
            old = io_;
            io_ = 0;
        }
        loop_->Remove(old);  // on this loop thread: at once, before the descriptor goes
        std::lock_guard lock(mutex_);
        ::close(fd_);
        fd_ = start.Fd;
        try {
            io_ = loop_->Add(fd_, kIoWrite, *this, thread_);
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }

    void ConnectFailed(const std::string& why)
    {
        {
            std::lock_guard lock(mutex_);
            if (state_ != TState::Connecting)
                return;
        }
        {
            TSessionGuard guard(core_);
            TProcessingScope scope(*core_, *this);
            if (Owned()) {
                owner_->SetLink(nullptr);  // `this` lives on: every callback holds itself
                sink_->OnConnectFailed(why);
            }
        }
        Teardown();
    }

    void ReadBlock()
    {
        auto self = shared_from_this();
        if (HeldForPosts())
            return;
        {
            std::lock_guard lock(mutex_);
            if (state_ != TState::Open)
                return;
            if (cut_) {  // the deferred close follows; do not spin on the hang-up meanwhile
                reading_ = false;
                UpdateInterest();
                return;
            }
        }
        const auto scratch = loop_->Scratch().first(kMaxBlockBytes);
        const TIoResult r = ReadSome(fd_, scratch);
        if (r.Status == TIoStatus::isWouldBlock) {
            Resume();
            return;
        }
        if (r.Status != TIoStatus::isDone) {
            Ended(r.Status == TIoStatus::isFailed);
            return;
        }
        quiet_ = false;
        bool loopSuspected = false;
        {
            TSessionGuard guard(core_);
            TProcessingScope scope(*core_, *this);
            if (!Owned())
                return;
            const auto block = sink_->OnReceived(std::span<const std::uint8_t>(scratch.data(), r.Bytes));
            loopSuspected = !Progress(block);
            if (loopSuspected) {
                MsgLog(TLogLevel::llError, "Receive error(loop).");
                sink_->EndConnection();
            }
            TTlsSettings settings;
            std::string host;
            if (Owned() && sink_->TakeTlsHandshake(settings, host))
                sink_->OnTlsHandshakeDone(kTlsRefused, TTlsInfo{});
        }
        Resume();
    }

    // Handlers posted to the dispatcher for this link have not all run: no
    // read until they have, so that none of them sees a screen newer than
    // its event. PostsDone resumes. On the loop thread.
    bool HeldForPosts()
    {
        if (Posted.load(std::memory_order_acquire) == 0)
            return false;
        heldForPosts_ = true;
        std::lock_guard lock(mutex_);
        reading_ = false;
        UpdateInterest();
        return true;
    }

    std::shared_ptr<TDeliverySource> ShareForPosts() override { return shared_from_this(); }

    // Any thread: the read held back goes on, on the loop thread (a post
    // may have come meanwhile and hold it again).
    void PostsDone() override
    {
        auto self = shared_from_this();
        loop_->Post(thread_, [self] {
            if (!self->heldForPosts_ || self->Posted.load(std::memory_order_acquire) != 0)
                return;
            self->heldForPosts_ = false;
            self->ReadBlock();
        });
    }

    // The receive-loop guard (telnet/uReceiveProgress.h): false on the
    // kBurstLimit-th block without progress inside one window.
    bool Progress(TReceiveProgress::TBlock block)
    {
        return guard_.Admit(block, timings_.BurstWindow);
    }

    void Resume()
    {
        std::lock_guard lock(mutex_);
        if (state_ != TState::Open)
            return;
        reading_ = true;
        UpdateInterest();
    }

    void Flush()
    {
        bool failed = false;
        {
            std::lock_guard lock(mutex_);
            while (queueHead_ < queue_.size()) {
                const TIoResult r = WriteSome(fd_, std::span(queue_).subspan(queueHead_));
                if (r.Status == TIoStatus::isDone) {
                    queueHead_ += r.Bytes;
                    lastProgress_ = Clock::now();
                    continue;
                }
                failed = r.Status != TIoStatus::isWouldBlock;
                break;
            }
            if (queueHead_ == queue_.size()) {
                queue_ = {};  // no buffer held while idle
                queueHead_ = 0;
            }
            UpdateInterest();
        }
        if (failed)
            WriteFailed();
    }

    void ArmSendTimeout()
    {
        auto self = shared_from_this();
        Clock::time_point due;
        {
            std::lock_guard lock(mutex_);
            if (state_ != TState::Open || queue_.empty())
                return;
            due = lastProgress_ + sendTimeout_;
        }
        loop_->AddTimerAt(thread_, due, [self] {
            bool stuck;
            {
                std::lock_guard lock(self->mutex_);
                stuck = self->state_ == TState::Open && !self->queue_.empty() &&
                        Clock::now() - self->lastProgress_ >= self->sendTimeout_;
            }
            if (stuck)
                self->WriteFailed();
            else
                self->ArmSendTimeout();
        });
    }

    void WriteFailed()
    {
        TSessionGuard guard(core_);
        TProcessingScope scope(*core_, *this);
        if (Owned())
            sink_->OnWriteFailed();
    }

    void Deadline()
    {
        TSessionGuard guard(core_);
        TProcessingScope scope(*core_, *this);
        if (Owned())
            sink_->OnDeadline();
    }

    // The idle check: a tick every WaitTimeout; every kQuietTicksPerAliveCheck
    // quiet ticks the sink says whether the link is still alive.
    void ArmIdle()
    {
        auto self = shared_from_this();
        loop_->AddTimer(thread_, timings_.WaitTimeout, [self] {
            if (self->State() != TState::Open)
                return;
            if (self->quiet_) {
                self->core_->IdleWaits.fetch_add(1, std::memory_order_relaxed);
                if (++self->quietTicks_ % kQuietTicksPerAliveCheck == 0) {
                    TSessionGuard guard(self->core_);
                    TProcessingScope scope(*self->core_, *self);
                    if (!self->Owned())
                        return;
                    if (!self->sink_->IsAlive()) {
                        self->sink_->EndConnection();
                        return;
                    }
                }
            }
            self->quiet_ = true;
            self->ArmIdle();
        });
    }

    // The peer closed, or a read failed.
    void Ended(bool failed)
    {
        {
            TSessionGuard guard(core_);
            TProcessingScope scope(*core_, *this);
            if (Owned()) {
                sink_->OnEnded({}, failed);
                if (Owned())
                    sink_->EndConnection();
            }
        }
        Teardown();
    }

    // On the loop thread: the registration and the descriptor go.
    void Teardown()
    {
        auto self = shared_from_this();
        TIoId io;
        {
            std::lock_guard lock(mutex_);
            if (state_ == TState::Ended)
                return;
            state_ = TState::Ended;
            io = io_;
            io_ = 0;
            queue_ = {};
        }
        if (io != 0)
            loop_->Remove(io);
        registered_.reset();
        std::lock_guard lock(mutex_);
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

    // The component is alive and carries this link. Under the session lock.
    bool Owned() const
    {
        return NotifyOwner.load(std::memory_order_acquire) && core_->Alive.load(std::memory_order_acquire) &&
               owner_->link_.get() == this;
    }

    // Under mutex_ (loop's Modify never calls a handler).
    void UpdateInterest()
    {
        if (io_ == 0)
            return;
        std::uint32_t interest = 0;
        if (state_ == TState::Connecting || !queue_.empty())
            interest |= kIoWrite;
        if (state_ == TState::Open && reading_)
            interest |= kIoRead;
        loop_->Modify(io_, interest);
    }

    TLoopTransport* const owner_;  // touched only after Owned(), under the session lock
    TTransportSink* const sink_;
    const std::shared_ptr<TSessionCore> core_;
    const std::shared_ptr<TEventLoop> loop_;
    int fd_;
    const std::size_t thread_;
    const std::chrono::milliseconds sendTimeout_;
    std::vector<TAddress> next_;  // loop thread: the addresses not tried yet

    mutable std::mutex mutex_;  // leaf: guards the state, the socket's interest and the queue
    TState state_ = TState::Connecting;
    bool cut_ = false;
    bool reading_ = false;
    TIoId io_ = 0;
    std::shared_ptr<TLink> registered_;  // alive while the loop may call OnIo
    std::vector<std::uint8_t> queue_;
    std::size_t queueHead_ = 0;
    Clock::time_point lastProgress_{};

    // Loop thread only.
    TTelnetTimings timings_;
    TReceiveLoopGuard guard_;
    bool quiet_ = true;
    int quietTicks_ = 0;
    bool heldForPosts_ = false;  // a read waits for PostsDone
};

// ------------------------------------------------------------ the transport

std::shared_ptr<TEventLoop> TLoopTransport::SharedLoop()
{
    static std::mutex mutex;
    static std::shared_ptr<TEventLoop> loop;
    std::lock_guard lock(mutex);
    if (!loop)
        loop = std::make_shared<TEventLoop>(0);
    return loop;
}

TLoopTransport::TLoopTransport(TTransportSink& sink, std::shared_ptr<TSessionCore> core,
                               std::shared_ptr<TEventLoop> loop)
    : sink_(sink), core_(std::move(core)), loop_(loop ? std::move(loop) : SharedLoop()), thread_(loop_->NextThread())
{
}

TLoopTransport::~TLoopTransport()
{
    if (link_)
        link_->Stop(false);
}

std::string TLoopTransport::Open(const TConnectTarget& target)
{
    if (target.Tls != TTlsMode::tmNone) {
        MsgLog(TLogLevel::llError, kTlsRefused);
        return kTlsRefused;
    }
    opened_ = target.TlsSettings;
    if (LogEnabled(TLogLevel::llConnect))
        MsgLog(TLogLevel::llConnect, "Connecting (event loop). Host: " + target.Host + " Port: " +
                                         std::to_string(target.Port));
    std::vector<TAddress> addresses;
    if (std::string error = Resolve(target.Host, target.Port, addresses); !error.empty())
        return error;
    const TConnectStart start = StartFirst(addresses);
    if (start.Fd < 0)
        return std::string("the connect failed: ") + std::strerror(start.Error);
    auto link = std::make_shared<TLink>(*this, start.Fd, target, std::move(addresses));
    SetLink(link);
    if (!link->Begin(target.ConnectTimeout)) {
        SetLink(nullptr);
        return "the event loop refused the connection";
    }
    return {};
}

bool TLoopTransport::StartReading(const TTelnetTimings& timings,
                                  std::optional<std::chrono::steady_clock::time_point> deadline)
{
    if (link_)
        link_->StartReading(timings, deadline);
    return true;
}

std::int32_t TLoopTransport::Write(std::span<const std::uint8_t> bytes)
{
    if (!link_)
        return -1;
    bool failed = false;
    const std::int32_t n = link_->Write(bytes, failed);
    if (failed)
        sink_.OnWriteFailed();
    return n;
}

void TLoopTransport::Close()
{
    if (!link_)
        return;
    const bool wasConnected = link_->State() == TLink::TState::Open;
    connected_.store(false, std::memory_order_release);
    auto link = link_;
    SetLink(nullptr);
    link->Stop(false);
    if (wasConnected)
        sink_.OnClosed();
}

void TLoopTransport::Cut()
{
    connected_.store(false, std::memory_order_release);
    std::shared_ptr<TLink> link;
    {
        std::lock_guard lock(linkMutex_);
        link = link_;
    }
    if (link)
        link->Stop(true);
}

// Without the session lock: a loop thread may hold it while it delivers.
// What the links posted to the dispatcher and that has not run is dropped
// (and what it keeps alive freed): an application that does not pump any
// more would keep it for ever.
void TLoopTransport::WakeForDestruction()
{
    std::lock_guard lock(linkMutex_);
    if (link_)
        link_->NotifyOwner.store(false, std::memory_order_release);
    if (!core_->Dispatcher)
        return;
    if (link_)
        core_->Dispatcher->Cancel(link_->Target);
    for (const auto& weak : earlier_)
        if (const auto link = weak.lock())
            core_->Dispatcher->Cancel(link->Target);
    core_->Dispatcher->Cancel(core_->Target);
}

void TLoopTransport::SetLink(std::shared_ptr<TLink> link)
{
    std::lock_guard lock(linkMutex_);
    if (link_) {
        std::erase_if(earlier_, [](const std::weak_ptr<TLink>& weak) { return weak.expired(); });
        earlier_.push_back(link_);
    }
    link_ = std::move(link);
}
