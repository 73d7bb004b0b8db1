// The socket, its TLS and the reader threads of a telnet component; the
// comments say why the readers are joined where they are and detached
// elsewhere (see the threading contract in telnet/uOrvTelnet.h).
#include "telnet/uTelnetConnection.h"

#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "log/uTLogg.h"

#include <arpa/inet.h>

#include <exception>

namespace {

constexpr char kExceptionText[] = "Exception in TThSocketRead.Execute. ERROR: ";

// How long the dispatcher's thread waits for a message at a time while it
// waits for an old reader to end.
constexpr std::chrono::milliseconds kPumpSlice{10};

} // namespace

// ------------------------------------------------------------ TLS properties

// The level's lock guards the module's settings, "Telnet.ini"'s keys among them.
TTlsMode TTlsProperties::Mode() const
{
    if (mode_)
        return *mode_;
    std::lock_guard log(uTLogg::LogLock());
    const auto mode = ParseTlsMode(gTlsMode);
    if (!mode && !gTlsMode.empty())
        MsgLog(TLogLevel::llError, "TLS: unknown TlsMode \"" + gTlsMode + "\" in Telnet.ini (none, direct, starttls); none used");
    return mode.value_or(TTlsMode::tmNone);
}

TTlsSettings TTlsProperties::Settings() const
{
    TTlsSettings s;
    {
        std::lock_guard log(uTLogg::LogLock());
        s.CaFile = gTlsCaFile;
        s.CaPath = gTlsCaPath;
        s.CertFile = gTlsCertFile;
        s.KeyFile = gTlsKeyFile;
        s.MinVersion = gTlsMinVersion;
        s.Verify = gTlsVerify;
    }
    for (const auto& [offset, apply] : set_)
        apply(s);
    return s;
}

// ------------------------------------------------------------ the socket

TTelnetConnection::TTelnetConnection(TTransportSink& sink, std::shared_ptr<TSessionCore> core,
                                     std::unique_ptr<TTcpClient>& socket)
    : sink_(sink), core_(std::move(core)), socket_(socket)
{
}

std::string TTelnetConnection::Open(const TConnectTarget& target)
{
    socket_->TlsDirect = target.Tls == TTlsMode::tmDirect;
    socket_->TlsSettings = target.TlsSettings;
    if (target.Tls != TTlsMode::tmNone && !target.TlsSettings.Verify)
        MsgLog(TLogLevel::llError, "TLS: certificate verification is off (TlsVerify): the host is not authenticated");
    if (target.Port < 0)
        socket_->SetService("Telnet");
    else
        socket_->SetPort(target.Port);
    socket_->Host.clear();
    socket_->Address.clear();
    if (inet_addr(target.Host.c_str()) != INADDR_NONE)
        socket_->Address = target.Host;
    else
        socket_->Host = target.Host;
    socket_->ConnectTimeout = target.ConnectTimeout;
    socket_->SendTimeout = target.SendTimeout;

    if (LogEnabled(TLogLevel::llConnect)) {
        const std::string text = "Connecting. Host: " + target.Host + " Port: " + std::to_string(socket_->GetPort()) +
                                 " Service: " + socket_->GetService();
        MsgLog(TLogLevel::llConnect, text);
    }
    try {
        socket_->Open();
    } catch (const ETlsError& e) {
        MsgLog(TLogLevel::llError, e.what());
        return e.what();
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "the connection failed";
    }
    return {};
}

