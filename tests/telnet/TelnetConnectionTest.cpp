// The telnet component over real loopback sockets against the raw test
// host: negotiation bytes on the wire, the reader thread, event order and
// threads with and without the dispatcher, handlers calling back,
// destruction in every awkward place, and failures of the connection.
#include "TelnetTestSupport.h"

#include "platform/uWinControl.h"
#include "telnet/uLoopTransport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace {

using namespace std::chrono_literals;
using ::testing::InSequence;

// DO 30 is always refused with WONT 30: sent after a command, its answer
// proves the command before it has been handled, whatever that answered.
const Bytes kProbe = HexBytes("FF FD 1E");
const Bytes kProbeReply = HexBytes("FF FC 1E");

// Waits (yielding, with a deadline) for a condition no event signals.
template <class Pred>
bool Eventually(Pred pred, std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// Every thread of the shared loop runs a task posted to it now: none is
// held, say by a delivery to a dispatcher nobody pumps.
bool LoopThreadsFree()
{
    const auto loop = TLoopTransport::SharedLoop();
    const auto ran = std::make_shared<std::atomic<std::size_t>>(0);
    for (std::size_t i = 0; i < loop->Threads(); ++i)
        loop->Post(i, [ran] { ++*ran; });
    return Eventually([&] { return ran->load() == loop->Threads(); }, 5s);
}

template <class Pred>
bool PumpUntil(TDispatcher& d, Pred pred, std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        d.ProcessMessages(5ms);
    }
    return true;
}

class TelnetConnection : public ::testing::Test {
protected:
    void Open(TComponent* owner = nullptr)
    {
        t = std::make_unique<TTestTelnet>(owner);
        t->Host = "127.0.0.1";
        t->Port = host.Port();
        t->Timings = FastTimings();
        events.Attach(*t);
    }
    void ConnectAndAccept()
    {
        t->Connect();
        ASSERT_TRUE(WaitConnected(*t));
        peer = host.Accept();
        ASSERT_NE(peer, nullptr);
    }
    // Sends bytes, then the probe, and returns what came back before the probe's answer.
    Bytes Exchange(const Bytes& bytes)
    {
        EXPECT_TRUE(peer->Send(Concat({bytes, kProbe})));
        EXPECT_TRUE(peer->WaitUntil([](std::span<const std::uint8_t> p) {
            return p.size() >= 3 && std::equal(kProbeReply.begin(), kProbeReply.end(), p.end() - 3);
        }));
        Bytes got = peer->Pending();
        peer->SkipPending();
        got.resize(got.size() >= 3 ? got.size() - 3 : 0);
        return got;
    }

    TTestHost host;
    TEventLog events;
    std::unique_ptr<TTestTelnet> t;
    std::shared_ptr<TTestConnection> peer;
};

// ---- negotiation on the wire (the option table: TelnetSessionTest.cpp)

TEST_F(TelnetConnection, TerminalTypeAnsweredOnceThenTheSecondRequestEndsTheConnectionOnce)
{
    Open();
    ConnectAndAccept();
    EXPECT_EQ(ToHex(Exchange(HexBytes("FF FA 18 01 FF F0"))), "FF FA 18 00 56 54 31 30 30 FF F0");
    ASSERT_TRUE(peer->Send(HexBytes("FF FA 18 01 FF F0")));
    EXPECT_TRUE(peer->WaitPeerClosed());
    ASSERT_TRUE(events.WaitFor("Disconnect"));
    EXPECT_TRUE(peer->Pending().empty());
    // A new connection may answer again.
    ConnectAndAccept();
    EXPECT_EQ(ToHex(Exchange(HexBytes("FF FA 18 01 FF F0"))), "FF FA 18 00 56 54 31 30 30 FF F0");
    t.reset();
    EXPECT_EQ(events.CountOf("Disconnect"), 1);
}

TEST_F(TelnetConnection, DataIacIsUndoubledInAndDoubledOutAcrossTheWire)
{
    Open();
    ConnectAndAccept();
    Exchange(HexBytes("FF FB 00"));
    // 'R' sends the rest of its record back: 7D FF 41 must come back doubled.
    EXPECT_EQ(ToHex(Exchange(HexBytes("52 7D FF FF 41 FF EF"))), "7D FF FF 41 FF EF");
}

