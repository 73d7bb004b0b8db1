// The telnet client component TOrvTelnet, the published facade of the
// telnet room: event delivery, the data stream's records and notifications,
// logging and translation-table properties, over an I/O-free session and a
// connection. The 3270 session component derives from it. Its parts live
// in units of their own:
//   telnet/uTelnetSession  option rules, TERMINAL-TYPE, SEND-LOCATION,
//                          START_TLS state, record assembly; no I/O
//   telnet/uTelnetEngine   the byte parser and framer, no I/O (TTelnetEngine)
//   telnet/uTransport      the interface to what carries the bytes
//   telnet/uTelnetConnection  the default transport (the socket, TLS, the
//                          reader threads); TTlsProperties
//   telnet/uSessionCore    the session lock, TSessionGuard, the delivery queue
//   telnet/uSocketReader   the reader thread TThSocketRead and TTelnetTimings
//   telnet/uStartTls       the client side of the START_TLS option
//
// TLS (off unless TlsMode or "Telnet.ini" asks for it): direct TLS runs the
// handshake inside Connect, before OnConnect (a failed one raises
// OnConnectionFail); START_TLS sends and accepts nothing but the START_TLS
// exchange until the reader has run the handshake (outside the lock), and
// ends the session when the host does not offer it or the handshake fails.
// The reason of every failure is in LastError and logged at level 1.
//
// Threading contract (read this before calling the component from threads):
//
// - One session lock per component, a recursive mutex. The reader thread
//   holds it while it processes a received block (the whole NewData,
//   including the data stream's record processing and GenHostFields), and
//   every application entry point holds it (Connect, Disconnect,
//   ConversionTable, DebugLevel, DebugDir, tcpWrite, SendAO, SendBreak,
//   SendInterruptProcess; in derived classes SetAidKey and field-list
//   access). The application may hold it too, to read or edit the screen
//   and the field lists consistently: `auto guard = telnet.Lock();`.
//   Entry points take it through TSessionGuard, the only way to take it.
//
// - Event handlers (OnConnect ... OnSystemUnLock) are never called while
//   the lock is held. A notification raised while the current thread holds
//   the lock is queued; when that thread releases the outermost level of
//   the lock, the queue is delivered in order, outside the lock. A
//   notification raised without the lock is delivered at once.
//
// - Delivery: when the owner is a TWinControl with a dispatcher
//   (UseSyncWindow), a handler runs on the dispatcher's thread and the
//   raising thread waits until it has run; otherwise it runs on the raising
//   thread (the reader thread for what the host causes, the caller's thread
//   for Connect and Disconnect). An exception leaving a handler is caught,
//   logged at level 1 and dropped.
//
// - A running handler owns the session as the lock's holder does, so that
//   what it sees (the screen, the field lists, the cursor) changes only
//   between handlers: a thread that takes the lock while a handler of the
//   component runs on another thread (the reader with its next block, an
//   application thread calling Connect, a key, a getter, Lock) waits until
//   the handler has returned, without holding the lock. So a handler must
//   not wait for a thread that is calling the component.
//
// - Disconnect never waits for another thread. When another thread owns
//   the session (it runs a handler, processes a block or holds the lock),
//   Disconnect shuts the connection down at once (the host sees the end,
//   IsConnected turns false) and returns; the close itself (the lists and
//   the screen emptied, OnDisconnect) is run by that thread as soon as it
//   lets the session go (the handler returned, the lock released), before
//   any other thread gets the session, and its events are delivered there.
//
// - Handlers may call the component back on the thread they run on:
//   send a key, Disconnect, Connect, read the lists (they hold no lock, the
//   calls take it), and they may destroy the component (see below). A key
//   a handler sends after another thread's Disconnect has cut the
//   connection fails, and that ends the session then, as any failed send.
//
// - With a dispatcher, a thread other than the dispatcher's that raises a
//   notification (the reader, or a worker thread calling Connect) waits
//   until the dispatcher's thread pumps (TDispatcher::Run/ProcessMessages).
//   A loop thread of the event loop does not wait: it posts the
//   notification and goes on with its other sessions, and the connection
//   that raised it reads nothing more until its posted handlers have run.
//
// - Connect on a component that has (or had) a connection closes it first
//   (ceSessionDisconnected), then waits for its reader to end, so that the
//   old connection's last notifications come before the new ones; on the
//   dispatcher's thread it pumps the dispatcher while it waits. Where the
//   reader cannot end first (Connect called on the reader thread, inside a
//   handler, or while holding the lock) the old reader is detached instead
//   and what it had not delivered yet is dropped. Disconnect does not wait:
//   notifications the reader raised before it may still arrive after
//   OnDisconnect.
//
// - Assign the event properties and Timings before Connect (or while
//   holding the lock); the reader thread reads them.
//
// - Destruction: the destructor stops the reader thread before anything is
//   freed: it wakes it (socket shutdown, its pending dispatcher deliveries
//   cancelled) and waits for it to end; when that is impossible without a
//   deadlock (destroyed on the reader thread itself, inside a handler, or
//   while this thread holds the lock), the reader
//   is detached and ends on its own without touching the component again.
//   Destroying a connected component raises no disconnect event. Do not
//   destroy a component while another application thread is inside one of
//   its calls or handlers.
//
// - A class derived from TOrvTelnet must (1) call CreateTnStream() in its
//   constructor (C++ does not dispatch virtual calls from the base
//   constructor) and (2) call Destroying() first thing in its destructor,
//   so that the reader thread is stopped while the derived members its
//   overrides use still exist.
#pragma once

