// A negotiation moves on the first time an option gets a verb in this
// connection; a host that repeats it (RFC 1143's negotiation loop) does
// not. Subnegotiations are remembered by a 64-bit hash of their bytes.
#include "telnet/uReceiveProgress.h"

namespace {

constexpr std::uint8_t kWill = 0xFB;
constexpr std::uint8_t kDont = 0xFE;

std::uint64_t Fnv1a(std::span<const std::uint8_t> data)
{
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (const std::uint8_t b : data) {
        h ^= b;
        h *= 0x100000001b3ull;
    }
    return h ^ data.size();
}

} // namespace

void TReceiveProgress::Reset()
{
    *this = TReceiveProgress();
}

void TReceiveProgress::BeginBlock()
{
    progress_ = false;
    completed_ = false;
}

TReceiveProgress::TBlock TReceiveProgress::EndBlock() const
{
    if (progress_)
        return TBlock::Progress;
    return completed_ ? TBlock::NoProgress : TBlock::Neutral;
}

void TReceiveProgress::Data(std::size_t bytes)
{
    if (bytes == 0)
        return;
    progress_ = true;
    recordHasData_ = true;
}

void TReceiveProgress::EndOfRecord()
{
    completed_ = true;
    if (recordHasData_)
        progress_ = true;
    recordHasData_ = false;
}

void TReceiveProgress::Option(std::uint8_t verb, std::uint8_t option)
{
    completed_ = true;
    if (verb < kWill || verb > kDont)
        return;
    const std::size_t bit = static_cast<std::size_t>(verb - kWill) * 256u + option;
    if (!verbs_.test(bit)) {
        verbs_.set(bit);
        progress_ = true;
    }
}

void TReceiveProgress::Subnegotiation(std::span<const std::uint8_t> data)
{
    completed_ = true;
    const std::uint64_t h = Fnv1a(data);
    for (std::size_t i = 0; i < subnegCount_; ++i)
        if (subnegs_[i] == h)
            return;
    subnegs_[subnegNext_] = h;
    subnegNext_ = (subnegNext_ + 1) % kSubnegMemory;
    if (subnegCount_ < kSubnegMemory)
        ++subnegCount_;
    progress_ = true;
}

void TReceiveProgress::Idle()
{
    completed_ = true;
}