TEST_F(TelnetConnection, ARecordLongerThanOneReadArrivesWhole)
{
    Open();
    ConnectAndAccept();
    Exchange(HexBytes("FF FB 00"));
    Bytes record(3 * TThSocketRead::kReadBufferSize + 100, 'S');
    record.push_back(0xFF);
    record.push_back(0xEF);
    Exchange(record);
    auto g = t->Lock();
    ASSERT_EQ(t->Script().Records.size(), 1u);
    EXPECT_EQ(t->Script().Records[0].size(), 3u * TThSocketRead::kReadBufferSize + 100);
    EXPECT_EQ(t->FieldGenerations, 1);
}

TEST_F(TelnetConnection, NvtDataInExtendedModeIsShownAsText)
{
    Open();
    t->AllowTn3270E = true;
    ConnectAndAccept();
    EXPECT_EQ(ToHex(Exchange(HexBytes("FF FD 28"))), "FF FB 28");
    Exchange(Concat({HexBytes("05 00 00 00 00"), Record("ok"), HexBytes("00 00 00 00 00 FF EF")}));
    auto g = t->Lock();
    ASSERT_EQ(t->Texts.size(), 1u);
    EXPECT_EQ(t->Texts[0].substr(5), "ok");
    EXPECT_EQ(t->Script().Records.size(), 1u);
}

// ---- the reader's guards

TEST_F(TelnetConnection, FiftyCountedBlocksInOneWindowAreAReceiveLoop)
{
    Open();
    t->Timings.BurstWindow = std::chrono::hours(1);
    ConnectAndAccept();
    // Each exchange waits for its answer, so each is a block of its own: a
    // host answering every refusal with the same request again. The first
    // request moves the negotiation on; the repeats do not. The reader's
    // start opened the window: 49 repeats pass, the 50th is a loop.
    for (int i = 0; i < 50; ++i)
        ASSERT_TRUE(Exchange({}).empty()) << i;
    EXPECT_TRUE(t->IsConnected());
    ASSERT_TRUE(peer->Send(kProbe));
    EXPECT_TRUE(peer->ExpectBytes(kProbeReply));  // the block is still handled
    EXPECT_TRUE(peer->WaitPeerClosed());
    ASSERT_TRUE(events.WaitFor("Disconnect"));
    EXPECT_FALSE(t->IsConnected());
    t.reset();
    EXPECT_EQ(events.CountOf("Disconnect"), 1);
}

TEST_F(TelnetConnection, BlocksSpreadOverWindowsAreNotALoop)
{
    Open();
    t->Timings.BurstWindow = std::chrono::milliseconds(0);  // every block opens a window
    ConnectAndAccept();
    for (int i = 0; i < 60; ++i)
        ASSERT_TRUE(Exchange({}).empty()) << i;
    EXPECT_TRUE(t->IsConnected());
}

TEST_F(TelnetConnection, BlocksThatMakeProgressAreNeverALoop)
{
    Open();
    t->Timings.BurstWindow = std::chrono::hours(1);
    ConnectAndAccept();
    // Each block repeats the request, but also brings a record: progress.
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(Exchange(Record("r")).empty()) << i;
    EXPECT_TRUE(t->IsConnected());
}

TEST_F(TelnetConnection, AnIdleLinkIsCheckedEverySixthWaitAndADeadOneEnds)
{
    Open();
    t->Timings.WaitTimeout = std::chrono::milliseconds(5);
    std::vector<std::uint64_t> checkedAt;
    t->AliveCheck = [&] {
        checkedAt.push_back(t->ReaderIdleWaits());
        return checkedAt.size() < 3;
    };
    ConnectAndAccept();
    EXPECT_TRUE(peer->WaitPeerClosed());
    ASSERT_TRUE(events.WaitFor("Disconnect"));
    auto g = t->Lock();
    EXPECT_EQ(checkedAt, (std::vector<std::uint64_t>{6, 12, 18}));
}

// ---- events: order and threads

class MockListener {
public:
    MOCK_METHOD(void, Event, (const std::string& name));
};

