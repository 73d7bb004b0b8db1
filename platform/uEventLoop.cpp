#include "platform/uEventLoop.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <unordered_map>

namespace {

// Tag of the thread's wake-up descriptor in epoll's data word; a handle is
// never 0.
constexpr std::uint64_t kWakeTag = 0;
// Cancelled deadlines stay in the heap until they come up; beyond this many
// more than twice the live timers, the heap is rebuilt from the live ones.
constexpr std::size_t kHeapSlack = 64;
// A registration's handle: its slot in the low bits, a serial above them
// and a flag bit under the thread's byte (TEventLoop::ThreadOf) that timer
// handles, whose serials only count up, never reach: `running` may hold
// either kind.
constexpr unsigned kSlotBits = 24;
constexpr std::uint64_t kSlotMask = (std::uint64_t{1} << kSlotBits) - 1;
constexpr std::uint64_t kRegistrationSerials = (std::uint64_t{1} << 31) - 1;
constexpr std::uint64_t kRegistrationFlag = std::uint64_t{1} << 55;

std::system_error SystemError(const char* what)
{
    return std::system_error(errno, std::generic_category(), what);
}

std::uint32_t EpollBits(std::uint32_t interest)
{
    std::uint32_t bits = 0;
    if (interest & kIoRead)
        bits |= EPOLLIN | EPOLLRDHUP;
    if (interest & kIoWrite)
        bits |= EPOLLOUT;
    return bits;
}

std::uint32_t IoBits(std::uint32_t epoll)
{
    std::uint32_t bits = 0;
    if (epoll & EPOLLIN)
        bits |= kIoRead;
    if (epoll & EPOLLOUT)
        bits |= kIoWrite;
    if (epoll & (EPOLLRDHUP | EPOLLHUP))
        bits |= kIoHangup;
    if (epoll & EPOLLERR)
        bits |= kIoError;
    return bits;
}

template <typename F>
void RunDroppingExceptions(F&& f)
{
    try {
        f();
    } catch (const std::exception&) {
        // see the header: a callback that throws does not stop the loop
    }
}

} // namespace

struct TEventLoop::TThread {
    struct TRegistration {
        TIoId id = 0;  // 0: a free slot
        int fd = -1;
        IIoHandler* handler = nullptr;
        std::uint32_t interest = 0;
        bool inSet = false;  // in the epoll set (interest not 0)
    };
    struct TDue {
        TClock::time_point at;
        TTimerId id;  // serials grow: equal deadlines run in the order they were set
    };
    static bool Later(const TDue& a, const TDue& b) { return a.at != b.at ? a.at > b.at : a.id > b.id; }

    TThread(const TEventLoop* owner, std::size_t index);
    ~TThread();
    void CloseDescriptors();
    void Run();
    void Dispatch(std::uint64_t tag, std::uint32_t events);
    void RunPosts();
    void RunTimers();
    // Waits for readiness until the deadline (max: no deadline; one passed:
    // only looks).
    int Wait(epoll_event* events, TClock::time_point deadline);
    void Wake() const;
    void Finished(std::uint64_t handle);  // a callback returned
    bool IsCurrent() const;
    std::uint64_t NewHandle() { return (static_cast<std::uint64_t>(index) << kSerialBits) | nextSerial++; }
    // A registration's handle names its slot in the low kSlotBits (every
    // event is found by index, not by a hash lookup) and a serial above
    // them, so that a slot used again has a new handle.
    TRegistration* Find(TIoId id)
    {
        const auto slot = static_cast<std::size_t>(id & kSlotMask);
        return slot < slots.size() && slots[slot].id == id ? &slots[slot] : nullptr;
    }
    TIoId NewRegistration(int fd, IIoHandler& handler, std::uint32_t interest);
    void Free(TRegistration& r);

    const TEventLoop* const owner;
    const std::size_t index;
    int epollFd = -1;
    int wakeFd = -1;
    std::thread thread;
    std::vector<std::uint8_t> scratch;  // touched only by the loop thread

    std::mutex mutex;
    std::condition_variable finished;
    std::vector<TRegistration> slots;
    std::vector<std::size_t> freeSlots;
    std::vector<TTask> posts;
    bool wakePending = false;  // the eventfd was written and not drained yet
    bool sleeping = false;     // the thread is (about to be) in epoll_wait with no posts
    std::atomic<bool> stopping{false};  // set under mutex, read anywhere
    std::vector<TTask> batch;           // the posts being run; loop thread only
    std::uint64_t nextSerial = 1;
    std::vector<TDue> heap;  // a min-heap by Later
    std::unordered_map<TTimerId, TTask> timers;
    // The deadline the thread sleeps towards in epoll_wait (max: none,
    // or not sleeping); an earlier timer set from another thread wakes it.
    TClock::time_point armed = TClock::time_point::max();
    std::uint64_t running = 0;  // the registration or timer whose callback runs now
};

