// What one received block did for the session, for the receive-loop guard:
// a block that adds record bytes, completes a record or moves a negotiation
// on is progress and never counts toward a loop, however fast the host
// sends; a block whose commands only repeat what the connection has already
// seen (the same verb for an option again, a subnegotiation seen before,
// NOPs and other bare commands, empty records, an overlong subnegotiation)
// is a candidate loop. A block that ends inside the command it began (a
// subnegotiation or verb trickled in pieces) completes nothing and is
// neutral: it counts neither way.
//
// Fed by the telnet component's engine sink, under the session lock; one
// per component, Reset at each Connect. No I/O, no clock, bounded memory.
#pragma once

#include <array>
#include <chrono>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <span>

class TReceiveProgress {
public:
    enum class TBlock { Progress, NoProgress, Neutral };

    // Distinct subnegotiations remembered per connection: a host that
    // cycles through more than this many keeps counting as progress.
    static constexpr std::size_t kSubnegMemory = 16;

    // A new connection: nothing seen yet.
    void Reset();
    // Starts a block; EndBlock says what it did.
    void BeginBlock();
    TBlock EndBlock() const;

    // ---- what the engine reported
    void Data(std::size_t bytes);
    void EndOfRecord();
    void Option(std::uint8_t verb, std::uint8_t option);
    void Subnegotiation(std::span<const std::uint8_t> data);
    // An overlong subnegotiation discarded, or a bare command (NOP, GA, ...).
    void Idle();

private:
    bool progress_ = false;
    bool completed_ = false;       // something ended in this block
    bool recordHasData_ = false;   // the record being received holds bytes
    // (verb - WILL) * 256 + option: each verb an option has had.
    std::bitset<4 * 256> verbs_;
    std::array<std::uint64_t, kSubnegMemory> subnegs_{};
    std::size_t subnegCount_ = 0;  // remembered so far (ring once full)
    std::size_t subnegNext_ = 0;
};

// The receive-loop guard both transports run: only a block that made no
// progress counts, so a busy host is never taken for a loop. Among those,
// the block that opens a window is not counted; the kBurstLimit-th counted
// block inside the window means the host (or we) loop. A monotonic clock,
// so that the guard keeps working across midnight and clock changes.
class TReceiveLoopGuard {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::int32_t kBurstLimit = 50;

    void Start(Clock::time_point now = Clock::now())
    {
        start_ = now;
        count_ = 0;
    }
    // False when the block ends the connection as a receive loop.
    bool Admit(TReceiveProgress::TBlock block, Clock::duration window, Clock::time_point now = Clock::now())
    {
        if (block != TReceiveProgress::TBlock::NoProgress)
            return true;
        if (now - start_ >= window) {
            Start(now);
            return true;
        }
        return ++count_ < kBurstLimit;
    }

private:
    Clock::time_point start_{};
    std::int32_t count_ = 0;
};
