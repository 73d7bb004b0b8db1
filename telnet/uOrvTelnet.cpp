// The telnet client component: the facade over the I/O-free session
// (telnet/uTelnetSession: option rules, record assembly; option 40 is RFC
// 2355's and is finished by the 3270 component) and the connection
// (telnet/uTelnetConnection: socket, TLS, readers), with event delivery
// through telnet/uSessionCore. See the header for the threading contract;
// the comments here say why the pieces fit.
#include "telnet/uOrvTelnet.h"

#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "log/uTLogg.h"
#include "stream/uCodePages.h"
#include "platform/uWinControl.h"
#include "telnet/uLoopTransport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>

namespace {

constexpr char kTitleSentAscii[] = "TN STREAM SENT (ASCII): %d BYTES";
constexpr char kTitleSentEbcdic[] = "TN STREAM SENT (EBCDIC): %d BYTES";
constexpr char kTitleReceived[] = "TN STREAM RECEIVED (ASCII): %d BYTES";
constexpr char kExceptionText[] = "Exception in TThSocketRead.Execute. ERROR: ";

void DumpTitled(TLogLevel level, const char* format, const void* data, std::int32_t len)
{
    if (!LogEnabled(level))
        return;
    char title[64];
    std::snprintf(title, sizeof title, format, static_cast<int>(len));
    DumpLog(level, title, data, len > 0 ? static_cast<std::size_t>(len) : 0);
}

} // namespace

// ------------------------------------------------------------ lock

TSessionGuard::TSessionGuard(TOrvTelnet& telnet) : TSessionGuard(telnet.core_) {}

// ------------------------------------------------------------ construction

TOrvTelnet::TOrvTelnet(TComponent* AOwner) : TComponent(AOwner)
{
    transport_ = std::make_unique<TTelnetConnection>(transportHooks_, core_, Socket);
    TOrvTelnet::SetDefaults();
}

TOrvTelnet::TOrvTelnet(std::int32_t /*dummy*/) : TComponent(nullptr)
{
    transport_ = std::make_unique<TTelnetConnection>(transportHooks_, core_, Socket);
    TOrvTelnet::SetDefaults();
}

TOrvTelnet::~TOrvTelnet()
{
    Destroying();
}

void TOrvTelnet::SetDefaults()
{
    Location = "TOrvTelnet";
    Port = 23;
    Socket = std::make_unique<TTcpClient>();
    Socket->OnError = [this](TTcpClient& s, TErrorEvent kind, int& code) { SocketErrorOcurred(this, s, kind, code); };
    Socket->OnConnect = [this](TTcpClient& s) { SocketSessionConnected(this, s); };
    Socket->OnDisconnect = [this](TTcpClient& s) { SocketSessionClosed(this, s); };
    AllowTn3270E = false;
    {
        std::lock_guard log(uTLogg::LogLock());  // the module's settings
        Timings.ReadPause = std::chrono::milliseconds(gReadPause);
        EventLoop = gEventLoop;
    }
    if (const char* env = std::getenv("TN_EVENT_LOOP"); env != nullptr && std::string_view(env) == "1")
        EventLoop = true;
    UseSyncWindow = false;
    // The stream comes from the derived class's CreateTnStream, which its
    // constructor calls: C++ cannot reach an override from here.
    if (IsDesigning())
        return;
    if (auto* control = dynamic_cast<TWinControl*>(Owner()); control != nullptr && control->HandleAllocated()) {
        UseSyncWindow = true;
        core_->Dispatcher = control->Dispatcher();
    }
}

void TOrvTelnet::RequireStream() const
{
    if (!Stream || !Stream->Display)
        throw std::logic_error("TOrvTelnet: the derived class did not create the stream (CreateTnStream)");
}

void TOrvTelnet::Destroying()
{
    if (destroyStarted_.exchange(true))
        return;
    TComponent::Destroying();

    transport_->WakeForDestruction();

    {
        TSessionGuard guard(core_);
        core_->Alive.store(false, std::memory_order_release);
        core_->Pending.clear();
        // A destroyed component raises no disconnect event (see Closed).
        if (transport_->IsOpen()) {
            try {
                Disconnect();
            } catch (...) {
            }
        }
    }

    transport_->EndForDestruction();
}

