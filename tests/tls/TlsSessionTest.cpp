// The component over TLS: direct TLS and START_TLS against the simulator
// behind its TLS front, each failure with its own reason (LastError and
// the level-1 log line), client certificates, the defaults from
// "Telnet.ini", faults of the host over TLS, and Disconnect from another
// thread during a handshake.
#include "component/uTn3270E.h"
#include "config/uOrvTnGlbl.h"
#include "log/uTLogg.h"
#include "sim/uHostSimulator.h"
#include "sim/uSim3270Encoder.h"
#include "sim/uSimTlsFront.h"
#include "sim/uTestCertificates.h"
#include "sim/uTestHost.h"
#include "tests/support/TelnetHelpers.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <unistd.h>

#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// Holds a raw host's connection until the client closes it or the host
// is destroyed (WaitPeerClosed would wait out its time-out in the latter).
void WaitForTheEnd(TTestConnection& c)
{
    c.WaitUntil([](std::span<const std::uint8_t>) { return false; }, std::chrono::seconds(30));
}

using namespace std::chrono_literals;
using namespace tnsim;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr auto kWait = 10s;

// Counts each event; waits for counts.
class TSeen {
public:
    void Attach(TTn3270E& tn)
    {
        for (auto [name, slot] : {std::pair{"Connect", &tn.OnConnect}, {"ConnectionFail", &tn.OnConnectionFail},
                                  {"Disconnect", &tn.OnDisconnect}, {"ScreenChange", &tn.OnScreenChange}})
            *slot = [this, name = std::string(name)](TObject*) {
                std::lock_guard lock(mutex_);
                ++counts_[name];
                order_.push_back(name);
                changed_.notify_all();
            };
    }
    bool WaitFor(const std::string& name, int count = 1, std::chrono::milliseconds timeout = kWait)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return counts_[name] >= count; });
    }
    int Count(const std::string& name)
    {
        std::lock_guard lock(mutex_);
        return counts_[name];
    }
    std::vector<std::string> Order()
    {
        std::lock_guard lock(mutex_);
        return order_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, int> counts_;
    std::vector<std::string> order_;
};

Bytes Screen(std::string_view text)
{
    return TSim3270Encoder()
        .EraseWrite(wcc::Restore | wcc::ResetMdt)
        .Field(1, 1, fa::Protected, text)
        .Field(2, 10, fa::Unprotected)
        .IC()
        .Field(2, 30, fa::Protected)
        .Take();
}

class TlsSession : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (TTestCertificates::Available())
            certs = std::make_unique<TTestCertificates>();
    }
    static void TearDownTestSuite() { certs.reset(); }

    void SetUp() override
    {
        if (!certs)
            GTEST_SKIP() << "the openssl command is missing (scripts/deps installs it)";
        seen.Attach(tn);
        tn.Host = "127.0.0.1";
        tn.Timings.ReadPause = 0ms;
        tn.Timings.ConnectTimeout = 5s;
        tn.SetTlsCaFile(certs->CaFile);
    }

    void Front(TSimTlsOptions options, const TTestCertificates::TPair* pair = nullptr)
    {
        pair = pair != nullptr ? pair : &certs->Good;
        options.certFile = pair->Cert;
        options.keyFile = pair->Key;
        options.backendPort = options.backendPort != 0 ? options.backendPort : host.Port();
        front = std::make_unique<TSimTlsFront>(std::move(options));
        tn.Port = front->Port();
    }

    // The session behind the front, negotiated, showing a first screen.
    std::shared_ptr<TSimSession> Session(std::string_view text = "OVER TLS")
    {
        auto s = host.WaitSession();
        if (!s || !s->WaitNegotiated())
            return nullptr;
        s->Send3270(Screen(text));
        return seen.WaitFor("ScreenChange") ? s : nullptr;
    }

    static inline std::unique_ptr<TTestCertificates> certs;
    THostSimulator host;
    std::unique_ptr<TSimTlsFront> front;
    TSeen seen;  // outlives the component, whose reader may still call its handlers
    TTn3270E tn;
};

