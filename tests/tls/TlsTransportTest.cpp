// The TLS transport against the simulator's TLS front with certificates
// made for the run: verification outcomes and their reasons, client
// certificates, START_TLS, faults, and reads and writes from two threads.
#include "platform/uEventLoop.h"
#include "platform/uSocketIo.h"
#include "platform/uTcpClient.h"
#include "sim/uSimTlsFront.h"
#include "sim/uTestCertificates.h"
#include "sim/uTestHost.h"

#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

// Options are written with designated initialisers naming only what a case changes.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

// Holds a raw host's connection until the client closes it or the host
// is destroyed (WaitPeerClosed would wait out its time-out in the latter).
void WaitForTheEnd(TTestConnection& c)
{
    c.WaitUntil([](std::span<const std::uint8_t>) { return false; }, std::chrono::seconds(30));
}

using namespace std::chrono_literals;
using tnsim::TSimTlsFault;
using tnsim::TSimTlsFront;
using tnsim::TSimTlsOptions;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = 10s;

class TlsTransport : public ::testing::Test {
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
        client.Address = "127.0.0.1";
        client.ConnectTimeout = 5s;
        client.TlsDirect = true;
        client.TlsSettings.CaFile = certs->CaFile;
    }

    void Front(TSimTlsOptions options, const TTestCertificates::TPair* pair = nullptr)
    {
        pair = pair != nullptr ? pair : &certs->Good;
        options.certFile = pair->Cert;
        options.keyFile = pair->Key;
        options.backendPort = backend.Port();
        front = std::make_unique<TSimTlsFront>(std::move(options));
        client.SetPort(front->Port());
    }

    // Reads until want bytes came, the stream ended or the time ran out.
    static std::vector<std::uint8_t> ReadUpTo(TTcpConnection& c, std::size_t want, std::int32_t* last = nullptr)
    {
        std::vector<std::uint8_t> got;
        std::uint8_t buf[4096];
        const auto deadline = Clock::now() + kWait;
        std::int32_t n = 0;
        while (got.size() < want && Clock::now() < deadline) {
            if (c.WaitForData(100ms) != TTcpConnection::TWait::Ready)
                continue;
            n = c.ReceiveBuf(buf, sizeof buf);
            if (n == TTcpConnection::kNoData)
                continue;
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
        if (last != nullptr)
            *last = n;
        return got;
    }

    static inline std::unique_ptr<TTestCertificates> certs;
    TTestHost backend;
    std::unique_ptr<TSimTlsFront> front;
    TTcpClient client;
};

TEST_F(TlsTransport, VerifiedByAddressAndByNameWithSniAndCarriesDataBothWays)
{
    Front({});
    client.Open();
    auto conn = client.Connection();
    ASSERT_TRUE(conn && conn->IsTls());
    const TTlsInfo info = conn->TlsInfo();
    EXPECT_TRUE(info.Verified);
    EXPECT_EQ(info.Protocol, "TLSv1.3");
    EXPECT_FALSE(info.Cipher.empty());
    EXPECT_NE(info.PeerSubject.find("localhost"), std::string::npos);
    auto peer = front->WaitHandshake();
    ASSERT_TRUE(peer && peer->handshakeDone) << (peer ? peer->failure : "no report");
    EXPECT_EQ(peer->serverName, "");  // no SNI for an address (RFC 6066)
    EXPECT_TRUE(peer->clearBytes.empty());

    auto host = backend.Accept();
    ASSERT_TRUE(host);
    const auto screen = HexBytes("FF FD 28 F5 C3 11 40 40 FF EF");
    ASSERT_TRUE(host->Send(screen));
    EXPECT_EQ(ReadUpTo(*conn, screen.size()), screen);
    EXPECT_EQ(client.SendBuf("\x7d\xff\xef", 3), 3);
    EXPECT_TRUE(host->ExpectBytes({0x7D, 0xFF, 0xEF}));
    client.Close();

    client.Address.clear();
    client.Host = "localhost";
    client.Open();
    peer = front->WaitHandshake();
    ASSERT_TRUE(peer && peer->handshakeDone);
    EXPECT_EQ(peer->serverName, "localhost");
    EXPECT_TRUE(client.Connection()->TlsInfo().Verified);
}

