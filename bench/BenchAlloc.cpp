// Replaced global allocation functions that count what passes through
// them. Every form (plain, array, nothrow, aligned, sized) is replaced so
// that no allocation of the library escapes the count.
#include "bench/BenchAlloc.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

// The speed benchmarks count on the measuring thread only, with plain
// thread-local counters, so that counting costs next to nothing in the
// timed loops. The memory probe (TN_BENCH_ALLOC_LIVE) needs the bytes every
// thread holds, and pays for shared atomic counters and the usable size.
#ifdef TN_BENCH_ALLOC_LIVE
std::atomic<std::uint64_t> gAllocations{0};
std::atomic<std::uint64_t> gFrees{0};
std::atomic<std::int64_t> gLiveBytes{0};
std::atomic<std::int64_t> gLiveBySize[tnbench::kSizeClasses];

std::atomic<std::int64_t>& SizeClass(std::size_t usable)
{
    return gLiveBySize[std::min(usable / tnbench::kSizeClassBytes, tnbench::kSizeClasses - 1)];
}
#else
thread_local std::uint64_t tAllocations = 0;
thread_local std::uint64_t tFrees = 0;
#endif

void* Allocate(std::size_t size, std::size_t alignment, bool nothrow)
{
    if (size == 0)
        size = 1;
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        p = std::malloc(size);
    } else if (posix_memalign(&p, alignment, size) != 0) {
        p = nullptr;
    }
    if (p == nullptr) {
        if (nothrow)
            return nullptr;
        throw std::bad_alloc();
    }
#ifdef TN_BENCH_ALLOC_LIVE
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t usable = malloc_usable_size(p);
    gLiveBytes.fetch_add(static_cast<std::int64_t>(usable), std::memory_order_relaxed);
    SizeClass(usable).fetch_add(1, std::memory_order_relaxed);
#else
    ++tAllocations;
#endif
    return p;
}

void Release(void* p) noexcept
{
    if (p == nullptr)
        return;
#ifdef TN_BENCH_ALLOC_LIVE
    gFrees.fetch_add(1, std::memory_order_relaxed);
    const std::size_t usable = malloc_usable_size(p);
    gLiveBytes.fetch_sub(static_cast<std::int64_t>(usable), std::memory_order_relaxed);
    SizeClass(usable).fetch_sub(1, std::memory_order_relaxed);
#else
    ++tFrees;
#endif
    std::free(p);
}

}  // namespace

namespace tnbench {

TAllocStats AllocSnapshot()
{
    TAllocStats s;
#ifdef TN_BENCH_ALLOC_LIVE
    s.Allocations = gAllocations.load(std::memory_order_relaxed);
    s.Frees = gFrees.load(std::memory_order_relaxed);
    s.LiveBytes = gLiveBytes.load(std::memory_order_relaxed);
#else
    s.Allocations = tAllocations;
    s.Frees = tFrees;
#endif
    return s;
}

std::vector<std::int64_t> LiveBySize()
{
    std::vector<std::int64_t> live;
#ifdef TN_BENCH_ALLOC_LIVE
    live.resize(kSizeClasses);
    for (std::size_t i = 0; i < kSizeClasses; ++i)
        live[i] = gLiveBySize[i].load(std::memory_order_relaxed);
#endif
    return live;
}

}  // namespace tnbench

void* operator new(std::size_t size) { return Allocate(size, 0, false); }
void* operator new[](std::size_t size) { return Allocate(size, 0, false); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, 0, true); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size, 0, true); }
void* operator new(std::size_t size, std::align_val_t a) { return Allocate(size, static_cast<std::size_t>(a), false); }
void* operator new[](std::size_t size, std::align_val_t a) { return Allocate(size, static_cast<std::size_t>(a), false); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return Allocate(size, static_cast<std::size_t>(a), true);
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept
{
    return Allocate(size, static_cast<std::size_t>(a), true);
}

void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { Release(p); }
