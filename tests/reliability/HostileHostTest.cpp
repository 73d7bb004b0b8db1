// Hosts that misbehave, over real loopback sockets: one that says nothing
// (the reader's liveness check), one that sends a screen a byte at a time,
// busy hosts the receive-loop guard lets be (a screen stream, fast round
// trips) and loops it cuts (floods of NOPs, repeated subnegotiations and
// requests, checked in the real log file),
// records at and one byte beyond the input bound, and subnegotiations at
// and beyond the 100-byte buffer.
#include "ReliabilitySupport.h"

#include "log/uOrvIntfLogg.h"
#include "sim/uDemoApp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace reliability {
namespace {

using namespace tnsim;

// A component whose liveness check the test can watch (and make fail).
class TWatchedTn3270E : public TTn3270E {
public:
    ~TWatchedTn3270E() override { Destroying(); }
    // Runs on the reader thread, under the session lock.
    bool IsAlive() override
    {
        {
            std::lock_guard lock(mutex_);
            ++checks_;
        }
        changed_.notify_all();
        return dead_.load() ? false : TTn3270E::IsAlive();
    }
    bool WaitChecks(int n)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return checks_ >= n; });
    }
    std::atomic<bool> dead_{false};

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int checks_ = 0;
};

// Logging switched on into a temporary directory for one test, and off
// (with the old directory) afterwards. Logging belongs to the process.
class TLogCapture {
public:
    TLogCapture(TTn3270E& tn, std::uint16_t level) : tn_(tn), dir_("log"), oldDir_(tn.GetDebugDir())
    {
        tn_.SetDebugDir(dir_.Path().string());
        tn_.SetDebugLevel(level);
    }
    ~TLogCapture()
    {
        tn_.SetDebugLevel(0);
        tn_.SetDebugDir(oldDir_);
    }
    TLogCapture(const TLogCapture&) = delete;
    TLogCapture& operator=(const TLogCapture&) = delete;
    std::string Text() const { return ReadMessageLogs(dir_.Path()); }

private:
    TTn3270E& tn_;
    TTempDir dir_;
    std::string oldDir_;
};

class HostileHost : public ::testing::Test {
protected:
    template <class T = TTn3270E>
    T& Start(TTelnetTimings timings = QuickTimings())
    {
        host = std::make_unique<THostSimulator>();
        auto made = std::make_unique<T>();
        T& ref = *made;
        tn = std::move(made);
        tn->Host = "127.0.0.1";
        tn->Port = host->Port();
        tn->Timings = timings;
        events.Attach(*tn);
        return ref;
    }
    std::shared_ptr<TSimSession> Open()
    {
        tn->Connect();
        auto s = host->WaitSession(kWait);
        if (!s || !s->WaitNegotiated(kWait)) {
            ADD_FAILURE() << "no negotiated session";
            return nullptr;
        }
        return s;
    }
    std::vector<std::string> Screen()
    {
        std::vector<std::string> rows;
        for (int r = 1; r <= 24; ++r)
            rows.push_back(RowText(*tn, r));
        return rows;
    }
    void TearDown() override
    {
        tn.reset();
        host.reset();
    }

    TRecorder events;
    std::unique_ptr<THostSimulator> host;
    std::unique_ptr<TTn3270E> tn;
};

// ---- a host that sends nothing

TEST_F(HostileHost, ASilentHostIsCheckedEverySixthIdleWaitAndItsLateScreenStillArrives)
{
    TTelnetTimings t = QuickTimings();
    t.WaitTimeout = 5ms;
    auto& watched = Start<TWatchedTn3270E>(t);
    auto s = Open();
    ASSERT_TRUE(s);
    ASSERT_TRUE(watched.WaitChecks(3));
    // Checks two and three each follow six idle waits: the reader neither
    // spins nor checks on every wait.
    EXPECT_GE(tn->ReaderIdleWaits(), 12u);
    EXPECT_TRUE(tn->IsConnected());
    EXPECT_EQ(events.Count("Disconnect"), 0);

    s->Send3270(TSim3270Encoder().EraseWrite(wcc::Restore).Field(1, 1, fa::Protected, "LATE SCREEN").Take());
    ASSERT_TRUE(events.WaitFor("ScreenChange"));
    EXPECT_TRUE(FieldsShow(*tn, "LATE SCREEN"));
}