// The handshake stepped on an event loop: each step waits for the
// readiness it asked for, on the loop thread, and ends verified; against a
// plain port it fails as Connect does.
TEST_F(TlsTransport, HandshakeStepsOnAnEventLoopWaitingForTheReadinessItAsks)
{
    Front({});
    TEventLoop loop(1);
    struct TStepper : IIoHandler {
        TEventLoop* loop = nullptr;
        TIoId id = 0;
        std::unique_ptr<TTlsHandshake> handshake;
        std::promise<std::string> result;  // the protocol, or "failed: why"
        void OnIo(std::uint32_t) override { Next(); }
        void Next()
        {
            try {
                const auto step = handshake->Step();
                if (step != TTlsHandshake::TStep::tsDone) {
                    loop->Modify(id, step == TTlsHandshake::TStep::tsWantRead ? kIoRead : kIoWrite);
                    return;
                }
                const auto session = handshake->Finish();
                const TTlsInfo info = session->Info();
                result.set_value(info.Verified ? info.Protocol : "unverified");
            } catch (const ETlsError& e) {
                result.set_value(std::string("failed: ") + e.what());
            }
            loop->Remove(id);
        }
    };
    const auto run = [&](std::uint16_t port) {
        const TConnectStart c = StartConnect("127.0.0.1", port);
        EXPECT_GE(c.Fd, 0);
        TStepper s;
        s.loop = &loop;
        TTlsSettings settings;
        settings.CaFile = certs->CaFile;
        s.handshake = std::make_unique<TTlsHandshake>(c.Fd, settings, "127.0.0.1");
        auto result = s.result.get_future();
        // Registered without interest first: the loop thread may step the
        // handshake as soon as there is interest, and it reads s.id.
        s.id = loop.Add(c.Fd, 0, s);
        loop.Modify(s.id, kIoWrite);  // writable once connected: the first step
        EXPECT_EQ(result.wait_for(kWait), std::future_status::ready);
        loop.Remove(s.id);
        ::close(c.Fd);
        return result.get();
    };
    // (On loopback the host may answer within the first step: how many
    // steps it took is not a property of the handshake.)
    EXPECT_EQ(run(front->Port()), "TLSv1.3");
    TTestHost plain([](TTestConnection& c) {
        c.Send(std::string_view("plain telnet\r\n"));
        WaitForTheEnd(c);
    });
    const std::string notTls = run(plain.Port());
    EXPECT_NE(notTls.find("did not answer in TLS"), std::string::npos) << notTls;
}

struct TFailureCase {
    const char* name;
    const char* pair;      // good, wrong, expired
    const char* ca;        // test, other, system
    int hostMaxVersion;    // 0: the library's
    const char* minVersion;
    TTlsFailure failure;
    const char* words;     // in the message
};

class TlsVerifyFailure : public TlsTransport, public ::testing::WithParamInterface<TFailureCase> {};

