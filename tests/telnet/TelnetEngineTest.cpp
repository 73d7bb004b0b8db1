// The telnet engine without a network: bytes in through NewData, bytes out
// captured from Send. What the host sees and what reaches the data stream.
#include "TelnetTestSupport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class TelnetEngine : public ::testing::Test {
protected:
    TelnetEngine() { t.Capture(); }
    TTestTelnet t;
};

// ---- commands split across reads

// A whole session's worth of telnet traffic: negotiation, a subnegotiation,
// escaped data, ignored commands, records and a text line, one of which fails.
const Bytes kSession = Concat({
    HexBytes("FF FD 00 FF FB 19 FF FD 18"),      // DO BINARY, WILL EOR, DO TTYPE
    HexBytes("FF FA 18 01 FF F0"),               // TTYPE SEND
    HexBytes("FF F1 FF F9"),                     // NOP, GA: ignored
    HexBytes("53 FF FF 41 FF EF"),               // record 'S' FF 'A'
    HexBytes("45 FF EF"),                        // record 'E': fails
    HexBytes("52 7D FF FF FF EF"),               // record 'R': replies 7D FF
    HexBytes("FF FD 1F FF FE 00"),               // DO 31 (refused), DONT BINARY
    HexBytes("FF FC 00 68 69 FF EF"),            // WONT BINARY, then text "hi"
});

struct Outcome {
    Bytes sent;
    std::vector<Bytes> records;
    std::vector<std::string> texts;
    int fields;
    std::vector<Bytes> subOptions;
    bool operator==(const Outcome&) const = default;
};

Outcome FeedInPieces(const std::vector<Bytes>& pieces)
{
    TTestTelnet t;
    t.Capture();
    for (const auto& p : pieces)
        t.Feed(p);
    return {t.Sent, t.Script().Records, t.Texts, t.FieldGenerations, t.SubOptions};
}

TEST(TelnetEngineSplit, EverySplitPointGivesTheSameResultAsOneBlock)
{
    const Outcome whole = FeedInPieces({kSession});
    // The reference itself is what a host expects.
    EXPECT_EQ(whole.sent, Concat({HexBytes("FF FB 00 FF FD 19 FF FB 18"),
                                  HexBytes("FF FA 18 00"), Bytes{'V', 'T', '1', '0', '0'}, HexBytes("FF F0"),
                                  HexBytes("7D FF FF FF EF"), HexBytes("FF FC 1F")}));
    ASSERT_EQ(whole.records.size(), 3u);
    EXPECT_EQ(whole.records[0], HexBytes("53 FF 41"));
    EXPECT_EQ(whole.texts, (std::vector<std::string>{"hi"}));
    EXPECT_EQ(whole.fields, 1);
    EXPECT_EQ(whole.subOptions, (std::vector<Bytes>{HexBytes("18 01 FF")}));

    for (std::size_t cut = 1; cut < kSession.size(); ++cut) {
        SCOPED_TRACE("split at " + std::to_string(cut));
        const Bytes a(kSession.begin(), kSession.begin() + static_cast<std::ptrdiff_t>(cut));
        const Bytes b(kSession.begin() + static_cast<std::ptrdiff_t>(cut), kSession.end());
        Outcome split = FeedInPieces({a, b});
        // A screen-changing record is counted in whichever block ends it.
        EXPECT_EQ(split, whole);
    }
    std::vector<Bytes> single;
    for (auto c : kSession)
        single.push_back(Bytes{c});
    EXPECT_EQ(FeedInPieces(single), whole);
}

// ---- data and framing

TEST_F(TelnetEngine, DoubledIacIsOneDataByteAndIgnoredCommandsLeaveNothing)
{
    t.Feed(HexBytes("FF FD 00 01 FF FF 02 FF F1 03 FF F3 FF F4 FF F5 04 FF EF"));
    ASSERT_EQ(t.Script().Records.size(), 1u);
    EXPECT_EQ(t.Script().Records[0], HexBytes("01 FF 02 03 04"));
}

TEST_F(TelnetEngine, TcpWriteDoublesIacAndEndsTheRecord)
{
    const Bytes record = HexBytes("7D FF");
    t.tcpWrite(record.data(), 2);
    EXPECT_EQ(t.TakeSent(), HexBytes("7D FF FF FF EF"));
    t.tcpWrite(nullptr, 0);
    EXPECT_EQ(t.TakeSent(), HexBytes("FF EF"));
}

