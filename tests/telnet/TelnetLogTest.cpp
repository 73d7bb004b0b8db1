// What the telnet component writes to the message and dump logs, through
// its own debug properties: the texts are the system's and are relied on
// by whoever reads the logs.
#include "TelnetTestSupport.h"

#include "config/uOrvTnGlbl.h"
#include "log/uOrvIntfLogg.h"
#include "tests/log/LogTestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using logtest::TempDir;
namespace fs = std::filesystem;

// Every file of the given extension in dir, concatenated.
std::string ReadLogs(const std::string& dir, const std::string& extension)
{
    std::string all;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == "." + extension)
            all += logtest::ReadFile(entry.path().string());
    return all;
}

class TelnetLog : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedDir = gLogDir;
        savedLevel = gLogLevel;
        SetLogging(0);
    }
    void TearDown() override
    {
        SetLogging(0);
        gLogDir = savedDir;
        gLogLevel = savedLevel;
    }
    TempDir dir;
    std::string savedDir;
    std::int32_t savedLevel = 0;
};

TEST_F(TelnetLog, ConnectionEventsErrorsAndDumpsAreLoggedWithTheirTexts)
{
    TTestHost host;
    TEventLog events;
    bool onLoop = false;
    {
        TTestTelnet t;
        onLoop = t.EventLoop;
        t.SetDebugDir(dir.path());
        t.SetDebugLevel(6);
        EXPECT_EQ(t.GetDebugLevel(), 6);
        EXPECT_EQ(t.GetDebugDir(), dir.path());
        events.Attach(t);
        t.Host = "127.0.0.1";
        t.Port = host.Port();
        t.Timings = FastTimings();
        t.Connect();
        auto peer = host.Accept();
        ASSERT_NE(peer, nullptr);
        ASSERT_TRUE(peer->Send(Concat({HexBytes("FF FD 00"), Record("U"), Record("E"), Record("L"), HexBytes("FF FD 1E")})));
        ASSERT_TRUE(peer->ExpectBytes(HexBytes("FF FC 1E")));
        ASSERT_TRUE(events.WaitFor("SystemLock"));
        t.NotifyEvent(TCallBackEvent::ceIsAlive);
        ASSERT_TRUE(peer->Send(HexBytes("FF FA 18 01 FF F0 FF FA 18 01 FF F0")));
        ASSERT_TRUE(events.WaitFor("Disconnect"));
        t.SetDebugLevel(0);
    }
    const std::string sys = ReadLogs(dir.path(), "SYS");
    const std::string expected[] = {
        onLoop ? "Connecting (event loop). Host: 127.0.0.1 Port: " + std::to_string(host.Port()) + "\r\n"
               : "Connecting. Host: 127.0.0.1 Port: " + std::to_string(host.Port()) + " Service: \r\n",
        " Notify event ceSessionConnected\r\n",
        " Exception in TThSocketRead.Execute. ERROR: bad record\r\n",
        " Notify event ceSystemLocked\r\n",
        " TN_ERROR: Invalid Terminal Type or LU Name.\r\n",
        " Notify event ceSessionDisconnected\r\n",
    };
    std::size_t at = 0;
    for (const auto& line : expected) {
        const auto found = sys.find(line, at);
        EXPECT_NE(found, std::string::npos) << "missing, or out of order: " << line << "\nin:\n" << sys;
        if (found != std::string::npos)
            at = found;
    }
    EXPECT_EQ(sys.find("ceIsAlive"), std::string::npos);
    const std::string dmp = ReadLogs(dir.path(), "DMP");
    EXPECT_NE(dmp.find("TN STREAM RECEIVED (ASCII): "), std::string::npos);
    EXPECT_NE(dmp.find("TN STREAM SENT (ASCII): 3 BYTES"), std::string::npos);
    EXPECT_NE(dmp.find("TN STREAM SENT (ASCII): 11 BYTES"), std::string::npos);  // IS VT100
}

TEST_F(TelnetLog, AReceiveLoopAndAnOverlongSubnegotiationAreLoggedAsErrors)
{
    TTestHost host;
    TEventLog events;
    TTestTelnet t;
    t.SetDebugDir(dir.path());
    t.SetDebugLevel(1);
    events.Attach(t);
    t.Host = "127.0.0.1";
    t.Port = host.Port();
    t.Timings = FastTimings();
    t.Timings.BurstWindow = std::chrono::hours(1);
    t.Connect();
    ASSERT_TRUE(WaitConnected(t));
    auto peer = host.Accept();
    ASSERT_NE(peer, nullptr);
    Bytes overlong = HexBytes("FF FA 18 01");
    overlong.insert(overlong.end(), 200, 0x41);
    overlong.insert(overlong.end(), {0xFF, 0xF0});
    // The first block moves the negotiation on; 50 repeats of the request
    // without anything new are a loop.
    for (int i = 0; i < 52 && t.IsConnected(); ++i) {
        ASSERT_TRUE(peer->Send(Concat({i == 0 ? overlong : Bytes{}, HexBytes("FF FD 1E")})));
        peer->ExpectBytes(HexBytes("FF FC 1E"));
    }
    ASSERT_TRUE(events.WaitFor("Disconnect"));
    t.SetDebugLevel(0);
    const std::string sys = ReadLogs(dir.path(), "SYS");
    EXPECT_NE(sys.find(" TN_ERROR: Subnegotiation longer than 100 bytes discarded.\r\n"), std::string::npos) << sys;
    EXPECT_NE(sys.find(" Receive error(loop).\r\n"), std::string::npos) << sys;
}

TEST_F(TelnetLog, DesignTimeDebugSettingsDoNotSwitchLogging)
{
    TTestTelnet t;
    t.SetDesigning(true);
    t.SetDebugDir(dir.path());
    t.SetDebugLevel(6);
    EXPECT_EQ(gLogLevel, 6);
    EXPECT_FALSE(LogEnabled(1));
    MsgLog(1, "not written");
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

} // namespace