namespace {
// The loop thread state of the calling thread (a TEventLoop::TThread), if any.
thread_local const void* tCurrent = nullptr;
}

TEventLoop::TThread::TThread(const TEventLoop* o, std::size_t i) : owner(o), index(i)
{
    epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epollFd < 0 || wakeFd < 0) {
        auto error = SystemError("event loop descriptors");
        CloseDescriptors();
        throw error;
    }
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = kWakeTag;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &wake) != 0) {
        auto error = SystemError("epoll_ctl");
        CloseDescriptors();
        throw error;
    }
}

TEventLoop::TThread::~TThread()
{
    CloseDescriptors();
}

void TEventLoop::TThread::CloseDescriptors()
{
    for (int fd : {epollFd, wakeFd})
        if (fd >= 0)
            ::close(fd);
    epollFd = wakeFd = -1;
}

bool TEventLoop::TThread::IsCurrent() const
{
    return tCurrent == this;
}

void TEventLoop::TThread::Wake() const
{
    const std::uint64_t one = 1;
    ssize_t rc;
    do {
        rc = ::write(wakeFd, &one, sizeof one);
    } while (rc < 0 && errno == EINTR);
}

// The deadline is the wait's own time-out (nanoseconds, epoll_pwait2): a
// timer costs no descriptor and no system call of its own to set or to
// take (a timerfd cost two per deadline, its setting and its read). Where
// the kernel lacks epoll_pwait2, epoll_wait with the time-out rounded up
// to the millisecond.
int TEventLoop::TThread::Wait(epoll_event* events, TClock::time_point deadline)
{
    if (deadline == TClock::time_point::max())
        return ::epoll_wait(epollFd, events, kMaxEventsPerWait, -1);
    const auto now = TClock::now();
    if (deadline <= now)
        return ::epoll_wait(epollFd, events, kMaxEventsPerWait, 0);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
    static std::atomic<bool> noPwait2{false};
    if (!noPwait2.load(std::memory_order_relaxed)) {
        const timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        const int n = ::epoll_pwait2(epollFd, events, kMaxEventsPerWait, &timeout, nullptr);
        if (n >= 0 || errno != ENOSYS)
            return n;
        noPwait2 = true;
    }
    constexpr std::int64_t kNsPerMs = 1000000;
    const auto ms = std::min<std::int64_t>((ns + kNsPerMs - 1) / kNsPerMs, std::numeric_limits<int>::max());
    return ::epoll_wait(epollFd, events, kMaxEventsPerWait, static_cast<int>(ms));
}

void TEventLoop::TThread::Finished(std::uint64_t handle)
{
    std::lock_guard lock(mutex);
    if (running == handle)
        running = 0;
    finished.notify_all();
}

void TEventLoop::TThread::Run()
{
    tCurrent = this;
    scratch.resize(kScratchBytes);
    epoll_event events[kMaxEventsPerWait];
    for (;;) {
        // A poster writes the eventfd only while this thread sleeps: a busy
        // loop finds the posts at the end of its pass without a system call.
        // Likewise a timer set from another thread wakes it only when it is
        // earlier than the deadline the thread sleeps towards.
        TClock::time_point deadline;
        {
            std::lock_guard lock(mutex);
            if (posts.empty()) {
                sleeping = true;
                armed = heap.empty() ? TClock::time_point::max() : heap.front().at;
                deadline = armed;
            } else {
                deadline = TClock::time_point::min();
            }
        }
        const int n = Wait(events, deadline);
        {
            std::lock_guard lock(mutex);
            sleeping = false;
            armed = TClock::time_point::max();
        }
        if (n < 0 && errno != EINTR)
            break;
        for (int i = 0; i < n; ++i) {
            const std::uint64_t tag = events[i].data.u64;
            std::uint64_t drained;
            if (tag == kWakeTag)
                (void)!::read(wakeFd, &drained, sizeof drained);
            else
                Dispatch(tag, IoBits(events[i].events));
        }
        RunPosts();
        RunTimers();
        if (stopping)
            break;
    }
    tCurrent = nullptr;
}