TEST_F(HostileHost, AFailedLivenessCheckEndsTheConnectionOnce)
{
    TTelnetTimings t = QuickTimings();
    t.WaitTimeout = 5ms;
    auto& watched = Start<TWatchedTn3270E>(t);
    auto s = Open();
    ASSERT_TRUE(s);
    const auto reader = tn->ReadThread();  // null on the loop, which has none
    watched.dead_ = true;
    ASSERT_TRUE(events.WaitFor("Disconnect"));
    EXPECT_TRUE(s->WaitDisconnect(kWait));
    EXPECT_FALSE(tn->IsConnected());
    EXPECT_EQ(tn->ReadThread(), nullptr);
    // Nothing more from the dead reader, and the next connection works.
    watched.dead_ = false;
    auto s2 = Open();
    ASSERT_TRUE(s2);
    EXPECT_TRUE(!reader || reader->Finished.load());
    EXPECT_EQ(events.Count("Disconnect"), 1);
}

// ---- a host that sends a byte at a time

TEST_F(HostileHost, AScreenSentAByteAtATimeArrivesWholeAsOneScreen)
{
    // No read pause: nearly every byte is a block of its own, and each one
    // adds to the record, so the receive-loop guard lets the trickle be.
    Start();
    auto s = Open();
    ASSERT_TRUE(s);
    TDemoOptions demo;
    demo.clock = [] { std::tm tm{}; tm.tm_year = 124; tm.tm_mon = 4; tm.tm_mday = 17; return tm; };
    const Bytes panel = TDemoApp(demo).SignOnPanel("BYTE BY BYTE");
    const Bytes wire = Framed(Cat({DataHeader(), panel}));

    // The reference: the same record in one piece.
    s->SendRaw(wire);
    ASSERT_TRUE(events.WaitFor("ScreenChange", 1));
    const auto reference = Screen();
    ASSERT_NE(reference[0], std::string(80, ' '));
    s->Send3270(TSim3270Encoder().EraseWrite(wcc::Restore).Take());
    ASSERT_TRUE(events.WaitFor("ScreenChange", 2));

    for (std::size_t i = 0; i < wire.size(); ++i)
        s->SendRaw(ByteView(&wire[i], 1));
    ASSERT_TRUE(events.WaitFor("ScreenChange", 3));
    EXPECT_EQ(Screen(), reference);
    EXPECT_TRUE(FieldsShow(*tn, "BYTE BY BYTE"));
    // A screen that arrives in pieces is published once, when it is whole.
    s->Send3270(TSim3270Encoder().Write(wcc::Restore).Field(24, 70, fa::Protected, "END").Take());
    ASSERT_TRUE(events.WaitFor("ScreenChange", 4));
    EXPECT_EQ(events.Count("ScreenChange"), 4);
    EXPECT_TRUE(tn->IsConnected());
}

// ---- busy hosts are not loops; loops are cut

// Answers every attention key with a fresh screen that unlocks the keyboard.
class TRoundTripApp final : public ISimHostApp {
public:
    void OnStart(TSimSession& s) override
    {
        if (s.Negotiated().HasFunction(fn::BindImage))
            s.SendBind();
        s.Send3270(Screen(0));
    }
    void OnRecord(TSimSession& s, const TSimRecord& r) override
    {
        if (r.tn3270e && r.header.dataType == dt::Response)
            return;
        s.Send3270(Screen(++count_));
    }
    static Bytes Screen(int n)
    {
        return TSim3270Encoder()
            .EraseWrite(wcc::Restore | wcc::ResetMdt)
            .Field(1, 1, fa::Protected, "ROUND TRIP " + std::to_string(n))
            .Field(3, 15, fa::Unprotected, "")
            .Take();
    }

private:
    int count_ = 0;
};

// Waits until the published fields show the text; false when they never do.
bool WaitFieldsShow(TRecorder& events, TTn3270E& tn, std::string_view text)
{
    for (;;) {
        const int seen = events.Count("ScreenChange");
        if (FieldsShow(tn, text))
            return true;
        if (!events.WaitFor("ScreenChange", seen + 1))
            return false;
    }
}

