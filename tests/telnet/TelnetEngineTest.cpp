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

TEST_F(TelnetEngine, RecordBytesReachTheStreamEvery8192BytesAndTheRecordIsProcessedAtEor)
{
    t.Feed(HexBytes("FF FD 00"));
    Bytes block(8192 + 10, 'S');
    t.Feed(block);
    EXPECT_EQ(t.Chunks, (std::vector<std::int32_t>{8192, 10}));
    EXPECT_EQ(t.Stream->InCount, 8202);
    EXPECT_TRUE(t.Script().Records.empty());
    Bytes more(20000 - 8202, 'x');
    t.Feed(Concat({more, HexBytes("FF EF")}));
    ASSERT_EQ(t.Script().Records.size(), 1u);
    EXPECT_EQ(t.Script().Records[0].size(), 20000u);
    EXPECT_EQ(t.FieldGenerations, 1);
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
