// Handlers run outside the lock: a handler may then call the component
// from any thread, also through the dispatcher, without meeting a lock held
// by the thread that waits for it.
#include "telnet/uSessionCore.h"

#include "log/uOrvIntfLogg.h"
#include "platform/uEventLoop.h"

#include <string>

namespace {


// The source whose guarded section runs on this thread, and its core; null
// elsewhere, also while that source's handlers are delivered.
thread_local const void* tlsProcessingCore = nullptr;
thread_local TDeliverySource* tlsProcessing = nullptr;

// Handlers being delivered on this thread (innermost first).
struct TDeliveryScope {
    const TSessionCore* Core;
    const TDeliverySource* Origin;
    TDeliveryScope* Prev;
};
thread_local TDeliveryScope* tlsDelivery = nullptr;

} // namespace

// ------------------------------------------------------------ guard

TSessionGuard::TSessionGuard(std::shared_ptr<TSessionCore> core) : core_(std::move(core))
{
    core_->Lock();
}

TSessionGuard TSessionGuard::LockOrDefer(std::shared_ptr<TSessionCore> core, std::function<void()> deferred)
{
    TSessionGuard guard;
    if (core->LockOrDefer(deferred))
        guard.core_ = std::move(core);
    return guard;
}

TSessionGuard::~TSessionGuard()
{
    if (core_)
        core_->Unlock();
}

TProcessingScope::TProcessingScope(const TSessionCore& core, TDeliverySource& source)
    : prevCore_(tlsProcessingCore), prevSource_(tlsProcessing)
{
    tlsProcessingCore = &core;
    tlsProcessing = &source;
}

TProcessingScope::~TProcessingScope()
{
    tlsProcessingCore = prevCore_;
    tlsProcessing = prevSource_;
}

// ------------------------------------------------------------ core

TSessionCore::TSessionCore(TObject* sender, std::function<void(std::uint64_t)> startReader)
    : sender_(sender), startReader_(std::move(startReader))
{
}

