// Broken connections and failed connects, over real loopback sockets.
//
// A raw peer plays the host byte by byte, so that the connection can be cut
// at a chosen point of the client's parser: before the negotiation, after a
// lone IAC, after IAC DO, inside a subnegotiation, inside a record, and
// right after a whole screen, each with an orderly close (FIN) and with a
// reset (RST). Whatever the cut, the component must report the disconnect
// exactly once, end its reader, empty its lists, and start the next
// connection from a clean parser: the next negotiation is answered byte for
// byte and the next screen is painted exactly.
#include "ReliabilitySupport.h"
#include "telnet/uLoopTransport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace reliability {
namespace {

using namespace tnsim;

const std::string kType = "49 42 4D 2D 33 32 37 38 2D 32 2D 45";  // IBM-3278-2-E
const std::string kLu = "4C 55 30 31";                              // LU01
// An option nobody agrees to: its WONT proves the block before a cut was read.
const std::string kProbe = "FF FD 1E";
const std::string kProbeAnswer = "FF FC 1E";

// The screen every connection paints: a protected title and an input field.
Bytes ScreenRecord()
{
    return Cat({DataHeader(), TSim3270Encoder()
                                  .EraseWrite(wcc::Restore | wcc::ResetMdt)
                                  .Field(1, 1, fa::Protected, "RELIABILITY SCREEN")
                                  .Field(3, 10, fa::Unprotected, "INPUT")
                                  .IC()
                                  .Field(3, 20, fa::Protected)
                                  .Take()});
}

// Row texts of that screen exactly (80 columns each), every other row blank.
void ExpectExactScreen(TTn3270E& tn)
{
    const std::string blank(80, ' ');
    for (int row = 1; row <= 24; ++row) {
        std::string want = blank;
        if (row == 1)
            want.replace(1, 18, "RELIABILITY SCREEN");
        if (row == 3)
            want.replace(10, 5, "INPUT");
        EXPECT_EQ(RowText(tn, row), want) << "row " << row;
    }
    auto guard = tn.Lock();
    ASSERT_EQ(tn.UnprotectedFields.Count(), 1);
    EXPECT_EQ(tn.UnprotectedFields.Items(0)->Data.substr(0, 5), "INPUT");
}

bool Step(TTestConnection& peer, const std::string& send, const std::string& expect)
{
    if (!peer.Send(Hex(send)))
        return false;
    const bool ok = peer.ExpectBytes(Hex(expect), kWait);
    EXPECT_TRUE(ok) << "after " << send << " expected " << expect << ", got " << ToHex(peer.Pending());
    return ok;
}

// The TN3270E negotiation up to FUNCTIONS IS, checking what the client says.
// A component that connected before names its LU and the agreed functions.
bool Negotiate(TTestConnection& peer)
{
    if (!Step(peer, "FF FD 28", "FF FB 28"))
        return false;
    if (!Step(peer, "FF FA 28 08 02 FF F0", "FF FA 28 02 07 " + kType) || !peer.ExpectBytes(Hex("FF F0"), kWait))
        return false;
    if (!Step(peer, "FF FA 28 02 04 " + kType + " 01 " + kLu + " FF F0", "FF FA 28 03 07") ||
        !peer.ExpectBytes(Hex("FF F0"), kWait))
        return false;
    return peer.Send(Hex("FF FA 28 03 04 00 02 04 FF F0"));
}

enum class TCut { AtAccept, AfterDoTn3270E, AfterIac, AfterIacDo, InSubnegotiation, InRecord, AfterScreen, ScreenAndCloseAtOnce };
enum class THow { Fin, Rst };

struct TCutCase {
    const char* name;
    TCut cut;
    THow how;
};

std::string CaseName(const ::testing::TestParamInfo<TCutCase>& info)
{
    return std::string(info.param.name) + (info.param.how == THow::Fin ? "Fin" : "Rst");
}

class CutConnection : public ::testing::TestWithParam<TCutCase> {};

TEST_P(CutConnection, DisconnectOnceReaderEndsListsEmptyAndTheNextConnectStartsClean)
{
    const TCutCase c = GetParam();
    TTestHost host;
    if (TTn3270E().EventLoop)
        TLoopTransport::SharedLoop();  // its threads are there before the count
    const int threadsBefore = ThreadCount();
    {
        TRecorder events;
        TTn3270E tn;
        tn.Host = "127.0.0.1";
        tn.Port = host.Port();
        tn.Timings = QuickTimings();
        events.Attach(tn);

        tn.Connect();
        ASSERT_TRUE(tntest::WaitConnected(tn));
        // The reader thread, on the transport that has one (the loop has none).
        const auto reader = tn.ReadThread();
        ASSERT_EQ(reader != nullptr, !tn.EventLoop);
        auto peer = host.Accept(kWait);
        ASSERT_TRUE(peer);

        // Bring the client's parser to the cut point; the probe at the head
        // of the last block proves the whole block was read before the cut.
        switch (c.cut) {
        case TCut::AtAccept:
            break;
        case TCut::AfterDoTn3270E:
            ASSERT_TRUE(Step(*peer, "FF FD 28", "FF FB 28"));
            break;
        case TCut::AfterIac:
            ASSERT_TRUE(Step(*peer, kProbe + " FF", kProbeAnswer));
            break;
        case TCut::AfterIacDo:
            ASSERT_TRUE(Step(*peer, kProbe + " FF FD", kProbeAnswer));
            break;
        case TCut::InSubnegotiation:
            ASSERT_TRUE(Step(*peer, "FF FD 28", "FF FB 28"));
            ASSERT_TRUE(Step(*peer, kProbe + " FF FA 28 08", kProbeAnswer));
            break;
        case TCut::InRecord: {
            ASSERT_TRUE(Negotiate(*peer));
            Bytes half = Framed(ScreenRecord());
            half.resize(half.size() / 2);
            ASSERT_TRUE(Step(*peer, kProbe + " " + ToHex(half), kProbeAnswer));
            break;
        }
        case TCut::ScreenAndCloseAtOnce:
            // The screen and the FIN come together: the screen is still
            // published, before the disconnect.
            ASSERT_TRUE(Negotiate(*peer));
            ASSERT_TRUE(peer->Send(Framed(ScreenRecord())));
            break;
        case TCut::AfterScreen:
            ASSERT_TRUE(Negotiate(*peer));
            ASSERT_TRUE(peer->Send(Framed(ScreenRecord())));
            ASSERT_TRUE(events.WaitFor("ScreenChange"));
            {
                auto guard = tn.Lock();
                EXPECT_GT(tn.HostFields.Count(), 0);
                EXPECT_EQ(tn.UnprotectedFields.Count(), 1);
            }
            break;
        }
        if (c.how == THow::Fin)
            peer->Close();
        else
            peer->Reset();

        ASSERT_TRUE(events.WaitFor("Disconnect"));
        if (c.cut == TCut::ScreenAndCloseAtOnce) {
            const auto names = events.Names();
            const auto screen = std::find(names.begin(), names.end(), "ScreenChange");
            EXPECT_TRUE(screen != names.end() && screen < std::find(names.begin(), names.end(), "Disconnect"))
                << "the screen that came with the close was lost";
        }
        EXPECT_EQ(events.Last("Disconnect").hostCount, 0);
        EXPECT_EQ(events.Last("Disconnect").unprotectedCount, 0);
        EXPECT_FALSE(tn.IsConnected());
        EXPECT_EQ(tn.ReadThread(), nullptr);
        {
            auto guard = tn.Lock();
            EXPECT_EQ(tn.HostFields.Count(), 0);
            EXPECT_EQ(tn.UnprotectedFields.Count(), 0);
        }

        // The next connection: negotiation answered exactly, screen exact.
        tn.Connect();
        EXPECT_TRUE(!reader || reader->Finished.load()) << "the old reader still runs";
        ASSERT_TRUE(tntest::WaitConnected(tn));
        auto peer2 = host.Accept(kWait);
        ASSERT_TRUE(peer2);
        ASSERT_TRUE(Negotiate(*peer2));
        const int screens = events.Count("ScreenChange");
        ASSERT_TRUE(peer2->Send(Framed(ScreenRecord())));
        ASSERT_TRUE(events.WaitFor("ScreenChange", screens + 1));
        ExpectExactScreen(tn);

        tn.Disconnect();
        ASSERT_TRUE(peer2->WaitPeerClosed(kWait));
        EXPECT_EQ(events.Count("Disconnect"), 2);  // the cut once, our Disconnect once
        EXPECT_EQ(events.Count("Connect"), 2);
        EXPECT_EQ(events.Count("ConnectionFail"), 0);
        peer->Close();
        peer2->Close();
    }
    EXPECT_EQ(ThreadCount(), threadsBefore) << "a thread outlived the component";
}

const TCutCase kCutCases[] = {
    {"AtAccept", TCut::AtAccept, THow::Fin},
    {"AtAccept", TCut::AtAccept, THow::Rst},
    {"AfterDoTn3270E", TCut::AfterDoTn3270E, THow::Fin},
    {"AfterDoTn3270E", TCut::AfterDoTn3270E, THow::Rst},
    {"AfterIac", TCut::AfterIac, THow::Fin},
    {"AfterIac", TCut::AfterIac, THow::Rst},
    {"AfterIacDo", TCut::AfterIacDo, THow::Fin},
    {"AfterIacDo", TCut::AfterIacDo, THow::Rst},
    {"InSubnegotiation", TCut::InSubnegotiation, THow::Fin},
    {"InSubnegotiation", TCut::InSubnegotiation, THow::Rst},
    {"InRecord", TCut::InRecord, THow::Fin},
    {"InRecord", TCut::InRecord, THow::Rst},
    {"AfterScreen", TCut::AfterScreen, THow::Fin},
    {"AfterScreen", TCut::AfterScreen, THow::Rst},
    // (A reset may discard what the client has not read yet: FIN only.)
    {"ScreenAndCloseAtOnce", TCut::ScreenAndCloseAtOnce, THow::Fin},
};

INSTANTIATE_TEST_SUITE_P(Reliability, CutConnection, ::testing::ValuesIn(kCutCases), CaseName);

// The same cuts made by the host simulator in the middle of a real session
// (its own negotiation, BIND, a screen): close and reset after the screen,
// then a second session on the same component.
TEST(SimulatorCut, CloseAndResetAfterAScreenThenANewSession)
{
    THostSimulator host;
    TRecorder events;
    TTn3270E tn;
    tn.Host = "127.0.0.1";
    tn.Port = host.Port();
    tn.Timings = QuickTimings();
    events.Attach(tn);

    for (int round = 0; round < 2; ++round) {
        tn.Connect();
        auto s = host.WaitSession(kWait);
        ASSERT_TRUE(s && s->WaitNegotiated(kWait));
        s->SendBind();
        const int screens = events.Count("ScreenChange");
        s->Send3270(TSim3270Encoder().EraseWrite(wcc::Restore).Field(5, 5, fa::Protected, "ROUND").Take());
        ASSERT_TRUE(events.WaitFor("ScreenChange", screens + 1));
        EXPECT_TRUE(FieldsShow(tn, "ROUND"));
        if (round == 0)
            s->Close();
        else
            s->Reset();
        ASSERT_TRUE(events.WaitFor("Disconnect", round + 1));
        EXPECT_EQ(events.Count("Disconnect"), round + 1);
        EXPECT_EQ(events.Last("Disconnect").hostCount, 0);
        EXPECT_EQ(tn.ReadThread(), nullptr);
    }
}

// ---- connect failures

class ConnectFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
        tn = std::make_unique<TTn3270E>();
        tn->Timings = QuickTimings();
        events.Attach(*tn);
        if (tn->EventLoop)
            TLoopTransport::SharedLoop();  // its threads are there before the counts
    }
    // Connects and checks the failure report: OnConnectionFail once, nothing
    // else, nothing left running.
    void ExpectFailure(const std::string& hostName, std::int32_t port)
    {
        const int threads = ThreadCount();
        const int failures = events.Count("ConnectionFail");
        tn->Host = hostName;
        tn->Port = port;
        tn->Connect();
        EXPECT_TRUE(events.WaitFor("ConnectionFail", failures + 1));
        EXPECT_EQ(events.Count("ConnectionFail"), failures + 1);
        EXPECT_EQ(events.Count("Connect"), 0);
        EXPECT_EQ(events.Count("Disconnect"), 0);
        EXPECT_FALSE(tn->IsConnected());
        EXPECT_EQ(tn->ReadThread(), nullptr);
        EXPECT_EQ(ThreadCount(), threads);
    }

    TRecorder events;
    std::unique_ptr<TTn3270E> tn;
};

