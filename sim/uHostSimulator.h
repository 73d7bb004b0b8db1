// The TN3270E host simulator: a server on 127.0.0.1 that negotiates like a
// TN3270E (or plain TN3270) server, serves each connection on its own
// thread (or, in loop mode, all of them on the threads of one event loop),
// and hands the session to a host application object, while tests
// push records, wait for what the client sends, and read the negotiated
// state. Built on the raw loopback peer of uTestHost for its sockets, on
// uSimTelnet for the protocol and on the simulator's own 3270 encoder and
// decoder, never on the client's code.
//
// A test, in short:
//
//   THostSimulator host;                          // TN3270E, LUs from a pool
//   component.Connect("127.0.0.1", host.Port());
//   auto s = host.WaitSession();                  // the accepted connection
//   ASSERT_TRUE(s && s->WaitNegotiated());
//   EXPECT_EQ(s->Negotiated().luName, "SIM00001");
//   s->Send3270(TSim3270Encoder().EraseWrite(wcc::Restore).Field(...).Take());
//   ... component.SetAidKey(akEnter) ...
//   auto in = s->WaitInbound();                   // AID, cursor, fields
//   auto seq = s->Send3270(screen, true);         // ALWAYS-RESPONSE
//   auto r = s->WaitResponse(seq);
//
// With options.appFactory set, every connection gets its own application
// (for example the demo in uDemoApp), which drives the session by itself.
//
// Loop mode (options.eventLoop): the listener and every connection sit on
// an event loop of a few threads (uEventLoop), the negotiation deadline is
// a loop timer, and what a session sends is queued when the client does not
// read at once. The host behaves the same; one process carries thousands of
// connections with no thread of their own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sim/uSim3270Decoder.h"
#include "sim/uSimTelnet.h"

class TEventLoop;
class TLoopConnection;
class TTestConnection;
class TTestHost;

namespace tnsim {

class TSimSession;

// A host application behind the simulator, one object per connection. Its
// calls come on the session's thread (in loop mode: the loop thread that
// carries the connection), one at a time, never with a lock of the
// simulator held, so it may call any TSimSession member (send records,
// Close) from inside them; in loop mode it must not wait for anything (the
// Wait* members included), since every session of that thread waits too.
class ISimHostApp {
public:
    virtual ~ISimHostApp() = default;
    // The negotiation has finished: send the first screen.
    virtual void OnStart(TSimSession& session) = 0;
    // A record from the client (responses included).
    virtual void OnRecord(TSimSession& session, const TSimRecord& record) = 0;
    // AO (SysReq), IP (ATTN), ... from the client.
    virtual void OnTelnetCommand(TSimSession& /*session*/, std::uint8_t /*command*/) {}
    // The connection has ended (either side). Nothing can be sent any more.
    virtual void OnEnd(TSimSession& /*session*/) {}
};

using TSimAppFactory = std::function<std::unique_ptr<ISimHostApp>()>;

// Waits that a passing test never reaches; generous for sanitizer builds.
inline constexpr std::chrono::milliseconds kSimDefaultTimeout{10000};
// A client that does not finish the negotiation in this time is cut off.
inline constexpr std::chrono::milliseconds kSimNegotiationTimeout{30000};
// Records kept for the tests per session; beyond it the oldest are dropped
// (an application that nobody watches must not grow without bound).
inline constexpr std::size_t kSimMaxQueuedRecords = 1024;
// Accepted sessions kept for WaitSession; beyond it the oldest are dropped.
inline constexpr std::size_t kSimMaxQueuedSessions = 4096;
// Longest LU name (an SNA name has at most 8 characters).
inline constexpr std::size_t kMaxLuNameLength = 8;

// A bind image for an LU type 2 session: FM and TS profile 3, the screen
// sizes given (1 to 255 rows and columns; a terminal uses them where its
// model can show them).
Bytes BindImage(int defaultRows, int defaultCols, int alternateRows, int alternateCols);
// The same for 24x80 only.
Bytes DefaultBindImage();
// UNBIND type 0x01: normal end of session.
inline constexpr std::uint8_t kUnbindNormal = 0x01;

struct TSimHostOptions {
    // Port on 127.0.0.1; 0: the system picks a free one (see Port()).
    std::uint16_t port = 0;
    // Negotiation: TN3270E or plain, functions, forced rejects (uSimTelnet).
    TSimTelnetOptions telnet;
    // LU names handed out in order; a client that names an LU must name
    // one of them. Empty: names "SIM00001", "SIM00002", ... are made as
    // needed and a client may name any free LU of 1 to 8 letters or digits.
    std::vector<std::string> luPool;
    // The application for each connection; none: the tests drive it.
    TSimAppFactory appFactory;
    std::chrono::milliseconds negotiationTimeout = kSimNegotiationTimeout;
    // Loop mode (see the top of this file), and its loop threads (0: one per core).
    bool eventLoop = false;
    std::size_t loopThreads = 0;
    // A slow host application: each client record (not a RESPONSE) is held
    // this long on its session's thread before the application sees it, so
    // that load tests can see how many sessions wait at once. Thread mode
    // only (ignored in loop mode, where it would hold a loop thread).
    std::chrono::milliseconds answerDelay{0};
};

// How many sessions have sent a request (a client record other than a
// RESPONSE) that the host has not answered with a record yet, now and at
// most since the last ResetPeak: what shows that many clients are waiting
// for the host together. Any thread.
class TSimOutstanding {
public:
    void Begin();
    void End();
    std::size_t Now() const;
    std::size_t Peak() const;
    void ResetPeak();

private:
    mutable std::mutex mMutex;
    std::size_t mNow = 0, mPeak = 0;
};

// Loop mode: bytes a session may have queued for a client that does not
// read; beyond it the session is cut off (as a blocked send would stall).
inline constexpr std::size_t kSimMaxQueuedBytes = std::size_t{4} << 20;
// Loop mode: connections taken from the listener per readiness, and the
// pause before accepting again when the process is out of descriptors.
inline constexpr int kSimMaxAcceptsPerWakeup = 64;
inline constexpr std::chrono::milliseconds kSimAcceptRetry{100};

// One connection. Shared between the simulator (while it lasts) and the
// tests that took it; every member may be called from any thread. Sends on
// an ended session do nothing.
class TSimSession {
public:
    ~TSimSession();
    TSimSession(const TSimSession&) = delete;
    TSimSession& operator=(const TSimSession&) = delete;

