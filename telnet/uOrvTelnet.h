// The telnet client component TOrvTelnet: the byte-level telnet engine
// (RFC 854/855 commands, option negotiation, TERMINAL-TYPE, END-OF-RECORD
// framing) and the connection half (TCP client, one reader thread per
// connection, event delivery, logging and translation-table properties).
// The 3270 session component derives from it.
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
// - Handlers may call the component back on the thread they run on:
//   send a key, Disconnect, Connect, read the lists (they hold no lock, the
//   calls take it), and they may destroy the component (see below).
//
// - With a dispatcher, a thread other than the dispatcher's that raises a
//   notification (the reader, or a worker thread calling Connect) waits
//   until the dispatcher's thread pumps (TDispatcher::Run/ProcessMessages).
//
// - Connect on a component that has (or had) a connection closes it first
//   (ceSessionDisconnected), then waits for its reader to end, so that the
//   old connection's last notifications come before the new ones; on the
//   dispatcher's thread it pumps the dispatcher while it waits. Where the
//   reader cannot end first (Connect called on the reader thread, inside a
//   handler the reader waits for, or while holding the lock) the old reader
//   is detached instead and what it had not delivered yet is dropped.
//   Disconnect does not wait: notifications the reader raised before it
//   may still arrive after OnDisconnect.
//
// - Assign the event properties and Timings before Connect (or while
//   holding the lock); the reader thread reads them.
//
// - Destruction: the destructor stops the reader thread before anything is
//   freed: it wakes it (socket shutdown, its pending dispatcher deliveries
//   cancelled) and waits for it to end; when that is impossible without a
//   deadlock (destroyed on the reader thread itself, inside a handler the
//   reader is waiting for, or while this thread holds the lock), the reader
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
#include "platform/uThread.h"
#include "stream/uOrvTnConsts.h"
#include "stream/uOrvTnStream.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TOrvTelnet;
class TThSocketRead;
class TSessionCore;

// Declared for host code; no property of the package uses it.
using TOrvTnDataAvailable = std::function<void(TOrvTelnet* Sender, const char* Buffer, std::int32_t Len)>;

// The connection's timings, injectable so that tests need not wait a minute.
// Copied by each reader thread when it starts: change them before Connect.
struct TTelnetTimings {
    // Reader: longest wait for data before it looks at its stop flag.
    std::chrono::milliseconds WaitTimeout{10000};
    // Reader: pause between "data ready" and the read, so that the rest of a
    // record sent in pieces is read in the same block.
    std::chrono::milliseconds ReadPause{5};
    // Receive-loop guard: a window in which 50 counted blocks mean a loop.
    std::chrono::milliseconds BurstWindow{2000};
    // Socket: longest connect, and longest a send may block.
    std::chrono::milliseconds ConnectTimeout{20000};
    std::chrono::milliseconds SendTimeout{30000};
    // Reader thread stack (bytes). The receive path is shallow and keeps its
    // buffers on the heap; handlers run on the reader when there is no
    // dispatcher, so leave them room. Sanitizer builds need several times more.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    std::size_t ReaderStackSize = 2u << 20;
#else
    std::size_t ReaderStackSize = 256u << 10;
#endif
};

// Holds a component's session lock for its lifetime (RAII). When it
// releases the outermost level on its thread, it delivers the handlers
// queued meanwhile, outside the lock, in order. Movable, not copyable.
// It keeps the lock's shared state alive, so it may outlive the component
// (a handler it delivers may destroy the component).
class TSessionGuard {
public:
    explicit TSessionGuard(TOrvTelnet& telnet);
    explicit TSessionGuard(std::shared_ptr<TSessionCore> core);
    ~TSessionGuard();
    TSessionGuard(TSessionGuard&& other) noexcept = default;
    TSessionGuard& operator=(TSessionGuard&&) = delete;
    TSessionGuard(const TSessionGuard&) = delete;
    TSessionGuard& operator=(const TSessionGuard&) = delete;

private:
    std::shared_ptr<TSessionCore> core_;
};

class TOrvTelnet : public TComponent {
public:
    // Telnet codes (RFC 854) and options.
    static constexpr std::uint8_t IAC = 0xFF, DONT = 0xFE, DO = 0xFD, WONT = 0xFC, WILL = 0xFB,
                                  SB = 0xFA, AO = 0xF5, IP = 0xF4, BRK = 0xF3, SE = 0xF0, EOR = 0xEF;
    static constexpr std::uint8_t TELOPT_BINARY = 0, TELOPT_SGA = 3, TELOPT_SNDLOC = 23,
                                  TELOPT_TTYPE = 24, TELOPT_EOR = 25, TELOPT_TN3270E = 40;
    static constexpr std::uint8_t TTYPE_IS = 0, TTYPE_SEND = 1;

    static constexpr std::int32_t kRecBufferSize = 8192;
    static constexpr std::int32_t kSubnegBufferSize = 100;
    // Windows' "would block" socket error; every other error disconnects.
    static constexpr int kErrorWouldBlock = 10035;

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