// A port on loopback where nobody listens (taken, then freed).
std::uint16_t ClosedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

TEST_F(ConnectFailure, RefusedPortsUnknownHostNoHostAndAnInvalidPortAreEachReportedOnce)
{
    ExpectFailure("127.0.0.1", ClosedPort());
    ExpectFailure("no-such-host.invalid", 23);
    // A name that resolves, to a port that refuses.
    ExpectFailure("localhost", ClosedPort());
    ExpectFailure("::1", ClosedPort());
    // Nothing to connect to, and a port no TCP connection can have.
    ExpectFailure("", 23);
    ExpectFailure("127.0.0.1", 70000);
    // Twice in a row: the component stays usable and reports again.
    ExpectFailure("127.0.0.1", ClosedPort());
}

// A listener whose accept queue is full and which never accepts: the
// kernel drops further SYNs, so a connect to it neither succeeds nor is
// refused. It stays on loopback, so no traffic leaves the machine.
class TBlackHole {
public:
    TBlackHole()
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 0) != 0)
            return;
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        // Fill the queue: connect until one connect stays pending.
        for (int i = 0; i < kMaxFillers; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            fillers_.push_back(fd);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                continue;
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, kSettleMs) == 0) {
                full_ = true;
                return;
            }
        }
    }
    ~TBlackHole()
    {
        for (int fd : fillers_)
            ::close(fd);
        if (listen_ >= 0)
            ::close(listen_);
    }
    TBlackHole(const TBlackHole&) = delete;
    TBlackHole& operator=(const TBlackHole&) = delete;
    bool Full() const { return full_; }
    std::uint16_t Port() const { return port_; }

private:
    static constexpr int kMaxFillers = 16;
    static constexpr int kSettleMs = 300;  // a loopback connect completes in far less
    int listen_ = -1;
    std::uint16_t port_ = 0;
    bool full_ = false;
    std::vector<int> fillers_;
};

TEST_F(ConnectFailure, AnAddressThatNeverAnswersFailsWithinTheConnectTimeout)
{
    TBlackHole hole;
    if (!hole.Full())
        GTEST_SKIP() << "the kernel accepted every connect; no unanswered address to test with";
    tn->Timings.ConnectTimeout = 500ms;
    const auto start = std::chrono::steady_clock::now();
    ExpectFailure("127.0.0.1", hole.Port());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 450ms);
    EXPECT_LT(took, 5s) << "the connect time-out did not bound the wait";
}

}  // namespace
}  // namespace reliability
