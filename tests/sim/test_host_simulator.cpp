// The simulator over real loopback sockets, driven by a tiny raw client
// written here with plain sockets: negotiation in both modes, pushed
// records and responses, LU pool, closing and resetting, and the demo
// application's sign-on, menu, inquiry and log-off flows.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <system_error>

#include "sim/uDemoApp.h"
#include "sim/uHostSimulator.h"
#include "sim/uSim3270Encoder.h"

namespace tnsim {
namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 10s;

Bytes B(std::string_view text) {  // hex with "ASCII" pieces, as in the engine scripts
    Bytes out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == ' ') {
            ++i;
        } else if (text[i] == '"') {
            const auto end = text.find('"', i + 1);
            out.insert(out.end(), text.begin() + static_cast<std::ptrdiff_t>(i + 1),
                       text.begin() + static_cast<std::ptrdiff_t>(end));
            i = end + 1;
        } else {
            out.push_back(static_cast<std::uint8_t>(std::stoul(std::string(text.substr(i, 2)), nullptr, 16)));
            i += 2;
        }
    }
    return out;
}

// A terminal reduced to its wire: connect, send, read exact bytes or whole
// records, with time-outs.
class RawClient {
public:
    explicit RawClient(std::uint16_t port) {
        mFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (mFd < 0 || ::connect(mFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
            throw std::runtime_error("connect failed");
    }
    ~RawClient() {
        if (mFd >= 0) ::close(mFd);
    }
    void Send(const Bytes& b) { ASSERT_EQ(::send(mFd, b.data(), b.size(), MSG_NOSIGNAL), static_cast<ssize_t>(b.size())); }
    void Close() {
        ::close(mFd);
        mFd = -1;
    }
    // Reads until `n` bytes are buffered; false on time-out or end of stream.
    bool Fill(std::size_t n) {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (mBuf.size() < n) {
            if (!ReadSome(deadline)) return false;
        }
        return true;
    }
    // The next `expected.size()` bytes, as hex, for comparison.
    std::string Next(const Bytes& expected) {
        if (!Fill(expected.size())) return "short read: " + HexString(mBuf);
        Bytes got(mBuf.begin(), mBuf.begin() + static_cast<std::ptrdiff_t>(expected.size()));
        mBuf.erase(mBuf.begin(), mBuf.begin() + static_cast<std::ptrdiff_t>(expected.size()));
        return HexString(got);
    }
    // The next record up to IAC EOR, IAC IAC undoubled; nothing on time-out.
    std::optional<Bytes> Record() {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        for (;;) {
            Bytes rec;
            for (std::size_t i = 0; i + 1 < mBuf.size(); ++i) {
                if (mBuf[i] != 0xFF) {
                    rec.push_back(mBuf[i]);
                    continue;
                }
                if (mBuf[i + 1] == 0xFF) {
                    rec.push_back(0xFF);
                    ++i;
                } else if (mBuf[i + 1] == 0xEF) {
                    mBuf.erase(mBuf.begin(), mBuf.begin() + static_cast<std::ptrdiff_t>(i + 2));
                    return rec;
                }
            }
            if (!ReadSome(deadline)) return std::nullopt;
        }
    }
    // True when the host ends the stream (0 from recv) or resets it.
    int WaitEnd() {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        while (ReadSome(deadline)) {
        }
        return mEnd;
    }

    // Negotiates TN3270E as a client that asks for `functions`.
    void NegotiateTn3270E(const std::string& lu = "", const char* functions = "00 02 04") {
        ASSERT_EQ(Next(B("FF FD 28")), "FF FD 28");
        Send(B("FF FB 28"));
        ASSERT_EQ(Next(B("FF FA 28 08 02 FF F0")), "FF FA 28 08 02 FF F0");
        Send(B("FF FA 28 02 07 \"IBM-3278-2-E\"" + (lu.empty() ? std::string() : " 01 \"" + lu + "\"") + " FF F0"));
        ASSERT_TRUE(Fill(1));
        mBuf.clear();  // DEVICE-TYPE IS ... CONNECT ...; checked through the session's state
        Send(B(std::string("FF FA 28 03 07 ") + functions + " FF F0"));
        ASSERT_EQ(Next(B(std::string("FF FA 28 03 04 ") + functions + " FF F0")),
                  HexString(B(std::string("FF FA 28 03 04 ") + functions + " FF F0")));
    }
    void NegotiatePlain() {
        ASSERT_EQ(Next(B("FF FD 18")), "FF FD 18");
        Send(B("FF FB 18"));
        ASSERT_EQ(Next(B("FF FA 18 01 FF F0")), "FF FA 18 01 FF F0");
        Send(B("FF FA 18 00 \"IBM-3278-2\" FF F0"));
        ASSERT_EQ(Next(B("FF FD 19 FF FB 19 FF FD 00 FF FB 00")), "FF FD 19 FF FB 19 FF FD 00 FF FB 00");
        Send(B("FF FB 19 FF FD 19 FF FB 00 FF FD 00"));
    }
    void SendRecord(const Bytes& record) {
        Bytes framed;
        for (auto b : record) {
            framed.push_back(b);
            if (b == 0xFF) framed.push_back(0xFF);
        }
        framed.push_back(0xFF);
        framed.push_back(0xEF);
        Send(framed);
    }

private:
    bool ReadSome(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || mFd < 0) return false;
        pollfd p{mFd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        std::uint8_t chunk[4096];
        const ssize_t n = ::recv(mFd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            mEnd = n == 0 ? 1 : -errno;
            return false;
        }
        mBuf.insert(mBuf.end(), chunk, chunk + n);
        return true;
    }
    int mFd = -1;
    Bytes mBuf;
    int mEnd = 0;
};

// An inbound AID record as a terminal builds it: AID, cursor, then SBA and
// text for each modified field.
struct TypedField {
    int row, col;
    std::string text;
};
Bytes AidRecord(std::uint8_t aidByte, int cursorRow, int cursorCol, std::initializer_list<TypedField> fields,
                bool header = true) {
    Bytes r;
    if (header) r = {0x00, 0x00, 0x00, 0x00, 0x00};
    r.push_back(aidByte);
    auto c = EncodeAddress12(TSim3270Encoder::Position(cursorRow, cursorCol));
    r.insert(r.end(), c.begin(), c.end());
    for (const auto& f : fields) {
        r.push_back(order::SBA);
        auto a = EncodeAddress12(TSim3270Encoder::Position(f.row, f.col));
        r.insert(r.end(), a.begin(), a.end());
        const Bytes t = ToEbcdic(f.text);
        r.insert(r.end(), t.begin(), t.end());
    }
    return r;
}

bool Shows(const Bytes& record, std::string_view text) {
    const Bytes e = ToEbcdic(text);
    return std::search(record.begin(), record.end(), e.begin(), e.end()) != record.end();
}

// Every simulator test runs on both kinds of server: a thread per
// connection, and the event loop.
class HostSimulator : public ::testing::TestWithParam<bool> {
protected:
    TSimHostOptions Opt(TSimHostOptions o = {}) const {
        o.eventLoop = GetParam();
        o.loopThreads = 2;
        return o;
    }
};
class DemoApp : public HostSimulator {};

TEST_P(HostSimulator, Tn3270ESessionRecordsResponsesAndClientClose) {
    THostSimulator host(Opt());
    RawClient client(host.Port());
    auto s = host.WaitSession(kWait);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->Id(), 1);
    client.NegotiateTn3270E();
    ASSERT_TRUE(s->WaitNegotiated(kWait));
    const auto n = s->Negotiated();
    EXPECT_TRUE(n.tn3270e);
    EXPECT_EQ(n.terminalType, "IBM-3278-2-E");
    EXPECT_EQ(n.luName, "SIM00001");
    EXPECT_EQ(n.functions, (std::vector<std::uint8_t>{0, 2, 4}));
    EXPECT_EQ(host.LusInUse(), std::vector<std::string>{"SIM00001"});

    // Pushed records arrive with their header and sequence numbers.
    EXPECT_EQ(s->SendBind(), 0);
    auto bind = client.Record();
    ASSERT_TRUE(bind);
    EXPECT_EQ(HexString(ByteView(*bind).first(6)), "03 00 00 00 00 31");
    const Bytes screen = TSim3270Encoder().EraseWrite(wcc::Restore).Field(1, 1, fa::Unprotected).Take();
    const auto seq = s->Send3270(screen, true);
    EXPECT_EQ(seq, 1);
    auto rec = client.Record();
    ASSERT_TRUE(rec);
    EXPECT_EQ(HexString(*rec), "00 00 02 00 01 F5 C2 11 40 40 1D 40");

    // What the client sends back, waited for and decoded.
    client.SendRecord(B("02 00 00 00 01 00"));
    client.SendRecord(AidRecord(aid::Enter, 1, 5, {{1, 2, "ABC"}}));
    auto in = s->WaitInbound(kWait);  // the response stays queued for WaitResponse
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::Enter);
    EXPECT_EQ(in->cursor, 4);
    ASSERT_EQ(in->fields.size(), 1u);
    EXPECT_EQ(in->fields[0].text, "ABC");
    auto r = s->WaitResponse(seq, kWait);
    ASSERT_TRUE(r);
    EXPECT_TRUE(r->positive);
    EXPECT_FALSE(s->WaitResponse(99, 50ms));