std::int32_t TTelnetConnection::Write(std::span<const std::uint8_t> bytes)
{
    // A failed send raises the client's OnError, which tells the sink.
    try {
        return socket_->SendBuf(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    } catch (const ESocketError&) {
        return -1;
    }
}

void TTelnetConnection::Close()
{
    socket_->Close();
}

void TTelnetConnection::Cut()
{
    if (const auto connection = socket_ ? socket_->Connection() : nullptr)
        connection->Shutdown();
}

bool TTelnetConnection::IsConnected() const
{
    if (!IsOpen())
        return false;
    // A connection cut by a Disconnect whose close waits for the session's
    // owner is over already.
    const auto connection = socket_->Connection();
    return connection && !connection->IsShutdown();
}

TTlsInfo TTelnetConnection::TlsInfo() const
{
    const auto connection = socket_ ? socket_->Connection() : nullptr;
    return connection ? connection->TlsInfo() : TTlsInfo{};
}

// ------------------------------------------------------------ readers

bool TTelnetConnection::StartReading(const TTelnetTimings& timings,
                                     std::optional<std::chrono::steady_clock::time_point> deadline)
{
    auto connection = socket_->Connection();
    if (!connection)
        return true;
    std::shared_ptr<TThSocketRead> reader;
    {
        std::lock_guard lock(readersMutex_);
        if (reader_)
            return true;
        reader = std::make_shared<TThSocketRead>(sink_, *this, core_, std::move(connection), timings);
        if (deadline)
            reader->NegotiationDeadline = *deadline;
        reader_ = reader;
    }
    try {
        reader->Start(timings.ReaderStackSize);
    } catch (const std::exception& e) {
        MsgLog(TLogLevel::llError, std::string(kExceptionText) + e.what());
        std::lock_guard lock(readersMutex_);
        reader_.reset();
        return false;
    }
    return true;
}

void TTelnetConnection::ReaderEnded(TObject* sender)
{
    std::lock_guard lock(readersMutex_);
    if (reader_ && static_cast<TObject*>(reader_.get()) == sender)
        finishedReaders_.push_back(std::move(reader_));
}

std::shared_ptr<TThSocketRead> TTelnetConnection::Reader()
{
    std::lock_guard lock(readersMutex_);
    return reader_;
}

bool TTelnetConnection::Carries(const std::shared_ptr<TTcpConnection>& connection) const
{
    return socket_->Connection() == connection;
}

bool TTelnetConnection::Idle()
{
    std::lock_guard lock(readersMutex_);
    return !reader_ && finishedReaders_.empty();
}

std::vector<std::shared_ptr<TThSocketRead>> TTelnetConnection::TakeReaders()
{
    std::vector<std::shared_ptr<TThSocketRead>> readers;
    std::lock_guard lock(readersMutex_);
    if (reader_)
        readers.push_back(std::move(reader_));
    for (auto& r : finishedReaders_)
        readers.push_back(std::move(r));
    finishedReaders_.clear();
    return readers;
}

// Not on its own thread, not inside a handler it delivers, not owning the
// session it needs to finish its block (holding the lock or running a handler).
bool TTelnetConnection::MayWaitFor(const TThSocketRead& reader) const
{
    return !core_->OwnedByCurrentThread() && !reader.thread_.IsCurrentThread() &&
           !TSessionCore::InDeliveryFrom(&reader);
}

void TTelnetConnection::StopReading()
{
    const auto& dispatcher = core_->Dispatcher;
    for (auto& r : TakeReaders()) {
        r->ShutdownConnection();
        if (MayWaitFor(*r)) {
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

// Wake first, lock second: a reader may hold the lock while it is blocked
// in a send or waits for the dispatcher thread, which may be us.
void TTelnetConnection::WakeForDestruction()
{
    destroying_ = TakeReaders();
    for (auto& r : destroying_) {
        r->NotifyOwner.store(false, std::memory_order_release);
        if (core_->Dispatcher)
            core_->Dispatcher->Cancel(r->Target);
        r->ShutdownConnection();
    }
    if (core_->Dispatcher)
        core_->Dispatcher->Cancel(core_->Target);
    if (socket_)
        socket_->Shutdown();
}

void TTelnetConnection::EndForDestruction()
{
    // Owning the session (the lock, or a handler on this thread), we may be
    // what the reader waits for.
    for (auto& r : destroying_) {
        if (MayWaitFor(*r))
            r->thread_.Join();
        else
            r->thread_.Detach();  // it sees Alive false and ends without touching us
    }
    destroying_.clear();
}
