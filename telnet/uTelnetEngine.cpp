// One byte at a time through one switch, except runs of plain data, which
// are handed on as slices of the input (most of a block is such a run).
#include "telnet/uTelnetEngine.h"

#include <cstring>
#include <stdexcept>

namespace {

// Clears a flag when the scope ends, also by an exception.
struct TFlagScope {
    explicit TFlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~TFlagScope() { flag_ = false; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;
    bool& flag_;
};

} // namespace

void TTelnetEngine::Feed(std::span<const std::uint8_t> bytes)
{
    // A handler that fed the engine again would parse the rest of its
    // caller's input out of order.
    if (feeding_)
        throw std::logic_error("TTelnetEngine::Feed called from one of its own handlers");
    TFlagScope feeding(feeding_);

    const std::uint8_t* p = bytes.data();
    const std::uint8_t* const end = p + bytes.size();
    while (p < end) {
        switch (state_) {
        case TState::Data: {
            // Every byte but IAC is record data (RFC 854).
            const auto* iac = static_cast<const std::uint8_t*>(std::memchr(p, IAC, static_cast<std::size_t>(end - p)));
            const std::uint8_t* const runEnd = iac != nullptr ? iac : end;
            if (runEnd != p) {
                const std::span<const std::uint8_t> run(p, runEnd);
                p = runEnd;
                events_.OnData(run);
            }
            if (iac != nullptr) {
                state_ = TState::Iac;
                ++p;
            }
            break;
        }
        case TState::Iac: {
            const std::uint8_t c = *p++;
            state_ = TState::Data;
            switch (c) {
            case EOR:
                events_.OnEndOfRecord();
                break;
            case SB:
                subneg_.fill(0);
                subnegLength_ = 0;
                subnegOverflow_ = false;
                state_ = TState::Subneg;
                break;
            case WILL:
            case WONT:
            case DO:
            case DONT:
                verb_ = c;
                state_ = TState::Verb;
                break;
            case IAC: {
                // IAC IAC: one data byte 0xFF.
                static constexpr std::uint8_t kIac[1] = {IAC};
                events_.OnData(kIac);
                break;
            }
            default:
                events_.OnCommand(c);  // NOP, DM, BRK, IP, AO, AYT, EC, EL, GA, stray SE
                break;
            }
            break;
        }
        case TState::Verb: {
            const std::uint8_t option = *p++;
            const std::uint8_t verb = verb_;
            verb_ = 0;
            state_ = TState::Data;
            events_.OnOption(verb, option);
            break;
        }
        case TState::Subneg: {
            // RFC 855: inside a subnegotiation only IAC SE ends it; a lone
            // SE is data.
            const std::uint8_t c = *p++;
            if (c == IAC)
                state_ = TState::SubnegIac;
            else
                Collect(c);
            break;
        }
        case TState::SubnegIac: {
            const std::uint8_t c = *p++;
            state_ = TState::Subneg;
            if (c == SE) {
                // The IAC is reported as the last byte: the TN3270E handler
                // uses it to find the end.
                Collect(IAC);
                state_ = TState::Data;
                EndSubnegotiation();
            } else if (c == IAC) {
                Collect(IAC);  // IAC IAC: one data byte 0xFF
            }
            // IAC followed by anything else is not defined inside a
            // subnegotiation: the IAC is dropped, the byte dropped with it.
            break;
        }
        }
    }
}

void TTelnetEngine::Collect(std::uint8_t c)
{
    if (subnegLength_ < kSubnegLimit)
        subneg_[subnegLength_++] = c;
    else
        subnegOverflow_ = true;  // consumed up to IAC SE, dropped there
}

void TTelnetEngine::EndSubnegotiation()
{
    // Emptied after the handler, also when it throws, so that the next
    // subnegotiation starts clean.
    struct TClear {
        TTelnetEngine& e;
        ~TClear()
        {
            e.subneg_.fill(0);
            e.subnegLength_ = 0;
            e.subnegOverflow_ = false;
        }
    } clear{*this};
    if (subnegOverflow_)
        events_.OnSubnegotiationDiscarded();
    else
        events_.OnSubnegotiation(std::span<const std::uint8_t>(subneg_.data(), subnegLength_));
}

void TTelnetEngine::Reset()
{
    state_ = TState::Data;
    verb_ = 0;
    subneg_.fill(0);
    subnegLength_ = 0;
    subnegOverflow_ = false;
}

// ------------------------------------------------------------ output

std::vector<std::uint8_t>& TTelnetEngine::OutFrame(std::vector<std::uint8_t>& spare)
{
    // A sink that sends again from inside OnSend gets a frame of its own.
    return sending_ ? spare : out_;
}

void TTelnetEngine::Emit(std::vector<std::uint8_t>& frame, TOutput kind)
{
    if (&frame != &out_) {
        events_.OnSend(frame, kind);
        return;
    }
    {
        TFlagScope sending(sending_);
        events_.OnSend(frame, kind);
    }
    if (out_.capacity() > kKeptFrameBytes)
        std::vector<std::uint8_t>().swap(out_);
}

void TTelnetEngine::SendOption(std::uint8_t verb, std::uint8_t option)
{
    std::vector<std::uint8_t> spare;
    auto& frame = OutFrame(spare);
    frame.assign({IAC, verb, option});
    Emit(frame, TOutput::Negotiation);
}

void TTelnetEngine::SendSubnegotiation(std::uint8_t option, std::span<const std::uint8_t> payload)
{
    std::vector<std::uint8_t> spare;
    auto& frame = OutFrame(spare);
    frame.assign({IAC, SB, option});
    for (const std::uint8_t b : payload) {
        frame.push_back(b);
        if (b == IAC)
            frame.push_back(IAC);  // RFC 855: a data 0xFF inside SB is doubled
    }
    frame.push_back(IAC);
    frame.push_back(SE);
    Emit(frame, TOutput::Subnegotiation);
}

void TTelnetEngine::SendCommand(std::uint8_t command)
{
    std::vector<std::uint8_t> spare;
    auto& frame = OutFrame(spare);
    frame.assign({IAC, command});
    Emit(frame, TOutput::Command);
}

void TTelnetEngine::SendRecord(std::span<const std::uint8_t> record)
{
    std::vector<std::uint8_t> spare;
    auto& frame = OutFrame(spare);
    frame.clear();
    frame.reserve(record.size() * 2 + 2);
    for (const std::uint8_t b : record) {
        frame.push_back(b);
        if (b == IAC)
            frame.push_back(IAC);  // RFC 854: a data 0xFF is doubled
    }
    frame.push_back(IAC);
    frame.push_back(EOR);
    Emit(frame, TOutput::Record);
}