void AttachMock(TOrvTelnet& t, MockListener& m, TEventLog& log)
{
    auto hook = [&m, &log](const char* name) {
        return [&m, &log, name](TObject*) {
            m.Event(name);
            log.Add(name);
        };
    };
    t.OnConnect = hook("Connect");
    t.OnDisconnect = hook("Disconnect");
    t.OnSessionState = hook("SessionState");
    t.OnScreenChange = hook("ScreenChange");
    t.OnSystemLock = hook("SystemLock");
    t.OnSystemUnLock = hook("SystemUnLock");
}

// Host side of the scripted flow both event-order tests drive.
void PlayFlow(TTestConnection& peer)
{
    // The stream starts "WAITING": the first restore clears it while the
    // screen's status is still empty, so only the later changes are events.
    EXPECT_TRUE(peer.Send(Concat({HexBytes("FF FD 00"), Record("U"), kProbe})));
    EXPECT_TRUE(peer.ExpectBytes(kProbeReply));
    EXPECT_TRUE(peer.Send(Concat({Record("N"), Record("S"), Record("L"), kProbe})));
    EXPECT_TRUE(peer.ExpectBytes(kProbeReply));
    EXPECT_TRUE(peer.Send(Concat({Record("U"), kProbe})));
    EXPECT_TRUE(peer.ExpectBytes(kProbeReply));
}

void ExpectFlow(MockListener& m)
{
    InSequence order;
    EXPECT_CALL(m, Event("Connect"));
    EXPECT_CALL(m, Event("SessionState"));
    EXPECT_CALL(m, Event("ScreenChange"));
    EXPECT_CALL(m, Event("SystemLock"));
    EXPECT_CALL(m, Event("SystemUnLock"));
    EXPECT_CALL(m, Event("Disconnect"));
}

TEST_F(TelnetConnection, WithoutADispatcherHandlersRunOnTheRaisingThreadInOrder)
{
    MockListener m;
    ExpectFlow(m);
    Open();
    AttachMock(*t, m, events);
    ConnectAndAccept();
    PlayFlow(*peer);
    ASSERT_TRUE(events.WaitFor("SystemUnLock"));
    peer->Close();
    ASSERT_TRUE(events.WaitFor("Disconnect"));
    const auto threads = events.Threads();
    ASSERT_EQ(threads.size(), 6u);
    // Connect: the caller (on the loop, the loop thread that connected);
    // the rest: the reader or that loop thread.
    EXPECT_EQ(threads[0], t->EventLoop ? threads[1] : std::this_thread::get_id());
    for (std::size_t i = 1; i < threads.size(); ++i)
        EXPECT_EQ(threads[i], threads[1]);
    EXPECT_NE(threads[1], std::this_thread::get_id());
}

TEST_F(TelnetConnection, WithADispatcherEveryHandlerRunsOnTheMainThreadInOrder)
{
    auto dispatcher = std::make_shared<TDispatcher>();
    TWinControl form(nullptr, dispatcher);
    MockListener m;
    ExpectFlow(m);
    Open(&form);
    EXPECT_TRUE(t->UseSyncWindow);
    AttachMock(*t, m, events);
    ConnectAndAccept();
    std::thread hostSide([&] {
        PlayFlow(*peer);
        peer->Close();
    });
    EXPECT_TRUE(PumpUntil(*dispatcher, [&] { return events.CountOf("Disconnect") == 1; }));
    hostSide.join();
    for (auto id : events.Threads())
        EXPECT_EQ(id, std::this_thread::get_id());
}

TEST_F(TelnetConnection, HandlersSendKeysAndDisconnectFromTheReaderThread)
{
    Open();
    t->OnScreenChange = [&](TObject* sender) {
        auto* self = static_cast<TTestTelnet*>(sender);
        const Bytes key = HexBytes("7D 40 40");
        self->tcpWrite(key.data(), 3);
        events.Add("ScreenChange");
    };
    t->OnSystemLock = [&](TObject*) { t->Disconnect(); };
    ConnectAndAccept();
    ASSERT_TRUE(peer->Send(Concat({HexBytes("FF FB 00"), Record("U"), Record("S")})));
    EXPECT_TRUE(peer->ExpectBytes(HexBytes("FF FD 00 7D 40 40 FF EF")));
    ASSERT_TRUE(peer->Send(Record("L")));
    EXPECT_TRUE(peer->WaitPeerClosed());
    ASSERT_TRUE(events.WaitFor("Disconnect"));
    EXPECT_EQ(events.CountOf("Disconnect"), 1);
}

