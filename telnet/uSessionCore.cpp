// Handlers run outside the lock: a handler may then call the component
// from any thread, also through the dispatcher, without meeting a lock held
// by the thread that waits for it.
#include "telnet/uSessionCore.h"

#include "log/uOrvIntfLogg.h"

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

void TSessionCore::Lock()
{
    mutex_.lock();
    if (depth_++ == 0)
        owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void TSessionCore::Unlock()
{
    if (--depth_ > 0) {
        mutex_.unlock();
        return;
    }
    owner_.store(std::thread::id{}, std::memory_order_relaxed);
    if (Pending.empty()) {
        mutex_.unlock();
        return;
    }
    std::vector<TPendingDelivery> list;
    list.swap(Pending);
    auto keep = shared_from_this();
    mutex_.unlock();
    for (auto& delivery : list)
        if (!Deliver(keep, delivery))
            break;
}

bool TSessionCore::HeldByCurrentThread() const
{
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
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
    if (HeldByCurrentThread() || tlsProcessingCore == this)
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
    auto run = [&call] {
        TDeliveryScope scope{call.Core, call.Delivery->Origin, tlsDelivery};
        tlsDelivery = &scope;
        try {
            call.Delivery->Handler(call.Core->sender_);
        } catch (const std::exception& e) {
            MsgLog(TLogLevel::llError, std::string("Exception in event handler. ERROR: ") + e.what());
        } catch (...) {
            MsgLog(TLogLevel::llError, "Exception in event handler. ERROR: unknown exception");
        }
        tlsDelivery = scope.Prev;
    };
    if (keep->Dispatcher) {
        TDispatchTarget& target = delivery.Origin != nullptr ? delivery.Origin->Target : keep->Target;
        const std::function<void()> fn(run);  // one captured pointer: no allocation
        keep->Dispatcher->Send(target, fn);
    } else {
        run();
    }
    return keep->Alive.load(std::memory_order_acquire);
}
