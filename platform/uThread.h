// A thread with a chosen stack size. The standard thread class always takes
// the system's default stack (8 MiB here); a process that holds a thousand
// sessions wants each reader thread to reserve only what it needs.
//
// Lifetime: Start once; then exactly one of Join or Detach (the destructor
// detaches a thread that is still joinable rather than ending the process).
// Join, Detach and the destructor are called from one thread at a time.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <functional>

class TNativeThread {
public:
    TNativeThread() = default;
    ~TNativeThread();
    TNativeThread(const TNativeThread&) = delete;
    TNativeThread& operator=(const TNativeThread&) = delete;

    // Runs fn on a new thread whose stack is stackSize bytes (raised to the
    // system minimum, rounded up to whole pages). An exception leaving fn is
    // dropped. Throws std::system_error when the thread cannot be created.
    void Start(std::function<void()> fn, std::size_t stackSize);
    // Waits for the thread to end. Must not be called on the thread itself.
    void Join();
    void Detach();
    bool Joinable() const { return joinable_; }
    // True when called on the thread this object started (also after Detach).
    bool IsCurrentThread() const { return started_ && pthread_equal(pthread_self(), handle_) != 0; }

private:
    pthread_t handle_{};
    bool started_ = false;
    bool joinable_ = false;
};
