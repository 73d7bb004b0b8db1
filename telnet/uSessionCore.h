// The session core of a telnet component: its recursive session lock, the
// guard that takes it (TSessionGuard), and the delivery queue that hands
// event handlers to the application only after the outermost level of the
// lock is released, on the releasing thread or through the dispatcher.
// Shared (shared_ptr) by the component, its reader threads and deliveries
// in flight, so that the lock and the life flag outlive a component
// destroyed under them. See telnet/uOrvTelnet.h for the threading contract.
//
// The lock is one part of owning the session; running one of its handlers
// is the other. A thread owns the session while it holds the lock or runs
// a handler, so that what a handler sees (the screen, the field lists)
// cannot change under it: another thread that takes the lock meanwhile
// waits until the handler has returned, and work that must not wait
// (Disconnect) is deferred: the owner runs it, under the lock, when it
// lets the session go, before any other thread gets it.
#pragma once

#include "platform/uComponent.h"
#include "platform/uDispatcher.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TOrvTelnet;
class TSessionCore;

// Something that raises notifications on its own thread (a socket reader,
// a connection on the event loop): its deliveries go through its own
// dispatcher target, so that they can be cancelled, and are dropped once
// NotifyOwner is cleared.
//
// A loop thread must not wait for the dispatcher: there, deliveries are
// posted to it instead of sent. A source raising on a loop thread shares
// itself (ShareForPosts) so that what its posts read of it lives until
// they have run or been dropped, counts them (Posted), and hears when the
// last one is done (PostsDone), to hold its reads back meanwhile.
struct TDeliverySource {
    virtual ~TDeliverySource() = default;
    // Cleared when the component no longer wants to hear from this source
    // (destroyed, or a new connection replaced it).
    std::atomic<bool> NotifyOwner{true};
    TDispatchTarget Target;
    // Deliveries posted to the dispatcher and not run or dropped yet.
    std::atomic<std::uint32_t> Posted{0};
    // Null: the source cannot outlive its raiser, which then sends and waits.
    virtual std::shared_ptr<TDeliverySource> ShareForPosts() { return nullptr; }
    // Posted fell to 0: on the dispatcher's thread, or the one that dropped
    // the last post (Cancel, the dispatcher's destruction).
    virtual void PostsDone() {}
};

// One queued notification: a handler to run, or the start of the reader of
// a connection (which must follow the OnConnect handler, as in a blocking
// open where the connect event runs before the reader exists).
struct TPendingDelivery {
    TNotifyEvent Handler;
    // The source whose processing raised it; its events are dropped once
    // that source has been replaced or the component is gone.
    TDeliverySource* Origin = nullptr;
    std::uint64_t StartReaderFor = 0;
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
    // Takes the lock unless another thread owns the session (holds the lock
    // or runs one of its handlers): then `deferred` is queued to run under
    // the lock when that thread lets the session go, and the guard returned
    // holds nothing (false). Never waits.
    static TSessionGuard LockOrDefer(std::shared_ptr<TSessionCore> core, std::function<void()> deferred);
    ~TSessionGuard();
    explicit operator bool() const { return core_ != nullptr; }
    TSessionGuard(TSessionGuard&& other) noexcept = default;
    TSessionGuard& operator=(TSessionGuard&&) = delete;
    TSessionGuard(const TSessionGuard&) = delete;
    TSessionGuard& operator=(const TSessionGuard&) = delete;

private:
    TSessionGuard() = default;
    std::shared_ptr<TSessionCore> core_;
};

// Marks the guarded section (block processing, liveness check, end) of a
// delivery source on this thread: what it raises meanwhile is its own.
// Ends before the guard that delivers is released.
class TProcessingScope {
public:
    TProcessingScope(const TSessionCore& core, TDeliverySource& source);
    ~TProcessingScope();
    TProcessingScope(const TProcessingScope&) = delete;
    TProcessingScope& operator=(const TProcessingScope&) = delete;

private:
    const void* prevCore_;
    TDeliverySource* prevSource_;
};

class TSessionCore : public std::enable_shared_from_this<TSessionCore> {
public:
    // startReader runs under the lock, while Alive, for a queued reader start.
    TSessionCore(TObject* sender, std::function<void(std::uint64_t)> startReader);

    // Waits while another thread owns the session.
    void Lock();
    // Releasing the outermost level (outside a handler) runs the deferred
    // work, lets the session go and delivers the queue on this thread.
    void Unlock();
    // Lock without waiting, or queue the task (see TSessionGuard::LockOrDefer).
    bool LockOrDefer(std::function<void()>& deferred);
    // This thread holds the lock.
    bool HeldByCurrentThread() const;
    // This thread owns the session: it holds the lock or runs a handler.
    bool OwnedByCurrentThread() const;
    // Threads waiting for the session now (tests and diagnostics).
    std::size_t Waiters() const;

    // Queues the handler while this thread holds the lock, else delivers it
    // at once. Its origin is the source processing on this thread, if any.
    void Post(const TNotifyEvent& handler);
    // Queues the start of the reader of connection `generation` after the
    // handlers already queued; false when this thread does not hold the
    // lock (the caller then starts it itself).
    bool QueueReaderStart(std::uint64_t generation);

    // True when this thread is running a handler raised by `source`.
    static bool InDeliveryFrom(const TDeliverySource* source);
    // Holds the lock, delivers one of this core's handlers, processes a
    // block of one of its sources, or is its dispatcher's thread.
    bool DeliversOnCurrentThread() const;

    // Delivers one notification; false once the component is gone. With a
    // dispatcher, a loop thread posts it (see TDeliverySource) and goes on.
    static bool Deliver(const std::shared_ptr<TSessionCore>& keep, TPendingDelivery& delivery);

    std::atomic<bool> Alive{true};  // cleared under the lock when the component is destroyed
    std::vector<TPendingDelivery> Pending;  // guarded by the lock
    std::shared_ptr<TDispatcher> Dispatcher;  // set once by the component's SetDefaults
    TDispatchTarget Target;  // deliveries not raised by a source
    std::atomic<std::uint64_t> IdleWaits{0};  // reader waits that timed out (tests)

private:
    // Posts the delivery to the dispatcher; false when it must be sent (its
    // source cannot be shared).
    static bool PostDelivery(const std::shared_ptr<TSessionCore>& keep, TPendingDelivery& delivery);

    // Waits (mutex_ held) until nobody owns the session, then owns it.
    void Acquire(std::unique_lock<std::mutex>& lock);
    void BeginHandler();
    void EndHandler();
    // The owner, lock and handlers done: runs the deferred work, frees the
    // session and delivers what was raised meanwhile.
    void Release();
    // Delivers the queue on this thread, which keeps the session (a handler's call).
    void DeliverPending();

    mutable std::mutex mutex_;  // guards owner_ changes, waiters_, deferred_; never held outside this class
    std::condition_variable free_;
    std::atomic<std::thread::id> owner_{};
    // The owner's own counts (only the owning thread touches them).
    int lockDepth_ = 0;
    int handlerDepth_ = 0;
    std::size_t waiters_ = 0;
    std::vector<std::function<void()>> deferred_;
    TObject* const sender_;
    const std::function<void(std::uint64_t)> startReader_;
};
