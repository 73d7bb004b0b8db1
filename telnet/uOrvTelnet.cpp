// The telnet client component: option negotiation (RFC 854/855, 856, 858,
// 779, 1091, 885; option 40 is RFC 2355's and is finished by the 3270
// component), record assembly, the connection and event delivery. The
// parser is telnet/uTelnetEngine, the lock and delivery queue
// telnet/uSessionCore, the reader thread telnet/uSocketReader. See the
// header for the threading contract; the comments here say why the pieces fit.
#include "telnet/uOrvTelnet.h"

#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "log/uTLogg.h"
#include "stream/uCodePages.h"
#include "platform/uWinControl.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace {


constexpr char kTitleSentAscii[] = "TN STREAM SENT (ASCII): %d BYTES";
constexpr char kTitleSentEbcdic[] = "TN STREAM SENT (EBCDIC): %d BYTES";
constexpr char kTitleReceived[] = "TN STREAM RECEIVED (ASCII): %d BYTES";
constexpr char kExceptionText[] = "Exception in TThSocketRead.Execute. ERROR: ";

// First byte of a TN3270E header: the data type NVT-DATA.
constexpr std::uint8_t kDataTypeNvt = 0x05;

// How long the dispatcher's thread waits for a message at a time while it
// waits for an old reader to end.
constexpr std::chrono::milliseconds kPumpSlice{10};

void DumpTitled(TLogLevel level, const char* format, const void* data, std::int32_t len)
{
    if (!LogEnabled(level))
        return;
    char title[64];
    std::snprintf(title, sizeof title, format, static_cast<int>(len));
    DumpLog(level, title, data, len > 0 ? static_cast<std::size_t>(len) : 0);
}

// AddChar for n bytes at once: flushed at the same points as byte by byte.
void AppendRun(TOrvTelnet& telnet, const std::uint8_t* bytes, std::int32_t n)
{
    while (n > 0) {
        const std::int32_t take = std::min(n, TOrvTelnet::kRecBufferSize - telnet.RecLength);
        std::memcpy(telnet.RecBuffer.data() + telnet.RecLength, bytes, static_cast<std::size_t>(take));
        telnet.RecLength += take;
        bytes += take;
        n -= take;
        if (telnet.RecLength >= TOrvTelnet::kRecBufferSize)
            telnet.FlushBuffer();
    }
}

} // namespace

// ------------------------------------------------------------ lock

TSessionGuard::TSessionGuard(TOrvTelnet& telnet) : TSessionGuard(telnet.core_) {}

// ------------------------------------------------------------ construction

TOrvTelnet::TOrvTelnet(TComponent* AOwner) : TComponent(AOwner)
{
    Construct();
}

TOrvTelnet::TOrvTelnet(std::int32_t /*dummy*/) : TComponent(nullptr)
{
    Construct();
}