// ------------------------------------------------------------ lock

TSessionGuard TOrvTelnet::Lock()
{
    return TSessionGuard(core_);
}

bool TOrvTelnet::HoldsLock() const
{
    return core_->HeldByCurrentThread();
}

bool TOrvTelnet::DeliversOnCurrentThread() const
{
    return core_->DeliversOnCurrentThread();
}

std::uint64_t TOrvTelnet::ReaderIdleWaits() const
{
    return core_->IdleWaits.load(std::memory_order_relaxed);
}

std::size_t TOrvTelnet::SessionWaiters() const
{
    return core_->Waiters();
}


std::shared_ptr<TThSocketRead> TOrvTelnet::ReadThread()
{
    auto* connection = dynamic_cast<TTelnetConnection*>(transport_.get());
    return connection ? connection->Reader() : nullptr;
}

void TOrvTelnet::ReadThreadTerminate(TObject* Sender)
{
    if (auto* connection = dynamic_cast<TTelnetConnection*>(transport_.get()))
        connection->ReaderEnded(Sender);
}

void TOrvTelnet::UseTransport(const TTransportFactory& make)
{
    TSessionGuard guard(core_);
    if (transport_->IsOpen() || !transport_->Idle())
        throw std::logic_error("TOrvTelnet: the transport is replaced only while no connection is left");
    transport_ = make(transportHooks_, core_);
    builtinTransport_ = false;
}

// ------------------------------------------------------------ connection

void TOrvTelnet::Connect()
{
    if (IsDesigning())
        return;
    RequireStream();
    // A second connection never shares the component with the first one's
    // reader. A handler run while we wait for that reader may connect again:
    // then that connection is closed too.
    for (;;) {
        {
            // Connect waits for the session (unlike Disconnect), so that the
            // old connection is closed here and not left to another thread.
            TSessionGuard guard(core_);
            if (transport_->IsOpen())
                Disconnect();
        }
        transport_->StopReading();
        if (!transport_->IsOpen() && transport_->Idle())
            break;
    }

    TSessionGuard guard(core_);
    if (builtinTransport_ && EventLoop != (dynamic_cast<TLoopTransport*>(transport_.get()) != nullptr)) {
        if (EventLoop)
            transport_ = std::make_unique<TLoopTransport>(transportHooks_, core_);
        else
            transport_ = std::make_unique<TTelnetConnection>(transportHooks_, core_, Socket);
    }
    Disconnecting = false;
    lastError_.clear();
    const TTlsMode tlsMode = GetTlsMode();
    session_.Reset(tlsMode == TTlsMode::tmStartTls);
    DropPartialRecord();
    Stream->Display->clear();

    TConnectTarget target;
    target.Host = Host;
    target.Port = Port;
    target.Tls = tlsMode;
    target.TlsSettings = GetTlsSettings();
    target.ConnectTimeout = Timings.ConnectTimeout;
    target.SendTimeout = Timings.SendTimeout;
    ++generation_;
    if (std::string error = transport_->Open(target); !error.empty()) {
        lastError_ = std::move(error);
        NotifyEvent(TCallBackEvent::ceSessionConnectedFail);
    }
}

bool TOrvTelnet::ConnectPending()
{
    TSessionGuard guard(core_);
    return transport_->IsOpen() && !transport_->IsConnected() && !Disconnecting;
}

void TOrvTelnet::Disconnect()
{
    if (IsDesigning())
        return;
    // Never waits for another thread. When one owns the session (it
    // processes a block, runs a handler or holds the lock), the connection
    // is cut now, and the close (lists and screen emptied, OnDisconnect)
    // is left to that thread for when it lets the session go, so that
    // nothing changes under a running handler.
    TSessionGuard guard = TSessionGuard::LockOrDefer(core_, [this] { Disconnect(); });
    if (!guard) {
        transport_->Cut();
        return;
    }
    if (Disconnecting)
        return;
    Disconnecting = true;
    try {
        transport_->Close();
    } catch (...) {
        Disconnecting = false;
        throw;
    }
    Disconnecting = false;
}