// owner_ changes only under mutex_; a thread compares it with its own id
// without the mutex, which is safe: only that thread can make them equal
// or different. The two depths are the owner's alone.
void TSessionCore::Acquire(std::unique_lock<std::mutex>& lock)
{
    if (owner_.load(std::memory_order_relaxed) != std::thread::id{}) {
        ++waiters_;
        free_.wait(lock, [this] { return owner_.load(std::memory_order_relaxed) == std::thread::id{}; });
        --waiters_;
    }
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void TSessionCore::Lock()
{
    if (!OwnedByCurrentThread()) {
        std::unique_lock lock(mutex_);
        Acquire(lock);
    }
    ++lockDepth_;
}

bool TSessionCore::LockOrDefer(std::function<void()>& deferred)
{
    if (!OwnedByCurrentThread()) {
        std::lock_guard lock(mutex_);
        if (owner_.load(std::memory_order_relaxed) != std::thread::id{}) {
            deferred_.push_back(std::move(deferred));
            return false;
        }
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    ++lockDepth_;
    return true;
}

void TSessionCore::Unlock()
{
    if (--lockDepth_ > 0)
        return;
    if (handlerDepth_ > 0) {
        // A call made by a handler: the session stays this thread's until
        // the handler returns; what the call raised is delivered now, nested.
        DeliverPending();
        return;
    }
    Release();
}

void TSessionCore::BeginHandler()
{
    if (!OwnedByCurrentThread()) {
        std::unique_lock lock(mutex_);
        Acquire(lock);
    }
    ++handlerDepth_;
}

void TSessionCore::EndHandler()
{
    if (--handlerDepth_ == 0 && lockDepth_ == 0)
        Release();
}

void TSessionCore::Release()
{
    std::vector<TPendingDelivery> list;
    bool wake = false;
    for (;;) {
        std::vector<std::function<void()>> tasks;
        {
            // Checked and given up in one step: a task queued after this
            // sees the session free and runs on its own thread.
            std::lock_guard lock(mutex_);
            if (deferred_.empty() || !Alive.load(std::memory_order_acquire)) {
                tasks.swap(deferred_);  // a dead component's: dropped below, outside the mutex
                list.swap(Pending);
                owner_.store(std::thread::id{}, std::memory_order_relaxed);
                wake = waiters_ > 0;
                break;
            }
            tasks.swap(deferred_);
        }
        lockDepth_ = 1;
        for (auto& task : tasks) {
            try {
                task();
            } catch (const std::exception& e) {
                MsgLog(TLogLevel::llError, std::string("Exception in a deferred call. ERROR: ") + e.what());
            } catch (...) {
                MsgLog(TLogLevel::llError, "Exception in a deferred call. ERROR: unknown exception");
            }
        }
        lockDepth_ = 0;
    }
    if (wake)
        free_.notify_all();
    if (list.empty())
        return;
    auto keep = shared_from_this();
    for (auto& delivery : list)
        if (!Deliver(keep, delivery))
            break;
}

void TSessionCore::DeliverPending()
{
    if (Pending.empty())
        return;
    std::vector<TPendingDelivery> list;
    list.swap(Pending);
    auto keep = shared_from_this();
    for (auto& delivery : list)
        if (!Deliver(keep, delivery))
            break;
}

bool TSessionCore::HeldByCurrentThread() const
{
    return OwnedByCurrentThread() && lockDepth_ > 0;
}

bool TSessionCore::OwnedByCurrentThread() const
{
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

std::size_t TSessionCore::Waiters() const
{
    std::lock_guard lock(mutex_);
    return waiters_;
}

void TSessionCore::Post(const TNotifyEvent& handler)
{
    TPendingDelivery delivery;
    delivery.Handler = handler;
    if (tlsProcessing != nullptr && tlsProcessingCore == this)
        delivery.Origin = tlsProcessing;
    if (HeldByCurrentThread()) {
        Pending.push_back(std::move(delivery));
        return;
    }
    Deliver(shared_from_this(), delivery);
}

bool TSessionCore::QueueReaderStart(std::uint64_t generation)
{
    if (!HeldByCurrentThread())
        return false;
    TPendingDelivery start;
    start.StartReaderFor = generation;
    Pending.push_back(std::move(start));
    return true;
}

bool TSessionCore::InDeliveryFrom(const TDeliverySource* source)
{
    for (auto* s = tlsDelivery; s != nullptr; s = s->Prev)
        if (s->Origin == source)
            return true;
    return false;
}

bool TSessionCore::DeliversOnCurrentThread() const
{
    if (OwnedByCurrentThread() || tlsProcessingCore == this)
        return true;
    for (auto* s = tlsDelivery; s != nullptr; s = s->Prev)
        if (s->Core == this)
            return true;
    return Dispatcher && Dispatcher->IsDispatcherThread();
}

// Touches the component only through the handler and (for the reader
// start) under the lock after checking Alive.
bool TSessionCore::Deliver(const std::shared_ptr<TSessionCore>& keep, TPendingDelivery& delivery)
{
    if (!keep->Alive.load(std::memory_order_acquire))
        return false;
    if (delivery.Origin != nullptr && !delivery.Origin->NotifyOwner.load(std::memory_order_acquire))
        return true;  // a replaced reader's notification: stale, dropped
    if (delivery.StartReaderFor != 0) {
        TSessionGuard guard(keep);
        if (keep->Alive.load(std::memory_order_acquire))
            keep->startReader_(delivery.StartReaderFor);
        return true;
    }
    struct TCall {
        TSessionCore* Core;
        TPendingDelivery* Delivery;
    } call{keep.get(), &delivery};
    // The handler owns the session while it runs (on this thread or the
    // dispatcher's): it may wait here for a thread that holds the lock.
    auto run = [&call] {
        TSessionCore& core = *call.Core;
        core.BeginHandler();
        if (core.Alive.load(std::memory_order_acquire)) {
            TDeliveryScope scope{&core, call.Delivery->Origin, tlsDelivery};
            tlsDelivery = &scope;
            try {
                call.Delivery->Handler(core.sender_);
            } catch (const std::exception& e) {
                MsgLog(TLogLevel::llError, std::string("Exception in event handler. ERROR: ") + e.what());
            } catch (...) {
                MsgLog(TLogLevel::llError, "Exception in event handler. ERROR: unknown exception");
            }
            tlsDelivery = scope.Prev;
        }
        core.EndHandler();  // runs what other threads deferred meanwhile
    };
    if (keep->Dispatcher && TEventLoop::OnLoopThread() && !keep->Dispatcher->IsDispatcherThread() &&
        PostDelivery(keep, delivery))
        return true;
    if (keep->Dispatcher) {
        TDispatchTarget& target = delivery.Origin != nullptr ? delivery.Origin->Target : keep->Target;
        const std::function<void()> fn(run);  // one captured pointer: no allocation
        keep->Dispatcher->Send(target, fn);
    } else {
        run();
    }
    return keep->Alive.load(std::memory_order_acquire);
}

// The post owns a copy of the delivery, the core and the source: the
// source's Target and NotifyOwner stay valid for the post's whole life,
// whoever ends it (run, cancelled, the dispatcher destroyed). A post that
// runs delivers on the dispatcher's thread, where Deliver sends inline.
bool TSessionCore::PostDelivery(const std::shared_ptr<TSessionCore>& keep, TPendingDelivery& delivery)
{
    std::shared_ptr<TDeliverySource> source;
    if (delivery.Origin != nullptr) {
        source = delivery.Origin->ShareForPosts();
        if (!source)
            return false;
    }
    struct TPosted {
        std::shared_ptr<TSessionCore> Core;
        std::shared_ptr<TDeliverySource> Source;
        TPendingDelivery Delivery;
        TPosted(std::shared_ptr<TSessionCore> core, std::shared_ptr<TDeliverySource> src, TPendingDelivery d)
            : Core(std::move(core)), Source(std::move(src)), Delivery(std::move(d))
        {
            if (Source)
                Source->Posted.fetch_add(1, std::memory_order_acq_rel);
        }
        ~TPosted()
        {
            if (Source && Source->Posted.fetch_sub(1, std::memory_order_acq_rel) == 1)
                Source->PostsDone();
        }
        TPosted(const TPosted&) = delete;
        TPosted& operator=(const TPosted&) = delete;
    };
    TDispatchTarget& target = source ? source->Target : keep->Target;
    auto posted = std::make_shared<TPosted>(keep, std::move(source), std::move(delivery));
    keep->Dispatcher->Post(target, [posted] { Deliver(posted->Core, posted->Delivery); });
    return true;
}
