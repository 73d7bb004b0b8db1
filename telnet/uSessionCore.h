// The session core of a telnet component: its recursive session lock, the
// guard that takes it (TSessionGuard), and the delivery queue that hands
// event handlers to the application only after the outermost level of the
// lock is released, on the releasing thread or through the dispatcher.
// Shared (shared_ptr) by the component, its reader threads and deliveries
// in flight, so that the lock and the life flag outlive a component
// destroyed under them. See telnet/uOrvTelnet.h for the threading contract.
#pragma once

#include "platform/uComponent.h"
#include "platform/uDispatcher.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TOrvTelnet;
class TSessionCore;

// Something that raises notifications on its own thread (a socket reader):
// its deliveries go through its own dispatcher target, so that they can be
// cancelled, and are dropped once NotifyOwner is cleared.
struct TDeliverySource {
    // Cleared when the component no longer wants to hear from this source
    // (destroyed, or a new connection replaced it).
    std::atomic<bool> NotifyOwner{true};
    TDispatchTarget Target;
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
    ~TSessionGuard();
    TSessionGuard(TSessionGuard&& other) noexcept = default;
    TSessionGuard& operator=(TSessionGuard&&) = delete;
    TSessionGuard(const TSessionGuard&) = delete;
    TSessionGuard& operator=(const TSessionGuard&) = delete;

private:
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

    void Lock();
    // Releasing the outermost level hands the queue to this thread and
    // delivers it after the mutex is free.
    void Unlock();
    bool HeldByCurrentThread() const;

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

    // Delivers one notification; false once the component is gone.
    static bool Deliver(const std::shared_ptr<TSessionCore>& keep, TPendingDelivery& delivery);

    std::atomic<bool> Alive{true};  // cleared under the lock when the component is destroyed
    std::vector<TPendingDelivery> Pending;  // guarded by the lock
    std::shared_ptr<TDispatcher> Dispatcher;  // set once by the component's SetDefaults
    TDispatchTarget Target;  // deliveries not raised by a source
    std::atomic<std::uint64_t> IdleWaits{0};  // reader waits that timed out (tests)

private:
    std::recursive_mutex mutex_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;  // guarded by mutex_
    TObject* const sender_;
    const std::function<void(std::uint64_t)> startReader_;
};
