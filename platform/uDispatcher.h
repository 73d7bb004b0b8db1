// The application dispatcher: runs functions on the application's main
// thread for other threads, the way a hidden window runs the messages sent
// to it. A component whose owner is a windowed control delivers its event
// handlers through the dispatcher of that control, so that handlers run on
// the main thread whichever thread raised the event.
//
// Threading contract:
// - The dispatcher belongs to the thread that constructs it (its "own
//   thread"). Only that thread may call Run and ProcessMessages.
// - Send may be called from any thread. From another thread it queues the
//   function and blocks until the own thread has run it (inside Run or
//   ProcessMessages), like a synchronous window message; on the own thread
//   it runs the function at once. Functions run in the order they were sent.
// - Exceptions thrown by a sent function are caught and dropped.
// - Every Send names a TDispatchTarget. Cancel(target) wakes every queued
//   Send of that target without running its function, and makes every later
//   Send of it return false at once; a function already running is not
//   interrupted. Components cancel their target when they are destroyed, so
//   a thread waiting to deliver to a dying component is released.
// - Post may be called from any thread: it queues a function the
//   dispatcher owns and returns at once, also on the own thread (the
//   function runs at the next pump). Posts and Sends run in one order, the
//   order they were queued. Cancel(target) drops the queued posts of the
//   target without running them, and later posts are refused; a refused or
//   dropped function, and one left queued at destruction, is destroyed
//   unrun, never under the dispatcher's mutex (its captures may own what
//   owns the dispatcher).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class TDispatcher;

// What a Send is delivered for; use one target per component (or per reader
// thread) and always with the same dispatcher. Not copyable.
class TDispatchTarget {
public:
    TDispatchTarget() = default;
    TDispatchTarget(const TDispatchTarget&) = delete;
    TDispatchTarget& operator=(const TDispatchTarget&) = delete;

private:
    friend class TDispatcher;
    bool cancelled_ = false;  // guarded by the dispatcher's mutex
};

// Made with make_shared when a function it runs may drop the last owner
// of it (a handler destroying the window): Run and ProcessMessages then
// keep it alive until they return.
class TDispatcher : public std::enable_shared_from_this<TDispatcher> {
public:
    TDispatcher();
    // Releases every queued Send (they return false) and destroys the
    // queued posts unrun. No thread may be inside Run or ProcessMessages.
    ~TDispatcher();
    TDispatcher(const TDispatcher&) = delete;
    TDispatcher& operator=(const TDispatcher&) = delete;

    bool IsDispatcherThread() const { return std::this_thread::get_id() == thread_; }
    std::thread::id ThreadId() const { return thread_; }

    // Own thread only: runs sent functions until Stop is called.
    // Throws std::logic_error on another thread.
    void Run();
    // Any thread: makes Run return once the function in hand (if any) is done.
    void Stop();
    // Own thread only: runs every queued function; when none is queued,
    // waits up to timeout for one. Returns how many functions ran.
    std::size_t ProcessMessages(std::chrono::milliseconds timeout = std::chrono::milliseconds{0});

    // Runs fn on the own thread and waits for it. Returns true when fn ran
    // (whether or not it threw), false when the target was or got cancelled.
    bool Send(TDispatchTarget& target, const std::function<void()>& fn);
    // Queues fn to run on the own thread and returns at once. False when
    // the target was cancelled or the dispatcher is being destroyed: fn is
    // then destroyed unrun, before Post returns.
    bool Post(TDispatchTarget& target, std::function<void()> fn);
    // Cancels the target for good (see the header comment).
    void Cancel(TDispatchTarget& target);

private:
    // A Send's request lives on its sender's stack; a post's on the heap,
    // owned by the queue, with the function it owns.
    struct Request {
        TDispatchTarget* target = nullptr;
        const std::function<void()>* fn = nullptr;
        Request* next = nullptr;
        bool done = false;
        bool ran = false;
        bool posted = false;
        std::function<void()> owned;
    };
    using TDropped = std::vector<std::unique_ptr<Request>>;

    void CheckOwnThread(const char* what) const;
    // Takes the first queued request and runs it. Called with lock held; returns with it held.
    void RunOne(std::unique_lock<std::mutex>& lock);
    void Enqueue(Request* r);
    static void Invoke(const std::function<void()>& fn) noexcept;

    const std::thread::id thread_;
    std::mutex mutex_;
    std::condition_variable queued_;  // the own thread waits for work
    std::condition_variable done_;    // senders wait for their request
    Request* head_ = nullptr;
    Request* tail_ = nullptr;
    bool stop_ = false;
    bool closed_ = false;
};