    // Read commands and the query go out as 3270 data.
    s->SendReadModified();
    s->SendReadBuffer();
    s->SendQuery();
    s->SendUnbind();
    s->SendSscpLu(ToEbcdic("HELLO"));
    EXPECT_EQ(HexString(*client.Record()), "00 00 00 00 02 F6");
    EXPECT_EQ(HexString(*client.Record()), "00 00 00 00 03 F2");
    EXPECT_EQ(HexString(*client.Record()), "00 00 00 00 04 F3 00 05 01 FF 02");
    EXPECT_EQ(HexString(*client.Record()), "04 00 00 00 05 32 01");
    EXPECT_EQ(HexString(*client.Record()), "07 00 00 00 06 C8 C5 D3 D3 D6");
    client.SendRecord(B("07 00 00 00 06 C8 C9"));
    auto sscp = s->WaitInbound(kWait);
    ASSERT_TRUE(sscp);
    EXPECT_EQ(sscp->kind, TSimInbound::Kind::Unformatted);
    EXPECT_EQ(sscp->text, "HI");

    client.Send(B("FF F5"));  // SysReq as a telnet command
    EXPECT_EQ(s->WaitTelnetCommand(kWait), std::optional<std::uint8_t>(tel::AO));

    client.Close();
    EXPECT_TRUE(s->WaitDisconnect(kWait));
    EXPECT_FALSE(s->IsConnected());
    EXPECT_TRUE(host.LusInUse().empty());
    EXPECT_FALSE(s->WaitRecord(10ms));
    s->Send3270(screen);  // a send on an ended session does nothing
}

