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

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <vector>

static_assert(TLoopTransport::kMaxBlockBytes == TThSocketRead::kReadBufferSize);

namespace {

// As the reader-thread transport words them (TTlsSession::Connect, TTelnetConnection::Open).
constexpr char kHandshakeTimedOut[] = "TLS: the handshake took longer than the connect time-out";
constexpr char kVerifyOff[] = "TLS: certificate verification is off (TlsVerify): the host is not authenticated";

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
    // Handshaking: the TCP connect is done and the direct TLS handshake runs.
    enum class TState : std::uint8_t { Connecting, Handshaking, Open, Ended };

    TLink(TLoopTransport& owner, int fd, const TConnectTarget& target, std::vector<TAddress> next)
        : owner_(&owner), sink_(&owner.sink_), core_(owner.core_), loop_(owner.loop_), fd_(fd),
          thread_(owner.thread_), sendTimeout_(target.SendTimeout), next_(std::move(next))
    {
        if (target.Tls == TTlsMode::tmDirect)
            direct_ = std::make_unique<TDirectTls>(TDirectTls{target.TlsSettings, target.Host});
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
            self->ReadPendingSoon();
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

    // Any thread: the socket is shut down now (the host sees the end) and
    // the rest of the end is left to the loop thread.
    void Stop(bool cutOnly)
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

    TTlsInfo TlsInfo() const
    {
        std::lock_guard lock(mutex_);
        return tls_ ? tls_->Info() : TTlsInfo{};
    }

private:
    void OnIo(std::uint32_t events) override
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

    // tls: what the direct TLS handshake agreed, or null.
    void Connected(const TTlsInfo* tls)
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

    void ReadBlock()
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

    // ---- TLS on the loop thread

    // Direct TLS, once the connect to one of the addresses is done (the
    // handshake needs that socket): it runs under the connect deadline.
    void BeginDirectTls()
    {
        std::unique_ptr<TTlsHandshake> handshake;
        std::string failure;
        try {
            handshake = std::make_unique<TTlsHandshake>(fd_, direct_->Settings, direct_->Host);
        } catch (const ETlsError& e) {
            failure = e.what();
        }
        {
            std::lock_guard lock(mutex_);
            if (state_ != TState::Connecting)
                return;
            state_ = TState::Handshaking;
            tlsFailed_ = !failure.empty();
            handshake_ = std::move(handshake);
            handshakeWants_ = kIoWrite;
            UpdateInterest();
        }
        if (!failure.empty()) {
            MsgLog(TLogLevel::llError, failure);
            ConnectFailed(failure);
            return;
        }
        StepHandshake();
    }

    // START_TLS: the telnet session has sent FOLLOWS; plain reads stop and
    // the handshake runs, bounded by the START_TLS deadline (Deadline).
    void BeginUpgrade(const TTlsSettings& settings, const std::string& host)
    {
        std::unique_ptr<TTlsHandshake> handshake;
        try {
            handshake = std::make_unique<TTlsHandshake>(fd_, settings, host);
        } catch (const ETlsError& e) {
            {
                std::lock_guard lock(mutex_);
                tlsFailed_ = true;
                reading_ = false;  // as after a failed handshake: the session ends
                UpdateInterest();
            }
            TSessionGuard guard(core_);
            TProcessingScope scope(*core_, *this);
            if (Owned())
                sink_->OnTlsHandshakeDone(e.what(), TTlsInfo{});
            return;
        }
        {
            std::lock_guard lock(mutex_);
            if (state_ != TState::Open)
                return;
            handshake_ = std::move(handshake);
            handshakeWants_ = kIoWrite;
            reading_ = false;
            UpdateInterest();
        }
        StepHandshake();
    }

    // Runs the handshake until it waits for the socket; the registration's
    // interest becomes the readiness it waits for.
    void StepHandshake()
    {
        bool plainQueued = false;
        {
            std::lock_guard lock(mutex_);
            if (!handshake_ || state_ == TState::Ended || state_ == TState::Connecting)
                return;
            plainQueued = queueHead_ < queue_.size();
        }
        if (plainQueued) {
            // START_TLS: the FOLLOWS the socket did not take at once goes out
            // in clear before the first handshake byte.
            Flush();
            std::lock_guard lock(mutex_);
            if (queueHead_ < queue_.size()) {
                handshakeWants_ = kIoWrite;
                UpdateInterest();
                return;
            }
        }
        TTlsHandshake::TStep step = TTlsHandshake::TStep::tsDone;
        try {
            step = handshake_->Step();
        } catch (const ETlsError& e) {
            HandshakeFailed(e.what());
            return;
        }
        if (step == TTlsHandshake::TStep::tsDone) {
            HandshakeDone();
            return;
        }
        std::lock_guard lock(mutex_);
        handshakeWants_ = step == TTlsHandshake::TStep::tsWantRead ? kIoRead : kIoWrite;
        UpdateInterest();
    }

    void HandshakeDone()
    {
        std::unique_ptr<TTlsSession> session;
        try {
            session = handshake_->Finish();
        } catch (const ETlsError& e) {
            HandshakeFailed(e.what());
            return;
        }
        const TTlsInfo info = session->Info();
        bool direct = false;
        {
            std::lock_guard lock(mutex_);
            tls_ = std::move(session);
            handshake_.reset();
            direct = state_ == TState::Handshaking;
        }
        if (direct) {
            Connected(&info);  // reading starts with StartReading
            return;
        }
        {
            TSessionGuard guard(core_);
            TProcessingScope scope(*core_, *this);
            if (Owned())
                sink_->OnTlsHandshakeDone({}, info);
        }
        Resume();
        ReadPendingSoon();
    }

    // A direct handshake fails the connect (with the reader-thread
    // transport's log line); a START_TLS one is the session's to end.
    void HandshakeFailed(const std::string& why)
    {
        bool direct = false;
        {
            std::lock_guard lock(mutex_);
            if (!handshake_)
                return;
            handshake_.reset();
            tlsFailed_ = true;
            direct = state_ == TState::Handshaking;
            UpdateInterest();
        }
        if (direct) {
            MsgLog(TLogLevel::llError, why);
            ConnectFailed(why);
            return;
        }
        TSessionGuard guard(core_);
        TProcessingScope scope(*core_, *this);
        if (Owned())
            sink_->OnTlsHandshakeDone(why, TTlsInfo{});
    }

    // Bytes decrypted (or records read) inside the TLS session: one more
    // read soon. Only after a read that gave data or a handshake, so that a
    // partial record (which counts as pending) never spins.
    void ReadPendingSoon()
    {
        TTlsSession* const tls = tls_.get();
        if (tls == nullptr || !tls->HasPending())
            return;
        auto self = shared_from_this();
        loop_->Post(thread_, [self] { self->ReadBlock(); });
    }

    // A TLS write that had to read first (renegotiation, a key update)
    // goes on once a read has taken the host's records.
    void WriteAfterRead()
    {
        bool again = false;
        {
            std::lock_guard lock(mutex_);
            again = writeWantsRead_;
            writeWantsRead_ = false;
        }
        if (again)
            Flush();
    }

    // Under mutex_: one write of what the socket (or the TLS session) takes now.
    TIoResult SendSome(std::span<const std::uint8_t> bytes)
    {
        if (!tls_)
            return WriteSome(fd_, bytes);
        std::size_t n = 0;
        switch (tls_->WriteSome(bytes, n)) {
        case TTlsSession::TIo::tiDone:
            return {TIoStatus::isDone, n, 0};
        case TTlsSession::TIo::tiWantRead:
            writeWantsRead_ = true;
            return {TIoStatus::isWouldBlock, 0, 0};
        case TTlsSession::TIo::tiWantWrite:
            return {TIoStatus::isWouldBlock, 0, 0};
        case TTlsSession::TIo::tiFailed:
            break;
        }
        return {TIoStatus::isFailed, 0, EPIPE};
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

    // The START_TLS deadline: a handshake still running fails as one that
    // ran out of time on the reader thread does.
    void Deadline()
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

    // The peer closed, or a read failed; tlsText: what TLS said of it.
    void Ended(bool failed, const std::string& tlsText)
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

    TLoopTransport* const owner_;  // touched only after Owned(), under the session lock
    TTransportSink* const sink_;
    const std::shared_ptr<TSessionCore> core_;
    const std::shared_ptr<TEventLoop> loop_;
    int fd_;
    const std::size_t thread_;
    const std::chrono::milliseconds sendTimeout_;
    std::vector<TAddress> next_;  // loop thread: the addresses not tried yet
    // Direct TLS: what the handshake checks, for the socket the connect ends with.
    struct TDirectTls {
        TTlsSettings Settings;
        std::string Host;
    };
    std::unique_ptr<const TDirectTls> direct_;

    mutable std::mutex mutex_;  // leaf: guards the state, the socket's interest and the queue
    TState state_ = TState::Connecting;
    bool cut_ = false;
    bool reading_ = false;
    TIoId io_ = 0;
    std::shared_ptr<TLink> registered_;  // alive while the loop may call OnIo
    std::vector<std::uint8_t> queue_;
    std::size_t queueHead_ = 0;
    Clock::time_point lastProgress_{};
    // TLS: the handshake running (direct, or START_TLS), used on the loop
    // thread; the session once it is done (reads on the loop thread,
    // writes under mutex_; set and reset on the loop thread under mutex_).
    std::unique_ptr<TTlsHandshake> handshake_;
    std::uint32_t handshakeWants_ = kIoWrite;
    std::unique_ptr<TTlsSession> tls_;
    bool tlsFailed_ = false;       // a handshake failed: nothing is sent any more
    bool readWantsWrite_ = false;  // a TLS read waits for writability
    bool writeWantsRead_ = false;  // a TLS write waits for a read

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
    opened_ = target.TlsSettings;
    if (target.Tls != TTlsMode::tmNone && !target.TlsSettings.Verify)
        MsgLog(TLogLevel::llError, kVerifyOff);
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

TTlsInfo TLoopTransport::TlsInfo() const
{
    return link_ ? link_->TlsInfo() : TTlsInfo{};
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
