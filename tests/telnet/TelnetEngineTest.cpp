// The telnet engine without a network: bytes in through NewData, bytes out
// captured from Send, where the result depends on the blocks as received.
#include "TelnetTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class TelnetEngine : public ::testing::Test {
protected:
    TelnetEngine() { t.Capture(); }
    TTestTelnet t;
};

// Most of the engine's behaviour is in transcripts (transcripts/telnet and
// transcripts/engine, run by TelnetTranscriptTest.cpp). What stays here
// depends on where one received block ends, which a transcript re-feeds
// split at every byte, or is not about bytes at all.

TEST_F(TelnetEngine, ARecordInOneBlockIsNotCopiedAndOneThatSpansBlocksIsCollectedInTheStream)
{
    t.Feed(HexBytes("FF FD 00"));
    // Whole in one block: handed over where it lies, no piece goes through
    // the stream's input.
    t.Feed(Concat({Bytes(3000, 'S'), HexBytes("FF EF")}));
    EXPECT_TRUE(t.Chunks.empty());
    ASSERT_EQ(t.Script().Records.size(), 1u);
    EXPECT_EQ(t.Script().Records[0].size(), 3000u);
    EXPECT_TRUE(t.Stream->InBuffer.empty());
    t.Script().Records.clear();
    // Across blocks: each block's part reaches the stream's input at the
    // block's end, the last part with the end of record.
    Bytes block(8192 + 10, 'S');
    t.Feed(block);
    EXPECT_EQ(t.Chunks, (std::vector<std::int32_t>{8202}));
    EXPECT_EQ(t.Stream->InCount, 8202);
    EXPECT_TRUE(t.Script().Records.empty());
    Bytes more(20000 - 8202, 'x');
    t.Feed(Concat({more, HexBytes("FF EF")}));
    ASSERT_EQ(t.Script().Records.size(), 1u);
    EXPECT_EQ(t.Script().Records[0].size(), 20000u);
    EXPECT_EQ(t.Chunks, (std::vector<std::int32_t>{8202}));
    EXPECT_TRUE(t.Stream->InBuffer.empty());
    EXPECT_EQ(t.FieldGenerations, 2);
}

TEST_F(TelnetEngine, AFailingRecordIsDroppedAloneAndTheBlockGoesOn)
{
    TEventLog events;
    events.Attach(t);
    // The stream starts "WAITING"; the first restore raises nothing, as the
    // screen's status is still empty.
    t.Feed(Concat({HexBytes("FF FD 00"), Record("U")}));
    t.TakeSent();
    t.Script().Records.clear();
    // The failing record comes first; the records and commands after it in
    // the same block must still be handled and notified.
    t.Feed(Concat({Record("S"), Record("E"), Record("L"), HexBytes("FF FD 1F"), Record("N")}));
    ASSERT_EQ(t.Script().Records.size(), 4u);
    EXPECT_EQ(t.Stream->InCount, 0);
    EXPECT_EQ(t.TakeSent(), HexBytes("FF FC 1F"));
    EXPECT_EQ(events.Names(), (std::vector<std::string>{"SessionState", "ScreenChange", "SystemLock"}));
    t.Feed(Record("U"));
    EXPECT_EQ(events.Names().back(), "SystemUnLock");
}

TEST_F(TelnetEngine, DesignTimeComponentsDoNotConnect)
{
    t.SetDesigning(true);
    t.Host = "127.0.0.1";
    t.Port = 1;
    TEventLog events;
    events.Attach(t);
    t.Connect();
    EXPECT_FALSE(t.IsConnected());
    EXPECT_TRUE(events.Names().empty());
    EXPECT_EQ(t.Socket->GetPort(), 0);
}

} // namespace

namespace {

// What a handler of the bare engine may do: send (also from inside OnSend,
// each frame whole and in order) and Reset; feeding the engine again from a
// handler is refused, and the engine stays usable afterwards.
class TReentrantSink final : public TTelnetEngine::TEvents {
public:
    TTelnetEngine* engine = nullptr;
    Bytes sent;
    std::vector<std::string> seen;

    void OnData(std::span<const std::uint8_t> run) override { seen.push_back("data " + std::to_string(run.size())); }
    void OnEndOfRecord() override { seen.push_back("record"); }
    void OnOption(std::uint8_t verb, std::uint8_t option) override
    {
        if (option == 0x01) {
            const std::uint8_t more[] = {0x41};
            try {
                engine->Feed(more);
                seen.push_back("nested feed accepted");
            } catch (const std::logic_error&) {
                seen.push_back("nested feed refused");
            }
            return;
        }
        engine->SendOption(verb == TTelnetEngine::DO ? TTelnetEngine::WILL : TTelnetEngine::DO, option);
    }
    void OnSubnegotiation(std::span<const std::uint8_t>) override { engine->Reset(); }
    void OnSubnegotiationDiscarded() override {}
    void OnCommand(std::uint8_t) override {}
    void OnSend(std::span<const std::uint8_t> bytes, TTelnetEngine::TOutput kind) override
    {
        // The first frame of a negotiation answer pulls a record after it.
        const Bytes frame(bytes.begin(), bytes.end());
        if (kind == TTelnetEngine::TOutput::Negotiation && sent.empty())
            engine->SendRecord(HexBytes("FF"));
        sent.insert(sent.end(), frame.begin(), frame.end());
    }
};

TEST(TelnetEngineAlone, HandlersMaySendAndResetButNotFeedAgain)
{
    TReentrantSink sink;
    TTelnetEngine engine(sink);
    sink.engine = &engine;
    engine.Feed(HexBytes("FF FD 18"));
    EXPECT_EQ(sink.sent, HexBytes("FF FF FF EF FF FB 18"));

    engine.Feed(HexBytes("FF FD 01 42 FF EF"));
    EXPECT_EQ(sink.seen, (std::vector<std::string>{"nested feed refused", "data 1", "record"}));
    EXPECT_EQ(engine.State(), TTelnetEngine::TState::Data);

    // Reset from the subnegotiation handler; the bytes after SE are data.
    engine.Feed(HexBytes("FF FA 18 01 FF F0 43 44"));
    EXPECT_EQ(sink.seen.back(), "data 2");
    EXPECT_EQ(engine.State(), TTelnetEngine::TState::Data);
}

} // namespace