void TOrvTelnet::Construct()
{
    core_ = std::make_shared<TSessionCore>(this, [this](std::uint64_t generation) { StartReader(generation); });
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
    RecBuffer.fill(0);
    AllowTn3270E = false;
    {
        std::lock_guard log(uTLogg::LogLock());  // the module's settings
        Timings.ReadPause = std::chrono::milliseconds(gReadPause);
    }
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

    // Wake first, lock second: the reader may hold the lock while it is
    // blocked in a send or waits for the dispatcher thread, which may be us.
    std::vector<std::shared_ptr<TThSocketRead>> readers;
    {
        std::lock_guard lock(readersMutex_);
        if (ReadThread_)
            readers.push_back(std::move(ReadThread_));
        for (auto& r : finishedReaders_)
            readers.push_back(std::move(r));
        finishedReaders_.clear();
    }
    for (auto& r : readers) {
        r->NotifyOwner.store(false, std::memory_order_release);
        if (core_->Dispatcher)
            core_->Dispatcher->Cancel(r->Target);
        r->ShutdownConnection();
    }
    if (core_->Dispatcher)
        core_->Dispatcher->Cancel(core_->Target);
    if (Socket)
        Socket->Shutdown();

    {
        TSessionGuard guard(core_);
        core_->Alive.store(false, std::memory_order_release);
        core_->Pending.clear();
        if (Socket) {
            // A destroyed component raises no disconnect event.
            Socket->OnDisconnect = nullptr;
            if (Socket->Active()) {
                try {
                    Disconnect();
                } catch (...) {
                }
            }
        }
    }

    // Owning the session (the lock, or a handler on this thread), we may be
    // what the reader waits for.
    const bool owner = core_->OwnedByCurrentThread();
    for (auto& r : readers) {
        if (!owner && !r->thread_.IsCurrentThread() && !TSessionCore::InDeliveryFrom(r.get()))
            r->thread_.Join();
        else
            r->thread_.Detach();  // it sees Alive false and ends without touching us
    }
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
    std::lock_guard lock(readersMutex_);
    return ReadThread_;
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
            if (Socket->Active())
                Disconnect();
        }
        StopReaders();
        std::lock_guard lock(readersMutex_);
        if (!Socket->Active() && !ReadThread_ && finishedReaders_.empty())
            break;
    }

    TSessionGuard guard(core_);
    Tn3270EAccepted = false;
    TermTypeRequests = 0;
    Disconnecting = false;
    BinaryMode = false;
    usOn_.fill(false);
    himOn_.fill(false);
    tn3270eRefused_ = false;
    tn3270eDropped_ = false;
    // A connection cut after an IAC, inside a command, a subnegotiation or
    // a record leaves the parser in that state: the new connection's first
    // bytes must not be read as its continuation.
    engine_.Reset();
    progress_.Reset();
    RecLength = 0;
    Stream->TOrvTnStream::ProcessData();  // drops the partial record
    Stream->Display->clear();

    lastError_.clear();
    const TTlsMode tlsMode = GetTlsMode();
    const TTlsSettings tlsSettings = GetTlsSettings();
    startTls_.Reset(tlsMode == TTlsMode::tmStartTls);
    tlsUpgradeTaken_ = false;
    Socket->TlsDirect = tlsMode == TTlsMode::tmDirect;
    Socket->TlsSettings = tlsSettings;
    if (tlsMode != TTlsMode::tmNone && !tlsSettings.Verify)
        MsgLog(TLogLevel::llError, "TLS: certificate verification is off (TlsVerify): the host is not authenticated");

    if (Port < 0)
        Socket->SetService("Telnet");
    else
        Socket->SetPort(Port);
    Socket->Host.clear();
    Socket->Address.clear();
    if (inet_addr(Host.c_str()) != INADDR_NONE)
        Socket->Address = Host;
    else
        Socket->Host = Host;
    Socket->ConnectTimeout = Timings.ConnectTimeout;
    Socket->SendTimeout = Timings.SendTimeout;

    if (LogEnabled(TLogLevel::llConnect)) {
        const std::string text = "Connecting. Host: " + Host + " Port: " + std::to_string(Socket->GetPort()) +
                                 " Service: " + Socket->GetService();
        MsgLog(TLogLevel::llConnect, text);
    }
    ++generation_;
    try {
        Socket->Open();
    } catch (const ETlsError& e) {
        lastError_ = e.what();
        MsgLog(TLogLevel::llError, lastError_);
        NotifyEvent(TCallBackEvent::ceSessionConnectedFail);
    } catch (const std::exception& e) {
        lastError_ = e.what();
        NotifyEvent(TCallBackEvent::ceSessionConnectedFail);
    } catch (...) {
        lastError_ = "the connection failed";
        NotifyEvent(TCallBackEvent::ceSessionConnectedFail);
    }
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
    const auto connection = Socket ? Socket->Connection() : nullptr;
    TSessionGuard guard = TSessionGuard::LockOrDefer(core_, [this] { Disconnect(); });
    if (!guard) {
        if (connection)
            connection->Shutdown();
        return;
    }
    if (Disconnecting)
        return;
    Disconnecting = true;
    try {
        Socket->Close();
    } catch (...) {
        Disconnecting = false;
        throw;
    }
    Disconnecting = false;
}