void TEventLoop::TThread::Dispatch(std::uint64_t tag, std::uint32_t events)
{
    IIoHandler* handler;
    {
        std::lock_guard lock(mutex);
        // Removed meanwhile (maybe by a callback of the same batch): the
        // event is stale. A reused descriptor has a new handle.
        const TRegistration* r = Find(tag);
        if (r == nullptr || stopping)
            return;
        handler = r->handler;
        running = tag;
    }
    RunDroppingExceptions([&] { handler->OnIo(events); });
    Finished(tag);
}

void TEventLoop::TThread::RunPosts()
{
    {
        std::lock_guard lock(mutex);
        batch.swap(posts);
        wakePending = false;
    }
    for (auto& task : batch) {
        if (stopping)
            break;
        RunDroppingExceptions(task);
        task = nullptr;
    }
    batch.clear();  // keeps its capacity for the next pass
}

void TEventLoop::TThread::RunTimers()
{
    // Only deadlines reached before this pass began: a timer that sets
    // itself again with no delay runs in the next pass, after the I/O.
    const auto now = TClock::now();
    for (;;) {
        std::unique_lock lock(mutex);
        while (!heap.empty() && !timers.count(heap.front().id)) {
            std::pop_heap(heap.begin(), heap.end(), Later);
            heap.pop_back();
        }
        if (stopping || heap.empty() || heap.front().at > now)
            return;
        const TTimerId id = heap.front().id;
        std::pop_heap(heap.begin(), heap.end(), Later);
        heap.pop_back();
        auto node = timers.extract(id);
        running = id;
        lock.unlock();
        RunDroppingExceptions(node.mapped());
        node = {};  // the task goes before CancelTimer's waiter is let go
        Finished(id);
    }
}

TEventLoop::TEventLoop(std::size_t count)
{
    if (count == 0)
        count = std::thread::hardware_concurrency();
    count = std::clamp<std::size_t>(count, 1, kMaxThreads);
    try {
        for (std::size_t i = 0; i < count; ++i) {
            auto t = std::make_shared<TThread>(this, i);
            // The thread holds its own state: when the loop is let go from
            // inside one of its callbacks, that thread outlives the loop.
            t->thread = std::thread([t] { t->Run(); });
            threads_.push_back(std::move(t));
        }
    } catch (...) {
        Stop();
        throw;
    }
}

TEventLoop::~TEventLoop()
{
    Stop();
}

void TEventLoop::Stop()
{
    for (auto& t : threads_) {
        {
            std::lock_guard lock(t->mutex);
            t->stopping = true;
            t->finished.notify_all();
        }
        t->Wake();
    }
    for (auto& t : threads_) {
        if (!t->thread.joinable())
            continue;
        if (t->IsCurrent())
            t->thread.detach();
        else
            t->thread.join();
    }
    threads_.clear();
}

std::size_t TEventLoop::CurrentThread() const
{
    const auto* t = static_cast<const TThread*>(tCurrent);
    return t != nullptr && t->owner == this ? t->index : kNoThread;
}

bool TEventLoop::OnLoopThread()
{
    return tCurrent != nullptr;
}

std::size_t TEventLoop::NextThread()
{
    return next_.fetch_add(1, std::memory_order_relaxed) % threads_.size();
}

std::span<std::uint8_t> TEventLoop::Scratch() const
{
    const std::size_t i = CurrentThread();
    if (i == kNoThread)
        return {};
    return threads_[i]->scratch;
}

TIoId TEventLoop::Add(int fd, std::uint32_t interest, IIoHandler& handler, std::size_t thread)
{
    if (thread == kNoThread)
        thread = NextThread();
    TThread& t = *threads_.at(thread);
    std::lock_guard lock(t.mutex);
    return t.NewRegistration(fd, handler, interest);
}

TIoId TEventLoop::TThread::NewRegistration(int fd, IIoHandler& handler, std::uint32_t interest)
{
    if (freeSlots.empty() && slots.size() > kSlotMask)
        throw std::length_error("event loop: too many registrations on one thread");
    const std::size_t slot = freeSlots.empty() ? slots.size() : freeSlots.back();
    const std::uint64_t serial = nextSerial++ % kRegistrationSerials + 1;
    const TIoId id =
        (static_cast<std::uint64_t>(index) << kSerialBits) | kRegistrationFlag | (serial << kSlotBits) | slot;
    if (interest != 0) {
        epoll_event ev{};
        ev.events = EpollBits(interest);
        ev.data.u64 = id;
        if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) != 0)
            throw SystemError("epoll_ctl add");
    }
    if (slot == slots.size())
        slots.emplace_back();
    else
        freeSlots.pop_back();
    slots[slot] = TRegistration{id, fd, &handler, interest, interest != 0};
    return id;
}