void TOrvTelnet::StartReader(std::uint64_t generation)
{
    if (generation != generation_ || !transport_->IsOpen())
        return;
    // The START_TLS exchange must end within the connect time-out, as a
    // direct TLS handshake does.
    std::optional<std::chrono::steady_clock::time_point> deadline;
    if (session_.StartTls().Guarding())
        deadline = std::chrono::steady_clock::now() + Timings.ConnectTimeout;
    if (!transport_->StartReading(Timings, deadline))
        Disconnect();
}

bool TOrvTelnet::IsAlive()
{
    return IsConnected();
}

TSessionState TOrvTelnet::GetSessionState()
{
    return IsConnected() ? TSessionState::ssLuLu : TSessionState::ssNone;
}

std::string TOrvTelnet::GetStatus()
{
    RequireStream();
    TSessionGuard guard(core_);
    return Stream->Display->Status;
}

void TOrvTelnet::SocketSessionConnected(TObject* /*Sender*/, TTcpClient& socket)
{
    const auto connection = socket.Connection();
    const TTlsInfo tls = connection && connection->IsTls() ? connection->TlsInfo() : TTlsInfo{};
    Connected(connection && connection->IsTls() ? &tls : nullptr);
}

void TOrvTelnet::Connected(const TTlsInfo* tls)
{
    if (tls != nullptr)
        LogTlsUp(*tls);
    NotifyEvent(TCallBackEvent::ceSessionConnected);
    // The reader starts once OnConnect has run, so that no handler of the
    // new connection can come before it.
    if (!core_->QueueReaderStart(generation_))
        StartReader(generation_);
}

void TOrvTelnet::SocketSessionClosed(TObject* /*Sender*/, TTcpClient& /*socket*/)
{
    Closed();
}

void TOrvTelnet::Closed()
{
    if (destroyStarted_.load(std::memory_order_acquire))
        return;  // a destroyed component raises no disconnect event
    NotifyEvent(TCallBackEvent::ceSessionDisconnected);
    if (Stream && Stream->Display)
        Stream->Display->clear();
}

void TOrvTelnet::SocketErrorOcurred(TObject* /*Sender*/, TTcpClient& /*socket*/, TErrorEvent /*errorEvent*/,
                                    int& errorCode)
{
    // A failed send means the peer is gone (or stopped reading for the whole
    // send time-out): end the connection the normal way.
    transportHooks_.OnWriteFailed();
    errorCode = 0;
}

// ------------------------------------------------------------ events

void TOrvTelnet::NotifyEvent(TCallBackEvent cbEvent)
{
    struct TRoute {
        TCallBackEvent event;
        const char* text;
        TNotifyEvent TOrvTelnet::*handler;
    };
    static constexpr TRoute kRoutes[] = {
        {TCallBackEvent::ceSessionConnected, "Notify event ceSessionConnected", &TOrvTelnet::OnConnect},
        {TCallBackEvent::ceSessionConnectedFail, "Notify event ceSessionConnectedFail", &TOrvTelnet::OnConnectionFail},
        {TCallBackEvent::ceSessionDisconnected, "Notify event ceSessionDisconnected", &TOrvTelnet::OnDisconnect},
        {TCallBackEvent::ceSessionState, "Notify event ceSessionState", &TOrvTelnet::OnSessionState},
        {TCallBackEvent::ceScreenChanged, "Notify event ceScreenChanged", &TOrvTelnet::OnScreenChange},
        {TCallBackEvent::ceKbdLocked, "Notify event ceSystemLocked", &TOrvTelnet::OnSystemLock},
        {TCallBackEvent::ceKbdUnLocked, "Notify event ceSystemUnLocked", &TOrvTelnet::OnSystemUnLock},
    };  // ceIsAlive raises nothing
    const auto route = std::find_if(std::begin(kRoutes), std::end(kRoutes),
                                    [cbEvent](const TRoute& r) { return r.event == cbEvent; });
    if (route == std::end(kRoutes))
        return;
    MsgLog(TLogLevel::llEvent, route->text);
    Synchronize(this->*(route->handler));
    if (cbEvent == TCallBackEvent::ceScreenChanged && UnlockPending)
        NotifyEvent(TCallBackEvent::ceKbdUnLocked);
}

