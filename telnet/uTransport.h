// The transport of a telnet component: what carries its bytes (connect,
// the delivery of what the host sends, write, the START_TLS handshake,
// close), behind one interface the component does not look behind. The
// reader thread per session (TTelnetConnection, telnet/uTelnetConnection)
// is the default; an event loop or a test's fake may take its place.
//
// The contract, whatever the implementation:
// - The component calls the transport under its session lock, except
//   Cut, IsConnected (any thread, never blocks) and the destruction pair.
// - The transport calls the sink with the session lock held (it takes it
//   through the TSessionCore it was given, inside a TProcessingScope of its
//   own delivery source), after it has checked that the component still
//   wants to hear from it; OnConnected, OnClosed and OnWriteFailed run
//   inside Open, Close and Write, on the caller's thread.
// - After a failure (connect, read, write, handshake), the sink hears of it
//   once, and the transport sends nothing more for that connection.
#pragma once

#include "platform/uTlsTransport.h"
#include "telnet/uReceiveProgress.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

// The connection's timings, injectable so that tests need not wait a minute.
// Copied by a transport when it starts reading: change them before Connect.
struct TTelnetTimings {
    // Reader: longest wait for data before it looks at its stop flag.
    std::chrono::milliseconds WaitTimeout{10000};
    // Reader: pause between "data ready" and the read, so that the rest of a
    // record sent in pieces is read in the same block.
    std::chrono::milliseconds ReadPause{5};
    // Receive-loop guard: a window in which 50 blocks that made no progress
    // (telnet/uReceiveProgress.h) mean a loop.
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

// Where and how to connect (the component's properties at Connect).
struct TConnectTarget {
    std::string Host;
    std::int32_t Port = 23;  // < 0: the service "Telnet"
    TTlsMode Tls = TTlsMode::tmNone;
    TTlsSettings TlsSettings;
    std::chrono::milliseconds ConnectTimeout{20000};
    std::chrono::milliseconds SendTimeout{30000};
};

// What a transport tells the component (TOrvTelnet implements it).
class TTransportSink {
public:
    virtual ~TTransportSink() = default;
    // ---- inside Open, Close and Write, on the caller's thread
    // The connection is up (tls: its TLS, when direct TLS carries it).
    virtual void OnConnected(const TTlsInfo* tls) = 0;
    // The connection has been closed by Close.
    virtual void OnClosed() = 0;
    // A write failed: the peer is gone (or stopped reading for the whole
    // send time-out). The sink ends the connection.
    virtual void OnWriteFailed() = 0;

    // ---- from the delivery, under the session lock
    // One received block; says what it did for the receive-loop guard.
    // block: valid only during the call.
    virtual TReceiveProgress::TBlock OnReceived(std::span<const std::uint8_t> block) = 0;
    // START_TLS: true once when the handshake is to run now, with the
    // settings and the host name to verify.
    virtual bool TakeTlsHandshake(TTlsSettings& settings, std::string& host) = 0;
    // The handshake's outcome: error empty when TLS is up.
    virtual void OnTlsHandshakeDone(const std::string& error, const TTlsInfo& info) = 0;
    // The START_TLS deadline given to StartReading has passed.
    virtual void OnDeadline() = 0;
    // The link has been idle for a while: false ends it.
    virtual bool IsAlive() = 0;
    // The delivery of the connection has ended on its own (the peer closed,
    // a read failed: failed); tlsText: what the TLS session said, if any.
    virtual void OnEnded(const std::string& tlsText, bool failed) = 0;
    // The connection must end (a receive loop, the end of the delivery).
    virtual void EndConnection() = 0;
    // A connect that Open left under way (a transport whose Open does not
    // block) has failed; the transport is closed already (IsOpen false).
    virtual void OnConnectFailed(const std::string& /*error*/) {}
};

class TTransport {
public:
    virtual ~TTransport() = default;

    // Connects (with direct TLS: and its handshake); OnConnected runs
    // inside. Empty when it worked, else why not.
    virtual std::string Open(const TConnectTarget& target) = 0;
    // Starts delivering what the host sends (after OnConnect has run);
    // deadline: when the START_TLS exchange must be done. False when the
    // delivery could not start (the caller ends the connection).
    virtual bool StartReading(const TTelnetTimings& timings,
                              std::optional<std::chrono::steady_clock::time_point> deadline) = 0;
    // Writes the bytes; what was accepted, or -1 (not open; or the write
    // failed, and OnWriteFailed has run).
    virtual std::int32_t Write(std::span<const std::uint8_t> bytes) = 0;
    // Closes the connection; OnClosed runs inside when it was open.
    virtual void Close() = 0;
    // Cuts the connection at once (the host sees the end, IsConnected turns
    // false) and leaves the close to the caller. Any thread; never blocks.
    virtual void Cut() = 0;
    // Open: Close has not run yet (a cut connection is still open).
    virtual bool IsOpen() const = 0;
    // Open and not cut. Any thread.
    virtual bool IsConnected() const = 0;
    // The open connection's TLS (an empty Protocol when it has none).
    virtual TTlsInfo TlsInfo() const = 0;
    // The settings the connection was opened with (for START_TLS).
    virtual TTlsSettings OpenedTlsSettings() const = 0;

    // ---- the delivery's life
    // Ends the delivery of earlier connections before a new one (waits for
    // it where this thread may; see the threading contract).
    virtual void StopReading() = 0;
    // Nothing left of an earlier connection's delivery.
    virtual bool Idle() = 0;
    // Destruction, first part, before the session lock is taken: the
    // delivery is told to stop and woken, its deliveries cancelled.
    virtual void WakeForDestruction() = 0;
    // Destruction, last part: the delivery ended or let go.
    virtual void EndForDestruction() = 0;
};