TEST_F(TelnetConnection, HandlersSendKeysThroughTheDispatcherWithoutDeadlock)
{
    auto dispatcher = std::make_shared<TDispatcher>();
    TWinControl form(nullptr, dispatcher);
    Open(&form);
    t->OnScreenChange = [&](TObject*) {
        const Bytes key = HexBytes("7D FF");
        t->tcpWrite(key.data(), 2);
        events.Add("ScreenChange");
    };
    ConnectAndAccept();
    ASSERT_TRUE(peer->Send(Concat({HexBytes("FF FB 00"), Record("S")})));
    EXPECT_TRUE(PumpUntil(*dispatcher, [&] { return events.CountOf("ScreenChange") == 1; }));
    EXPECT_TRUE(peer->ExpectBytes(HexBytes("FF FD 00 7D FF FF FF EF")));
}

// ---- destruction

TEST_F(TelnetConnection, DestroyingAConnectedComponentStopsItsReaderAndRaisesNoDisconnect)
{
    Open();
    ConnectAndAccept();
    std::weak_ptr<TThSocketRead> reader = t->ReadThread();
    ASSERT_TRUE(Eventually([&] { return !t->ReadThread() || !reader.expired(); }));
    t.reset();
    EXPECT_TRUE(reader.expired());  // joined: nothing of it is left
    EXPECT_TRUE(peer->WaitPeerClosed());
    EXPECT_EQ(events.CountOf("Disconnect"), 0);
}

TEST_F(TelnetConnection, DestroyedInsideAHandlerOnTheReaderThread)
{
    Open();
    std::weak_ptr<TThSocketRead> reader;
    t->OnScreenChange = [&](TObject*) {
        reader = t->ReadThread();
        t.reset();
        events.Add("Destroyed");
    };
    ConnectAndAccept();
    ASSERT_TRUE(peer->Send(Concat({HexBytes("FF FB 00"), Record("U"), Record("S"), Record("L")})));
    ASSERT_TRUE(events.WaitFor("Destroyed"));
    EXPECT_TRUE(peer->WaitPeerClosed());
    EXPECT_TRUE(Eventually([&] { return reader.expired(); }));
    EXPECT_EQ(events.CountOf("Disconnect"), 0);
    EXPECT_EQ(events.CountOf("SystemLock"), 0);  // queued behind the handler: dropped
}

TEST_F(TelnetConnection, DestroyedInsideADispatchedHandlerTheReaderWaitsFor)
{
    auto dispatcher = std::make_shared<TDispatcher>();
    TWinControl form(nullptr, dispatcher);
    Open(&form);
    std::weak_ptr<TThSocketRead> reader;
    t->OnScreenChange = [&](TObject*) {
        reader = t->ReadThread();
        t.reset();
        events.Add("Destroyed");
    };
    ConnectAndAccept();
    ASSERT_TRUE(peer->Send(Concat({HexBytes("FF FB 00"), Record("U"), Record("S"), Record("L")})));
    ASSERT_TRUE(PumpUntil(*dispatcher, [&] { return events.CountOf("Destroyed") == 1; }));
    EXPECT_TRUE(peer->WaitPeerClosed());
    EXPECT_TRUE(PumpUntil(*dispatcher, [&] { return reader.expired(); }));
    EXPECT_EQ(events.CountOf("SystemLock"), 0);
}

TEST_F(TelnetConnection, DestroyedOnTheMainThreadWhileTheReaderWaitsForIt)
{
    auto dispatcher = std::make_shared<TDispatcher>();
    TWinControl form(nullptr, dispatcher);
    Open(&form);
    ConnectAndAccept();
    ASSERT_TRUE(PumpUntil(*dispatcher, [&] { return events.CountOf("Connect") == 1; }));
    ASSERT_TRUE(peer->Send(Concat({HexBytes("FF FB 00"), Record("S")})));
    // The reader blocks delivering OnScreenChange to this thread, which
    // does not pump (the loop posts it and holds the connection's reads):
    // destruction must release the one and drop the other, never wait.
    ASSERT_TRUE(Eventually([&] {
        auto g = t->Lock();
        return t->FieldGenerations == 1;
    }));
    std::weak_ptr<TThSocketRead> reader = t->ReadThread();
    const bool onLoop = t->EventLoop;
    t.reset();
    EXPECT_TRUE(reader.expired());
    if (onLoop) {
        EXPECT_TRUE(LoopThreadsFree()) << "a loop thread still waits for the dispatcher";
    }
    dispatcher->ProcessMessages();
    EXPECT_EQ(events.CountOf("ScreenChange"), 0);
}

