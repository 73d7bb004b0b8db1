// The tn3270 program's session over TLS: its status line and the reason of
// a failure; and a real, independent TLS server (stunnel) in front of a real
// host (the mainframe emulator's 3270 console), whose connection screen is
// read over TLS.
#include "sim/uHostSimulator.h"
#include "sim/uSimTlsFront.h"
#include "sim/uSim3270Encoder.h"
#include "sim/uTestCertificates.h"
#include "tests/hercules/HerculesHost.h"
#include "tests/tls/StunnelProcess.h"
#include "component/uOperator.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace std::chrono_literals;
using namespace tnsim;

bool Shows(const std::vector<std::string>& lines, const std::string& text)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

TEST(TlsTool, StatusShowsProtocolCipherAndVerificationAndAFailureItsReason)
{
    if (!TTestCertificates::Available())
        GTEST_SKIP() << "the openssl command is missing (scripts/deps installs it)";
    TTestCertificates certs;
    THostSimulator host;
    TSimTlsOptions options;
    options.certFile = certs.Good.Cert;
    options.keyFile = certs.Good.Key;
    options.backendPort = host.Port();
    TSimTlsFront front(options);

    TOperator session;
    session.Component().SetTlsMode(TTlsMode::tmDirect);
    session.Component().SetTlsCaFile(certs.CaFile);
    ASSERT_TRUE(session.Connect("127.0.0.1", front.Port())) << session.LastError().Message;
    auto s = host.WaitSession();
    ASSERT_TRUE(s && s->WaitNegotiated());
    s->Send3270(TSim3270Encoder().EraseWrite(wcc::Restore).Field(1, 1, fa::Protected, "HELLO").Take());
    ASSERT_EQ(session.Wait(TWaitCondition::ForText("HELLO"), 10s), TWaitResult::Ok);
    const auto status = session.StatusLines();
    EXPECT_TRUE(Shows(status, "tls TLSv1.3 TLS_")) << status.back();
    EXPECT_TRUE(Shows(status, " verified"));
    EXPECT_FALSE(Shows(status, "last-error"));
    ASSERT_TRUE(session.Disconnect());

    // The same host under a CA the session does not trust.
    session.Component().SetTlsCaFile(certs.OtherCaFile);
    const TOperatorError refused = session.Connect("127.0.0.1", front.Port());
    EXPECT_FALSE(refused);
    EXPECT_NE(refused.Message.find("unknown CA"), std::string::npos) << refused.Message;
    EXPECT_TRUE(Shows(session.StatusLines(), "last-error TLS: "));
    EXPECT_TRUE(Shows(session.StatusLines(), "tls off"));
}

TEST(TlsRealServer, StunnelInFrontOfTheEmulatorServesItsConnectionScreenOverTls)
{
    if (!THerculesHost::Find())
        GTEST_SKIP() << "hercules is not installed (scripts/deps installs it)";
    if (!TStunnelProcess::Find())
        GTEST_SKIP() << "stunnel is not installed (scripts/deps installs it)";
    if (!TTestCertificates::Available())
        GTEST_SKIP() << "the openssl command is missing (scripts/deps installs it)";
    THerculesHost hercules;
    std::string error;
    ASSERT_TRUE(hercules.Start(error)) << error;
    TTestCertificates certs;
    TStunnelProcess stunnel;
    ASSERT_TRUE(stunnel.Start(certs.Good.Cert, certs.Good.Key, hercules.Port(), error)) << error;

    TOperator session;
    session.Component().SetTlsMode(TTlsMode::tmDirect);
    session.Component().SetTlsCaFile(certs.CaFile);
    ASSERT_TRUE(session.Connect("127.0.0.1", stunnel.Port())) << session.LastError().Message << "\n" << stunnel.Output();
    // The emulator's greeting names the console device the connection got.
    ASSERT_EQ(session.Wait(TWaitCondition::ForText("0010"), 30s), TWaitResult::Ok)
        << "stunnel:\n" << stunnel.Output() << "\nhercules:\n" << hercules.Output();
    const auto status = session.StatusLines();
    EXPECT_TRUE(Shows(status, "tls TLSv1.")) << status.back();
    EXPECT_TRUE(Shows(status, " verified"));
    EXPECT_TRUE(Shows(status, "tn3270e off"));  // the console speaks plain TN3270
    ASSERT_TRUE(session.Disconnect());
    EXPECT_TRUE(hercules.Running());
}

}  // namespace