TEST_F(HostileHost, AHostStreamingTenThousandScreensBackToBackIsNotCut)
{
    Start();  // no read pause: blocks as small as the host's writes
    auto s = Open();
    ASSERT_TRUE(s);
    for (int i = 0; i < 10000; ++i)
        s->Send3270(TSim3270Encoder().Write(wcc::ResetMdt).SBA(1, 1).Text("SCREEN " + std::to_string(i)).Take());
    s->Send3270(TSim3270Encoder().EraseWrite(wcc::Restore).Field(1, 1, fa::Protected, "STREAM END").Take());
    ASSERT_TRUE(WaitFieldsShow(events, *tn, "STREAM END"));
    EXPECT_TRUE(tn->IsConnected());
    EXPECT_EQ(events.Count("Disconnect"), 0);
}

TEST_F(HostileHost, AThousandRoundTripsAsFastAsTheHostAnswersAreNotCut)
{
    TSimHostOptions options;
    options.appFactory = [] { return std::make_unique<TRoundTripApp>(); };
    host = std::make_unique<THostSimulator>(std::move(options));
    tn = std::make_unique<TTn3270E>();
    tn->Host = "127.0.0.1";
    tn->Port = host->Port();
    tn->Timings = QuickTimings();
    events.Attach(*tn);
    tn->Connect();
    ASSERT_TRUE(events.WaitFor("ScreenChange", 1));
    for (int i = 1; i <= 1000; ++i) {
        tn->SetAidKey(TTn3270AidKey::akEnter);
        ASSERT_TRUE(events.WaitFor("ScreenChange", i + 1)) << "round trip " << i;
    }
    EXPECT_TRUE(FieldsShow(*tn, "ROUND TRIP 1000"));
    EXPECT_TRUE(tn->IsConnected());
    EXPECT_EQ(events.Count("Disconnect"), 0);
}

// A host stuck repeating what moves nothing: cut by the receive-loop guard,
// logged, and the component usable again.
struct TLoopCase {
    const char* name;
    const char* unit;  // hex, sent over and over
};

class HostLoop : public HostileHost, public ::testing::WithParamInterface<TLoopCase> {};

TEST_P(HostLoop, IsCutByTheReceiveLoopGuardWithItsLogLine)
{
    // A window no build outlasts: a slow one (a sanitizer's) answers fewer
    // than the limit's blocks of requests in the default window.
    TTelnetTimings t = QuickTimings();
    t.BurstWindow = std::chrono::hours(1);
    Start(t);
    TLogCapture log(*tn, 1);
    auto s = Open();
    ASSERT_TRUE(s);
    s->Send3270(TSim3270Encoder().EraseWrite(wcc::Restore).Field(1, 1, fa::Protected, "BEFORE").Take());
    ASSERT_TRUE(events.WaitFor("ScreenChange"));
    const auto reader = tn->ReadThread();  // null on the loop, which has none
    // Small writes, so that the client reads many blocks; bounded so that a
    // missing guard fails the test instead of hanging it.
    const Bytes unit = Hex(GetParam().unit);
    Bytes burst;
    for (int i = 0; i < 4; ++i)
        burst.insert(burst.end(), unit.begin(), unit.end());
    constexpr int kMaxWrites = 2000000;
    int sent = 0;
    while (sent < kMaxWrites && s->IsConnected()) {
        s->SendRaw(burst);
        ++sent;
    }
    ASSERT_TRUE(events.WaitFor("Disconnect")) << "still connected after " << sent << " writes";
    EXPECT_LT(sent, kMaxWrites);
    EXPECT_EQ(events.Count("Disconnect"), 1);
    EXPECT_NE(log.Text().find("Receive error(loop).\r\n"), std::string::npos) << log.Text();
    {
        auto guard = tn->Lock();
        EXPECT_EQ(tn->HostFields.Count(), 0);
    }
    auto s2 = Open();
    ASSERT_TRUE(s2);
    EXPECT_TRUE(!reader || reader->Finished.load());
    EXPECT_EQ(events.Count("Disconnect"), 1);
    const int screens = events.Count("ScreenChange");
    s2->Send3270(TSim3270Encoder().EraseWrite(wcc::Restore).Field(1, 1, fa::Protected, "CALM").Take());
    ASSERT_TRUE(events.WaitFor("ScreenChange", screens + 1));
    EXPECT_TRUE(FieldsShow(*tn, "CALM"));
}

INSTANTIATE_TEST_SUITE_P(
    Floods, HostLoop,
    ::testing::Values(TLoopCase{"NopFlood", "FF F1"},
                      TLoopCase{"GoAheadFlood", "FF F9"},
                      TLoopCase{"SameSubnegotiation", "FF FA 1E 01 02 03 FF F0"},
                      TLoopCase{"SameRequest", "FF FD 1E"}),
    [](const ::testing::TestParamInfo<TLoopCase>& info) { return std::string(info.param.name); });