TEST_P(TlsVerifyFailure, FailsWithItsOwnReasonAndLeavesTheClientInactive)
{
    const TFailureCase& c = GetParam();
    const std::string pair = c.pair;
    Front({.maxVersion = c.hostMaxVersion},
          pair == "wrong" ? &certs->WrongName : pair == "expired" ? &certs->Expired : &certs->Good);
    const std::string ca = c.ca;
    client.TlsSettings.CaFile = ca == "test" ? certs->CaFile : ca == "other" ? certs->OtherCaFile : "";
    client.TlsSettings.MinVersion = c.minVersion;
    bool connected = false;
    client.OnConnect = [&](TTcpClient&) { connected = true; };
    try {
        client.Open();
        FAIL() << "connected";
    } catch (const ETlsError& e) {
        EXPECT_EQ(e.Failure(), c.failure) << e.what();
        EXPECT_NE(std::string(e.what()).find(c.words), std::string::npos) << e.what();
    }
    EXPECT_FALSE(client.Active());
    EXPECT_FALSE(connected);
    EXPECT_EQ(client.Connection(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TlsVerifyFailure,
    ::testing::Values(
        TFailureCase{"WrongName", "wrong", "test", 0, "", TTlsFailure::tfNameMismatch, "name mismatch"},
        TFailureCase{"Expired", "expired", "test", 0, "", TTlsFailure::tfExpired, "expired"},
        TFailureCase{"OtherCa", "good", "other", 0, "", TTlsFailure::tfUnknownCa, "unknown CA"},
        TFailureCase{"SystemStore", "good", "system", 0, "", TTlsFailure::tfUnknownCa, "unknown CA"},
        TFailureCase{"ProtocolVersion", "good", "test", TLS1_2_VERSION, "1.3", TTlsFailure::tfProtocolVersion,
                     "protocol version"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(TlsTransport, SettingsThatCannotBeUsedAreReportedBeforeAnyHandshake)
{
    Front({});
    const std::pair<std::function<void(TTlsSettings&)>, const char*> cases[] = {
        {[](TTlsSettings& s) { s.MinVersion = "2.0"; }, "TlsMinVersion"},
        {[](TTlsSettings& s) { s.CaFile = "/nonexistent/ca.pem"; }, "CA file"},
        {[&](TTlsSettings& s) { s.CertFile = certs->Client.Cert; s.KeyFile = certs->Good.Key; }, "does not belong"},
        {[](TTlsSettings& s) { s.KeyFile = "/nonexistent/key.pem"; }, "without a client certificate"},
    };
    for (const auto& [change, words] : cases) {
        TTlsSettings settings{.CaFile = certs->CaFile};
        change(settings);
        client.TlsSettings = settings;
        try {
            client.Open();
            ADD_FAILURE() << words << ": connected";
        } catch (const ETlsError& e) {
            EXPECT_EQ(e.Failure(), TTlsFailure::tfSettings) << e.what();
            EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
        }
    }
}

TEST_F(TlsTransport, SkippingVerificationConnectsToAWrongNameAndSaysItIsNotVerified)
{
    Front({}, &certs->Expired);
    client.TlsSettings.CaFile.clear();  // not even the CA
    client.TlsSettings.Verify = false;
    client.Open();
    EXPECT_FALSE(client.Connection()->TlsInfo().Verified);
}

TEST_F(TlsTransport, AnExpectedNameIsCheckedAndSentInsteadOfTheHosts)
{
    Front({}, &certs->WrongName);
    client.TlsSettings.ExpectedName = "wrong-name.invalid";
    client.Open();
    EXPECT_TRUE(client.Connection()->TlsInfo().Verified);
    auto peer = front->WaitHandshake();
    ASSERT_TRUE(peer && peer->handshakeDone);
    EXPECT_EQ(peer->serverName, "wrong-name.invalid");
    client.Close();

    // The host's own name no longer counts.
    Front({});
    client.TlsSettings.ExpectedName = "wrong-name.invalid";
    try {
        client.Open();
        FAIL() << "connected";
    } catch (const ETlsError& e) {
        EXPECT_EQ(e.Failure(), TTlsFailure::tfNameMismatch) << e.what();
        EXPECT_NE(std::string(e.what()).find("\"wrong-name.invalid\""), std::string::npos) << e.what();
    }
}

TEST_F(TlsTransport, PlainPortIsReportedAsNotTls)
{
    // A plain telnet host speaks first (IAC DO ...): that is no TLS record.
    TTestHost plain([](TTestConnection& c) {
        c.Send({0xFF, 0xFD, 0x28});
        WaitForTheEnd(c);
    });
    client.SetPort(plain.Port());
    try {
        client.Open();
        FAIL() << "connected";
    } catch (const ETlsError& e) {
        EXPECT_EQ(e.Failure(), TTlsFailure::tfNotTls) << e.what();
    }
}

TEST_F(TlsTransport, ClientCertificateIsPresentedWhenTheHostAsksAndItsAbsenceEndsTheSession)
{
    Front({.clientCaFile = certs->CaFile});
    client.TlsSettings.CertFile = certs->Client.Cert;
    client.TlsSettings.KeyFile = certs->Client.Key;
    client.Open();
    auto peer = front->WaitHandshake();
    ASSERT_TRUE(peer && peer->handshakeDone) << (peer ? peer->failure : "no report");
    EXPECT_NE(peer->clientSubject.find("tn3270 test client"), std::string::npos) << peer->clientSubject;
    client.Close();

    // Without one: in TLS 1.3 the client's handshake ends before the host
    // has looked at the client's (empty) certificate; the refusal arrives
    // with the first read and must read as such.
    client.TlsSettings.CertFile.clear();
    client.TlsSettings.KeyFile.clear();
    client.Open();
    peer = front->WaitHandshake();
    ASSERT_TRUE(peer);
    EXPECT_FALSE(peer->handshakeDone);
    auto conn = client.Connection();
    std::int32_t last = 1;
    EXPECT_TRUE(ReadUpTo(*conn, 1, &last).empty());
    EXPECT_EQ(last, -1);
    EXPECT_NE(conn->TlsFailureText().find("client certificate"), std::string::npos) << conn->TlsFailureText();
}

TEST_F(TlsTransport, StartTlsUpgradesAConnectionMidStreamAfterTheClearTextExchange)
{
    Front({.startTls = true});
    client.TlsDirect = false;
    client.Open();
    auto conn = client.Connection();
    EXPECT_EQ(ReadUpTo(*conn, 3), HexBytes("FF FD 2E"));
    ASSERT_EQ(client.SendBuf("\xff\xfb\x2e", 3), 3);
    EXPECT_EQ(ReadUpTo(*conn, 6), HexBytes("FF FA 2E 01 FF F0"));
    ASSERT_EQ(client.SendBuf("\xff\xfa\x2e\x01\xff\xf0", 6), 6);
    conn->StartTls(TTlsSettings{.CaFile = certs->CaFile}, "127.0.0.1", Clock::now() + kWait);
    auto peer = front->WaitHandshake();
    ASSERT_TRUE(peer && peer->handshakeDone) << (peer ? peer->failure : "no report");
    EXPECT_EQ(peer->clearBytes, HexBytes("FF FB 2E FF FA 2E 01 FF F0"));
    auto host = backend.Accept();
    ASSERT_TRUE(host);
    ASSERT_TRUE(host->Send({0xFF, 0xFD, 0x28}));
    EXPECT_EQ(ReadUpTo(*conn, 3), HexBytes("FF FD 28"));
}

TEST_F(TlsTransport, AFailedUpgradeLeavesTheConnectionRefusingToSendInClearText)
{
    Front({.startTls = true}, &certs->WrongName);
    client.TlsDirect = false;
    client.Open();
    auto conn = client.Connection();
    ReadUpTo(*conn, 3);
    client.SendBuf("\xff\xfb\x2e", 3);
    ReadUpTo(*conn, 6);
    client.SendBuf("\xff\xfa\x2e\x01\xff\xf0", 6);
    EXPECT_THROW(conn->StartTls(TTlsSettings{.CaFile = certs->CaFile}, "127.0.0.1", Clock::now() + kWait),
                 ETlsError);
    int code = 0;
    EXPECT_EQ(conn->SendBuf("secret", 6, &code), -1);
    EXPECT_EQ(code, EPROTO);
}

TEST_F(TlsTransport, HostFaultsInTheHandshakeAndInARecord)
{
    Front({.fault = TSimTlsFault::CloseInHandshake});
    try {
        client.Open();
        ADD_FAILURE() << "connected";
    } catch (const ETlsError& e) {
        EXPECT_EQ(e.Failure(), TTlsFailure::tfClosedDuringHandshake) << e.what();
        EXPECT_NE(std::string(e.what()).find("closed the connection during the handshake"), std::string::npos);
    }

    // A stalled host: the handshake gives up at the connect time-out.
    Front({.fault = TSimTlsFault::StallHandshake});
    client.ConnectTimeout = 300ms;
    const auto start = Clock::now();
    try {
        client.Open();
        ADD_FAILURE() << "connected";
    } catch (const ETlsError& e) {
        EXPECT_EQ(e.Failure(), TTlsFailure::tfTimeout) << e.what();
    }
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 5s);
    auto peer = front->WaitHandshake();
    ASSERT_TRUE(peer);
    EXPECT_FALSE(peer->handshakeDone);

    // Half a record, then the close: no byte of it is handed on as data.
    client.ConnectTimeout = 5s;
    Front({.fault = TSimTlsFault::CutRecord});
    client.Open();
    auto host = backend.Accept();
    ASSERT_TRUE(host);
    ASSERT_TRUE(host->Send({0xFF, 0xFD, 0x28, 0xF5, 0xC3}));
    std::int32_t last = 1;
    EXPECT_TRUE(ReadUpTo(*client.Connection(), 5, &last).empty());
    EXPECT_EQ(last, 0);
    EXPECT_FALSE(client.Connection()->TlsFailureText().empty());
}

TEST_F(TlsTransport, ReaderAndWritersOnTwoThreadsAndAShutdownFromAThird)
{
    Front({});
    client.Open();
    auto conn = client.Connection();
    auto host = backend.Accept();
    ASSERT_TRUE(host);
    constexpr int kChunks = 200;
    constexpr std::size_t kChunk = 1000;
    std::vector<std::uint8_t> chunk(kChunk);
    for (std::size_t i = 0; i < kChunk; ++i)
        chunk[i] = static_cast<std::uint8_t>(i * 7);

    std::atomic<std::size_t> received{0};
    std::atomic<std::int32_t> end{1};
    std::thread reader([&] {
        std::uint8_t buf[8192];
        for (;;) {
            const auto w = conn->WaitForData(10s);
            if (w != TTcpConnection::TWait::Ready)
                break;
            const std::int32_t n = conn->ReceiveBuf(buf, sizeof buf);
            if (n == TTcpConnection::kNoData)
                continue;
            if (n <= 0) {
                end = n;
                break;
            }
            received += static_cast<std::size_t>(n);
        }
    });
    std::thread hostWriter([&] {
        for (int i = 0; i < kChunks; ++i)
            host->Send(chunk);
    });
    std::thread writer2([&] {
        for (int i = 0; i < kChunks / 2; ++i)
            client.SendBuf(chunk.data(), static_cast<std::int32_t>(kChunk));
    });
    for (int i = 0; i < kChunks / 2; ++i)
        client.SendBuf(chunk.data(), static_cast<std::int32_t>(kChunk));
    writer2.join();
    hostWriter.join();
    EXPECT_TRUE(host->WaitUntil([&](auto pending) { return pending.size() >= kChunks * kChunk; }, kWait));
    const auto deadline = Clock::now() + kWait;
    while (received.load() < kChunks * kChunk && Clock::now() < deadline)
        std::this_thread::yield();
    EXPECT_EQ(received.load(), kChunks * kChunk);
    // Every byte as sent: whole sends stay together.
    const auto all = host->Received();
    for (std::size_t i = 0; i < all.size(); ++i)
        if (all[i] != chunk[i % kChunk]) {
            ADD_FAILURE() << "byte " << i << " out of place";
            break;
        }

    // The reader waits for data; another thread shuts the socket down.
    client.Shutdown();
    reader.join();
    EXPECT_LE(end.load(), 0);
    int code = 0;
    EXPECT_EQ(conn->SendBuf("x", 1, &code), -1);
    EXPECT_EQ(code, ESHUTDOWN);
}

}  // namespace