void TEventLoop::TThread::Free(TRegistration& r)
{
    r = TRegistration{};
    freeSlots.push_back(static_cast<std::size_t>(&r - slots.data()));
}

bool TEventLoop::Modify(TIoId id, std::uint32_t interest)
{
    if (ThreadOf(id) >= threads_.size())
        return false;
    TThread& t = *threads_[ThreadOf(id)];
    std::lock_guard lock(t.mutex);
    TThread::TRegistration* found = t.Find(id);
    if (found == nullptr)
        return false;
    auto& r = *found;
    // The set is level-triggered: an unchanged interest needs no system
    // call (a connection resumes reading after every block it read).
    if (interest == r.interest && r.inSet == (interest != 0))
        return true;
    r.interest = interest;
    if (interest == 0) {
        if (r.inSet)
            ::epoll_ctl(t.epollFd, EPOLL_CTL_DEL, r.fd, nullptr);
        r.inSet = false;
        return true;
    }
    epoll_event ev{};
    ev.events = EpollBits(interest);
    ev.data.u64 = id;
    const int rc = ::epoll_ctl(t.epollFd, r.inSet ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, r.fd, &ev);
    r.inSet = rc == 0;
    return rc == 0;
}

void TEventLoop::Remove(TIoId id)
{
    if (id == 0 || ThreadOf(id) >= threads_.size())
        return;
    TThread& t = *threads_[ThreadOf(id)];
    std::unique_lock lock(t.mutex);
    if (TThread::TRegistration* r = t.Find(id); r != nullptr) {
        if (r->inSet)
            ::epoll_ctl(t.epollFd, EPOLL_CTL_DEL, r->fd, nullptr);
        t.Free(*r);
    }
    if (!t.IsCurrent())
        t.finished.wait(lock, [&] { return t.running != id; });
}

bool TEventLoop::Post(std::size_t thread, TTask task)
{
    if (thread >= threads_.size() || !task)
        return false;
    TThread& t = *threads_[thread];
    bool wake = false;
    {
        std::lock_guard lock(t.mutex);
        if (t.stopping || t.posts.size() >= kMaxQueuedPosts)
            return false;
        t.posts.push_back(std::move(task));
        if (t.sleeping && !t.wakePending) {
            t.wakePending = true;
            wake = true;
        }
    }
    if (wake)
        t.Wake();
    return true;
}

TTimerId TEventLoop::AddTimerAt(std::size_t thread, TClock::time_point deadline, TTask task)
{
    if (thread >= threads_.size() || !task)
        return 0;
    TThread& t = *threads_[thread];
    TTimerId id;
    bool wake = false;
    {
        std::lock_guard lock(t.mutex);
        if (t.stopping || t.timers.size() >= kMaxTimers)
            return 0;
        id = t.NewHandle();
        t.timers.emplace(id, std::move(task));
        if (t.heap.size() > 2 * t.timers.size() + kHeapSlack) {
            std::erase_if(t.heap, [&](const TThread::TDue& d) { return !t.timers.count(d.id); });
            std::make_heap(t.heap.begin(), t.heap.end(), TThread::Later);
        }
        t.heap.push_back({deadline, id});
        std::push_heap(t.heap.begin(), t.heap.end(), TThread::Later);
        // The loop thread itself is not sleeping while it runs a callback:
        // it takes the new deadline into its next wait.
        if (t.sleeping && deadline < t.armed && !t.wakePending) {
            t.wakePending = true;
            wake = true;
        }
    }
    if (wake)
        t.Wake();
    return id;
}

bool TEventLoop::CancelTimer(TTimerId id)
{
    if (id == 0 || ThreadOf(id) >= threads_.size())
        return false;
    TThread& t = *threads_[ThreadOf(id)];
    decltype(t.timers)::node_type node;
    {
        std::unique_lock lock(t.mutex);
        node = t.timers.extract(id);
        if (node.empty() && !t.IsCurrent())
            t.finished.wait(lock, [&] { return t.running != id; });
    }
    return !node.empty();  // the task is destroyed outside the lock
}
