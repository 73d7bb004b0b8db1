// An epoll event loop with a small pool of loop threads, for carrying many
// connections in one process without a thread each. Every loop thread has
// its own epoll set, its own queue of posted tasks (woken through an
// eventfd) and its own timers (a heap of deadlines, the earliest being
// the time-out of the thread's wait: a timer costs no descriptor and no
// system call).
//
// What a connection (a transport) does with it: Add its non-blocking socket
// with read interest and a handler; react to readiness on the socket's loop
// thread; Modify the interest (write interest while a write queue is not
// empty, none during a read pause); AddTimer on the socket's thread for its
// deadlines (connect, handshake, read pause, idle checks); PostTo the
// socket's thread to hand it work from other threads; Remove it before the
// descriptor is closed.
//
// Threading contract:
// - Every member may be called from any thread, loop threads included.
// - A registration's handler, and every task posted to or timer set on a
//   thread, run on that loop thread, one at a time: the events of one
//   descriptor reach its handler in the order they were seen, posted tasks
//   run in the order they were posted (from one posting thread), timers in
//   the order of their deadlines (equal deadlines in the order they were set).
// - After Remove (or CancelTimer) returns, the handler (the timer's task) is
//   never called again and may be destroyed. Called from the registration's
//   own loop thread, inside its callback or not, Remove returns at once;
//   called from any other thread while the callback runs, it waits until the
//   callback has returned. So do not call Remove from another thread while
//   holding a lock the handler takes, and never let two loop threads remove
//   each other's registrations from inside callbacks (each would wait for
//   the other).
// - Nothing in a callback may block for long: every connection on that loop
//   thread waits meanwhile.
// - An exception leaving a handler, task or timer is dropped, and the loop
//   goes on; write handlers that do not throw.
// - Destruction stops every thread and joins it, except the calling one
//   when the last owner lets the loop go from inside a callback (that
//   thread ends when the callback returns). Registrations left are dropped
//   without a call (their descriptors are not ours and stay open); posted
//   tasks and timers not run yet are destroyed unrun.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

// Readiness and interest bits.
inline constexpr std::uint32_t kIoRead = 1u << 0;    // data, or the end of the stream, can be read
inline constexpr std::uint32_t kIoWrite = 1u << 1;   // a write would not block
inline constexpr std::uint32_t kIoHangup = 1u << 2;  // the peer closed (reported with read interest)
inline constexpr std::uint32_t kIoError = 1u << 3;   // the socket has an error pending (SO_ERROR)

// What a registered descriptor's readiness is delivered to.
class IIoHandler {
public:
    virtual ~IIoHandler() = default;
    // `events`: kIo* bits. Runs on the descriptor's loop thread. Readiness
    // is level-triggered: a handler that leaves data unread is called again.
    virtual void OnIo(std::uint32_t events) = 0;
};

// Handles of a registration and of a timer: the loop thread's index in the
// top byte, a serial number below. 0 is never a handle.
using TIoId = std::uint64_t;
using TTimerId = std::uint64_t;

class TEventLoop {
public:
    using TClock = std::chrono::steady_clock;
    using TTask = std::function<void()>;

    // Most loop threads of one loop (the thread index is a byte of a handle).
    static constexpr std::size_t kMaxThreads = 64;
    // Readiness events taken from the kernel in one wait.
    static constexpr int kMaxEventsPerWait = 256;
    // Tasks queued on one thread and not run yet; Post refuses more.
    static constexpr std::size_t kMaxQueuedPosts = std::size_t{1} << 20;
    // Timers pending on one thread; AddTimer refuses more.
    static constexpr std::size_t kMaxTimers = std::size_t{1} << 20;
    // Bytes of each loop thread's read buffer (Scratch).
    static constexpr std::size_t kScratchBytes = 65536;
    static constexpr std::size_t kNoThread = static_cast<std::size_t>(-1);

    // threads: how many loop threads; 0 means one per core (at least 1).
    // Raised to 1, capped at kMaxThreads. Throws std::system_error when a
    // descriptor or a thread cannot be had.
    explicit TEventLoop(std::size_t threads = 0);
    ~TEventLoop();
    TEventLoop(const TEventLoop&) = delete;
    TEventLoop& operator=(const TEventLoop&) = delete;

    std::size_t Threads() const { return threads_.size(); }
    // The index of the loop thread the caller runs on (of this loop), or kNoThread.
    std::size_t CurrentThread() const;
    // The caller is a loop thread of some loop: it must not wait for
    // another thread that may take long (an application's dispatcher).
    static bool OnLoopThread();
    // A thread for the next connection: round robin.
    std::size_t NextThread();
    static std::size_t ThreadOf(std::uint64_t handle) { return static_cast<std::size_t>(handle >> kSerialBits); }

    // Registers fd (non-blocking; the caller keeps owning it) with kIoRead
    // and/or kIoWrite interest on the given thread (kNoThread: NextThread()).
    // Throws std::system_error when epoll refuses it, std::out_of_range for
    // a thread that does not exist.
    TIoId Add(int fd, std::uint32_t interest, IIoHandler& handler, std::size_t thread = kNoThread);
    // Changes the interest; 0 takes the descriptor out of the epoll set until
    // the next change (a paused reader is not woken by a hang-up it cannot
    // handle yet). False for a handle that is not registered.
    bool Modify(TIoId id, std::uint32_t interest);
    // Ends the registration (see the contract above). Call it before the
    // descriptor is closed. A handle not registered (any more) is ignored.
    void Remove(TIoId id);

    // Runs task on the thread soon (on a loop thread: after the current
    // callback). False, and the task is dropped, when the loop is stopping,
    // the queue is full or the thread does not exist.
    bool Post(std::size_t thread, TTask task);
    // Posts to the thread that owns a registration or a timer.
    bool PostTo(std::uint64_t handle, TTask task) { return Post(ThreadOf(handle), std::move(task)); }

    // Runs task on the thread once, at the deadline or after the delay; 0
    // when refused (as Post).
    TTimerId AddTimerAt(std::size_t thread, TClock::time_point deadline, TTask task);
    TTimerId AddTimer(std::size_t thread, TClock::duration delay, TTask task)
    {
        return AddTimerAt(thread, TClock::now() + delay, std::move(task));
    }
    // True when the timer had not run and now never will; false when it ran,
    // is running (from another thread: it waits until the task returned),
    // or does not exist.
    bool CancelTimer(TTimerId id);

    // The calling loop thread's read buffer, kScratchBytes long: one buffer
    // per thread, not one per connection. Valid on a loop thread of this
    // loop until the current callback returns; empty elsewhere.
    std::span<std::uint8_t> Scratch() const;

private:
    static constexpr unsigned kSerialBits = 56;
    struct TThread;
    void Stop();

    std::vector<std::shared_ptr<TThread>> threads_;
    std::atomic<std::size_t> next_{0};
};