TEST_F(TlsSession, DirectTlsConnectsAfterAVerifiedHandshakeAndCarriesTheWholeSession)
{
    Front({});
    tn.SetTlsMode(TTlsMode::tmDirect);
    tn.Connect();
    ASSERT_TRUE(seen.WaitFor("Connect")) << tn.GetLastError();
    const TTlsInfo info = tn.GetTlsInfo();
    EXPECT_EQ(info.Protocol, "TLSv1.3");
    EXPECT_TRUE(info.Verified);
    EXPECT_FALSE(info.Cipher.empty());

    auto s = Session();
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->Negotiated().tn3270e);  // TN3270E negotiated inside TLS
    EXPECT_NE(tn.Snapshot().HostFields.at(0).Data.find("OVER TLS"), std::string::npos);
    {
        auto guard = tn.Lock();
        As3270Field(tn.UnprotectedFields.Items(0))->SetData("SECRET");
        tn.SetAidKey(TTn3270AidKey::akEnter);
    }
    auto in = s->WaitInbound();
    ASSERT_TRUE(in);
    ASSERT_EQ(in->fields.size(), 1u);
    EXPECT_EQ(in->fields[0].text, "SECRET");

    tn.Disconnect();
    EXPECT_TRUE(seen.WaitFor("Disconnect"));
    EXPECT_TRUE(s->WaitDisconnect());
    EXPECT_EQ(tn.GetLastError(), "");
    EXPECT_EQ(seen.Count("ConnectionFail"), 0);
}

struct TDirectFailure {
    const char* name;
    const char* pair;  // good, wrong, expired
    bool otherCa;
    const char* words;
    const char* expectedName = "";  // TlsExpectedName
    const char* caFile = nullptr;    // TlsCaFile instead of the test CA
};

class TlsSessionFailure : public TlsSession, public ::testing::WithParamInterface<TDirectFailure> {};

TEST_P(TlsSessionFailure, DirectTlsFailureRaisesConnectionFailWithItsReasonInLastErrorAndTheLog)
{
    const TDirectFailure& c = GetParam();
    const std::string pair = c.pair;
    Front({}, pair == "wrong" ? &certs->WrongName : pair == "expired" ? &certs->Expired : &certs->Good);
    if (c.otherCa)
        tn.SetTlsCaFile(certs->OtherCaFile);
    tn.SetTlsExpectedName(c.expectedName);
    if (c.caFile != nullptr)
        tn.SetTlsCaFile(c.caFile);
    tn.SetTlsMode(TTlsMode::tmDirect);

    const fs::path logDir = fs::temp_directory_path() / ("tn_tls_" + std::to_string(::getpid()) + c.name);
    fs::create_directories(logDir);
    tn.SetDebugDir(logDir.string());
    tn.SetDebugLevel(1);
    tn.Connect();
    EXPECT_TRUE(seen.WaitFor("ConnectionFail"));  // on the event loop it follows Connect
    tn.SetDebugLevel(0);

    EXPECT_EQ(seen.Count("ConnectionFail"), 1);
    EXPECT_EQ(seen.Count("Connect"), 0);
    EXPECT_FALSE(tn.IsConnected());
    EXPECT_NE(tn.GetLastError().find(c.words), std::string::npos) << tn.GetLastError();
    std::string log;
    for (const auto& f : fs::directory_iterator(logDir)) {
        std::ifstream in(f.path());
        std::stringstream text;
        text << in.rdbuf();
        log += text.str();
    }
    EXPECT_NE(log.find(tn.GetLastError()), std::string::npos) << log;
    fs::remove_all(logDir);
    EXPECT_EQ(host.SessionCount(), 0u);  // nothing reached the host
}

