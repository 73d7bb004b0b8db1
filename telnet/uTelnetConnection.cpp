// The socket, its TLS and the reader threads of a telnet component; the
// comments say why the readers are joined where they are and detached
// elsewhere (see the threading contract in telnet/uOrvTelnet.h).
#include "telnet/uTelnetConnection.h"

#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "log/uTLogg.h"
#include "telnet/uOrvTelnet.h"

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

TTelnetConnection::TTelnetConnection(TOrvTelnet& telnet, std::shared_ptr<TSessionCore> core)
    : telnet_(telnet), core_(std::move(core))
{
}

std::string TTelnetConnection::Open(const TConnectTarget& target)
{
    Socket->TlsDirect = target.Tls == TTlsMode::tmDirect;
    Socket->TlsSettings = target.TlsSettings;
    if (target.Tls != TTlsMode::tmNone && !target.TlsSettings.Verify)
        MsgLog(TLogLevel::llError, "TLS: certificate verification is off (TlsVerify): the host is not authenticated");
    if (target.Port < 0)
        Socket->SetService("Telnet");
    else
        Socket->SetPort(target.Port);
    host_ = target.Host;
    Socket->Host.clear();
    Socket->Address.clear();
    if (inet_addr(target.Host.c_str()) != INADDR_NONE)
        Socket->Address = target.Host;
    else
        Socket->Host = target.Host;
    Socket->ConnectTimeout = target.ConnectTimeout;
    Socket->SendTimeout = target.SendTimeout;

    if (LogEnabled(TLogLevel::llConnect)) {
        const std::string text = "Connecting. Host: " + target.Host + " Port: " + std::to_string(Socket->GetPort()) +
                                 " Service: " + Socket->GetService();
        MsgLog(TLogLevel::llConnect, text);
    }
    try {
        Socket->Open();
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

void TTelnetConnection::Close()
{
    Socket->Close();
}

void TTelnetConnection::Cut()
{
    if (const auto connection = Socket ? Socket->Connection() : nullptr)
        connection->Shutdown();
}

bool TTelnetConnection::IsConnected() const
{
    if (!Socket || !Socket->Active())
        return false;
    // A connection cut by a Disconnect whose close waits for the session's
    // owner is over already.
    const auto connection = Socket->Connection();
    return connection && !connection->IsShutdown();
}

TTlsInfo TTelnetConnection::TlsInfo() const
{
    const auto connection = Socket ? Socket->Connection() : nullptr;
    return connection ? connection->TlsInfo() : TTlsInfo{};
}

// ------------------------------------------------------------ readers

bool TTelnetConnection::StartReader(const TTelnetTimings& timings,
                                    std::optional<std::chrono::steady_clock::time_point> deadline)
{
    auto connection = Socket->Connection();
    if (!connection)
        return true;
    std::shared_ptr<TThSocketRead> reader;
    {
        std::lock_guard lock(readersMutex_);
        if (reader_)
            return true;
        reader = std::make_shared<TThSocketRead>(telnet_, core_, std::move(connection));
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

bool TTelnetConnection::NoReaders()
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

void TTelnetConnection::StopReaders()
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
std::vector<std::shared_ptr<TThSocketRead>> TTelnetConnection::WakeForDestruction()
{
    auto readers = TakeReaders();
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
    return readers;
}

void TTelnetConnection::EndReaders(std::vector<std::shared_ptr<TThSocketRead>>& readers)
{
    // Owning the session (the lock, or a handler on this thread), we may be
    // what the reader waits for.
    for (auto& r : readers) {
        if (MayWaitFor(*r))
            r->thread_.Join();
        else
            r->thread_.Detach();  // it sees Alive false and ends without touching us
    }
}
