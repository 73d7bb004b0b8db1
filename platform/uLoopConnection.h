// One TCP connection carried on an event loop (uEventLoop): its socket
// registered on one loop thread, bytes read into that thread's scratch
// buffer and handed on, writes queued (with a bound) and flushed when the
// socket is writable, a non-blocking connect with a deadline, a read pause,
// and an orderly close or a reset. It holds no buffer while idle: the queue
// exists only while bytes wait for the socket.
//
// Threading contract:
// - Send, SetReading, Close and Reset may be called from any thread,
//   handlers included. None of them calls the handler: every handler call
//   comes from the connection's loop thread, one at a time, in order
//   (OnConnected, then OnData for each block read, then OnClosed once, last).
// - After Close or Reset no more OnData is delivered.
// - The connection keeps itself and its handler alive from Start until
//   OnClosed has returned; the owner's shared_ptr may go at any time.
// - TLS is not carried here yet: a TLS layer needs the descriptor (Handle)
//   and the raw readiness rather than OnData's bytes. Its handshake can
//   already run on the loop in steps (TTlsHandshake in uTlsTransport), each
//   waiting for the readiness it names, under a loop timer.
#pragma once

#include "platform/uEventLoop.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

class TLoopConnection;

// How a connection ended.
enum class TLoopEnd : std::uint8_t {
    leClosed,          // Close (queued bytes went first)
    leReset,           // Reset
    lePeerClosed,      // the peer ended the stream
    leFailed,          // a read or write failed (error: the errno value)
    leConnectFailed,   // the connect was refused or failed (error: the errno value)
    leConnectTimeout,  // the connect did not finish before its deadline
    leQueueFull,       // more bytes waited to be written than the bound allows
    leCloseTimeout,    // Close could not flush the queue in time; the rest was dropped
};
const char* LoopEndName(TLoopEnd end);

class ILoopConnectionHandler {
public:
    virtual ~ILoopConnectionHandler() = default;
    // A connect begun without blocking has succeeded.
    virtual void OnConnected(TLoopConnection& /*connection*/) {}
    // Bytes read; the span is the loop thread's buffer, valid during the call.
    virtual void OnData(TLoopConnection& connection, std::span<const std::uint8_t> bytes) = 0;
    // The connection has ended and its descriptor is closed. Nothing follows.
    virtual void OnClosed(TLoopConnection& connection, TLoopEnd end, int error) = 0;
};

struct TLoopConnectionOptions {
    // Most bytes waiting to be written; a Send beyond it fails the connection.
    std::size_t maxQueued = std::size_t{1} << 20;
    // The loop thread; TEventLoop::kNoThread: the loop's next.
    std::size_t thread = TEventLoop::kNoThread;
    // The descriptor is still connecting (StartConnect said InProgress).
    bool connecting = false;
    // Longest wait for that connect; zero: no deadline.
    std::chrono::milliseconds connectTimeout{0};
    // Longest a Close waits for the queued bytes to go out.
    std::chrono::milliseconds closeFlushTimeout{5000};
};

class TLoopConnection final : public IIoHandler, public std::enable_shared_from_this<TLoopConnection> {
public:
    // Reads per readiness before the other connections of the thread get
    // their turn (each at most TEventLoop::kScratchBytes).
    static constexpr int kMaxReadsPerWakeup = 16;

    // Takes the descriptor (connected, or connecting: see the options) and
    // makes it non-blocking; nothing happens until Start. The loop must
    // outlive the connection's end.
    static std::shared_ptr<TLoopConnection> Create(TEventLoop& loop, int fd,
                                                   std::shared_ptr<ILoopConnectionHandler> handler,
                                                   const TLoopConnectionOptions& options = {});
    ~TLoopConnection() override;
    TLoopConnection(const TLoopConnection&) = delete;
    TLoopConnection& operator=(const TLoopConnection&) = delete;

    // Registers the socket; handler calls may follow at once. Once only.
    // Throws std::system_error when the loop refuses the descriptor.
    void Start();
    // Writes the bytes or queues what the socket does not take now. False
    // when the connection is ending or has ended (the bytes are dropped),
    // or when the queue would pass its bound (the connection then ends with
    // leQueueFull). Bytes sent before Start or during the connect wait.
    bool Send(std::span<const std::uint8_t> bytes);
    // The read pause: false stops reading (the kernel buffers, then the
    // peer waits), true reads again.
    void SetReading(bool reading);
    // Orderly close: what is queued goes out first (within the options'
    // closeFlushTimeout), then the descriptor is closed. Idempotent.
    void Close();
    // Abortive close: queued bytes are dropped, the peer sees a reset.
    void Reset();

    bool IsOpen() const;
    std::size_t Queued() const;
    std::size_t Thread() const { return thread_; }
    TEventLoop& Loop() const { return loop_; }
    int Handle() const { return fd_; }

private:
    enum class TState : std::uint8_t { Idle, Connecting, Open, Closing, Ended };

    TLoopConnection(TEventLoop& loop, int fd, std::shared_ptr<ILoopConnectionHandler> handler,
                    const TLoopConnectionOptions& options);
    void OnIo(std::uint32_t events) override;
    // Writes from the queue until it is empty or the socket is full; false
    // when the socket failed (error set). Under mutex_.
    bool Flush(int& error);
    void UpdateInterest();  // under mutex_
    // Ends the connection on the loop thread and tells the handler, once.
    void Finish(TLoopEnd end, int error, bool abortive = false);
    // Schedules Finish on the loop thread (from any thread).
    void FinishSoon(TLoopEnd end, int error, bool abortive = false);

    TEventLoop& loop_;
    const int fd_;
    const TLoopConnectionOptions options_;
    const std::size_t thread_;

    mutable std::mutex mutex_;
    std::shared_ptr<ILoopConnectionHandler> handler_;  // until OnClosed
    std::shared_ptr<TLoopConnection> self_;            // from Start until the end
    TState state_ = TState::Idle;
    bool reading_ = true;
    bool finishing_ = false;  // a Finish is on its way
    bool abortive_ = false;   // Reset asked for: the close resets
    TIoId io_ = 0;
    std::uint32_t interest_ = 0;
    TTimerId timer_ = 0;  // the connect or close deadline
    std::vector<std::uint8_t> queue_;
    std::size_t queueHead_ = 0;  // bytes of queue_ already written
};