TEST_P(HostSimulator, PlainModeCarriesNoHeaderAndNoSnaRecords) {
    TSimHostOptions o;
    o.telnet.mode = TSimMode::Plain;
    THostSimulator host(Opt(o));
    RawClient client(host.Port());
    auto s = host.WaitSession(kWait);
    ASSERT_TRUE(s);
    client.NegotiatePlain();
    ASSERT_TRUE(s->WaitNegotiated(kWait));
    EXPECT_FALSE(s->Negotiated().tn3270e);
    EXPECT_EQ(s->Negotiated().terminalType, "IBM-3278-2");
    EXPECT_EQ(s->Send3270(B("F1 C2 FF")), 0);
    EXPECT_EQ(HexString(*client.Record()), "F1 C2 FF");
    EXPECT_THROW(s->SendBind(), std::logic_error);
    client.SendRecord(AidRecord(aid::PF[23], 24, 80, {}, false));
    auto in = s->WaitInbound(kWait);
    ASSERT_TRUE(in);
    EXPECT_EQ(AidName(in->aid), "PF24");
    EXPECT_EQ(in->cursor, 1919);
}

TEST_P(HostSimulator, LuPoolNamesAndDeviceInUse) {
    TSimHostOptions o;
    o.luPool = {"TERM01", "TERM02"};
    THostSimulator host(Opt(o));
    RawClient a(host.Port());
    auto sa = host.WaitSession(kWait);
    a.NegotiateTn3270E("TERM02");
    ASSERT_TRUE(sa->WaitNegotiated(kWait));
    EXPECT_EQ(sa->Negotiated().luName, "TERM02");

    // The same LU again is in use; no name gets the first free one.
    RawClient b(host.Port());
    auto sb = host.WaitSession(kWait);
    EXPECT_EQ(sb->Id(), 2);
    ASSERT_EQ(b.Next(B("FF FD 28")), "FF FD 28");
    b.Send(B("FF FB 28"));
    ASSERT_EQ(b.Next(B("FF FA 28 08 02 FF F0")), "FF FA 28 08 02 FF F0");
    b.Send(B("FF FA 28 02 07 \"IBM-3278-2\" 01 \"TERM02\" FF F0"));
    EXPECT_EQ(b.Next(B("FF FA 28 02 06 05 01 FF F0")), "FF FA 28 02 06 05 01 FF F0");
    b.Send(B("FF FA 28 02 07 \"IBM-3278-2\" 01 \"OTHER\" FF F0"));
    EXPECT_EQ(b.Next(B("FF FA 28 02 06 05 03 FF F0")), "FF FA 28 02 06 05 03 FF F0");
    b.Send(B("FF FA 28 02 07 \"IBM-3278-2\" FF F0"));
    const Bytes is = B("FF FA 28 02 04 \"IBM-3278-2\" 01 \"TERM01\" FF F0");
    EXPECT_EQ(b.Next(is), HexString(is));
    EXPECT_EQ(host.LusInUse(), (std::vector<std::string>{"TERM01", "TERM02"}));
    EXPECT_EQ(host.ActiveSessions(), 2u);
}