INSTANTIATE_TEST_SUITE_P(Cases, TlsSessionFailure,
                         ::testing::Values(TDirectFailure{"WrongName", "wrong", false, "name mismatch"},
                                           TDirectFailure{"Expired", "expired", false, "expired"},
                                           TDirectFailure{"UnknownCa", "good", true, "unknown CA"},
                                           TDirectFailure{"NotTheExpectedName", "good", false,
                                                          "not for \"wrong-name.invalid\"", "wrong-name.invalid"},
                                           TDirectFailure{"UnreadableCaFile", "good", false, "cannot read the CA file", "",
                                                          "/nonexistent/ca.pem"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TlsSession, StartTlsSendsNothingElseBeforeTlsThenNegotiatesAfreshInsideIt)
{
    Front({.startTls = true});
    tn.SetTlsMode(TTlsMode::tmStartTls);
    tn.Port = front->Port();
    tn.Connect();
    ASSERT_TRUE(seen.WaitFor("Connect"));
    auto peer = front->WaitHandshake();
    ASSERT_TRUE(peer && peer->handshakeDone) << (peer ? peer->failure : "no report");
    // In clear text: exactly WILL START_TLS and FOLLOWS; no TN3270E, no terminal type.
    EXPECT_EQ(peer->clearBytes, HexBytes("FF FB 2E FF FA 2E 01 FF F0"));

    auto s = Session("AFTER STARTTLS");
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->Negotiated().tn3270e);
    EXPECT_TRUE(tn.GetTlsInfo().Verified);
    EXPECT_EQ(tn.GetTlsInfo().Protocol, "TLSv1.3");
    EXPECT_EQ(tn.GetLastError(), "");
}

TEST_F(TlsSession, StartTlsAgainstAHostThatDoesNotOfferItEndsTheConnectionAndSendsNothing)
{
    TTestHost plain([](TTestConnection& c) {
        c.Send({0xFF, 0xFD, 0x28, 0xFF, 0xFD, 0x18});  // DO TN3270E, DO TERMINAL-TYPE
        WaitForTheEnd(c);
    });
    tn.Port = plain.Port();
    tn.SetTlsMode(TTlsMode::tmStartTls);
    tn.Connect();
    ASSERT_TRUE(seen.WaitFor("Disconnect"));
    EXPECT_NE(tn.GetLastError().find("does not offer START_TLS"), std::string::npos) << tn.GetLastError();
    EXPECT_NE(tn.GetLastError().find("DO 40"), std::string::npos) << tn.GetLastError();
}

TEST_F(TlsSession, StartTlsWithAFailedHandshakeEndsWithTheReasonAndNeverGoesOnInClearText)
{
    TTestHost raw;
    Front({.startTls = true, .backendPort = raw.Port()}, &certs->WrongName);
    tn.SetTlsMode(TTlsMode::tmStartTls);
    tn.Connect();
    ASSERT_TRUE(seen.WaitFor("Disconnect"));
    EXPECT_NE(tn.GetLastError().find("name mismatch"), std::string::npos) << tn.GetLastError();
    auto peer = front->WaitHandshake();
    ASSERT_TRUE(peer);
    EXPECT_FALSE(peer->handshakeDone);
    EXPECT_EQ(peer->clearBytes, HexBytes("FF FB 2E FF FA 2E 01 FF F0"));
    EXPECT_EQ(raw.AcceptedCount(), 0u);

    // Settings that cannot be used end it at the hand-over, before any TLS byte.
    Front({.startTls = true, .backendPort = raw.Port()});
    tn.SetTlsCaFile("/nonexistent/ca.pem");
    tn.Connect();
    ASSERT_TRUE(seen.WaitFor("Disconnect", 2));
    EXPECT_NE(tn.GetLastError().find("cannot read the CA file"), std::string::npos) << tn.GetLastError();
    peer = front->WaitHandshake();
    ASSERT_TRUE(peer);
    EXPECT_EQ(peer->clearBytes, HexBytes("FF FB 2E FF FA 2E 01 FF F0"));
}

TEST_F(TlsSession, StartTlsHostThatSaysNothingOrStallsInTheHandshakeIsGivenUpAtTheConnectTimeout)
{
    TTestHost silent([](TTestConnection& c) { WaitForTheEnd(c); });
    tn.Port = silent.Port();
    tn.SetTlsMode(TTlsMode::tmStartTls);
    tn.Timings.ConnectTimeout = 300ms;
    const auto start = Clock::now();
    tn.Connect();
    ASSERT_TRUE(seen.WaitFor("Disconnect"));
    EXPECT_GE(Clock::now() - start, 300ms);
    EXPECT_NE(tn.GetLastError().find("did not offer START_TLS"), std::string::npos) << tn.GetLastError();

    Front({.startTls = true, .fault = TSimTlsFault::StallHandshake});
    const auto stalled = Clock::now();
    tn.Connect();
    ASSERT_TRUE(seen.WaitFor("Disconnect", 2));
    EXPECT_GE(Clock::now() - stalled, 300ms);
    EXPECT_NE(tn.GetLastError().find("longer than the connect time-out"), std::string::npos) << tn.GetLastError();
}

TEST_F(TlsSession, HostBytesInTheSegmentThatEndsTheHandshakeAreNotLost)
{
    tn.SetTlsMode(TTlsMode::tmDirect);
    int round = 0;
    for (const int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        Front({.maxVersion = version, .firstBytesWithHandshake = true});
        tn.Connect();
        auto s = host.WaitSession();
        ASSERT_TRUE(s && s->WaitNegotiated()) << version;  // the host's DO TN3270E came with the handshake
        EXPECT_TRUE(s->Negotiated().tn3270e);
        tn.Disconnect();
        ASSERT_TRUE(seen.WaitFor("Disconnect", ++round));
    }
}

TEST_F(TlsSession, ClientCertificateIsPresentedWhenTheHostAsksAndMissingOneIsNamed)
{
    Front({.clientCaFile = certs->CaFile});
    tn.SetTlsMode(TTlsMode::tmDirect);
    tn.SetTlsCertFile(certs->Client.Cert);
    tn.SetTlsKeyFile(certs->Client.Key);
    tn.Connect();
    auto peer = front->WaitHandshake();
    ASSERT_TRUE(peer && peer->handshakeDone) << (peer ? peer->failure : "no report");
    EXPECT_NE(peer->clientSubject.find("tn3270 test client"), std::string::npos);
    ASSERT_TRUE(Session());
    tn.Disconnect();
    ASSERT_TRUE(seen.WaitFor("Disconnect"));

    tn.SetTlsCertFile("");
    tn.SetTlsKeyFile("");
    tn.Connect();
    ASSERT_TRUE(seen.WaitFor("Disconnect", 2));
    EXPECT_NE(tn.GetLastError().find("client certificate"), std::string::npos) << tn.GetLastError();
}

TEST_F(TlsSession, TelnetIniGivesTheDefaultsAndAPropertySetByTheApplicationWins)
{
    struct TRestore {
        ~TRestore()
        {
            std::lock_guard log(uTLogg::LogLock());
            gTlsMode = "none";
            gTlsCaFile.clear();
            gTlsVerify = true;
        }
    } restore;
    TTn3270E fresh;
    {
        std::lock_guard log(uTLogg::LogLock());
        gTlsMode = "direct";
        gTlsCaFile = certs->OtherCaFile;
        gTlsVerify = false;
    }
    EXPECT_EQ(fresh.GetTlsMode(), TTlsMode::tmDirect);
    EXPECT_EQ(fresh.GetTlsCaFile(), certs->OtherCaFile);
    EXPECT_FALSE(fresh.GetTlsVerify());
    EXPECT_EQ(fresh.GetTlsMinVersion(), "1.2");
    fresh.SetTlsVerify(true);
    EXPECT_TRUE(fresh.GetTlsVerify());
    {
        std::lock_guard log(uTLogg::LogLock());
        gTlsVerify = true;
    }

    // tn set only its CA file: the mode comes from the file, the CA from tn.
    Front({});
    tn.Connect();
    ASSERT_TRUE(seen.WaitFor("Connect")) << tn.GetLastError();
    EXPECT_TRUE(tn.GetTlsInfo().Verified);
    tn.Disconnect();
    ASSERT_TRUE(seen.WaitFor("Disconnect"));

    tn.SetTlsMode(TTlsMode::tmNone);
    EXPECT_EQ(tn.GetTlsMode(), TTlsMode::tmNone);
}

TEST_F(TlsSession, SkippedVerificationIsLoggedAtLevelOneOnEveryConnection)
{
    Front({}, &certs->WrongName);
    tn.SetTlsMode(TTlsMode::tmDirect);
    tn.SetTlsVerify(false);
    const fs::path logDir = fs::temp_directory_path() / ("tn_tls_insecure_" + std::to_string(::getpid()));
    fs::create_directories(logDir);
    tn.SetDebugDir(logDir.string());
    tn.SetDebugLevel(1);
    for (int i = 1; i <= 2; ++i) {
        tn.Connect();
        ASSERT_TRUE(seen.WaitFor("Connect", i)) << tn.GetLastError();
        EXPECT_FALSE(tn.GetTlsInfo().Verified);
        tn.Disconnect();
        ASSERT_TRUE(seen.WaitFor("Disconnect", i));
    }
    tn.SetDebugLevel(0);
    std::string log;
    for (const auto& f : fs::directory_iterator(logDir)) {
        std::ifstream in(f.path());
        std::stringstream text;
        text << in.rdbuf();
        log += text.str();
    }
    fs::remove_all(logDir);
    std::size_t lines = 0;
    for (std::size_t at = 0; (at = log.find("verification is off", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, 2u) << log;
}

TEST_F(TlsSession, HostFaultsOverTls)
{
    tn.SetTlsMode(TTlsMode::tmDirect);

    // Closed in the middle of the handshake.
    Front({.fault = TSimTlsFault::CloseInHandshake});
    tn.Connect();
    EXPECT_TRUE(seen.WaitFor("ConnectionFail"));
    EXPECT_EQ(seen.Count("Connect"), 0);
    EXPECT_NE(tn.GetLastError().find("during the handshake"), std::string::npos) << tn.GetLastError();

    // A handshake that never ends is bounded by the connect time-out.
    Front({.fault = TSimTlsFault::StallHandshake});
    tn.Timings.ConnectTimeout = 300ms;
    const auto start = Clock::now();
    tn.Connect();
    EXPECT_TRUE(seen.WaitFor("ConnectionFail", 2));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 5s);
    EXPECT_NE(tn.GetLastError().find("longer than the connect time-out"), std::string::npos) << tn.GetLastError();
    tn.Timings.ConnectTimeout = 5s;

    // Half a record, then the close: connected, nothing published, ended.
    Front({.fault = TSimTlsFault::CutRecord});
    tn.Connect();
    ASSERT_TRUE(seen.WaitFor("Connect"));
    ASSERT_TRUE(seen.WaitFor("Disconnect"));
    EXPECT_EQ(seen.Count("ScreenChange"), 0);
    EXPECT_FALSE(tn.GetLastError().empty());
    ASSERT_TRUE(host.WaitSession());  // the host side of that connection

    // A screen, then the host's close: the screen first, then the end.
    Front({});
    tn.Connect();
    ASSERT_TRUE(seen.WaitFor("Connect", 2));
    auto s = Session("LAST SCREEN");
    ASSERT_TRUE(s);
    s->Close();
    ASSERT_TRUE(seen.WaitFor("Disconnect", 2));
    const auto order = seen.Order();
    EXPECT_EQ(order.back(), "Disconnect");
    EXPECT_EQ(order[order.size() - 2], "ScreenChange");
}

TEST_F(TlsSession, ARecordLongerThanOneReadIsNotLeftInsideTheTlsSession)
{
    Front({});
    tn.SetTlsMode(TTlsMode::tmDirect);
    tn.Connect();
    auto s = host.WaitSession();
    ASSERT_TRUE(s && s->WaitNegotiated());
    // About 12 KB in one TLS record, more than one read takes: the rest is
    // decrypted inside the session, and the socket has nothing more to say.
    TSim3270Encoder screen;
    screen.EraseWrite(wcc::Restore).Field(1, 1, fa::Protected, "LONG RECORD");
    for (int i = 0; i < 3000; ++i)
        screen.SBA(2, 1 + i % 70).Text(i % 2 == 0 ? "A" : "B");
    s->Send3270(screen.Take());
    ASSERT_TRUE(seen.WaitFor("ScreenChange"));
    EXPECT_NE(tn.Snapshot().HostFields.at(0).Data.find("LONG RECORD"), std::string::npos);
}

TEST_F(TlsSession, KeyUpdatesTheHostAsksForAreAnsweredAndTheSessionGoesOn)
{
    Front({.keyUpdates = true});
    tn.SetTlsMode(TTlsMode::tmDirect);
    tn.Connect();
    auto s = Session("ROUND 0");
    ASSERT_TRUE(s);
    // Each screen comes after a key update; the host reads the answer to it
    // with the client's new keys, then the key.
    for (int round = 1; round <= 3; ++round) {
        {
            auto guard = tn.Lock();
            As3270Field(tn.UnprotectedFields.Items(0))->SetData("R" + std::to_string(round));
            tn.SetAidKey(TTn3270AidKey::akEnter);
        }
        auto in = s->WaitInbound();
        ASSERT_TRUE(in && in->fields.size() == 1) << round;
        EXPECT_EQ(in->fields[0].text, "R" + std::to_string(round));
        s->Send3270(Screen("ROUND " + std::to_string(round)));
        ASSERT_TRUE(seen.WaitFor("ScreenChange", round + 1));
    }
    EXPECT_EQ(seen.Count("Disconnect"), 0);
}

TEST_F(TlsSession, IdleWaitsLivenessChecksAndTheReceiveLoopGuardWorkOverTls)
{
    Front({});
    tn.SetTlsMode(TTlsMode::tmDirect);
    tn.Timings.WaitTimeout = 20ms;
    tn.Connect();
    auto s = Session();
    ASSERT_TRUE(s);
    // Idle: the reader's waits time out and every sixth asks the liveness
    // check, which keeps a live TLS connection.
    const auto idleStart = tn.ReaderIdleWaits();
    const auto deadline = Clock::now() + kWait;
    while (tn.ReaderIdleWaits() < idleStart + 13 && Clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_GE(tn.ReaderIdleWaits(), idleStart + 13);
    EXPECT_TRUE(tn.IsConnected());
    EXPECT_EQ(seen.Count("Disconnect"), 0);

    // A host that floods: the guard ends the connection as over TCP.
    const auto floodEnd = Clock::now() + kWait;
    while (seen.Count("Disconnect") == 0 && Clock::now() < floodEnd)
        s->SendRaw(HexBytes("FF F1"));
    EXPECT_TRUE(seen.WaitFor("Disconnect"));
    EXPECT_TRUE(s->WaitDisconnect());
}

TEST_F(TlsSession, DisconnectFromAnotherThreadCutsAStartTlsHandshakeShort)
{
    Front({.startTls = true, .fault = TSimTlsFault::StallHandshake});
    tn.SetTlsMode(TTlsMode::tmStartTls);
    tn.Timings.ConnectTimeout = 60s;
    tn.Connect();
    ASSERT_TRUE(seen.WaitFor("Connect"));
    ASSERT_TRUE(front->WaitHandshake());  // the exchange is done: the reader is in the handshake
    // Taken before the disconnect, which may let the component drop it. On
    // the event loop there is none: the loop thread steps the handshake.
    auto reader = tn.ReadThread();
    ASSERT_EQ(reader != nullptr, !tn.EventLoop);
    const auto start = Clock::now();
    std::thread other([&] { tn.Disconnect(); });
    other.join();
    ASSERT_TRUE(seen.WaitFor("Disconnect"));
    // The reader leaves the handshake at once, long before the time-out.
    const auto deadline = Clock::now() + kWait;
    while (reader && !reader->Finished.load() && Clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_TRUE(!reader || reader->Finished.load());
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(seen.Count("Disconnect"), 1);
}

}  // namespace

namespace {

// A component whose sends are kept; blocks are fed as the reader would.
class TCaptureTn3270E : public TTn3270E {
public:
    std::int32_t Send(const void* buf, std::int32_t len) override
    {
        std::lock_guard lock(mutex);
        const auto* p = static_cast<const std::uint8_t*>(buf);
        Sent.insert(Sent.end(), p, p + len);
        return len;
    }
    void Feed(const std::string& hex)
    {
        const Bytes b = HexBytes(hex);
        NewData(b.data(), static_cast<std::int32_t>(b.size()));
    }
    Bytes Taken()
    {
        std::lock_guard lock(mutex);
        Bytes out;
        out.swap(Sent);
        return out;
    }
    std::mutex mutex;
    Bytes Sent;
};

struct TExchangeCase {
    const char* name;
    std::vector<const char*> blocks;  // from the host, one NewData each
    bool keyBetween;                  // the application presses Enter after the first block
    const char* sent;                 // everything the client sent
    const char* error;                // in LastError; empty: none
};

class StartTlsExchange : public ::testing::TestWithParam<TExchangeCase> {};

TEST_P(StartTlsExchange, AnswersOnlyStartTlsAndJudgesOtherRequestsAtTheEndOfTheBlock)
{
    const TExchangeCase& c = GetParam();
    TTestHost quiet([](TTestConnection& conn) { WaitForTheEnd(conn); });
    TCaptureTn3270E tn;
    tn.Host = "127.0.0.1";
    tn.Port = quiet.Port();
    tn.SetTlsMode(TTlsMode::tmStartTls);
    tn.Connect();
    ASSERT_TRUE(tntest::WaitConnected(tn));
    for (std::size_t i = 0; i < c.blocks.size(); ++i) {
        tn.Feed(c.blocks[i]);
        if (i == 0 && c.keyBetween)
            tn.SetAidKey(TTn3270AidKey::akEnter);
    }
    EXPECT_EQ(ToHex(tn.Taken()), c.sent);
    const std::string error = tn.GetLastError();
    if (std::string(c.error).empty()) {
        EXPECT_EQ(error, "");
        EXPECT_TRUE(tn.IsConnected());
    } else {
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_FALSE(tn.IsConnected());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartTlsExchange,
    ::testing::Values(
        TExchangeCase{"OfferAndFollows", {"FF FD 2E", "FF FA 2E 01 FF F0"}, false, "FF FB 2E FF FA 2E 01 FF F0", ""},
        TExchangeCase{"OtherRequestsBesideTheOfferInOneBlock",
                      {"FF FD 18 FF FD 2E FF FB 19", "FF FA 2E 01 FF F0"}, false, "FF FB 2E FF FA 2E 01 FF F0", ""},
        TExchangeCase{"KeyBeforeTlsIsNotSent", {"FF FD 2E"}, true, "FF FB 2E", ""},
        TExchangeCase{"NoOffer", {"FF FD 28"}, false, "", "does not offer START_TLS (it sent DO 40"},
        TExchangeCase{"DataFirst", {"C1 C2 FF EF"}, false, "", "does not offer START_TLS (it sent data"},
        TExchangeCase{"RefusedAfterWill", {"FF FD 2E", "FF FE 2E"}, false, "FF FB 2E", "refused START_TLS (DONT 46)"},
        TExchangeCase{"OtherRequestsAfterTheOfferAreDropped", {"FF FD 2E", "FF FD 18 FF FA 18 01 FF F0"}, false,
                      "FF FB 2E", ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
