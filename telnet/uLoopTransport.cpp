// The event-loop transport: a component's connections as links on one
// loop thread of the shared process loop (uLoopLink), and the links' TLS
// steps (the direct handshake after the connect, START_TLS when the session
// hands it over, reads and writes that never wait), run on that thread.
#include "telnet/uLoopLink.h"

#include "log/uOrvIntfLogg.h"

#include <cerrno>
#include <cstring>
#include <mutex>

using namespace tnloop;

// ------------------------------------------------------------ TLS of a link

void TLoopTransport::TLink::BeginDirectTls()
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

void TLoopTransport::TLink::BeginUpgrade(const TTlsSettings& settings, const std::string& host)
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

void TLoopTransport::TLink::StepHandshake()
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

void TLoopTransport::TLink::HandshakeDone()
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

void TLoopTransport::TLink::HandshakeFailed(const std::string& why)
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

void TLoopTransport::TLink::ReadPendingSoon()
{
    TTlsSession* const tls = tls_.get();
    if (tls == nullptr || !tls->HasPending())
        return;
    auto self = shared_from_this();
    loop_->Post(thread_, [self] { self->ReadBlock(); });
}

void TLoopTransport::TLink::WriteAfterRead()
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

TIoResult TLoopTransport::TLink::SendSome(std::span<const std::uint8_t> bytes)
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