TEST_P(HostSimulator, HostClosesResetsAndTimesOut) {
    THostSimulator host(Opt());
    {
        RawClient c(host.Port());
        auto s = host.WaitSession(kWait);
        c.NegotiateTn3270E();
        ASSERT_TRUE(s->WaitNegotiated(kWait));
        s->Close();
        EXPECT_EQ(c.WaitEnd(), 1);  // orderly end of stream
        EXPECT_TRUE(s->WaitDisconnect(kWait));
    }
    {
        RawClient c(host.Port());
        auto s = host.WaitSession(kWait);
        c.NegotiateTn3270E();
        ASSERT_TRUE(s->WaitNegotiated(kWait));
        s->Reset();
        EXPECT_EQ(c.WaitEnd(), -ECONNRESET);
        EXPECT_TRUE(s->WaitDisconnect(kWait));
    }
    {
        RawClient c(host.Port());  // refuses everything
        auto s = host.WaitSession(kWait);
        c.Send(B("FF FC 28 FF FC 18"));
        EXPECT_FALSE(s->WaitNegotiated(kWait));
        EXPECT_EQ(s->FailureReason(), "client refused TERMINAL-TYPE");
        EXPECT_TRUE(s->WaitDisconnect(kWait));
    }
    EXPECT_EQ(host.SessionCount(), 3u);

    TSimHostOptions o;
    o.negotiationTimeout = 300ms;
    THostSimulator quick(Opt(o));
    {
        RawClient c(quick.Port());  // says nothing
        auto s = quick.WaitSession(kWait);
        EXPECT_FALSE(s->WaitNegotiated(kWait));
        EXPECT_TRUE(s->WaitDisconnect(kWait));
        EXPECT_EQ(s->FailureReason(), "negotiation timed out");
        EXPECT_EQ(c.Next(B("FF FD 28")), "FF FD 28");
        EXPECT_EQ(c.WaitEnd(), 1);
    }
}

TEST_P(HostSimulator, GivenPortIsUsedAndATakenOneRefused) {
    std::uint16_t port;
    {
        THostSimulator first(Opt());
        port = first.Port();
        TSimHostOptions o;
        o.port = port;
        EXPECT_THROW(THostSimulator{Opt(o)}, std::system_error);
    }
    TSimHostOptions o;
    o.port = port;
    THostSimulator again(Opt(o));
    EXPECT_EQ(again.Port(), port);
    RawClient c(port);
    EXPECT_EQ(c.Next(B("FF FD 28")), "FF FD 28");
}

std::tm FixedClock() {
    std::tm t{};
    t.tm_year = 124;
    t.tm_mon = 4;
    t.tm_mday = 17;
    t.tm_hour = 9;
    t.tm_min = 30;
    return t;
}

TSimHostOptions DemoOptions(TSimMode mode, TDemoOptions demo = {}) {
    TSimHostOptions o;
    o.telnet.mode = mode;
    demo.clock = FixedClock;
    o.appFactory = TDemoApp::Factory(demo);
    return o;
}