void TOrvTelnet::Synchronize(const TNotifyEvent& handler)
{
    if (IsDestroying() || !handler)
        return;
    core_->Post(handler);
}

void TOrvTelnet::StatusChange(TObject* /*Sender*/)
{
    if (!StatusChanged)
        return;
    NotifyEvent(GetStatus().empty() ? TCallBackEvent::ceKbdUnLocked : TCallBackEvent::ceKbdLocked);
}

// ------------------------------------------------------------ engine: input

TReceiveProgress::TBlock TOrvTelnet::Received(std::span<const std::uint8_t> block)
{
    if (!block.empty() && (block[0] == IAC || !BinaryMode))
        DumpTitled(TLogLevel::llDump, kTitleReceived, block.data(), static_cast<std::int32_t>(block.size()));
    session_.Progress().BeginBlock();
    NewData(block.data(), static_cast<std::int32_t>(block.size()));
    return session_.Progress().EndBlock();
}

void TOrvTelnet::NewData(const std::uint8_t* data, std::int32_t len)
{
    RequireStream();
    TSessionGuard guard(core_);
    ScreenChanged = false;
    StatusChanged = false;
    const bool wasLocked = !Stream->Display->Status.empty();
    if (len > 0)
        session_.Feed(std::span<const std::uint8_t>(data, static_cast<std::size_t>(len)));
    session_.EndBlock();
    if (ScreenChanged) {
        Stream->Display->Updated = false;
        GenHostFields();
        NotifyEvent(TCallBackEvent::ceScreenChanged);
    }
    // The stream sets "SYSTEM" on the screen buffer itself while it applies a
    // write, and clears only its own text at the keyboard restore. So the
    // buffer's text is brought in line after every block (else a write that
    // leaves the keyboard unlocked would leave it reading "locked"), and when
    // the block locked the keyboard the buffer may already show the text:
    // the lock event is then raised here, since SetStatus sees no change.
    // Lock events still come only from a change between empty and non-empty
    // (StatusChange looks at StatusChanged) that the application can see.
    TOrvTndisplay& screen = *Stream->Display;
    if (screen.Status != Stream->GetStatus())
        screen.SetStatus(Stream->GetStatus());
    else if (StatusChanged && wasLocked != !screen.Status.empty())
        StatusChange(&screen);
    FlushBuffer();
}

void TOrvTelnet::DataAvailable(const std::uint8_t* data, std::int32_t len)
{
    if (len <= 0)
        return;
    Stream->AddBuffer(data, len);
}

void TOrvTelnet::DropPartialRecord()
{
    Stream->TOrvTnStream::ProcessData();
}

