#include "platform/uDispatcher.h"

#include <stdexcept>

TDispatcher::TDispatcher() : thread_(std::this_thread::get_id()) {}

TDispatcher::~TDispatcher()
{
    TDropped dropped;  // destroyed after the mutex is released
    std::lock_guard lock(mutex_);
    closed_ = true;
    for (Request* r = head_; r != nullptr;) {
        Request* next = r->next;
        if (r->posted)
            dropped.emplace_back(r);
        else
            r->done = true;
        r = next;
    }
    head_ = tail_ = nullptr;
    done_.notify_all();
}

void TDispatcher::CheckOwnThread(const char* what) const
{
    if (!IsDispatcherThread())
        throw std::logic_error(std::string("TDispatcher::") + what + " called outside the dispatcher's thread");
}

void TDispatcher::Invoke(const std::function<void()>& fn) noexcept
{
    // A handler's exception must not unwind through the dispatcher: it is dropped.
    try {
        fn();
    } catch (...) {
    }
}

void TDispatcher::RunOne(std::unique_lock<std::mutex>& lock)
{
    Request* r = head_;
    head_ = r->next;
    if (head_ == nullptr)
        tail_ = nullptr;
    if (r->posted) {
        lock.unlock();
        {
            const std::unique_ptr<Request> own(r);
            Invoke(own->owned);
        }  // its captures go outside the mutex
        lock.lock();
        return;
    }
    const std::function<void()>* fn = r->fn;
    lock.unlock();
    Invoke(*fn);
    lock.lock();
    // The sender's frame holding r may vanish as soon as it sees done.
    r->ran = true;
    r->done = true;
    done_.notify_all();
}

void TDispatcher::Run()
{
    CheckOwnThread("Run");
    const auto self = weak_from_this().lock();  // released after the lock
    std::unique_lock lock(mutex_);
    for (;;) {
        queued_.wait(lock, [this] { return stop_ || head_ != nullptr; });
        if (stop_) {
            stop_ = false;
            return;
        }
        RunOne(lock);
    }
}

void TDispatcher::Stop()
{
    std::lock_guard lock(mutex_);
    stop_ = true;
    queued_.notify_all();
}

std::size_t TDispatcher::ProcessMessages(std::chrono::milliseconds timeout)
{
    CheckOwnThread("ProcessMessages");
    const auto self = weak_from_this().lock();  // released after the lock
    std::unique_lock lock(mutex_);
    if (head_ == nullptr && timeout.count() > 0)
        queued_.wait_for(lock, timeout, [this] { return head_ != nullptr; });
    std::size_t count = 0;
    while (head_ != nullptr) {
        RunOne(lock);
        ++count;
    }
    return count;
}

bool TDispatcher::Send(TDispatchTarget& target, const std::function<void()>& fn)
{
    std::unique_lock lock(mutex_);
    if (closed_ || target.cancelled_)
        return false;
    if (IsDispatcherThread()) {
        lock.unlock();
        Invoke(fn);
        return true;
    }
    Request request;
    request.target = &target;
    request.fn = &fn;
    Enqueue(&request);
    done_.wait(lock, [&request] { return request.done; });
    return request.ran;
}

bool TDispatcher::Post(TDispatchTarget& target, std::function<void()> fn)
{
    // fn, when refused, is destroyed after the mutex is released.
    auto request = std::make_unique<Request>();
    request->target = &target;
    request->posted = true;
    request->owned = std::move(fn);
    std::lock_guard lock(mutex_);
    if (closed_ || target.cancelled_)
        return false;
    Enqueue(request.release());
    return true;
}

// Under the mutex.
void TDispatcher::Enqueue(Request* r)
{
    if (tail_ != nullptr)
        tail_->next = r;
    else
        head_ = r;
    tail_ = r;
    queued_.notify_all();
}

void TDispatcher::Cancel(TDispatchTarget& target)
{
    TDropped dropped;  // destroyed after the mutex is released
    std::lock_guard lock(mutex_);
    target.cancelled_ = true;
    Request* prev = nullptr;
    for (Request* r = head_; r != nullptr;) {
        Request* next = r->next;
        if (r->target == &target) {
            if (prev != nullptr)
                prev->next = next;
            else
                head_ = next;
            if (tail_ == r)
                tail_ = prev;
            if (r->posted)
                dropped.emplace_back(r);
            else
                r->done = true;
        } else {
            prev = r;
        }
        r = next;
    }
    done_.notify_all();
}