    // 1, 2, ... in the order the simulator accepted the connections.
    int Id() const { return mId; }

    // --- negotiation
    // True once the negotiation has finished; false on time-out, failure
    // or disconnect first.
    bool WaitNegotiated(std::chrono::milliseconds timeout = kSimDefaultTimeout);
    bool IsNegotiated() const;
    // The agreed state; all empty before the negotiation has finished.
    TSimNegotiated Negotiated() const;
    // Why the negotiation failed, empty if it did not.
    std::string FailureReason() const;

    // --- sending (each returns the SEQ-NUMBER used, 0 in plain mode).
    // Throw std::logic_error when called before the negotiation finished,
    // or with a data type plain TN3270 cannot carry.
    std::uint16_t Send3270(ByteView data, bool alwaysResponse = false);
    std::uint16_t SendSscpLu(ByteView data, bool alwaysResponse = false);
    std::uint16_t SendBind(ByteView bindImage);
    std::uint16_t SendBind() { return SendBind(DefaultBindImage()); }
    std::uint16_t SendUnbind(std::uint8_t type = kUnbindNormal);
    std::uint16_t SendNvt(std::string_view text);
    std::uint16_t SendReadModified(bool alwaysResponse = false);
    std::uint16_t SendReadModifiedAll(bool alwaysResponse = false);
    std::uint16_t SendReadBuffer(bool alwaysResponse = false);
    std::uint16_t SendQuery(bool alwaysResponse = false);
    // Read Partition Query List (ql:: request type, qr:: codes).
    std::uint16_t SendQueryList(std::uint8_t requestType, ByteView codes = {}, bool alwaysResponse = false);
    std::uint16_t SendRecord(std::uint8_t dataType, ByteView data, std::uint8_t responseFlag = rf::NoResponse);
    void SendResponse(std::uint16_t seq, bool positive, std::uint8_t code = 0x00);
    // Framed with IAC EOR, no header added; raw bytes as they are; IAC cmd.
    // These work before the negotiation too (hostile-host tests).
    void SendFramed(ByteView record);
    void SendRaw(ByteView bytes);
    void SendTelnetCommand(std::uint8_t command);

    // --- what the client sent, oldest first. Each wait takes the first
    // matching record out of the queue and leaves the others in place;
    // nothing on time-out or when the connection ended with no match.
    std::optional<TSimRecord> WaitRecord(std::chrono::milliseconds timeout = kSimDefaultTimeout);
    // The next record that is not a RESPONSE.
    std::optional<TSimRecord> WaitData(std::chrono::milliseconds timeout = kSimDefaultTimeout);
    // The next non-RESPONSE record, decoded; SSCP-LU-DATA records are
    // decoded as unformatted text (what the SSCP gets back from a screen
    // it wrote as text), others as an AID record. Use Decode() to choose.
    std::optional<TSimInbound> WaitInbound(std::chrono::milliseconds timeout = kSimDefaultTimeout);
    // The RESPONSE answering `seq`.
    std::optional<TSimResponse> WaitResponse(std::uint16_t seq,
                                             std::chrono::milliseconds timeout = kSimDefaultTimeout);
    std::optional<std::uint8_t> WaitTelnetCommand(std::chrono::milliseconds timeout = kSimDefaultTimeout);
    static TSimInbound Decode(const TSimRecord& record, int rows = kRows, int cols = kCols);
    // Records dropped because the queue was full.
    std::size_t DroppedRecords() const;
    // Malformed input the engine dropped, in order ("record longer ...").
    std::vector<std::string> ProtocolErrors() const;