void TOrvTelnet::EndOfRecord(std::span<const std::uint8_t> last)
{
    FlushBuffer();
    TOrvTnStream& stream = *Stream;
    // A text record given whole is shown from where it lies; one collected
    // in pieces (or over the stream's limit, which the stream cuts) from
    // the stream's input.
    auto text = [&]() -> std::span<const std::uint8_t> {
        if (stream.InCount == 0 && stream.OverflowBytes() == 0 &&
            last.size() <= static_cast<std::size_t>(TOrvTnStream::kMaxRecord))
            return last;
        stream.AddBuffer(last.data(), static_cast<std::int32_t>(last.size()));
        return std::span<const std::uint8_t>(stream.InBuffer.data(), static_cast<std::size_t>(stream.InCount));
    };
    // A record that fails is dropped on its own: the block's later records
    // are still parsed, so the parser stays in step with the byte stream and
    // the screen and lock notifications of the block are still made.
    try {
        switch (session_.RecordKind()) {
        case TTelnetSession::TRecord::Text: {
            const auto t = text();
            TelnetErrorMessage(t.data(), static_cast<std::int32_t>(t.size()));
            DropPartialRecord();
            return;
        }
        case TTelnetSession::TRecord::NvtText: {
            const auto t = text();
            DumpTitled(TLogLevel::llDump, kTitleReceived, t.data(), static_cast<std::int32_t>(t.size()));
            TelnetErrorMessage(t.data(), static_cast<std::int32_t>(t.size()));
            DropPartialRecord();
            return;
        }
        case TTelnetSession::TRecord::Data3270:
            break;
        }
    } catch (const std::exception& e) {
        MsgLog(TLogLevel::llError, std::string(kExceptionText) + e.what());
        DropPartialRecord();
        return;
    }
    const bool wasLocked = !stream.GetStatus().empty();
    try {
        stream.ProcessRecord(last);
    } catch (const std::exception& e) {
        MsgLog(TLogLevel::llError, std::string(kExceptionText) + e.what());
        DropPartialRecord();
    }
    // A record that failed half way may still have painted.
    if (stream.Display->Updated)
        ScreenChanged = true;
    if (wasLocked != !stream.GetStatus().empty())
        StatusChanged = true;
}

void TOrvTelnet::NegociateSubOption(const std::uint8_t* data, std::uint16_t len)
{
    if (data != nullptr)
        session_.AnswerTerminalType(std::span<const std::uint8_t>(data, len));
}

std::string TOrvTelnet::GetTermType()
{
    return "VT100";
}

// ------------------------------------------------------------ session events

void TOrvTelnet::TSessionSink::OnSend(std::span<const std::uint8_t> bytes, TTelnetEngine::TOutput kind)
{
    const auto len = static_cast<std::int32_t>(bytes.size());
    switch (kind) {
    case TTelnetEngine::TOutput::Negotiation:
    case TTelnetEngine::TOutput::Subnegotiation:
        DumpTitled(TLogLevel::llDump, kTitleSentAscii, bytes.data(), len);
        break;
    case TTelnetEngine::TOutput::Command:
        DumpTitled(TLogLevel::llDump, kTitleSentEbcdic, bytes.data(), len);
        break;
    case TTelnetEngine::TOutput::Record:
        break;  // the stream has logged the record
    }
    telnet_.Send(bytes.data(), len);
}

// ------------------------------------------------------------ engine: output

std::int32_t TOrvTelnet::Send(const void* buf, std::int32_t len)
{
    if (len < 0 || (buf == nullptr && len > 0))
        return -1;
    return transport_->Write(std::span(static_cast<const std::uint8_t*>(buf), static_cast<std::size_t>(len)));
}

void TOrvTelnet::tcpWrite(const void* buf, std::int32_t len)
{
    if (len < 0 || (buf == nullptr && len > 0))
        return;
    TSessionGuard guard(core_);
    session_.SendRecord(std::span(static_cast<const std::uint8_t*>(buf), static_cast<std::size_t>(len)));
}

void TOrvTelnet::SendCommand(std::uint8_t command, bool unlock)
{
    TSessionGuard guard(core_);
    session_.SendCommand(command);
    if (unlock)
        UnlockPending = true;
}

// ------------------------------------------------------------ properties

std::int32_t TOrvTelnet::GetReadPause()
{
    TSessionGuard guard(core_);
    return static_cast<std::int32_t>(Timings.ReadPause.count());
}

void TOrvTelnet::SetReadPause(std::int32_t milliseconds)
{
    if (milliseconds < 0 || milliseconds > kMaxReadPauseMs)
        throw std::out_of_range("ReadPause must be 0 to " + std::to_string(kMaxReadPauseMs) + " ms: " +
                                std::to_string(milliseconds));
    TSessionGuard guard(core_);
    Timings.ReadPause = std::chrono::milliseconds(milliseconds);
}

// The level and the directory are the module's, shared by every component
// and by the log facade: they are read and written under the process-wide
// log lock (a leaf lock, taken after the session lock), never under a
// component's lock alone.
std::uint16_t TOrvTelnet::GetDebugLevel() const
{
    std::lock_guard log(uTLogg::LogLock());
    return static_cast<std::uint16_t>(gLogLevel);
}