#include "platform/uComponent.h"
#include "platform/uDispatcher.h"
#include "platform/uTcpClient.h"
#include "stream/uOrvTnConsts.h"
#include "stream/uOrvTnStream.h"
#include "telnet/uReceiveProgress.h"
#include "telnet/uSessionCore.h"
#include "telnet/uSocketReader.h"
#include "telnet/uStartTls.h"
#include "telnet/uTelnetConnection.h"
#include "telnet/uTelnetEngine.h"
#include "telnet/uTelnetSession.h"
#include "telnet/uTransport.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

class TOrvTelnet;

// Declared for host code; no property of the package uses it.
using TOrvTnDataAvailable = std::function<void(TOrvTelnet* Sender, const char* Buffer, std::int32_t Len)>;

class TOrvTelnet : public TComponent {
    // The parts, first: the published fields below refer into them.
    class TSessionSink final : public TTelnetSession::TEvents {
    public:
        explicit TSessionSink(TOrvTelnet& telnet) : telnet_(telnet) {}
        void OnRecordData(std::span<const std::uint8_t> run) override
        {
            telnet_.DataAvailable(run.data(), static_cast<std::int32_t>(run.size()));
        }
        // EndOfRecord asks the session for the kind itself (it stays callable alone).
        void OnEndOfRecord(TTelnetSession::TRecord /*kind*/, std::span<const std::uint8_t> last) override
        {
            telnet_.EndOfRecord(last);
        }
        void OnSubnegotiation(std::span<const std::uint8_t> data) override
        {
            telnet_.NegociateSubOption(data.data(), static_cast<std::uint16_t>(data.size()));
        }
        std::string TerminalType() override { return telnet_.GetTermType(); }
        void OnTn3270EDropped(bool byUs) override { telnet_.Tn3270EWithdrawn(byUs); }
        void OnFailed(const std::string& reason) override { telnet_.Fail(reason); }
        void OnSend(std::span<const std::uint8_t> bytes, TTelnetEngine::TOutput kind) override;

    private:
        TOrvTelnet& telnet_;
    };
    // What the transport reports, turned into the component's operations.
    class TTransportHooks final : public TTransportSink {
    public:
        explicit TTransportHooks(TOrvTelnet& telnet) : telnet_(telnet) {}
        void OnConnected(const TTlsInfo* tls) override { telnet_.Connected(tls); }
        void OnClosed() override { telnet_.Closed(); }
        void OnWriteFailed() override { telnet_.Disconnect(); }
        TReceiveProgress::TBlock OnReceived(std::span<const std::uint8_t> block) override
        {
            return telnet_.Received(block);
        }
        bool TakeTlsHandshake(TTlsSettings& settings, std::string& host) override
        {
            return telnet_.TakeTlsUpgrade(settings, host);
        }
        void OnTlsHandshakeDone(const std::string& error, const TTlsInfo& info) override
        {
            telnet_.TlsUpgradeDone(error, info);
        }
        void OnDeadline() override { telnet_.StartTlsTimedOut(); }
        bool IsAlive() override { return telnet_.IsAlive(); }
        void OnEnded(const std::string& tlsText, bool failed) override { telnet_.ConnectionEnded(tlsText, failed); }
        void EndConnection() override { telnet_.Disconnect(); }
        void OnConnectFailed(const std::string& error) override { telnet_.ConnectFailed(error); }