    // ---- connection (application thread, or a handler)
    // Run by the constructors; not to be called again.
    virtual void SetDefaults();
    // Closes an open connection first (raising its disconnect event), then
    // connects to Host:Port (Port < 0: the service "Telnet"). Failure raises
    // ceSessionConnectedFail; success ceSessionConnected, then the reader
    // starts. Nothing at design time.
    virtual void Connect();
    // Closes the connection (ceSessionDisconnected once); nothing when not
    // connected, at design time, or when nested in a Disconnect.
    virtual void Disconnect();
    bool IsConnected() const;
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
    void ReceiveChar(std::uint8_t c);
    void AddChar(std::uint8_t c);
    void FlushBuffer();
    virtual void DataAvailable(const std::uint8_t* data, std::int32_t len);
    virtual void EndOfRecord();
    void NegociateOption(std::uint8_t verb, std::uint8_t option);
    void Answer(std::uint8_t verb, std::uint8_t option);
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
    void SendAO();
    void SendBreak();
    void SendInterruptProcess();

    // ---- abstract parts, provided by the 3270 component
    virtual void CreateTnStream() = 0;
    // A text record (no BINARY, or NVT-DATA); data valid only during the call.
    virtual void TelnetErrorMessage(const std::uint8_t* data, std::int32_t len) = 0;
    virtual void GenHostFields() = 0;

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

    // Number of reader waits that timed out in this component's life (tests).
    std::uint64_t ReaderIdleWaits() const;

    // ---- engine state (guarded by the session lock)
    std::array<std::uint8_t, kRecBufferSize> RecBuffer{};
    std::int32_t RecLength = 0;
    bool BinaryMode = false;
    bool Tn3270EAccepted = false;
    bool AllowTn3270E = false;
    std::uint16_t TermTypeRequests = 0;
    std::string Location;
    std::unique_ptr<TOrvTnStream> Stream;
    bool UnlockPending = false;
    bool ScreenChanged = false;
    bool StatusChanged = false;
    bool IacSeen = false;
    std::uint8_t PendingVerb = 0;
    bool InSubneg = false;
    std::array<std::uint8_t, kSubnegBufferSize> SubnegBuffer{};
    std::uint16_t SubnegLength = 0;
    // More bytes than SubnegBuffer holds arrived in this subnegotiation: it
    // is discarded whole at its SE.
    bool SubnegOverflow = false;

    // ---- connection state (settings: application thread, before Connect)
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

protected:
    // Throws std::logic_error when the derived class did not create the stream.
    void RequireStream() const;

private:
    friend class TThSocketRead;
    friend class TSessionGuard;
    friend class TSessionCore;

    void Construct();
    void StartReader(std::uint64_t generation);
    // Ends the readers of earlier connections: joined when this thread may
    // wait for them, else detached (they end without touching the component).
    void StopReaders();
    void SendCommand(std::uint8_t command, bool unlock);
    void SendLogged(const std::uint8_t* data, std::int32_t len, const char* titleFormat);

    std::shared_ptr<TSessionCore> core_;
    std::atomic<bool> destroyStarted_{false};
    std::uint64_t generation_ = 0;  // connections opened; guarded by the lock
    std::vector<std::uint8_t> outFrame_;  // tcpWrite's frame, reused; guarded by the lock

    std::mutex readersMutex_;  // leaf lock: guards the two below only
    std::shared_ptr<TThSocketRead> ReadThread_;
    std::vector<std::shared_ptr<TThSocketRead>> finishedReaders_;

public:
    // The reader of the current connection, or null (tests and diagnostics).
    std::shared_ptr<TThSocketRead> ReadThread();
};

// The socket reader thread of one connection: waits for data, reads blocks
// of at most 8192 bytes and feeds them to the component's engine under the
// session lock; watches for receive loops and for a dead idle link. Shared
// by the component and its own thread, so that it outlives a detach.
class TThSocketRead : public TObject, public std::enable_shared_from_this<TThSocketRead> {
public:
    static constexpr std::int32_t kReadBufferSize = 8192;
    // The liveness check runs on every sixth wait that times out.
    static constexpr int kWaitsPerAliveCheck = 6;
    // Blocks counted in one window that mean a receive loop.
    static constexpr std::int32_t kBurstLimit = 50;

    TThSocketRead(TOrvTelnet& telnet, std::shared_ptr<TSessionCore> core,
                  std::shared_ptr<TTcpConnection> connection);
    ~TThSocketRead() override;

    // Starts the thread (it holds a reference to this object while it runs).
    void Start(std::size_t stackSize);
    void Execute();
    // Hands ReadBuffer to the engine; false when a receive loop is suspected.
    // Called with the session lock held.
    bool NotifyDataAvailable();

    // Cleared when the component no longer wants to hear from this reader
    // (destroyed, or a new connection replaced this one).
    std::atomic<bool> NotifyOwner{true};
    // Set when Execute has done everything, its deliveries included.
    std::atomic<bool> Finished{false};

private:
    friend class TOrvTelnet;
    friend class TSessionCore;
    using Clock = std::chrono::steady_clock;

    // NotifyOwner and the component alive; read before touching the component.
    bool Running() const;
    // The component's open connection is still this reader's. Under the lock.
    bool OwnsConnection() const;

    TOrvTelnet* Telnet;  // touched only under the lock, after Running()
    std::shared_ptr<TSessionCore> core_;
    std::shared_ptr<TTcpConnection> connection_;
    const TTelnetTimings timings_;
    TDispatchTarget target_;  // this reader's deliveries through the dispatcher
    TNativeThread thread_;
    std::unique_ptr<std::array<std::uint8_t, kReadBufferSize>> ReadBuffer;
    std::int32_t ReadCount = 0;
    Clock::time_point BurstStart{};
    std::int32_t BurstCount = 0;
};
