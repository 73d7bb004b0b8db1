// The event-loop transport of a telnet component (telnet/uTransport.h): the
// connection's socket sits on a loop thread of a TEventLoop (one shared
// process loop, created on first use with a thread per core, or a loop
// handed in) instead of a reader thread of its own. The connect does not
// block, writes are queued with a bound, and the read pause, the connect
// and START_TLS deadlines and the idle check are loop timers: a session
// holds its socket and nothing else (no descriptor, thread or buffer of
// its own while idle; reads go to the loop thread's scratch buffer).
//
// What differs from the reader thread, as callers see it:
// - Open returns at once with the connect under way: IsOpen is true,
//   IsConnected stays false until the connect (with direct TLS, and its
//   handshake) is done, and OnConnected, or the sink's OnConnectFailed,
//   follows on the loop thread under the session lock (the handlers run
//   when it is released).
// - A Write before the connection is up is refused (-1, nothing queued and
//   nothing failed): the component answers keys sent then with its "not
//   connected" error, as it does for a closed session.
// - A write the socket does not take at once is queued (at most
//   kMaxQueuedBytes); a queue that passes the bound, or that has not moved
//   for the send time-out, fails the connection as a blocked send would.
// - TLS runs on the loop thread too, in steps (TTlsHandshake), each waiting
//   for the readiness it names: direct TLS once the connect is done, under
//   the connect deadline, with OnConnected only when it is up (a failure
//   is the sink's OnConnectFailed with the reader thread's words); START_TLS
//   when the session hands it over, under the START_TLS deadline. Writes
//   are refused while a START_TLS handshake runs and after one failed (the
//   session holds its sends back then), so nothing meant for TLS goes out
//   in clear. TLS reads and writes never wait; a read that must write
//   first (or a write that must read) waits for that readiness. Close sends
//   close_notify if the socket takes it at once. The settings' files (CA,
//   client certificate and key) are read on the loop thread as each
//   handshake starts.
// - Handlers raised by received blocks run on the loop thread when no
//   dispatcher is set: they must not block for long, because the other
//   sessions of that loop thread wait meanwhile. With a dispatcher they
//   are posted to it, never waited for; the connection stops reading until
//   the dispatcher has run them, so that a handler sees the screen of its
//   event (a START_TLS deadline runs on meanwhile).
//
// Threading: the socket, its registration and its timers are touched only
// on the connection's loop thread; Write (under the session lock) writes
// or queues under the connection's own leaf mutex; Close and Cut hand the
// end to the loop thread and never wait for it, so a component may be
// closed or destroyed from any thread, a loop thread included.
#pragma once

#include "platform/uEventLoop.h"
#include "telnet/uSessionCore.h"
#include "telnet/uReceiveProgress.h"
#include "telnet/uTransport.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

class TLoopTransport final : public TTransport {
public:
    // Bytes a connection may have waiting for the socket.
    static constexpr std::size_t kMaxQueuedBytes = std::size_t{1} << 20;
    // The idle check asks the sink every this many quiet WaitTimeouts.
    static constexpr int kQuietTicksPerAliveCheck = 6;
    // Blocks without progress in one BurstWindow that mean a receive loop.
    static constexpr int kBurstLimit = TReceiveLoopGuard::kBurstLimit;
    // Most bytes one block hands the session: the reader thread's block, so
    // that the guard's count of blocks means the same on both transports
    // (with the loop's 64 KiB scratch, a flood of requests took so long per
    // block that fewer than kBurstLimit fitted in a window, and was never cut).
    static constexpr std::size_t kMaxBlockBytes = 8192;

    // The process's shared loop (one thread per core), made on first use.
    static std::shared_ptr<TEventLoop> SharedLoop();

    // loop: null for the shared one.
    TLoopTransport(TTransportSink& sink, std::shared_ptr<TSessionCore> core, std::shared_ptr<TEventLoop> loop = nullptr);
    ~TLoopTransport() override;

    std::string Open(const TConnectTarget& target) override;
    bool StartReading(const TTelnetTimings& timings,
                      std::optional<std::chrono::steady_clock::time_point> deadline) override;
    std::int32_t Write(std::span<const std::uint8_t> bytes) override;
    void Close() override;
    void Cut() override;
    bool IsOpen() const override { return link_ != nullptr; }
    bool IsConnected() const override { return connected_.load(std::memory_order_acquire); }
    TTlsInfo TlsInfo() const override;
    TTlsSettings OpenedTlsSettings() const override { return opened_; }
    void StopReading() override {}
    bool Idle() override { return true; }
    void WakeForDestruction() override;
    void EndForDestruction() override {}

    class TLink;

private:
    TTransportSink& sink_;
    std::shared_ptr<TSessionCore> core_;
    std::shared_ptr<TEventLoop> loop_;
    // Every connection of the component on one loop thread: what the old
    // one raised (its OnDisconnect) is delivered before the new one's.
    const std::size_t thread_;
    void SetLink(std::shared_ptr<TLink> link);
    // The open connection: changed under the session lock and linkMutex_
    // (a leaf lock), read under either.
    std::shared_ptr<TLink> link_;
    // Links replaced, while one may still deliver (its OnDisconnect waiting
    // for the dispatcher): destruction cancels their deliveries too.
    std::vector<std::weak_ptr<TLink>> earlier_;  // under linkMutex_
    std::mutex linkMutex_;
    TTlsSettings opened_;
    // Up and not cut: set by the link under the session lock, cleared by Close and Cut.
    std::atomic<bool> connected_{false};
    friend class TLink;
};