TEST_P(DemoApp, SignOnMenuInquiryAndLogoffOverTn3270E) {
    THostSimulator host(Opt(DemoOptions(TSimMode::Tn3270E)));
    RawClient c(host.Port());
    c.NegotiateTn3270E();

    auto bind = c.Record();
    ASSERT_TRUE(bind);
    EXPECT_EQ((*bind)[0], dt::BindImage);
    auto screen = c.Record();
    ASSERT_TRUE(screen);
    EXPECT_EQ(HexString(ByteView(*screen).first(7)), "00 00 00 00 01 F5 C3");  // EW, restore + reset MDT
    EXPECT_TRUE(Shows(*screen, "SIGN ON"));
    EXPECT_TRUE(Shows(*screen, "DATE: 2024-05-17"));
    EXPECT_TRUE(Shows(*screen, "TIME: 09:30:00"));
    EXPECT_TRUE(Shows(*screen, "TERMINAL SIM00001"));

    // Wrong password: the panel again, with a message, the alarm and the keyboard restored.
    c.SendRecord(AidRecord(aid::Enter, 12, 28, {{10, 28, "demo"}, {12, 28, "WRONG"}}));
    screen = c.Record();
    ASSERT_TRUE(screen);
    EXPECT_EQ((*screen)[6], 0xC7);
    EXPECT_TRUE(Shows(*screen, "USER ID OR PASSWORD IS NOT VALID"));

    c.SendRecord(AidRecord(aid::Enter, 12, 28, {{10, 28, "DEMO"}, {12, 28, "secret"}}));
    screen = c.Record();
    ASSERT_TRUE(screen);
    EXPECT_TRUE(Shows(*screen, "MAIN MENU"));
    EXPECT_TRUE(Shows(*screen, "User . . . : DEMO"));

    c.SendRecord(AidRecord(aid::Enter, 20, 16, {{20, 15, "7"}}));
    screen = c.Record();
    EXPECT_TRUE(Shows(*screen, "OPTION 7 IS NOT VALID"));

    c.SendRecord(AidRecord(aid::Enter, 20, 16, {{20, 15, "1"}}));
    screen = c.Record();
    EXPECT_TRUE(Shows(*screen, "ACCOUNT INQUIRY"));

    c.SendRecord(AidRecord(aid::Enter, 5, 31, {{5, 26, "10003"}}));
    screen = c.Record();
    EXPECT_TRUE(Shows(*screen, "MEI LIN CHEN"));
    EXPECT_TRUE(Shows(*screen, "-125.50 EUR"));
    // The negative balance is a protected intensified field in red.
    const Bytes redBalance = {order::SFE, 0x02, xa::Field, 0xE8, xa::Colour, 0xF2};
    EXPECT_NE(std::search(screen->begin(), screen->end(), redBalance.begin(), redBalance.end()), screen->end());

    c.SendRecord(AidRecord(aid::Enter, 5, 31, {{5, 26, "99999"}}));
    screen = c.Record();
    EXPECT_TRUE(Shows(*screen, "ACCOUNT 99999 NOT FOUND"));
    c.SendRecord(AidRecord(aid::Enter, 5, 31, {{5, 26, "12A"}}));
    screen = c.Record();
    EXPECT_TRUE(Shows(*screen, "ACCOUNT NUMBER MUST BE 5 DIGITS"));
    c.SendRecord(AidRecord(aid::PA1, 5, 31, {}));
    screen = c.Record();
    EXPECT_TRUE(Shows(*screen, "PA1 IS NOT SUPPORTED HERE"));

    c.SendRecord(AidRecord(aid::PF[2], 5, 31, {}));  // PF3: back to the menu
    screen = c.Record();
    EXPECT_TRUE(Shows(*screen, "MAIN MENU"));

    c.SendRecord(AidRecord(aid::Enter, 20, 16, {{20, 15, "logoff"}}));
    auto unbind = c.Record();
    ASSERT_TRUE(unbind);
    EXPECT_EQ(HexString(*unbind), "04 00 00 00 0B 32 01");
    EXPECT_EQ(c.WaitEnd(), 1);
}