// ---- a host that stops reading

// A loopback peer that accepts one connection and never reads from it, with
// a small receive buffer, so that the client's sends soon block.
class TDeafPeer {
public:
    TDeafPeer()
    {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int small = 4096;
        ::setsockopt(listen_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listen_, 1);
        ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~TDeafPeer()
    {
        if (conn_ >= 0)
            ::close(conn_);
        ::close(listen_);
    }
    TDeafPeer(const TDeafPeer&) = delete;
    TDeafPeer& operator=(const TDeafPeer&) = delete;
    std::uint16_t Port() const { return port_; }
    // Takes the connection (the client's connect has completed by now).
    bool Accept()
    {
        conn_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        return conn_ >= 0;
    }
    bool Send(const Bytes& bytes) { return ::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size()); }

private:
    int listen_ = -1;
    int conn_ = -1;
    std::uint16_t port_ = 0;
};

TEST_F(HostileHost, AHostThatStopsReadingEndsTheConnectionAfterTheSendTimeoutAndNothingHangs)
{
    TDeafPeer deaf;
    TRecorder ev;
    TTn3270E t;
    t.Host = "127.0.0.1";
    t.Port = deaf.Port();
    t.Timings = QuickTimings();
    t.Timings.SendTimeout = 300ms;
    ev.Attach(t);
    t.Connect();
    ASSERT_TRUE(deaf.Accept());
    // A plain TN3270 screen with one input field over most of the screen,
    // so that every Enter carries about 1900 bytes.
    ASSERT_TRUE(deaf.Send(Cat({Hex("FF FB 00 FF FD 00 FF FB 19 FF FD 19"),
                               Framed(TSim3270Encoder()
                                          .EraseWrite(wcc::Restore)
                                          .Field(1, 1, fa::Unprotected)
                                          .IC()
                                          .Field(24, 79, fa::Protected)
                                          .Take())})));
    ASSERT_TRUE(ev.WaitFor("ScreenChange"));
    const std::string text(1800, 'X');
    // Keys until the connection ends; bounded so that a send that never
    // gives up fails the test instead of hanging it.
    constexpr int kMaxKeys = 200000;
    int keys = 0;
    const auto start = std::chrono::steady_clock::now();
    while (keys < kMaxKeys && t.IsConnected()) {
        auto guard = t.Lock();
        if (auto* f = t.UnprotectedFields.Items(0))
            f->SetData(keys % 2 == 0 ? text : text.substr(1));
        t.SetAidKey(TTn3270AidKey::akEnter);
        ++keys;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(keys, kMaxKeys);
    ASSERT_TRUE(ev.WaitFor("Disconnect"));
    EXPECT_EQ(ev.Count("Disconnect"), 1);
    EXPECT_LT(took, 20s) << "a blocked send held the session for " << keys << " keys";
    // Keys after the end send nothing and raise nothing.
    t.SetAidKey(TTn3270AidKey::akEnter);
    EXPECT_EQ(ev.Count("Disconnect"), 1);
}

// ---- records at and beyond the input bound

struct TBoundCase {
    const char* name;
    std::uint8_t filler;  // 0xFF goes on the wire doubled
};

class RecordBound : public HostileHost, public ::testing::WithParamInterface<TBoundCase> {};

// A record of `size` bytes, TN3270E header included: Erase/Write, filler
// characters that wrap over the screen, then "BOUND OK" at row 10.
Bytes LongRecord(std::size_t size, std::uint8_t filler)
{
    Bytes tail = TSim3270Encoder().SBA(10, 1).Text("BOUND OK").Take();
    Bytes r = Cat({DataHeader(), TSim3270Encoder().EraseWrite(wcc::Restore).Take()});
    r.resize(size - tail.size(), filler);
    r.insert(r.end(), tail.begin(), tail.end());
    return r;
}

TEST_P(RecordBound, TheRecordAtTheBoundIsShownTheOneBeyondDroppedWithItsErrorAndTheNextShown)
{
    const std::uint8_t filler = GetParam().filler;
    Start();
    TLogCapture log(*tn, 1);
    auto s = Open();
    ASSERT_TRUE(s);
    constexpr std::size_t kBound = TOrvTnStream::kMaxRecord;

    s->SendFramed(LongRecord(kBound, filler));
    ASSERT_TRUE(events.WaitFor("ScreenChange", 1));
    EXPECT_EQ(RowText(*tn, 10).substr(0, 8), "BOUND OK");

    // One byte more: dropped whole (no paint, no screen event); the next
    // record, a Write without erase, shows the screen as the bound record left it.
    const auto before = Screen();
    s->SendFramed(LongRecord(kBound + 1, 0xC1));  // 'A' filler: visible if it painted
    s->Send3270(TSim3270Encoder().Write(wcc::Restore).SBA(12, 1).Text("NEXT OK").Take());
    ASSERT_TRUE(events.WaitFor("ScreenChange", 2));
    auto after = Screen();
    EXPECT_EQ(after[11].substr(0, 7), "NEXT OK");
    after[11] = before[11];
    EXPECT_EQ(after, before) << "the dropped record painted";
    EXPECT_NE(log.Text().find("Record of 65537 bytes exceeds the limit of 65536 bytes, dropped"),
              std::string::npos)
        << log.Text();
    EXPECT_TRUE(tn->IsConnected());
    EXPECT_EQ(events.Count("ScreenChange"), 2);
}

const TBoundCase kBoundCases[] = {{"PlainBytes", 0xE7}, {"EveryByteDoubledOnTheWire", 0xFF}};
INSTANTIATE_TEST_SUITE_P(Reliability, RecordBound, ::testing::ValuesIn(kBoundCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- subnegotiations at and beyond the 100-byte buffer

TEST(Subnegotiation, OneOf100BytesIsAnsweredOneOf101IsDiscardedAndTheParserStaysInStep)
{
    TTestHost raw;
    TTn3270E tn;
    tn.Host = "127.0.0.1";
    tn.Port = raw.Port();
    tn.Timings = QuickTimings();
    TLogCapture log(tn, 1);
    tn.Connect();
    auto peer = raw.Accept(kWait);
    ASSERT_TRUE(peer);
    const std::string request = "FF FA 28 02 07 49 42 4D 2D 33 32 37 38 2D 32 2D 45 FF F0";
    auto sendDeviceType = [](std::size_t padding) {
        // TN3270E SEND DEVICE-TYPE, padded: buffer holds 28 08 02, the
        // padding and the IAC before SE.
        Bytes b = Hex("FF FA 28 08 02");
        b.insert(b.end(), padding, 0x41);
        b.push_back(0xFF);
        b.push_back(0xF0);
        return b;
    };
    peer->Send(Hex("FF FD 28"));
    ASSERT_TRUE(peer->ExpectBytes(Hex("FF FB 28"), kWait));

    // 101 bytes: discarded whole; the probe right after it is answered.
    peer->Send(Cat({sendDeviceType(97), Hex("FF FD 1E")}));
    ASSERT_TRUE(peer->ExpectBytes(Hex("FF FC 1E"), kWait));
    EXPECT_TRUE(peer->Pending().empty()) << ToHex(peer->Pending());

    // 100 bytes: answered.
    peer->Send(sendDeviceType(96));
    EXPECT_TRUE(peer->ExpectBytes(Hex(request), kWait)) << ToHex(peer->Pending());

    // Far beyond, across several reads, with IAC IAC inside: still in step.
    Bytes huge = Hex("FF FA 28 08 02");
    for (int i = 0; i < 20000; ++i) {
        huge.push_back(0x41);
        if (i % 1000 == 0) {
            huge.push_back(0xFF);
            huge.push_back(0xFF);
        }
    }
    huge.insert(huge.end(), {0xFF, 0xF0, 0xFF, 0xFD, 0x1E});
    peer->Send(huge);
    ASSERT_TRUE(peer->ExpectBytes(Hex("FF FC 1E"), kWait));
    EXPECT_TRUE(peer->Pending().empty()) << ToHex(peer->Pending());
    EXPECT_TRUE(tn.IsConnected());
    tn.Disconnect();
    const std::string text = log.Text();
    const std::string line = "TN_ERROR: Subnegotiation longer than 100 bytes discarded.\r\n";
    const auto first = text.find(line);
    ASSERT_NE(first, std::string::npos) << text;
    EXPECT_NE(text.find(line, first + 1), std::string::npos) << "one line per discarded subnegotiation";
}

}  // namespace
}  // namespace reliability