    private:
        TOrvTelnet& telnet_;
    };

    std::shared_ptr<TSessionCore> core_{
        std::make_shared<TSessionCore>(this, [this](std::uint64_t generation) { StartReader(generation); })};
    TSessionSink sessionSink_{*this};
    TTelnetSession session_{sessionSink_};  // guarded by the lock
    TTransportHooks transportHooks_{*this};
    std::unique_ptr<TTransport> transport_;  // set by the constructors; see UseTransport

public:
    // Telnet codes (RFC 854) and options.
    static constexpr std::uint8_t IAC = 0xFF, DONT = 0xFE, DO = 0xFD, WONT = 0xFC, WILL = 0xFB,
                                  SB = 0xFA, AO = 0xF5, IP = 0xF4, BRK = 0xF3, SE = 0xF0, EOR = 0xEF;
    static constexpr std::uint8_t TELOPT_BINARY = 0, TELOPT_SGA = 3, TELOPT_SNDLOC = 23,
                                  TELOPT_TTYPE = 24, TELOPT_EOR = 25, TELOPT_TN3270E = 40;
    static constexpr std::uint8_t TTYPE_IS = 0, TTYPE_SEND = 1;

    static constexpr std::int32_t kSubnegBufferSize = static_cast<std::int32_t>(TTelnetEngine::kSubnegLimit);

    // With an owner: a TWinControl owner with a dispatcher makes handlers
    // run on the dispatcher's thread. Runs SetDefaults.
    explicit TOrvTelnet(TComponent* AOwner);
    // Without an owner; the integer plays no part. Runs SetDefaults.
    explicit TOrvTelnet(std::int32_t dummy);
    ~TOrvTelnet() override;

    // Stops the reader thread, cancels deliveries, closes the connection
    // without an event. Idempotent; see the header comment.
    void Destroying() override;

    // ---- session lock
    // Takes the session lock for the caller (application thread or handler).
    [[nodiscard]] TSessionGuard Lock();
    // True when the calling thread holds the session lock.
    bool HoldsLock() const;
    // True when the calling thread delivers this session's events: it holds
    // the lock, runs one of its handlers, processes its received data, or is
    // its dispatcher's thread. Waiting there for a later event would
    // dead-lock (the event cannot come while this thread waits).
    bool DeliversOnCurrentThread() const;

    // ---- connection (application thread, or a handler)
    // Run by the constructors; not to be called again.
    virtual void SetDefaults();
    // Closes an open connection first (raising its disconnect event), then
    // connects to Host:Port (Port < 0: the service "Telnet"). Failure raises
    // ceSessionConnectedFail; success ceSessionConnected, then the reader
    // starts. Nothing at design time.
    virtual void Connect();
    // Closes the connection (ceSessionDisconnected once); nothing when not
    // connected, at design time, or when nested in a Disconnect. Never
    // waits: while another thread owns the session it cuts the connection
    // and leaves the close to that thread (see the header comment).
    virtual void Disconnect();
    bool IsConnected() const { return transport_->IsConnected(); }
    // A connect is under way (the event loop's Connect returned before it
    // ended; OnConnect or OnConnectionFail follows). Takes the lock.
    bool ConnectPending();
    virtual bool IsAlive();
    virtual TSessionState GetSessionState();
    // The screen buffer's status text (empty: keyboard not locked).
    std::string GetStatus();

