// What an operator's wait is made of: the condition it waits for, its
// outcome, the deadline (a timer behind a small interface, so that an event
// loop can supply its own), and the completion a waiter learns of (a
// callback, and a file descriptor that becomes readable).
//
// No wait holds a thread: the deadlines of every operator of the process
// share one timer thread (TTimerThread::Shared()), started on first use;
// the events that satisfy a wait complete it on the thread that raised them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// What a wait waits for. Positions are 0-based (row, column).
enum class TWaitKind {
    Screen,      // a screen published since the last action (see TOperator)
    Unlock,      // the keyboard unlocked since the last action, or unlocked now
    Text,        // the text anywhere on the screen (or in a host text message)
    TextAt,      // the text at (Row, Col), running on over row ends
    InputField,  // a formatted screen with an unprotected field, keyboard unlocked
    CursorAt,    // the cursor at (Row, Col)
    Connect,     // a connection made since the last action, or connected now
    Disconnect,  // a disconnection since the last action, or not connected now
};

struct TWaitCondition {
    TWaitKind Kind = TWaitKind::Screen;
    std::string Text;   // Text, TextAt: local character set (Windows-1252)
    std::int32_t Row = 0, Col = 0;  // TextAt, CursorAt: 0-based

    static TWaitCondition Of(TWaitKind kind) { return TWaitCondition{kind, {}, 0, 0}; }
    static TWaitCondition ForText(std::string text) { return TWaitCondition{TWaitKind::Text, std::move(text), 0, 0}; }
    static TWaitCondition ForTextAt(std::int32_t row, std::int32_t col, std::string text)
    {
        return TWaitCondition{TWaitKind::TextAt, std::move(text), row, col};
    }
    static TWaitCondition ForCursor(std::int32_t row, std::int32_t col)
    {
        return TWaitCondition{TWaitKind::CursorAt, {}, row, col};
    }
};

enum class TWaitResult {
    Ok,
    Timeout,
    // The connection ended (or was never there) before the condition held.
    Ended,
    // Connect: the connection attempt failed.
    Failed,
    // Not started: another wait of the operator is pending, a blocking wait
    // was called on a thread that delivers the session's events, or the
    // condition names a position off the screen. The operator's LastError
    // says which.
    Refused,
    // CancelWait ended it before it was decided.
    Cancelled,
};

// "ok", "timeout", "ended", "failed", "refused", "cancelled".
const char* WaitResultName(TWaitResult result);

// Deadlines. Start calls fn once, on the timer's thread, at or after the
// time, unless Cancel(id) came first. Cancel never waits for a callback
// that is running; a callback must therefore check, under its own lock,
// that what it times out is still there. Callbacks must not block.
class ITimerQueue {
public:
    using TTimerId = std::uint64_t;  // never 0
    virtual ~ITimerQueue() = default;
    virtual TTimerId Start(std::chrono::steady_clock::time_point when, std::function<void()> fn) = 0;
    // True when the callback had not started and now never will.
    virtual bool Cancel(TTimerId id) = 0;
};

// A timer queue on one thread of its own. Any thread may call it; the
// destructor drops the timers not yet due and joins the thread.
class TTimerThread final : public ITimerQueue {
public:
    TTimerThread();
    ~TTimerThread() override;
    TTimerThread(const TTimerThread&) = delete;
    TTimerThread& operator=(const TTimerThread&) = delete;

    TTimerId Start(std::chrono::steady_clock::time_point when, std::function<void()> fn) override;
    bool Cancel(TTimerId id) override;

    // The queue the operators use by default: one for the process, started
    // on first use, never destroyed (its thread ends with the process).
    static std::shared_ptr<ITimerQueue> Shared();

private:
    void Run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::multimap<std::chrono::steady_clock::time_point, std::pair<TTimerId, std::function<void()>>> due_;
    std::map<TTimerId, std::chrono::steady_clock::time_point> when_;  // guarded by mutex_
    TTimerId next_ = 1;
    // Until when the thread sleeps without looking at the queue.
    std::chrono::steady_clock::time_point sleepsUntil_ = std::chrono::steady_clock::time_point::min();
    bool stop_ = false;
    std::thread thread_;
};

// A file descriptor that is readable while it is raised (an eventfd):
// what a caller polls or hands to its event loop (select, poll, gevent's
// wait_read). Raise and Clear may be called from any thread.
class TReadyFd {
public:
    // Throws std::system_error when the descriptor cannot be made.
    TReadyFd();
    ~TReadyFd();
    TReadyFd(const TReadyFd&) = delete;
    TReadyFd& operator=(const TReadyFd&) = delete;

    int Fd() const { return fd_; }
    void Raise();
    void Clear();

private:
    int fd_ = -1;
};