TEST_P(DemoApp, PlainSessionEndsWithPf12AndNoUnbind) {
    THostSimulator host(Opt(DemoOptions(TSimMode::Plain)));
    RawClient c(host.Port());
    c.NegotiatePlain();
    auto screen = c.Record();
    ASSERT_TRUE(screen);
    EXPECT_EQ(HexString(ByteView(*screen).first(2)), "F5 C3");
    c.SendRecord(AidRecord(aid::Enter, 12, 28, {{10, 28, "GUEST"}, {12, 28, "GUEST"}}, false));
    screen = c.Record();
    EXPECT_TRUE(Shows(*screen, "MAIN MENU"));
    c.SendRecord(AidRecord(aid::Clear, 1, 1, {}, false));
    screen = c.Record();
    EXPECT_TRUE(Shows(*screen, "MAIN MENU"));
    c.SendRecord(Bytes{aid::PF[11]});
    EXPECT_EQ(c.WaitEnd(), 1);
}

TEST_P(DemoApp, QueryFirstThenSysReqSuspendsResumesAndLogsOff) {
    TDemoOptions demo;
    demo.queryOnStart = true;
    THostSimulator host(Opt(DemoOptions(TSimMode::Tn3270E, demo)));
    RawClient c(host.Port());
    c.NegotiateTn3270E();
    EXPECT_EQ(HexString(*c.Record()), "00 00 00 00 00 F3 00 05 01 FF 02");
    c.SendRecord(B("00 00 00 00 00 88 00 06 81 80 80 81"));
    EXPECT_EQ((*c.Record())[0], dt::BindImage);
    EXPECT_TRUE(Shows(*c.Record(), "SIGN ON"));

    c.Send(B("FF F5"));  // SysReq
    auto sscp = c.Record();
    ASSERT_TRUE(sscp);
    EXPECT_EQ((*sscp)[0], dt::SscpLuData);
    EXPECT_TRUE(Shows(*sscp, "SYSTEM REQUEST"));
    // The terminal sends the whole screen's text back: the prompt and nothing typed.
    Bytes reply = {dt::SscpLuData, 0, 0, 0, 0};
    const Bytes prompt = Bytes(sscp->begin() + 5, sscp->end());
    reply.insert(reply.end(), prompt.begin(), prompt.end());
    c.SendRecord(reply);
    EXPECT_EQ((*c.Record())[0], dt::BindImage);
    auto screen = c.Record();
    EXPECT_TRUE(Shows(*screen, "SIGN ON"));
    EXPECT_TRUE(Shows(*screen, "SESSION RESUMED"));

    c.Send(B("FF F5"));
    ASSERT_TRUE(c.Record());
    const Bytes logoff = ToEbcdic("logoff");
    reply.insert(reply.end(), logoff.begin(), logoff.end());
    c.SendRecord(reply);
    EXPECT_EQ((*c.Record())[0], dt::Unbind);
    EXPECT_EQ(c.WaitEnd(), 1);
}

TEST_P(DemoApp, ManySessionsHaveTheirOwnLuAndState) {
    THostSimulator host(Opt(DemoOptions(TSimMode::Tn3270E)));
    constexpr int kSessions = 8;
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < kSessions; ++i) {
        clients.push_back(std::make_unique<RawClient>(host.Port()));
        clients.back()->NegotiateTn3270E();
    }
    for (int i = 0; i < kSessions; ++i) {
        auto& c = *clients[static_cast<std::size_t>(i)];
        ASSERT_TRUE(c.Record());  // BIND
        auto screen = c.Record();
        ASSERT_TRUE(screen);
        char lu[16];
        std::snprintf(lu, sizeof lu, "SIM%05d", i + 1);
        EXPECT_TRUE(Shows(*screen, lu));
        c.SendRecord(AidRecord(aid::Enter, 12, 28, {{10, 28, "DEMO"}, {12, 28, "SECRET"}}));
    }
    for (auto& c : clients) EXPECT_TRUE(Shows(*c->Record(), "MAIN MENU"));
    EXPECT_EQ(host.ActiveSessions(), static_cast<std::size_t>(kSessions));
    EXPECT_EQ(host.LusInUse().size(), static_cast<std::size_t>(kSessions));
}

const auto kModeName = [](const ::testing::TestParamInfo<bool>& info) { return std::string(info.param ? "Loop" : "Threads"); };
INSTANTIATE_TEST_SUITE_P(Modes, HostSimulator, ::testing::Bool(), kModeName);
INSTANTIATE_TEST_SUITE_P(Modes, DemoApp, ::testing::Bool(), kModeName);

}  // namespace
}  // namespace tnsim