    // ---- events
    virtual void NotifyEvent(TCallBackEvent cbEvent);
    // Runs the handler with the component as Sender (queued while the
    // calling thread holds the lock; see the header comment). Nothing while
    // the component is being destroyed or when the handler is empty.
    void Synchronize(const TNotifyEvent& handler);
    // The screen buffer's OnStatusChange.
    void StatusChange(TObject* Sender);

    // ---- engine: input (called with the lock held by NewData's caller or NewData itself)
    // One received block; takes the lock, delivers the block's events when
    // it releases it (unless the caller holds the lock).
    void NewData(const std::uint8_t* data, std::int32_t len);
    // One byte through the parser (NewData is the same for a whole block,
    // without the block's screen and status notifications).
    void ReceiveChar(std::uint8_t c) { session_.Feed(std::span<const std::uint8_t>(&c, 1)); }
    // One record byte, handed to the stream at once.
    void AddChar(std::uint8_t c) { session_.AddData(std::span<const std::uint8_t>(&c, 1)); }
    void FlushBuffer() { session_.FlushRecord(); }
    virtual void DataAvailable(const std::uint8_t* data, std::int32_t len);
    // The record in the stream, ending with `last` (its last run, not added
    // to the stream: a record given whole there is read where it lies,
    // never copied), is complete: 3270 data is processed, text goes to
    // TelnetErrorMessage (by the options in force).
    virtual void EndOfRecord(std::span<const std::uint8_t> last = {});
    // The option rules, and an unconditional IAC verb option (the session's).
    void NegociateOption(std::uint8_t verb, std::uint8_t option) { session_.NegotiateOption(verb, option); }
    void Answer(std::uint8_t verb, std::uint8_t option) { session_.Answer(verb, option); }
    // data: the subnegotiation after IAC SB, up to and including the IAC
    // before SE; valid only during the call.
    virtual void NegociateSubOption(const std::uint8_t* data, std::uint16_t len);
    virtual std::string GetTermType();

    // ---- engine: output
    // Writes the bytes unchanged; returns what the socket accepted (len), or
    // -1 when not connected or the send failed (a failure disconnects).
    // Virtual so that a test can capture what the engine sends.
    virtual std::int32_t Send(const void* buf, std::int32_t len);
    // One outbound record: 0xFF doubled, IAC EOR appended. Takes the lock.
    void tcpWrite(const void* buf, std::int32_t len);
    void SendAO() { SendCommand(AO, true); }
    void SendBreak() { SendCommand(BRK, true); }
    void SendInterruptProcess() { SendCommand(IP, false); }

    // ---- abstract parts, provided by the 3270 component
    virtual void CreateTnStream() = 0;
    // A text record (no BINARY, or NVT-DATA); data valid only during the call.
    virtual void TelnetErrorMessage(const std::uint8_t* data, std::int32_t len) = 0;
    virtual void GenHostFields() = 0;

    // ---- the transport
    // What makes a transport for this component (called with its sink and
    // session core).
    using TTransportFactory =
        std::function<std::unique_ptr<TTransport>(TTransportSink& sink, std::shared_ptr<TSessionCore> core)>;
    // Replaces the transport (the default: a reader thread per connection,
    // telnet/uTelnetConnection). Only while no connection is open and no
    // reader is left (else std::logic_error); takes the lock.
    void UseTransport(const TTransportFactory& make);

    // ---- socket events and the reader's end notice (internal wiring)
    void SocketSessionConnected(TObject* Sender, TTcpClient& socket);
    void SocketSessionClosed(TObject* Sender, TTcpClient& socket);
    void SocketErrorOcurred(TObject* Sender, TTcpClient& socket, TErrorEvent errorEvent, int& errorCode);
    void ReadThreadTerminate(TObject* Sender);

    // ---- properties over module settings (take the lock)
    std::uint16_t GetDebugLevel() const;
    void SetDebugLevel(std::uint16_t level);
    std::string GetDebugDir() const;
    void SetDebugDir(const std::string& dir);
    // The name last set ("" for the built-in default tables). A value of
    // "cp" and digits is a built-in code page ("cp037", "cp1141"), anything
    // else a translation table file. An unknown code page throws
    // ECodePageError (stream/uCodePages.h; logged at level 1) and the
    // session keeps its current table and name.
    std::string GetConversionTable();
    void SetConversionTable(const std::string& name);