// On the loop Connect returns while the old connection's OnDisconnect still
// waits for this thread: destruction must release that delivery too.
TEST_F(TelnetConnection, DestroyedAfterAConnectWhileTheOldDisconnectWaitsForTheDispatcher)
{
    auto dispatcher = std::make_shared<TDispatcher>();
    TWinControl form(nullptr, dispatcher);
    Open(&form);
    ConnectAndAccept();
    ASSERT_TRUE(PumpUntil(*dispatcher, [&] { return events.CountOf("Connect") == 1; }));
    peer->Close();
    ASSERT_TRUE(Eventually([&] { return !t->IsConnected(); }));
    t->Connect();
    const bool onLoop = t->EventLoop;
    t.reset();
    if (onLoop) {
        EXPECT_TRUE(LoopThreadsFree()) << "a loop thread still waits for the dispatcher";
    }
}

// ---- connecting

TEST_F(TelnetConnection, ConnectWhileConnectedClosesTheOldConnectionFirst)
{
    Open();
    ConnectAndAccept();
    auto first = peer;
    std::weak_ptr<TThSocketRead> oldReader;  // none on the loop
    if (!t->EventLoop) {
        ASSERT_TRUE(Eventually([&] { return t->ReadThread() != nullptr; }));
        oldReader = t->ReadThread();
    }
    ConnectAndAccept();
    EXPECT_TRUE(oldReader.expired());
    EXPECT_TRUE(first->WaitPeerClosed());
    ASSERT_TRUE(events.WaitFor("Connect", 2));
    EXPECT_EQ(events.Names(), (std::vector<std::string>{"Connect", "Disconnect", "Connect"}));
    EXPECT_EQ(ToHex(Exchange(HexBytes("FF FD 00"))), "FF FB 00");
}

TEST_F(TelnetConnection, ConnectOnTheMainThreadDeliversTheOldDisconnectFirst)
{
    auto dispatcher = std::make_shared<TDispatcher>();
    TWinControl form(nullptr, dispatcher);
    Open(&form);
    ConnectAndAccept();
    ASSERT_TRUE(PumpUntil(*dispatcher, [&] { return events.CountOf("Connect") == 1; }));
    peer->Close();
    // The reader has closed the connection and now waits for this thread,
    // which does not pump, to run OnDisconnect.
    ASSERT_TRUE(Eventually([&] { return !t->IsConnected(); }));
    EXPECT_EQ(events.CountOf("Disconnect"), 0);
    // On the loop Connect returns at once, and the new connection follows
    // the old one's OnDisconnect on the loop thread: pump until it is up.
    t->Connect();
    ASSERT_TRUE(PumpUntil(*dispatcher, [&] { return events.CountOf("Connect") == 2; }));
    peer = host.Accept();
    ASSERT_NE(peer, nullptr);
    EXPECT_EQ(events.Names(), (std::vector<std::string>{"Connect", "Disconnect", "Connect"}));
    EXPECT_EQ(ToHex(Exchange(HexBytes("FF FD 00"))), "FF FB 00");
}

TEST_F(TelnetConnection, ConnectFromAHandlerOnTheReaderThreadReplacesTheReader)
{
    Open();
    t->OnScreenChange = [&](TObject*) { t->Connect(); };
    ConnectAndAccept();
    ASSERT_TRUE(peer->Send(Concat({HexBytes("FF FB 00"), Record("S")})));
    auto second = host.Accept();
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(peer->WaitPeerClosed());
    ASSERT_TRUE(second->Send(Concat({kProbe})));
    EXPECT_TRUE(second->ExpectBytes(kProbeReply));  // the new reader works
    EXPECT_EQ(events.Names(), (std::vector<std::string>{"Connect", "Disconnect", "Connect"}));
}