TEST_F(TelnetEngine, AttentionCommandsAndTheUnlockAfterEveryLaterScreen)
{
    TEventLog events;
    events.Attach(t);
    t.SendInterruptProcess();
    EXPECT_EQ(t.TakeSent(), HexBytes("FF F4"));
    EXPECT_FALSE(t.UnlockPending);
    t.Feed(Concat({HexBytes("FF FD 00"), Record("S")}));
    EXPECT_EQ(events.Names(), (std::vector<std::string>{"ScreenChange"}));
    t.TakeSent();

    t.SendAO();
    EXPECT_EQ(t.TakeSent(), HexBytes("FF F5"));
    EXPECT_TRUE(t.UnlockPending);
    t.SendBreak();
    EXPECT_EQ(t.TakeSent(), HexBytes("FF F3"));
    t.Feed(Record("S"));
    t.Feed(Record("S"));
    EXPECT_EQ(events.Names(), (std::vector<std::string>{"ScreenChange", "ScreenChange", "SystemUnLock",
                                                        "ScreenChange", "SystemUnLock"}));
}

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

TEST_F(TelnetEngine, TextRecordsWithoutBinaryAndNvtDataInExtendedModeAreShownAsText)
{
    TEventLog events;
    events.Attach(t);
    t.Feed(Record("plain"));
    EXPECT_EQ(t.Texts, (std::vector<std::string>{"plain"}));
    EXPECT_TRUE(t.Script().Records.empty());
    EXPECT_EQ(t.Stream->InCount, 0);

    t.AllowTn3270E = true;
    t.Feed(HexBytes("FF FD 28"));
    EXPECT_EQ(t.TakeSent(), HexBytes("FF FB 28"));
    // NVT-DATA split over two reads, then a 3270 record.
    t.Feed(HexBytes("05 00 00 00 00 6C 6F"));
    t.Feed(Concat({HexBytes("67 FF EF"), Record("S")}));
    ASSERT_EQ(t.Texts.size(), 2u);
    EXPECT_EQ(t.Texts[1], std::string("\x05\x00\x00\x00\x00log", 8));
    ASSERT_EQ(t.Script().Records.size(), 1u);
    EXPECT_EQ(t.Script().Records[0], Bytes{'S'});
    EXPECT_EQ(events.Names(), (std::vector<std::string>{"ScreenChange"}));
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

// ---- subnegotiation

TEST_F(TelnetEngine, TerminalTypeIsAnsweredOnceAndTheSecondRequestDisconnects)
{
    t.Feed(HexBytes("FF FA 18 01 FF F0"));
    EXPECT_EQ(t.TakeSent(), Concat({HexBytes("FF FA 18 00"), Bytes{'V', 'T', '1', '0', '0'}, HexBytes("FF F0")}));
    EXPECT_EQ(t.DisconnectCalls, 0);
    t.Feed(HexBytes("FF FA 18 01 FF F0"));
    EXPECT_TRUE(t.TakeSent().empty());
    EXPECT_EQ(t.DisconnectCalls, 1);
    // Other subnegotiations are not terminal-type requests.
    t.Feed(HexBytes("FF FA 18 00 41 FF F0 FF FA 18 FF F0"));
    EXPECT_EQ(t.DisconnectCalls, 1);
}

TEST_F(TelnetEngine, SubnegotiationOverTheBufferIsDiscardedWholeAndTheParserStaysInStep)
{
    // 100 bytes (option, SEND, 97 filler, the IAC before SE) still fit.
    Bytes fits = HexBytes("FF FA 18 01");
    fits.insert(fits.end(), 97, 0x41);
    fits.insert(fits.end(), {0xFF, 0xF0});
    t.Feed(fits);
    ASSERT_EQ(t.SubOptions.size(), 1u);
    EXPECT_EQ(t.SubOptions[0].size(), 100u);
    EXPECT_EQ(t.TermTypeRequests, 1);
    t.TakeSent();

    // One byte more, and far more: both dropped whole, never past the buffer;
    // what follows is parsed normally.
    for (std::size_t extra : {98u, 5000u}) {
        Bytes tooLong = HexBytes("FF FA 18 01");
        tooLong.insert(tooLong.end(), extra, 0x42);
        tooLong.insert(tooLong.end(), {0xFF, 0xF0});
        t.Feed(Concat({tooLong, HexBytes("FF FD 00"), Record("S")}));
    }
    EXPECT_EQ(t.SubOptions.size(), 1u);
    EXPECT_EQ(t.TermTypeRequests, 1);
    EXPECT_EQ(t.DisconnectCalls, 0);
    EXPECT_EQ(t.TakeSent(), HexBytes("FF FB 00 FF FB 00"));
    EXPECT_EQ(t.Script().Records.size(), 2u);
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
