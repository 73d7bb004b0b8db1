// What a received block did, as the receive-loop guard sees it: the bytes
// go through the real engine into TReceiveProgress, block by block.
#include "telnet/uReceiveProgress.h"
#include "telnet/uTelnetEngine.h"
#include "sim/uTestHost.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using TBlock = TReceiveProgress::TBlock;

// The engine's events into the progress tracker, as the component wires them.
class TProgressSink final : public TTelnetEngine::TEvents {
public:
    explicit TProgressSink(TReceiveProgress& p) : p_(p) {}
    void OnData(std::span<const std::uint8_t> run) override { p_.Data(run.size()); }
    void OnEndOfRecord() override { p_.EndOfRecord(); }
    void OnOption(std::uint8_t verb, std::uint8_t option) override { p_.Option(verb, option); }
    void OnSubnegotiation(std::span<const std::uint8_t> data) override { p_.Subnegotiation(data); }
    void OnSubnegotiationDiscarded() override { p_.Idle(); }
    void OnCommand(std::uint8_t) override { p_.Idle(); }
    void OnSend(std::span<const std::uint8_t>, TTelnetEngine::TOutput) override {}

private:
    TReceiveProgress& p_;
};

struct TStep {
    const char* hex;
    TBlock want;
};

struct TCase {
    const char* name;
    std::vector<TStep> blocks;
};

char Letter(TBlock b)
{
    return b == TBlock::Progress ? 'P' : b == TBlock::NoProgress ? 'N' : '-';
}

class ReceiveProgress : public ::testing::TestWithParam<TCase> {};

TEST_P(ReceiveProgress, ClassifiesEachBlock)
{
    TReceiveProgress progress;
    TProgressSink sink(progress);
    TTelnetEngine engine(sink);
    std::string want, got;
    for (const TStep& step : GetParam().blocks) {
        progress.BeginBlock();
        engine.Feed(HexBytes(step.hex));
        want += Letter(step.want);
        got += Letter(progress.EndBlock());
    }
    EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ReceiveProgress,
    ::testing::Values(
        TCase{"RecordsAreProgressHoweverAlike",
              {{"F5 C3 FF EF", TBlock::Progress}, {"F5 C3 FF EF", TBlock::Progress}, {"F5 C3 FF EF", TBlock::Progress}}},
        TCase{"ATrickledRecordIsProgressEveryByte",
              {{"F5", TBlock::Progress}, {"C3", TBlock::Progress}, {"FF", TBlock::Neutral}, {"FF", TBlock::Progress},
               {"FF", TBlock::Neutral}, {"EF", TBlock::Progress}}},
        TCase{"AnEmptyRecordIsNot", {{"FF EF", TBlock::NoProgress}, {"FF EF FF EF", TBlock::NoProgress}}},
        TCase{"ARequestMovesOnOnceThenRepeats",
              {{"FF FD 1E", TBlock::Progress}, {"FF FD 1E", TBlock::NoProgress}, {"FF FE 1E", TBlock::Progress},
               {"FF FD 1E FF FE 1E", TBlock::NoProgress}, {"FF FB 1E", TBlock::Progress}}},
        TCase{"NopsAndOtherCommandsAreNot", {{"FF F1 FF F1", TBlock::NoProgress}, {"FF F9", TBlock::NoProgress}}},
        TCase{"ASubnegotiationMovesOnOnce",
              {{"FF FA 1E 01 FF F0", TBlock::Progress}, {"FF FA 1E 01 FF F0", TBlock::NoProgress},
               {"FF FA 1E 02 FF F0", TBlock::Progress}, {"FF FA 1E 01 FF F0 FF FA 1E 02 FF F0", TBlock::NoProgress}}},
        TCase{"ATrickledSubnegotiationIsNeutralUntilItEnds",
              {{"FF", TBlock::Neutral}, {"FA", TBlock::Neutral}, {"1E 05", TBlock::Neutral}, {"FF", TBlock::Neutral},
               {"F0", TBlock::Progress}}},
        TCase{"AnOverlongSubnegotiationIsNot",
              {{"FF FA 1E 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
                "00 00 00 FF F0",
                TBlock::NoProgress}}},
        TCase{"ARepeatMixedWithDataIsProgress", {{"FF FD 1E", TBlock::Progress}, {"FF FD 1E 40", TBlock::Progress}}}),
    [](const ::testing::TestParamInfo<TCase>& info) { return std::string(info.param.name); });

TEST(ReceiveProgressReset, ANewConnectionStartsWithNothingSeen)
{
    TReceiveProgress progress;
    const std::uint8_t sub[] = {0x1E, 0x01, 0xFF};
    progress.BeginBlock();
    progress.Option(0xFD, 0x1E);
    progress.Subnegotiation(sub);
    ASSERT_EQ(progress.EndBlock(), TBlock::Progress);
    progress.Reset();
    progress.BeginBlock();
    progress.Option(0xFD, 0x1E);
    EXPECT_EQ(progress.EndBlock(), TBlock::Progress);
    progress.BeginBlock();
    progress.Subnegotiation(sub);
    EXPECT_EQ(progress.EndBlock(), TBlock::Progress);
}

} // namespace
