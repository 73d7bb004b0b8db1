// Heap accounting for the benchmark programs: the programs replace the
// global operator new and delete (BenchAlloc.cpp) so that a benchmark can
// count the allocations of the code it measures and a memory probe can see
// the bytes held by live allocations made through new.
//
// tn_bench counts the calling thread's allocations (thread-local, cheap in
// timed loops; LiveBytes stays 0). tn_bench_memory is built with
// TN_BENCH_ALLOC_LIVE: process-wide counts and live bytes, relaxed atomics;
// read them around a region that runs while the other threads are idle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tnbench {

struct TAllocStats {
    std::uint64_t Allocations = 0;  // operator new calls so far
    std::uint64_t Frees = 0;        // operator delete calls with a non-null pointer
    std::int64_t LiveBytes = 0;     // usable bytes of allocations not yet freed (TN_BENCH_ALLOC_LIVE)
};

TAllocStats AllocSnapshot();

// TN_BENCH_ALLOC_LIVE only (empty otherwise): live allocations by usable
// size, in classes of kSizeClassBytes; the last class holds every larger
// one. Element i counts the allocations of i * kSizeClassBytes to
// (i + 1) * kSizeClassBytes - 1 usable bytes.
constexpr std::size_t kSizeClassBytes = 16;
constexpr std::size_t kSizeClasses = 8192;
std::vector<std::int64_t> LiveBySize();

}  // namespace tnbench