TEST_F(TelnetConnection, ConnectFromADispatchedHandlerTheReaderWaitsFor)
{
    auto dispatcher = std::make_shared<TDispatcher>();
    TWinControl form(nullptr, dispatcher);
    Open(&form);
    t->OnScreenChange = [&](TObject*) { t->Connect(); };
    ConnectAndAccept();
    ASSERT_TRUE(peer->Send(Concat({HexBytes("FF FB 00"), Record("S")})));
    ASSERT_TRUE(PumpUntil(*dispatcher, [&] { return events.CountOf("Connect") == 2; }));
    auto second = host.Accept();
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(peer->WaitPeerClosed());
    ASSERT_TRUE(second->Send(kProbe));
    EXPECT_TRUE(second->ExpectBytes(kProbeReply));  // the new reader works
    EXPECT_EQ(events.Names(), (std::vector<std::string>{"Connect", "Disconnect", "Connect"}));
}

TEST_F(TelnetConnection, ARefusedConnectionReportsFailureOnly)
{
    Open();
    TTestHost closed;
    t->Port = closed.Port();
    closed.StopListening();
    t->Connect();
    EXPECT_FALSE(WaitConnected(*t));
    ASSERT_TRUE(events.WaitFor("ConnectionFail"));
    EXPECT_EQ(events.Names(), (std::vector<std::string>{"ConnectionFail"}));
    EXPECT_EQ(t->ReadThread(), nullptr);
}

TEST_F(TelnetConnection, DottedAddressesGoAsAddressesAndNamesAsHostNames)
{
    // Both connect on either transport; the reader thread's TCP client shows how.
    Open();
    ConnectAndAccept();
    if (!t->EventLoop) {
        EXPECT_EQ(t->Socket->Address, "127.0.0.1");
        EXPECT_EQ(t->Socket->Host, "");
    }
    t->Host = "localhost";
    ConnectAndAccept();
    if (!t->EventLoop) {
        EXPECT_EQ(t->Socket->Address, "");
        EXPECT_EQ(t->Socket->Host, "localhost");
    }
}

TEST_F(TelnetConnection, IPv6AddressesConnect)
{
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 1) != 0) {
        if (fd >= 0)
            ::close(fd);
        GTEST_SKIP() << "no IPv6 loopback here";
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    Open();
    t->Host = "::1";
    t->Port = ntohs(addr.sin6_port);
    t->Connect();
    EXPECT_TRUE(WaitConnected(*t));
    if (!t->EventLoop) {
        EXPECT_EQ(t->Socket->Host, "::1");
    }
    t.reset();
    ::close(fd);
}

TEST(TelnetService, TheTelnetServiceComesFromTheServicesDatabase)
{
    EXPECT_EQ(TTcpClient::ResolveServicePort("Telnet"), 23);
    EXPECT_EQ(TTcpClient::ResolveServicePort("no-such-service"), -1);
    TTestTelnet t;
    t.Port = -1;
    t.Host = "127.0.0.1";
    t.Timings.ConnectTimeout = std::chrono::milliseconds(2000);
    if (t.EventLoop)
        GTEST_SKIP() << "the reader-thread transport's TCP client";
    t.Connect();  // whatever answers on port 23 here, the socket asked for the service
    EXPECT_EQ(t.Socket->GetService(), "Telnet");
}

// ---- a peer that went away

TEST_F(TelnetConnection, SendingToAResetPeerDisconnectsOnceAndNeverKillsTheProcess)
{
    Open();
    ConnectAndAccept();
    Exchange(HexBytes("FF FB 00"));
    {
        // Holding the lock keeps the reader from seeing the reset first:
        // the send path must find it.
        auto g = t->Lock();
        peer->Reset();
        const Bytes key = HexBytes("7D 40 40");
        for (int i = 0; i < 100 && t->IsConnected(); ++i)
            t->tcpWrite(key.data(), 3);
        EXPECT_FALSE(t->IsConnected());
        EXPECT_EQ(events.CountOf("Disconnect"), 0);  // queued until the lock is released
    }
    EXPECT_EQ(events.CountOf("Disconnect"), 1);
    const Bytes key = HexBytes("7D");
    t->tcpWrite(key.data(), 1);  // not connected: refused quietly
    t.reset();
    EXPECT_EQ(events.CountOf("Disconnect"), 1);
}

} // namespace