    // --- the connection
    bool WaitDisconnect(std::chrono::milliseconds timeout = kSimDefaultTimeout);
    bool IsConnected() const;
    // Orderly close (FIN). Returns at once; the session ends on its thread.
    void Close();
    // Abortive close: the client sees a reset.
    void Reset();

private:
    friend class THostSimulator;
    class Sink;
    struct Event;
    class Wire;
    class ThreadWire;
    class LoopWire;
    class LoopSide;

    TSimSession(int id, const TSimHostOptions& options, std::function<TSimLuGrant(std::string_view)> assign,
                std::function<void(std::string_view)> release, std::shared_ptr<TSimOutstanding> outstanding);
    void Serve(TTestConnection& connection);
    // The steps of a connection's life, shared by both modes: Begin sends
    // the opening request; Feed takes the client's bytes and runs the
    // application (false: the negotiation failed, close); NegotiationTimedOut
    // notes the failure when the deadline passed unnegotiated (true: close);
    // End reports the end to the waiters and the application.
    void Begin(std::shared_ptr<Wire> wire);
    bool Feed(ByteView bytes);
    bool NegotiationTimedOut();
    void End();
    void Dispatch(std::vector<Event>& events);
    void SendLocked(ByteView bytes);
    std::optional<TSimRecord> Take(const std::function<bool(const TSimRecord&)>& match,
                                   std::chrono::milliseconds timeout);

    const int mId;
    const std::chrono::milliseconds mNegotiationTimeout;
    const std::chrono::milliseconds mAnswerDelay;
    const std::shared_ptr<TSimOutstanding> mOutstanding;
    std::function<TSimLuGrant(std::string_view)> mAssign;
    std::function<void(std::string_view)> mRelease;
    std::unique_ptr<Sink> mSink;
    std::unique_ptr<TSimTelnet> mEngine;  // guarded by mMutex
    std::unique_ptr<ISimHostApp> mApp;    // used on the session thread only

    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    std::shared_ptr<Wire> mConnection;  // null once the session has ended
    bool mNegotiated = false;
    bool mEnded = false;
    std::string mFailure;
    TSimNegotiated mState;
    std::string mLu;  // held in the pool
    bool mAwaiting = false;  // counted in mOutstanding
    std::deque<TSimRecord> mRecords;
    std::size_t mDropped = 0;
    std::deque<std::uint8_t> mCommands;
    std::vector<std::string> mErrors;
};

class THostSimulator {
public:
    // Starts listening on 127.0.0.1 at once, on options.port or, when that
    // is 0, on a port the system picks. Throws std::system_error when it
    // cannot listen (the port is taken).
    explicit THostSimulator(TSimHostOptions options = {});
    // Closes every connection and waits for every session thread.
    ~THostSimulator();
    THostSimulator(const THostSimulator&) = delete;
    THostSimulator& operator=(const THostSimulator&) = delete;

    std::uint16_t Port() const;
    // The next accepted connection, in order; null on time-out.
    std::shared_ptr<TSimSession> WaitSession(std::chrono::milliseconds timeout = kSimDefaultTimeout);
    // Connections accepted so far, and those not ended yet.
    std::size_t SessionCount() const;
    std::size_t ActiveSessions() const;
    // LUs currently held by sessions, sorted.
    std::vector<std::string> LusInUse() const;
    // Sessions with an unanswered request (see TSimOutstanding).
    TSimOutstanding& Outstanding() { return *mOutstanding; }
    // Refuses new connections; open ones go on.
    void StopListening();

private:
    class Acceptor;

    void Serve(TTestConnection& connection);
    // A new session, counted and queued for WaitSession.
    std::shared_ptr<TSimSession> NewSession();
    void SessionEnded();
    void Accept();  // loop mode, on the listener's loop thread
    void StopLoop();
    TSimLuGrant AssignLu(std::string_view requested);
    void ReleaseLu(std::string_view name);

    const TSimHostOptions mOptions;
    mutable std::mutex mMutex;
    std::condition_variable mArrived;
    std::deque<std::shared_ptr<TSimSession>> mNew;
    std::size_t mAccepted = 0;
    std::size_t mActive = 0;
    std::set<std::string> mLusInUse;
    int mNextGenerated = 1;
    const std::shared_ptr<TSimOutstanding> mOutstanding = std::make_shared<TSimOutstanding>();
    std::condition_variable mAllEnded;  // mActive reached 0
    // Loop mode: the listener and the connections not ended yet (by id).
    int mListenFd = -1;
    std::uint16_t mPort = 0;
    std::uint64_t mListenId = 0;
    bool mListening = false;
    std::unique_ptr<Acceptor> mAcceptor;
    std::map<int, std::shared_ptr<TLoopConnection>> mLoopConnections;
    std::unique_ptr<TEventLoop> mLoop;
    // Last: destroyed first, so that no session thread outlives the members above.
    std::unique_ptr<TTestHost> mHost;
};

}  // namespace tnsim