    // ---- TLS properties (application thread, before Connect). A property
    // set here wins over the "Telnet.ini" key of the same name (TlsMode,
    // TlsCaFile, TlsCaPath, TlsCertFile, TlsKeyFile, TlsMinVersion,
    // TlsVerify); one never set reads the key's value. Take the lock. Each
    // forwards to the one TTlsProperties value (telnet/uTelnetConnection.h).
    TTlsMode GetTlsMode() const;
    void SetTlsMode(TTlsMode mode);
    std::string GetTlsCaFile() const { return GetTlsSetting(&TTlsSettings::CaFile); }
    void SetTlsCaFile(const std::string& file) { SetTlsSetting(&TTlsSettings::CaFile, file); }
    std::string GetTlsCaPath() const { return GetTlsSetting(&TTlsSettings::CaPath); }
    void SetTlsCaPath(const std::string& dir) { SetTlsSetting(&TTlsSettings::CaPath, dir); }
    std::string GetTlsCertFile() const { return GetTlsSetting(&TTlsSettings::CertFile); }
    void SetTlsCertFile(const std::string& file) { SetTlsSetting(&TTlsSettings::CertFile, file); }
    std::string GetTlsKeyFile() const { return GetTlsSetting(&TTlsSettings::KeyFile); }
    void SetTlsKeyFile(const std::string& file) { SetTlsSetting(&TTlsSettings::KeyFile, file); }
    std::string GetTlsMinVersion() const { return GetTlsSetting(&TTlsSettings::MinVersion); }
    void SetTlsMinVersion(const std::string& version) { SetTlsSetting(&TTlsSettings::MinVersion, version); }
    // false skips every certificate check; logged at level 1 on every
    // connection that uses TLS without it.
    bool GetTlsVerify() const { return GetTlsSetting(&TTlsSettings::Verify); }
    void SetTlsVerify(bool verify) { SetTlsSetting(&TTlsSettings::Verify, verify); }
    // The name the host's certificate must be for instead of the host's
    // (TTlsSettings::ExpectedName); empty: the host's. No Telnet.ini key.
    void SetTlsExpectedName(const std::string& name) { SetTlsSetting(&TTlsSettings::ExpectedName, name); }
    // Any one field of the settings, as the properties above.
    template <class T>
    T GetTlsSetting(T TTlsSettings::*field) const
    {
        return GetTlsSettings().*field;
    }
    template <class T>
    void SetTlsSetting(T TTlsSettings::*field, T value)
    {
        TSessionGuard guard(core_);
        tlsProps_.Set(field, std::move(value));
    }
    // The certificate settings a connection made now would use.
    TTlsSettings GetTlsSettings() const;
    // Why the last connection failed or ended abnormally (TLS failures, a
    // host without START_TLS, a refused connect), in words a user can act
    // on; cleared by Connect. Takes the lock.
    std::string GetLastError() const;
    // The open connection's TLS: protocol, cipher, whether the host was
    // verified; an empty Protocol when it has none. Takes the lock.
    TTlsInfo GetTlsInfo() const;
    // The reader's pause, in milliseconds, between "data ready" and the read
    // (0 to kMaxReadPauseMs): it lets the rest of a record the host sends in
    // pieces arrive, so that the record is read in one block, at the cost of
    // that long for every block (a round trip takes at least the pause). 0
    // reads at once: records still arrive whole in the lists (a screen is
    // published only at its end of record), but a host answer in several
    // records may show its screens one by one. The default is "ReadPause"
    // of Telnet.ini (5). A new value applies from the next Connect. Out of
    // range: std::out_of_range, nothing changed.
    std::int32_t GetReadPause();
    void SetReadPause(std::int32_t milliseconds);

    // Number of reader waits that timed out in this component's life (tests).
    std::uint64_t ReaderIdleWaits() const;
    // Threads waiting now for the session, held by another thread's lock or
    // handler (tests and diagnostics).
    std::size_t SessionWaiters() const;

