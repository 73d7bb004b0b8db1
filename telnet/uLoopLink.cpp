// The event-loop transport's connection: its connect (a name's addresses
// in turn), reads, writes, deadlines and end, on its loop thread.
#include "telnet/uLoopLink.h"

#include "log/uOrvIntfLogg.h"
#include "telnet/uSocketReader.h"

#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

using namespace tnloop;

static_assert(TLoopTransport::kMaxBlockBytes == TThSocketRead::kReadBufferSize);

namespace tnloop {

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

} // namespace tnloop

TLoopTransport::TLink::TLink(TLoopTransport& owner, int fd, const TConnectTarget& target, std::vector<TAddress> next)
    : owner_(&owner), sink_(&owner.sink_), core_(owner.core_), loop_(owner.loop_), fd_(fd),
      thread_(owner.thread_), sendTimeout_(target.SendTimeout), next_(std::move(next))
{
    if (target.Tls == TTlsMode::tmDirect)
        direct_ = std::make_unique<TDirectTls>(TDirectTls{target.TlsSettings, target.Host});
}

TLoopTransport::TLink::~TLink()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool TLoopTransport::TLink::Begin(std::chrono::milliseconds connectTimeout)
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
        // One bound for the connect and a direct TLS handshake together.
        if (connectTimeout.count() > 0)
            self->loop_->AddTimer(self->thread_, connectTimeout, [self] {
                if (self->State() == TState::Connecting)
                    self->ConnectFailed("the connect timed out");
                else if (self->State() == TState::Handshaking)
                    self->HandshakeFailed(kHandshakeTimedOut);
            });
    });
}

TLoopTransport::TLink::TState TLoopTransport::TLink::State() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

void TLoopTransport::TLink::StartReading(const TTelnetTimings& timings, std::optional<Clock::time_point> deadline)
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
        self->ReadPendingSoon();
        if (deadline)
            self->loop_->AddTimerAt(self->thread_, *deadline, [self] { self->Deadline(); });
        self->ArmIdle();
    });
}

