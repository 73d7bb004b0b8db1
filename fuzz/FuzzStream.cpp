// The 3270 data stream alone: records of any content (and length, past the
// input bound), attention keys and Read Buffer, with the screen, the stream
// state, every reply and the published field lists checked after each step.
#include "fuzz/FuzzTargets.h"

#include "component/uHostFieldExtract.h"
#include "fuzz/FuzzChecks.h"
#include "stream/uOrvTn3270Consts.h"

#include <algorithm>

namespace tnfuzz {

namespace {

enum class TOp { Record, LongRecord, Key, ReadBuffer, UnBind, Count };
// A long record is from kLongRecordBelow bytes below the input bound to 254
// bytes past it, fed in pieces of kLongRecordPiece.
constexpr std::int64_t kLongRecordBelow = 256;
constexpr std::int64_t kLongRecordPiece = 4096;
constexpr std::uint8_t kEbcdicBlank = 0x40;
// Operations per input: a session of a few dozen records and keys. Each one
// is followed by checks over the whole screen, so an input of thousands of
// one-byte operations would only slow the fuzzer down.
constexpr int kMaxSteps = 64;

class TReader {
public:
    TReader(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) {}
    bool Empty() const { return left_ == 0; }
    std::uint8_t Byte()
    {
        if (left_ == 0)
            return 0;
        --left_;
        return *p_++;
    }
    // Up to n bytes; fewer when the input ends.
    std::pair<const std::uint8_t*, std::size_t> Take(std::size_t n)
    {
        n = std::min(n, left_);
        const std::uint8_t* at = p_;
        p_ += n;
        left_ -= n;
        return {at, n};
    }

private:
    const std::uint8_t* p_;
    std::size_t left_;
};

std::uint8_t AidOf(std::uint8_t pick)
{
    const int i = pick % 29;
    if (i == 0)
        return AID_ENTER;
    if (i == 1)
        return AID_CLEAR;
    if (i < 2 + 24)
        return AID_PF[static_cast<std::size_t>(i - 2)];
    return AID_PA[static_cast<std::size_t>(i - 26)];
}

}  // namespace

std::string RunStream(const std::uint8_t* data, std::size_t size)
{
    TReader in(data, size);
    TOrvTn3270stream stream(0, 24, 80);
    const std::uint8_t first = in.Byte();
    stream.TN3270EMode = (first & 0x01) != 0;
    stream.SetScreenModel(kDefaultScreenSize, FuzzScreenSize(first >> 1u));
    std::vector<Bytes> sent;
    stream.OnWriteData = [&sent](const void* buf, std::int32_t len) {
        const auto* b = static_cast<const std::uint8_t*>(buf);
        sent.emplace_back(b, b + std::max(len, 0));
    };
    TDSFields host;
    TDSFields unprotected;

    for (int step = 0; !in.Empty() && step < kMaxSteps; ++step) {
        const std::uint8_t op = in.Byte();
        TReplyKind kind = TReplyKind::Any;
        sent.clear();
        switch (static_cast<TOp>(op % static_cast<int>(TOp::Count))) {
        case TOp::Record: {
            const std::size_t len = static_cast<std::size_t>(in.Byte()) << 8 | in.Byte();
            const auto [rec, n] = in.Take(len);
            const std::size_t piece = (op & 0x04) != 0 ? (op >> 3) + 1u : std::max<std::size_t>(n, 1);
            for (std::size_t k = 0; k < n; k += piece)
                stream.AddBuffer(rec + k, static_cast<std::int32_t>(std::min(piece, n - k)));
            try {
                stream.ProcessData();
            } catch (const EStreamError&) {
            }
            break;
        }
        case TOp::LongRecord: {
            // The record's head from the input, then blanks up to a length
            // around the input bound: the bound matters here, not the content
            // (a head of orders repeated over 64 KiB would only be slow).
            const std::size_t headLen = in.Byte() + 1u;
            const std::int64_t total = TOrvTnStream::kMaxRecord - kLongRecordBelow + 2 * in.Byte();
            const auto [head, n] = in.Take(headLen);
            stream.AddBuffer(head, static_cast<std::int32_t>(n));
            static const Bytes blanks(kLongRecordPiece, kEbcdicBlank);
            for (std::int64_t fed = static_cast<std::int64_t>(n); fed < total; fed += kLongRecordPiece)
                stream.AddBuffer(blanks.data(),
                                 static_cast<std::int32_t>(std::min<std::int64_t>(kLongRecordPiece, total - fed)));
            bool raised = false;
            try {
                stream.ProcessData();
            } catch (const EStreamError&) {
                raised = true;
            }
            const std::int64_t length = std::max<std::int64_t>(total, static_cast<std::int64_t>(n));
            if (length > TOrvTnStream::kMaxRecord && !raised)
                return "a record of " + std::to_string(length) + " bytes passed the input bound unreported";
            if (stream.OverflowBytes() != 0)
                return "overflow count not reset after the record";
            break;
        }
        case TOp::Key:
            stream.Aid = AidOf(in.Byte());
            stream.readModifiedCommand();
            kind = TReplyKind::ReadModified;
            break;
        case TOp::ReadBuffer:
            stream.readBufferCommand();
            kind = TReplyKind::ReadBuffer;
            break;
        case TOp::UnBind:
            stream.ProcessUnBind();
            break;
        case TOp::Count:
            break;
        }

        const std::string where = "step " + std::to_string(step) + " (op " + std::to_string(op) + "): ";
        if (auto r = CheckScreen(stream.Screen()); !r.empty())
            return where + r;
        if (auto r = CheckStreamState(stream); !r.empty())
            return where + r;
        if (kind != TReplyKind::Any && sent.size() != 1)
            return where + std::to_string(sent.size()) + " blocks sent for one read command";
        for (const auto& block : sent)
            if (auto r = CheckReply(stream, block, kind); !r.empty())
                return where + r;
        GenHostFields(stream.Screen(), host, unprotected);
        if (auto r = CheckHostFields(stream.Screen(), host, unprotected); !r.empty())
            return where + r;
    }
    return "";
}

}  // namespace tnfuzz