void TOrvTelnet::StopReaders()
{
    std::vector<std::shared_ptr<TThSocketRead>> readers;
    {
        std::lock_guard lock(readersMutex_);
        if (ReadThread_)
            readers.push_back(std::move(ReadThread_));
        for (auto& r : finishedReaders_)
            readers.push_back(std::move(r));
        finishedReaders_.clear();
    }
    const bool owner = core_->OwnedByCurrentThread();
    const auto& dispatcher = core_->Dispatcher;
    for (auto& r : readers) {
        r->ShutdownConnection();
        // Waiting is safe only when the reader cannot be waiting for us: not
        // on its own thread, not inside a handler it delivers, not owning
        // the session it needs to finish its block (holding the lock or
        // running a handler).
        if (!owner && !r->thread_.IsCurrentThread() && !TSessionCore::InDeliveryFrom(r.get())) {
            // The old connection's last notifications (its disconnect above
            // all) still come before the new connection's: on the
            // dispatcher's thread they need us to pump while we wait.
            if (dispatcher && dispatcher->IsDispatcherThread())
                while (!r->Finished.load(std::memory_order_acquire))
                    dispatcher->ProcessMessages(kPumpSlice);
            r->thread_.Join();
        } else {
            // It cannot finish before we return: what it has not delivered
            // yet is stale, and it ends on its own without touching us.
            r->NotifyOwner.store(false, std::memory_order_release);
            if (dispatcher)
                dispatcher->Cancel(r->Target);
            r->thread_.Detach();
        }
    }
}

void TOrvTelnet::StartReader(std::uint64_t generation)
{
    if (generation != generation_ || !Socket->Active())
        return;
    auto connection = Socket->Connection();
    if (!connection)
        return;
    std::shared_ptr<TThSocketRead> reader;
    {
        std::lock_guard lock(readersMutex_);
        if (ReadThread_)
            return;
        reader = std::make_shared<TThSocketRead>(*this, core_, std::move(connection));
        // The START_TLS exchange must end within the connect time-out, as a
        // direct TLS handshake does.
        if (startTls_.Guarding())
            reader->NegotiationDeadline = std::chrono::steady_clock::now() + Timings.ConnectTimeout;
        ReadThread_ = reader;
    }
    try {
        reader->Start(Timings.ReaderStackSize);
    } catch (const std::exception& e) {
        MsgLog(TLogLevel::llError, std::string(kExceptionText) + e.what());
        {
            std::lock_guard lock(readersMutex_);
            ReadThread_.reset();
        }
        Disconnect();
    }
}

void TOrvTelnet::ReadThreadTerminate(TObject* Sender)
{
    std::lock_guard lock(readersMutex_);
    if (ReadThread_ && static_cast<TObject*>(ReadThread_.get()) == Sender)
        finishedReaders_.push_back(std::move(ReadThread_));
}

bool TOrvTelnet::IsConnected() const
{
    if (!Socket || !Socket->Active())
        return false;
    // A connection cut by a Disconnect whose close waits for the session's
    // owner is over already.
    const auto connection = Socket->Connection();
    return connection && !connection->IsShutdown();
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
    if (auto connection = socket.Connection(); connection && connection->IsTls())
        LogTlsUp(connection->TlsInfo());
    NotifyEvent(TCallBackEvent::ceSessionConnected);
    // The reader starts once OnConnect has run, so that no handler of the
    // new connection can come before it.
    if (!core_->QueueReaderStart(generation_))
        StartReader(generation_);
}

void TOrvTelnet::SocketSessionClosed(TObject* /*Sender*/, TTcpClient& /*socket*/)
{
    NotifyEvent(TCallBackEvent::ceSessionDisconnected);
    if (Stream && Stream->Display)
        Stream->Display->clear();
}