std::int32_t TLoopTransport::TLink::Write(std::span<const std::uint8_t> bytes, bool& failed)
{
    failed = false;
    std::lock_guard lock(mutex_);
    // Nothing during a START_TLS handshake or after a failed one: the
    // session holds its sends back then, and nothing meant for TLS may
    // go out in clear.
    if (state_ != TState::Open || cut_ || handshake_ || tlsFailed_)
        return -1;
    const auto now = Clock::now();
    if (!queue_.empty() && now - lastProgress_ >= sendTimeout_) {
        failed = true;
        return -1;
    }
    std::size_t written = 0;
    if (queue_.empty()) {
        while (written < bytes.size()) {
            const TIoResult r = SendSome(bytes.subspan(written));
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

void TLoopTransport::TLink::Stop(bool cutOnly)
{
    {
        std::lock_guard lock(mutex_);
        if (state_ == TState::Ended || (cutOnly && cut_))
            return;
        // A close ends TLS in order where the socket takes the alert now.
        const bool closeNotify = !cutOnly && !cut_ && state_ == TState::Open && tls_ && !handshake_;
        cut_ = true;
        if (closeNotify)
            tls_->SendCloseNotify();
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

TTlsInfo TLoopTransport::TLink::TlsInfo() const
{
    std::lock_guard lock(mutex_);
    return tls_ ? tls_->Info() : TTlsInfo{};
}

void TLoopTransport::TLink::OnIo(std::uint32_t events)
{
    auto self = shared_from_this();  // a callback may end the link
    TState state;
    bool handshaking = false;
    {
        std::lock_guard lock(mutex_);
        state = state_;
        handshaking = handshake_ != nullptr;
    }
    if (state == TState::Connecting) {
        const int error = FinishConnect(fd_);
        if (error != 0) {
            if (!ConnectNext())
                ConnectFailed(std::string("the connect failed: ") + std::strerror(error));
            return;
        }
        if (direct_)
            BeginDirectTls();
        else
            Connected(nullptr);
        return;
    }
    if (handshaking && (state == TState::Handshaking || state == TState::Open)) {
        StepHandshake();
        return;
    }
    if (state != TState::Open)
        return;
    if (events & kIoWrite) {
        bool readAgain = false;
        {
            std::lock_guard lock(mutex_);
            readAgain = readWantsWrite_;
            readWantsWrite_ = false;
        }
        if (readAgain)
            ReadBlock();  // the TLS read that had to write first
        Flush();
    }
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

void TLoopTransport::TLink::Connected(const TTlsInfo* tls)
{
    {
        std::lock_guard lock(mutex_);
        if (state_ != TState::Connecting && state_ != TState::Handshaking)
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
    sink_->OnConnected(tls);
}

bool TLoopTransport::TLink::ConnectNext()
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

void TLoopTransport::TLink::ConnectFailed(const std::string& why)
{
    {
        std::lock_guard lock(mutex_);
        if (state_ != TState::Connecting && state_ != TState::Handshaking)
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

void TLoopTransport::TLink::ReadBlock()
{
    auto self = shared_from_this();
    if (HeldForPosts())
        return;
    {
        std::lock_guard lock(mutex_);
        if (state_ != TState::Open || handshake_)  // a START_TLS handshake reads for itself
            return;
        if (cut_) {  // the deferred close follows; do not spin on the hang-up meanwhile
            reading_ = false;
            UpdateInterest();
            return;
        }
    }
    const auto scratch = loop_->Scratch().first(kMaxBlockBytes);
    TTlsSession* const tls = tls_.get();  // set and reset on this thread only
    TIoResult r;
    if (tls != nullptr) {
        bool wantsWrite = false;
        const std::int32_t n = tls->Read(
            scratch.data(), static_cast<std::int32_t>(std::min<std::size_t>(scratch.size(), INT32_MAX)), &wantsWrite);
        if (n == TTlsSession::kNoData) {
            {
                std::lock_guard lock(mutex_);
                readWantsWrite_ = wantsWrite;
            }
            Resume();
            WriteAfterRead();
            return;
        }
        if (n <= 0) {
            Ended(n == TTlsSession::kFailed, tls->FailureText());
            return;
        }
        r = {TIoStatus::isDone, static_cast<std::size_t>(n), 0};
    } else {
        r = ReadSome(fd_, scratch);
    }
    if (r.Status == TIoStatus::isWouldBlock) {
        Resume();
        return;
    }
    if (r.Status != TIoStatus::isDone) {
        Ended(r.Status == TIoStatus::isFailed, {});
        return;
    }
    quiet_ = false;
    bool loopSuspected = false;
    bool upgrade = false;
    TTlsSettings settings;
    std::string host;
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
        upgrade = Owned() && sink_->TakeTlsHandshake(settings, host);
    }
    if (upgrade) {
        BeginUpgrade(settings, host);
        return;
    }
    Resume();
    WriteAfterRead();
    // Decrypted bytes the scratch buffer did not take (a record longer
    // than it) do not make the socket readable again.
    if (tls != nullptr)
        ReadPendingSoon();
}

bool TLoopTransport::TLink::HeldForPosts()
{
    if (Posted.load(std::memory_order_acquire) == 0)
        return false;
    heldForPosts_ = true;
    std::lock_guard lock(mutex_);
    reading_ = false;
    UpdateInterest();
    return true;
}

void TLoopTransport::TLink::PostsDone()
{
    auto self = shared_from_this();
    loop_->Post(thread_, [self] {
        if (!self->heldForPosts_ || self->Posted.load(std::memory_order_acquire) != 0)
            return;
        self->heldForPosts_ = false;
        self->ReadBlock();
    });
}

bool TLoopTransport::TLink::Progress(TReceiveProgress::TBlock block)
{
    return guard_.Admit(block, timings_.BurstWindow);
}

void TLoopTransport::TLink::Resume()
{
    std::lock_guard lock(mutex_);
    if (state_ != TState::Open)
        return;
    reading_ = true;
    UpdateInterest();
}

void TLoopTransport::TLink::Flush()
{
    bool failed = false;
    {
        std::lock_guard lock(mutex_);
        while (queueHead_ < queue_.size()) {
            const TIoResult r = SendSome(std::span(queue_).subspan(queueHead_));
            if (r.Status == TIoStatus::isDone) {
                queueHead_ += r.Bytes;
                lastProgress_ = Clock::now();
                continue;
            }
            failed = r.Status != TIoStatus::isWouldBlock;
            break;
        }
        if (queueHead_ == queue_.size()) {
            std::vector<std::uint8_t>().swap(queue_);  // no buffer held while idle (= {} keeps the capacity)
            queueHead_ = 0;
        }
        UpdateInterest();
    }
    if (failed)
        WriteFailed();
}

void TLoopTransport::TLink::ArmSendTimeout()
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

void TLoopTransport::TLink::WriteFailed()
{
    TSessionGuard guard(core_);
    TProcessingScope scope(*core_, *this);
    if (Owned())
        sink_->OnWriteFailed();
}

void TLoopTransport::TLink::Deadline()
{
    bool handshaking = false;
    {
        std::lock_guard lock(mutex_);
        handshaking = handshake_ && state_ == TState::Open;
    }
    if (handshaking) {
        HandshakeFailed(kHandshakeTimedOut);
        return;
    }
    TSessionGuard guard(core_);
    TProcessingScope scope(*core_, *this);
    if (Owned())
        sink_->OnDeadline();
}

void TLoopTransport::TLink::ArmIdle()
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

void TLoopTransport::TLink::Ended(bool failed, const std::string& tlsText)
{
    {
        TSessionGuard guard(core_);
        TProcessingScope scope(*core_, *this);
        if (Owned()) {
            sink_->OnEnded(tlsText, failed);
            if (Owned())
                sink_->EndConnection();
        }
    }
    Teardown();
}

void TLoopTransport::TLink::Teardown()
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
        std::vector<std::uint8_t>().swap(queue_);
        tls_.reset();  // before the descriptor it uses
        handshake_.reset();
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

bool TLoopTransport::TLink::Owned() const
{
    return NotifyOwner.load(std::memory_order_acquire) && core_->Alive.load(std::memory_order_acquire) &&
           owner_->link_.get() == this;
}

void TLoopTransport::TLink::UpdateInterest()
{
    if (io_ == 0)
        return;
    std::uint32_t interest = 0;
    const bool queued = queueHead_ < queue_.size();
    if (state_ == TState::Connecting) {
        interest = kIoWrite;
    } else if (handshake_) {
        interest = handshakeWants_ | (queued ? kIoWrite : 0);
    } else if (state_ == TState::Open) {
        // A TLS write waiting for a read must not spin on writability.
        if ((queued && !writeWantsRead_) || readWantsWrite_)
            interest |= kIoWrite;
        if (reading_)
            interest |= kIoRead;
    }
    loop_->Modify(io_, interest);
}