    // ---- session state (guarded by the session lock; the session's own)
    bool& BinaryMode = session_.BinaryMode;
    bool& Tn3270EAccepted = session_.Tn3270EAccepted;
    bool& AllowTn3270E = session_.AllowTn3270E;
    std::uint16_t& TermTypeRequests = session_.TermTypeRequests;
    std::string& Location = session_.Location;
    std::unique_ptr<TOrvTnStream> Stream;
    bool UnlockPending = false;
    bool ScreenChanged = false;
    bool StatusChanged = false;
    // The parser (its state is its own; tests and diagnostics may look).
    const TTelnetEngine& Engine() const { return session_.Engine(); }
    // The I/O-free session: option rules and record assembly.
    TTelnetSession& Session() { return session_; }

    // ---- connection state (settings: application thread, before Connect)
    // The TCP client of the default transport.
    std::unique_ptr<TTcpClient> Socket;
    std::string Host;
    std::int32_t Port = 23;
    TNotifyEvent OnConnect;
    TNotifyEvent OnConnectionFail;
    TNotifyEvent OnDisconnect;
    TNotifyEvent OnSessionState;
    TNotifyEvent OnScreenChange;
    TNotifyEvent OnSystemLock;
    TNotifyEvent OnSystemUnLock;
    bool UseSyncWindow = false;
    bool Disconnecting = false;  // guarded by the session lock
    TTelnetTimings Timings;
    // The transport of the next Connect: false, a reader thread per session
    // (telnet/uTelnetConnection); true, the process's event loop
    // (telnet/uLoopTransport: Connect returns at once, IsConnected is false
    // until OnConnect, keys sent meanwhile are refused, no TLS). Set before
    // Connect; a transport given by UseTransport is kept whatever it says.
    // The default is "EventLoop" in Telnet.ini, or 1 in the environment
    // variable TN_EVENT_LOOP (how the test suites run on the loop).
    bool EventLoop = false;

protected:
    // Throws std::logic_error when the derived class did not create the stream.
    void RequireStream() const;

    // TN3270E ends in this connection (see TTelnetSession::DropTn3270E);
    // Tn3270EWithdrawn follows.
    void DropTn3270E(bool byUs) { session_.DropTn3270E(byUs); }
    // Run when TN3270E has been withdrawn, by us or by the host's DONT;
    // the 3270 component leaves header mode here.
    virtual void Tn3270EWithdrawn(bool /*byUs*/) {}
    // TN3270E was on in this connection and has been dropped.
    bool Tn3270EDropped() const { return session_.Tn3270EDropped(); }
    // IAC SB option payload IAC SE (0xFF doubled), as every subnegotiation
    // is sent. Under the lock.
    void SendSubnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload)
    {
        session_.SendSubnegotiation(option, payload);
    }

private:
    friend class TThSocketRead;
    friend class TSessionGuard;

    void StartReader(std::uint64_t generation);
    // The transport's events (TTransportHooks).
    void Connected(const TTlsInfo* tls);
    void Closed();
    TReceiveProgress::TBlock Received(std::span<const std::uint8_t> block);
    // START_TLS: the reader's hand-over of the handshake (taken once, under
    // the lock) and its outcome.
    bool TakeTlsUpgrade(TTlsSettings& settings, std::string& host);
    void TlsUpgradeDone(const std::string& error, const TTlsInfo& info);
    void StartTlsTimedOut();
    // The reader's connection ended; tlsText: what the TLS session said.
    void ConnectionEnded(const std::string& tlsText, bool failed);
    void ConnectFailed(const std::string& error);
    // The transport is one of the two built in (EventLoop chooses), not one given by UseTransport.
    bool builtinTransport_ = true;
    // Records the reason (when there is one), logs it at level 1 and ends the connection.
    void Fail(const std::string& reason);
    void LogTlsUp(const TTlsInfo& info);
    void SendCommand(std::uint8_t command, bool unlock);
    // The stream's partial record dropped.
    void DropPartialRecord();

    std::atomic<bool> destroyStarted_{false};
    std::uint64_t generation_ = 0;  // connections opened; guarded by the lock
    TTlsProperties tlsProps_;  // guarded by the lock
    std::string lastError_;    // guarded by the lock

public:
    // The reader of the current connection, or null (tests and diagnostics).
    std::shared_ptr<TThSocketRead> ReadThread();
};