void TOrvTelnet::SocketErrorOcurred(TObject* /*Sender*/, TTcpClient& /*socket*/, TErrorEvent /*errorEvent*/,
                                    int& errorCode)
{
    // A failed send means the peer is gone (or stopped reading for the whole
    // send time-out): end the connection the normal way.
    Disconnect();
    errorCode = 0;
}

// ------------------------------------------------------------ events

void TOrvTelnet::NotifyEvent(TCallBackEvent cbEvent)
{
    const char* text = nullptr;
    const TNotifyEvent* handler = nullptr;
    switch (cbEvent) {
    case TCallBackEvent::ceSessionConnected:
        text = "Notify event ceSessionConnected";
        handler = &OnConnect;
        break;
    case TCallBackEvent::ceSessionConnectedFail:
        text = "Notify event ceSessionConnectedFail";
        handler = &OnConnectionFail;
        break;
    case TCallBackEvent::ceSessionDisconnected:
        text = "Notify event ceSessionDisconnected";
        handler = &OnDisconnect;
        break;
    case TCallBackEvent::ceSessionState:
        text = "Notify event ceSessionState";
        handler = &OnSessionState;
        break;
    case TCallBackEvent::ceScreenChanged:
        text = "Notify event ceScreenChanged";
        handler = &OnScreenChange;
        break;
    case TCallBackEvent::ceKbdLocked:
        text = "Notify event ceSystemLocked";
        handler = &OnSystemLock;
        break;
    case TCallBackEvent::ceKbdUnLocked:
        text = "Notify event ceSystemUnLocked";
        handler = &OnSystemUnLock;
        break;
    case TCallBackEvent::ceIsAlive:
        return;
    }
    if (text == nullptr)
        return;
    MsgLog(TLogLevel::llEvent, text);
    Synchronize(*handler);
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

void TOrvTelnet::NewData(const std::uint8_t* data, std::int32_t len)
{
    RequireStream();
    TSessionGuard guard(core_);
    ScreenChanged = false;
    StatusChanged = false;
    const bool wasLocked = !Stream->Display->Status.empty();
    if (len > 0)
        engine_.Feed(std::span<const std::uint8_t>(data, static_cast<std::size_t>(len)));
    if (startTls_.Guarding() && startTls_.EndOfBlock() == TStartTls::TAction::Fail)
        FailTls(startTls_.Failure());
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

void TOrvTelnet::ReceiveChar(std::uint8_t c)
{
    engine_.Feed(std::span<const std::uint8_t>(&c, 1));
}

void TOrvTelnet::AddChar(std::uint8_t c)
{
    RecBuffer[static_cast<std::size_t>(RecLength)] = c;
    if (++RecLength >= kRecBufferSize)
        FlushBuffer();
}

void TOrvTelnet::FlushBuffer()
{
    const std::int32_t len = RecLength;
    RecLength = 0;
    if (len > 0)
        DataAvailable(RecBuffer.data(), len);
}

void TOrvTelnet::DataAvailable(const std::uint8_t* data, std::int32_t len)
{
    if (len <= 0)
        return;
    Stream->AddBuffer(data, len);
}

void TOrvTelnet::EndOfRecord()
{
    FlushBuffer();
    TOrvTnStream& stream = *Stream;
    // A record that fails is dropped on its own: the block's later records
    // are still parsed, so the parser stays in step with the byte stream and
    // the screen and lock notifications of the block are still made.
    try {
        if (!BinaryMode) {
            TelnetErrorMessage(stream.InBuffer.data(), stream.InCount);
            stream.TOrvTnStream::ProcessData();
            return;
        }
        if (Tn3270EAccepted && stream.InCount > 0 && stream.InBuffer[0] == kDataTypeNvt) {
            DumpTitled(TLogLevel::llDump, kTitleReceived, stream.InBuffer.data(), stream.InCount);
            TelnetErrorMessage(stream.InBuffer.data(), stream.InCount);
            stream.TOrvTnStream::ProcessData();
            return;
        }
    } catch (const std::exception& e) {
        MsgLog(TLogLevel::llError, std::string(kExceptionText) + e.what());
        stream.TOrvTnStream::ProcessData();
        return;
    }
    const bool wasLocked = !stream.GetStatus().empty();
    try {
        stream.ProcessData();
    } catch (const std::exception& e) {
        MsgLog(TLogLevel::llError, std::string(kExceptionText) + e.what());
        stream.TOrvTnStream::ProcessData();
    }
    // A record that failed half way may still have painted.
    if (stream.Display->Updated)
        ScreenChanged = true;
    if (wasLocked != !stream.GetStatus().empty())
        StatusChanged = true;
}

bool TOrvTelnet::AcceptsDo(std::uint8_t option) const
{
    switch (option) {
    case TELOPT_BINARY:
    case TELOPT_SGA:
    case TELOPT_SNDLOC:
    case TELOPT_TTYPE:
    case TELOPT_EOR:
        return true;
    case TELOPT_TN3270E:
        return AllowTn3270E && !tn3270eRefused_;
    default:
        return false;
    }
}

bool TOrvTelnet::AcceptsWill(std::uint8_t option) const
{
    return option == TELOPT_BINARY || option == TELOPT_SGA || option == TELOPT_EOR;
}

void TOrvTelnet::NegociateOption(std::uint8_t verb, std::uint8_t option)
{
    // RFC 854 and 1143: a request for the state an option is already in is
    // not answered (so two careful peers never loop); a refused DO is
    // answered WONT, a refused WILL DONT; turning an option off is
    // acknowledged. We never ask first, so each side is simply on or off.
    bool& us = usOn_[option];
    bool& him = himOn_[option];
    switch (verb) {
    case DO:
        if (us)
            return;
        if (!AcceptsDo(option)) {
            Answer(WONT, option);
            return;
        }
        us = true;
        Answer(WILL, option);
        if (option == TELOPT_BINARY) {
            BinaryMode = true;
        } else if (option == TELOPT_SNDLOC) {
            engine_.SendSubnegotiation(TELOPT_SNDLOC,
                                       std::span(reinterpret_cast<const std::uint8_t*>(Location.data()), Location.size()));
        } else if (option == TELOPT_TN3270E) {
            Tn3270EAccepted = true;
            BinaryMode = true;
            tn3270eDropped_ = false;
        }
        return;
    case DONT:
        if (!us)
            return;
        us = false;
        Answer(WONT, option);
        if (option == TELOPT_TN3270E)
            DropTn3270E(false);
        return;
    case WILL:
        if (him)
            return;
        if (!AcceptsWill(option)) {
            Answer(DONT, option);
            return;
        }
        him = true;
        Answer(DO, option);
        if (option == TELOPT_BINARY)
            BinaryMode = true;
        return;
    case WONT:
        // Records are text again, whichever side had agreed BINARY.
        if (option == TELOPT_BINARY)
            BinaryMode = false;
        if (!him)
            return;
        him = false;
        Answer(DONT, option);
        return;
    default:
        return;
    }
}

void TOrvTelnet::DropTn3270E(bool byUs)
{
    if (byUs && usOn_[TELOPT_TN3270E])
        Answer(WONT, TELOPT_TN3270E);
    if (byUs)
        tn3270eRefused_ = true;  // a host that offers it again is refused: no loop
    usOn_[TELOPT_TN3270E] = false;
    himOn_[TELOPT_TN3270E] = false;
    Tn3270EAccepted = false;
    tn3270eDropped_ = true;
    // Plain TN3270 starts again: the host negotiates TERMINAL-TYPE, EOR and
    // BINARY afresh and asks for the terminal type once more.
    BinaryMode = false;
    TermTypeRequests = 0;
    for (const std::uint8_t o : {TELOPT_BINARY, TELOPT_TTYPE, TELOPT_EOR}) {
        usOn_[o] = false;
        himOn_[o] = false;
    }
    MsgLog(TLogLevel::llConnect, "TN3270E withdrawn: going on as TN3270");
}

void TOrvTelnet::Answer(std::uint8_t verb, std::uint8_t option)
{
    engine_.SendOption(verb, option);
}

void TOrvTelnet::NegociateSubOption(const std::uint8_t* data, std::uint16_t len)
{
    if (len < 2 || data[0] != TELOPT_TTYPE || data[1] != TTYPE_SEND)
        return;
    if (TermTypeRequests < UINT16_MAX)
        ++TermTypeRequests;
    if (TermTypeRequests > 1) {
        // Asked again in the same connection: the host did not take our answer.
        MsgLog(TLogLevel::llError, "TN_ERROR: Invalid Terminal Type or LU Name.");
        Disconnect();
        return;
    }
    const std::string type = GetTermType();
    std::vector<std::uint8_t> payload;
    payload.reserve(1 + type.size());
    payload.push_back(TTYPE_IS);
    for (const char ch : type)
        payload.push_back(static_cast<std::uint8_t>(ch));
    engine_.SendSubnegotiation(TELOPT_TTYPE, payload);
}

std::string TOrvTelnet::GetTermType()
{
    return "VT100";
}

// ------------------------------------------------------------ engine events

// While START_TLS is wanted and TLS is not up, nothing from the host
// reaches the session but the START_TLS exchange.
void TOrvTelnet::TEngineSink::OnData(std::span<const std::uint8_t> run)
{
    telnet_.progress_.Data(run.size());
    if (telnet_.startTls_.Guarding()) {
        telnet_.startTls_.OnOther("data");
        return;
    }
    AppendRun(telnet_, run.data(), static_cast<std::int32_t>(run.size()));
}

void TOrvTelnet::TEngineSink::OnEndOfRecord()
{
    telnet_.progress_.EndOfRecord();
    if (telnet_.startTls_.Guarding()) {
        telnet_.startTls_.OnOther("a record");
        return;
    }
    telnet_.EndOfRecord();
}

void TOrvTelnet::TEngineSink::OnOption(std::uint8_t verb, std::uint8_t option)
{
    telnet_.progress_.Option(verb, option);
    if (telnet_.startTls_.Guarding()) {
        telnet_.StartTlsAction(telnet_.startTls_.OnOption(verb, option));
        return;
    }
    telnet_.NegociateOption(verb, option);
}

void TOrvTelnet::TEngineSink::OnSubnegotiation(std::span<const std::uint8_t> data)
{
    telnet_.progress_.Subnegotiation(data);
    if (telnet_.startTls_.Guarding()) {
        telnet_.StartTlsAction(telnet_.startTls_.OnSubnegotiation(data));
        return;
    }
    telnet_.NegociateSubOption(data.data(), static_cast<std::uint16_t>(data.size()));
}

void TOrvTelnet::TEngineSink::OnSubnegotiationDiscarded()
{
    telnet_.progress_.Idle();
    MsgLog(TLogLevel::llError, "TN_ERROR: Subnegotiation longer than 100 bytes discarded.");
}

void TOrvTelnet::TEngineSink::OnCommand(std::uint8_t /*command*/)
{
    telnet_.progress_.Idle();
    // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, a stray SE: nothing to do.
}

void TOrvTelnet::TEngineSink::OnSend(std::span<const std::uint8_t> bytes, TTelnetEngine::TOutput kind)
{
    const auto len = static_cast<std::int32_t>(bytes.size());
    if (telnet_.startTls_.Guarding() && !telnet_.sendingStartTls_) {
        // Never in clear text what was meant for the TLS session (a key
        // pressed early, a negotiation answer).
        MsgLog(TLogLevel::llError, "TLS: not sent before TLS is up: " + std::to_string(len) + " bytes");
        return;
    }
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
    try {
        return Socket->SendBuf(buf, len);
    } catch (const ESocketError&) {
        return -1;
    }
}

void TOrvTelnet::tcpWrite(const void* buf, std::int32_t len)
{
    if (len < 0 || (buf == nullptr && len > 0))
        return;
    TSessionGuard guard(core_);
    engine_.SendRecord(std::span(static_cast<const std::uint8_t*>(buf), static_cast<std::size_t>(len)));
}

void TOrvTelnet::SendCommand(std::uint8_t command, bool unlock)
{
    TSessionGuard guard(core_);
    engine_.SendCommand(command);
    if (unlock)
        UnlockPending = true;
}

void TOrvTelnet::SendAO()
{
    SendCommand(AO, true);
}

void TOrvTelnet::SendBreak()
{
    SendCommand(BRK, true);
}

void TOrvTelnet::SendInterruptProcess()
{
    SendCommand(IP, false);
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
    if (tlsProps_.Mode)
        return *tlsProps_.Mode;
    std::lock_guard log(uTLogg::LogLock());
    const auto mode = ParseTlsMode(gTlsMode);
    if (!mode && !gTlsMode.empty())
        MsgLog(TLogLevel::llError, "TLS: unknown TlsMode \"" + gTlsMode + "\" in Telnet.ini (none, direct, starttls); none used");
    return mode.value_or(TTlsMode::tmNone);
}

void TOrvTelnet::SetTlsMode(TTlsMode mode)
{
    TSessionGuard guard(core_);
    tlsProps_.Mode = mode;
}

namespace {

// The property when the application set it, else the module's setting.
std::string PropertyOrGlobal(const std::optional<std::string>& property, const std::string& global)
{
    if (property)
        return *property;
    std::lock_guard log(uTLogg::LogLock());
    return global;
}

} // namespace

std::string TOrvTelnet::GetTlsCaFile() const
{
    TSessionGuard guard(core_);
    return PropertyOrGlobal(tlsProps_.CaFile, gTlsCaFile);
}

void TOrvTelnet::SetTlsCaFile(const std::string& file)
{
    TSessionGuard guard(core_);
    tlsProps_.CaFile = file;
}

std::string TOrvTelnet::GetTlsCaPath() const
{
    TSessionGuard guard(core_);
    return PropertyOrGlobal(tlsProps_.CaPath, gTlsCaPath);
}

void TOrvTelnet::SetTlsCaPath(const std::string& dir)
{
    TSessionGuard guard(core_);
    tlsProps_.CaPath = dir;
}

std::string TOrvTelnet::GetTlsCertFile() const
{
    TSessionGuard guard(core_);
    return PropertyOrGlobal(tlsProps_.CertFile, gTlsCertFile);
}

void TOrvTelnet::SetTlsCertFile(const std::string& file)
{
    TSessionGuard guard(core_);
    tlsProps_.CertFile = file;
}

std::string TOrvTelnet::GetTlsKeyFile() const
{
    TSessionGuard guard(core_);
    return PropertyOrGlobal(tlsProps_.KeyFile, gTlsKeyFile);
}

void TOrvTelnet::SetTlsKeyFile(const std::string& file)
{
    TSessionGuard guard(core_);
    tlsProps_.KeyFile = file;
}

std::string TOrvTelnet::GetTlsMinVersion() const
{
    TSessionGuard guard(core_);
    return PropertyOrGlobal(tlsProps_.MinVersion, gTlsMinVersion);
}

void TOrvTelnet::SetTlsMinVersion(const std::string& version)
{
    TSessionGuard guard(core_);
    tlsProps_.MinVersion = version;
}

bool TOrvTelnet::GetTlsVerify() const
{
    TSessionGuard guard(core_);
    if (tlsProps_.Verify)
        return *tlsProps_.Verify;
    std::lock_guard log(uTLogg::LogLock());
    return gTlsVerify;
}

void TOrvTelnet::SetTlsVerify(bool verify)
{
    TSessionGuard guard(core_);
    tlsProps_.Verify = verify;
}

void TOrvTelnet::SetTlsExpectedName(const std::string& name)
{
    TSessionGuard guard(core_);
    tlsProps_.ExpectedName = name;
}

TTlsSettings TOrvTelnet::GetTlsSettings() const
{
    TTlsSettings s;
    s.CaFile = GetTlsCaFile();
    s.CaPath = GetTlsCaPath();
    s.CertFile = GetTlsCertFile();
    s.KeyFile = GetTlsKeyFile();
    s.MinVersion = GetTlsMinVersion();
    s.Verify = GetTlsVerify();
    TSessionGuard guard(core_);
    s.ExpectedName = tlsProps_.ExpectedName;
    return s;
}

std::string TOrvTelnet::GetLastError() const
{
    TSessionGuard guard(core_);
    return lastError_;
}

TTlsInfo TOrvTelnet::GetTlsInfo() const
{
    TSessionGuard guard(core_);
    const auto connection = Socket ? Socket->Connection() : nullptr;
    return connection ? connection->TlsInfo() : TTlsInfo{};
}

void TOrvTelnet::LogTlsUp(const TTlsInfo& info)
{
    if (!LogEnabled(TLogLevel::llConnect))
        return;
    MsgLog(TLogLevel::llConnect, "TLS: " + info.Protocol + " " + info.Cipher + ", host " +
                            (info.Verified ? "verified" : "NOT verified") + " (" + info.PeerSubject + ")");
}

void TOrvTelnet::FailTls(const std::string& reason)
{
    lastError_ = reason;
    MsgLog(TLogLevel::llError, reason);
    if (startTls_.Guarding())
        startTls_.Fail(reason);
    Disconnect();
}

void TOrvTelnet::StartTlsAction(TStartTls::TAction action)
{
    switch (action) {
    case TStartTls::TAction::None:
        break;
    case TStartTls::TAction::SendWill:
        sendingStartTls_ = true;
        engine_.SendOption(WILL, TStartTls::kOption);
        sendingStartTls_ = false;
        break;
    case TStartTls::TAction::SendFollows: {
        const std::uint8_t follows[] = {TStartTls::kFollows};
        sendingStartTls_ = true;
        engine_.SendSubnegotiation(TStartTls::kOption, follows);
        sendingStartTls_ = false;
        tlsUpgradeTaken_ = false;  // the reader takes it after this block
        break;
    }
    case TStartTls::TAction::Fail:
        FailTls(startTls_.Failure());
        break;
    }
}

bool TOrvTelnet::TakeTlsUpgrade(TTlsSettings& settings, std::string& host)
{
    if (startTls_.State() != TStartTls::TState::Handshake || tlsUpgradeTaken_ || !IsConnected())
        return false;
    tlsUpgradeTaken_ = true;
    settings = Socket->TlsSettings;
    host = Host;
    return true;
}

void TOrvTelnet::TlsUpgradeDone(const std::string& error, const TTlsInfo& info)
{
    if (startTls_.State() != TStartTls::TState::Handshake)
        return;
    if (!error.empty()) {
        FailTls(error);
        return;
    }
    startTls_.Upgraded();
    // The telnet negotiation starts afresh inside TLS.
    engine_.Reset();
    BinaryMode = false;
    Tn3270EAccepted = false;
    TermTypeRequests = 0;
    RecLength = 0;
    Stream->TOrvTnStream::ProcessData();
    LogTlsUp(info);
}

void TOrvTelnet::StartTlsTimedOut()
{
    if (startTls_.Guarding() && startTls_.State() != TStartTls::TState::Failed && IsConnected())
        FailTls(startTls_.State() == TStartTls::TState::WaitOffer
                    ? "TLS: the host did not offer START_TLS within the connect time-out"
                    : "TLS: the host did not finish the START_TLS exchange within the connect time-out");
}

void TOrvTelnet::ConnectionEnded(const std::string& tlsText, bool failed)
{
    if (tlsText.empty() || !lastError_.empty())
        return;
    lastError_ = tlsText;
    MsgLog(failed ? TLogLevel::llError : TLogLevel::llConnect, tlsText);
}