void TOrvTelnet::SetDebugLevel(std::uint16_t level)
{
    TSessionGuard guard(core_);
    std::lock_guard log(uTLogg::LogLock());
    gLogLevel = level;
    if (!IsDesigning())
        SetLogging(level);
}

std::string TOrvTelnet::GetDebugDir() const
{
    std::lock_guard log(uTLogg::LogLock());
    return gLogDir;
}

void TOrvTelnet::SetDebugDir(const std::string& dir)
{
    TSessionGuard guard(core_);
    std::lock_guard log(uTLogg::LogLock());
    gLogDir = dir;
    if (!IsDesigning())
        SetLoggingDir(dir);
}

std::string TOrvTelnet::GetConversionTable()
{
    RequireStream();
    TSessionGuard guard(core_);
    return Stream->TableName;
}

void TOrvTelnet::SetConversionTable(const std::string& name)
{
    RequireStream();
    std::optional<ECodePageError> refused;
    {
        TSessionGuard guard(core_);
        try {
            Stream->SetTableName(name);
        } catch (const ECodePageError& e) {
            refused = e;
        }
    }
    // Thrown once the lock is released: the guard's release delivers queued
    // notifications, which must not run while an exception unwinds.
    if (refused)
        throw *refused;
}

// ------------------------------------------------------------ TLS

TTlsMode TOrvTelnet::GetTlsMode() const
{
    TSessionGuard guard(core_);
    return tlsProps_.Mode();
}

void TOrvTelnet::SetTlsMode(TTlsMode mode)
{
    TSessionGuard guard(core_);
    tlsProps_.SetMode(mode);
}

TTlsSettings TOrvTelnet::GetTlsSettings() const
{
    TSessionGuard guard(core_);
    return tlsProps_.Settings();
}

std::string TOrvTelnet::GetLastError() const
{
    TSessionGuard guard(core_);
    return lastError_;
}

TTlsInfo TOrvTelnet::GetTlsInfo() const
{
    TSessionGuard guard(core_);
    return transport_->TlsInfo();
}

void TOrvTelnet::LogTlsUp(const TTlsInfo& info)
{
    if (!LogEnabled(TLogLevel::llConnect))
        return;
    MsgLog(TLogLevel::llConnect, "TLS: " + info.Protocol + " " + info.Cipher + ", host " +
                            (info.Verified ? "verified" : "NOT verified") + " (" + info.PeerSubject + ")");
}

void TOrvTelnet::Fail(const std::string& reason)
{
    if (!reason.empty()) {
        lastError_ = reason;
        MsgLog(TLogLevel::llError, reason);
    }
    Disconnect();
}

bool TOrvTelnet::TakeTlsUpgrade(TTlsSettings& settings, std::string& host)
{
    if (!IsConnected() || !session_.TakeTlsHandshake())
        return false;
    settings = transport_->OpenedTlsSettings();
    host = Host;
    return true;
}

void TOrvTelnet::TlsUpgradeDone(const std::string& error, const TTlsInfo& info)
{
    if (session_.StartTls().State() != TStartTls::TState::Handshake)
        return;
    if (!error.empty()) {
        session_.TlsFailed(error);
        return;
    }
    session_.TlsUp();
    DropPartialRecord();
    LogTlsUp(info);
}

void TOrvTelnet::StartTlsTimedOut()
{
    if (IsConnected())
        session_.StartTlsTimedOut();
}

void TOrvTelnet::ConnectFailed(const std::string& error)
{
    lastError_ = error;
    MsgLog(TLogLevel::llConnect, "Connect failed: " + error);
    NotifyEvent(TCallBackEvent::ceSessionConnectedFail);
}

void TOrvTelnet::ConnectionEnded(const std::string& tlsText, bool failed)
{
    if (tlsText.empty() || !lastError_.empty())
        return;
    lastError_ = tlsText;
    MsgLog(failed ? TLogLevel::llError : TLogLevel::llConnect, tlsText);
}
