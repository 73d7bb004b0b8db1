// `tn3270 --script` end to end: the interpreter in process against the
// simulator's demo host over TN3270E and plain TN3270, the error line of
// every user error, the wait rules, what reaches the host (through the
// simulator's own decoder), and the built program driven through a pipe.
#include "sim/uDemoApp.h"
#include "sim/uHostSimulator.h"
#include "sim/uSim3270Encoder.h"
#include "sim/uSimCodePage.h"
#include "sim/uSimTlsFront.h"
#include "sim/uTestCertificates.h"
#include "sim/uTestHost.h"
#include "tests/tls/StunnelProcess.h"
#include "component/uScreenExport.h"
#include "stream/uOrvTnConsts.h"
#include "tools/uScriptLexer.h"
#include "tools/uScriptSession.h"
#include "tools/uTn3270Cli.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace tnsim;

Bytes Hex(std::string_view hex)
{
    Bytes out;
    std::istringstream in{std::string(hex)};
    std::string byte;
    while (in >> byte)
        out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

// One command's answer: its data lines (without "data: ") and the last line.
struct Answer {
    std::vector<std::string> data;
    std::string last;
    bool Ok() const { return last == "ok"; }
    bool Shows(const std::string& text) const
    {
        return std::any_of(data.begin(), data.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
    }
};

Answer ParseAnswer(const std::string& out)
{
    Answer a;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("data: ", 0) == 0)
            a.data.push_back(line.substr(6));
        else
            a.last = line;  // ok / error: must be the last line
    }
    return a;
}

class ScriptDriver {
public:
    explicit ScriptDriver(const std::string& host = {}, std::int32_t port = 23)
        : interpreter(session, TScriptConfig{host, port, std::chrono::milliseconds(10000)})
    {
    }
    Answer operator()(const std::string& line)
    {
        std::ostringstream out;
        interpreter.Execute(line, out);
        const std::string text = out.str();
        // Exactly one closing line, and it is the last one.
        EXPECT_TRUE(text.ends_with("ok\n") || text.rfind("error: ") != std::string::npos) << line << "\n" << text;
        return ParseAnswer(text);
    }
    TOperator session;
    TScriptInterpreter interpreter;
};

// The data line that starts with the record name ("R10C28 ...").
std::string FieldLine(const Answer& fields, const std::string& name)
{
    for (const auto& l : fields.data)
        if (l.rfind(name + " ", 0) == 0)
            return l;
    return {};
}

class DemoScript : public ::testing::TestWithParam<TSimMode> {
protected:
    DemoScript() : host(Options()), run("127.0.0.1", host.Port()) {}
    static TSimHostOptions Options()
    {
        TSimHostOptions o;
        o.telnet.mode = GetParam();
        o.appFactory = TDemoApp::Factory();
        return o;
    }
    bool Extended() const { return GetParam() == TSimMode::Tn3270E; }

    THostSimulator host;
    ScriptDriver run;
};

TEST_P(DemoScript, SignOnMenuInquiryErrorsAndLogoff)
{
    ASSERT_TRUE(run("connect").Ok());
    ASSERT_TRUE(run("wait text \"SIGN ON\"").Ok());
    ASSERT_TRUE(run("wait unlock").Ok());

    Answer status = run("status");
    ASSERT_TRUE(status.Ok());
    EXPECT_TRUE(status.Shows("connected yes"));
    EXPECT_TRUE(status.Shows(Extended() ? "tn3270e on" : "tn3270e off"));
    EXPECT_TRUE(status.Shows(Extended() ? "lu SIM00001" : "lu -"));
    EXPECT_TRUE(status.Shows(Extended() ? "functions bind-image responses sysreq" : "functions -"));
    EXPECT_TRUE(status.Shows("session-state lu-lu"));
    EXPECT_TRUE(status.Shows("keyboard unlocked"));

    Answer screen = run("screen");
    ASSERT_EQ(screen.data.size(), 25u);
    for (std::size_t r = 0; r < 24; ++r)
        EXPECT_EQ(screen.data[r].size(), 80u) << r;
    EXPECT_NE(screen.data[1].find("SIGN ON"), std::string::npos);
    EXPECT_EQ(screen.data[24], "cursor 10 28");

    // The operator's keys and reads: Tab and Back Tab between the two
    // input fields, a region read (on over the row end), the screen saved.
    EXPECT_TRUE(run("tab").Ok());
    EXPECT_TRUE(run("wait cursor 12 28 1").Ok());
    EXPECT_TRUE(run("backtab").Ok());
    EXPECT_EQ(run("screen").data[24], "cursor 10 28");
    EXPECT_EQ(run("text 2 1 80").data, std::vector<std::string>{screen.data[1]});
    EXPECT_EQ(run("text 1 80 2").data, std::vector<std::string>{screen.data[0].substr(79) + screen.data[1].substr(0, 1)});
    EXPECT_TRUE(run("wait field").Ok());
    const std::string snap = ::testing::TempDir() + "tn3270-snap-" + std::to_string(::getpid()) + ".txt";
    ASSERT_TRUE(run("snap text \"" + snap + "\"").Ok());
    {
        std::ifstream saved(snap);
        std::string row;
        for (std::size_t r = 0; r < 24 && std::getline(saved, row); ++r)
            EXPECT_EQ(row, screen.data[r]) << r;
    }
    std::filesystem::remove(snap);
    // Erase EOF from the cursor: what was typed before it stays.
    EXPECT_TRUE(run("type \"DEMOX\"").Ok());
    EXPECT_TRUE(run("cursor 10 32").Ok());
    EXPECT_TRUE(run("erase-eof").Ok());
    EXPECT_EQ(run("text 10 28 8").data, std::vector<std::string>{"DEMO    "});
    EXPECT_TRUE(run("home").Ok());
    EXPECT_EQ(run("screen").data[24], "cursor 10 28");

    // A wrong password: the message line, the keyboard unlocked again, and
    // the password never on the screen.
    EXPECT_TRUE(run("set 0 \"demo\"").Ok());
    EXPECT_TRUE(run("set R12C28 \"WRONG\"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    EXPECT_TRUE(run("wait screen").Ok());
    EXPECT_TRUE(run("wait unlock").Ok());
    screen = run("screen");
    EXPECT_NE(screen.data[21].find("USER ID OR PASSWORD IS NOT VALID"), std::string::npos) << screen.data[21];
    EXPECT_FALSE(screen.Shows("WRONG"));
    EXPECT_EQ(screen.data[24], "cursor 12 28");

    // The user id came back as the host filled it in; the password field is
    // addressed by its name.
    const Answer fields = run("fields");
    EXPECT_NE(FieldLine(fields, "R10C28").find("text=\"DEMO\""), std::string::npos);
    EXPECT_NE(FieldLine(fields, "R12C28").find("hidden=1"), std::string::npos);
    EXPECT_TRUE(run("set R12C28 \"secret\"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    EXPECT_TRUE(run("wait text \"MAIN MENU\"").Ok());
    EXPECT_TRUE(run("screen").Shows("User . . . : DEMO"));

    EXPECT_TRUE(run("set 0 \"1\"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    EXPECT_TRUE(run("wait text \"ACCOUNT INQUIRY\"").Ok());

    // An unknown account: the host's message.
    EXPECT_TRUE(run("set 0 \"99999\"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    EXPECT_TRUE(run("wait text \"ACCOUNT 99999 NOT FOUND\"").Ok());

    EXPECT_TRUE(run("set 0 \"10003\"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    EXPECT_TRUE(run("wait text \"MEI LIN CHEN\"").Ok());
    const Answer inquiry = run("fields");
    // The status in red reverse video: extended attribute 0x80 | red 0x10.
    const auto overdrawn = std::find_if(inquiry.data.begin(), inquiry.data.end(),
                                        [](const std::string& l) { return l.find("text=\"OVERDRAWN\"") != std::string::npos; });
    ASSERT_NE(overdrawn, inquiry.data.end());
    EXPECT_NE(overdrawn->find(Extended() ? "eab=90" : "eab="), std::string::npos) << *overdrawn;
    EXPECT_NE(overdrawn->find("editable=0"), std::string::npos);

    EXPECT_TRUE(run("key pf3").Ok());
    EXPECT_TRUE(run("wait text \"MAIN MENU\"").Ok());
    EXPECT_TRUE(run("set 0 \"X\"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    EXPECT_TRUE(run("wait disconnect").Ok());
    status = run("status");
    EXPECT_TRUE(status.Shows("connected no"));
    EXPECT_EQ(run("key enter").last, "error: not connected");
    EXPECT_EQ(run("wait text \"NEVER\" 5").last, "error: not connected (waiting for text NEVER)");
    // Connecting again works.
    ASSERT_TRUE(run("connect").Ok());
    EXPECT_TRUE(run("wait text \"SIGN ON\"").Ok());
    EXPECT_TRUE(run("quit").Ok());
}

// ATTN and SysReq are telnet commands, not AIDs: the demo host answers ATTN
// with a message, and SysReq with the SSCP's text on an unformatted screen,
// whose rows are input fields the script can type LOGOFF into.
TEST(DemoKeys, AttentionAndSystemRequest)
{
    TSimHostOptions o;
    o.appFactory = TDemoApp::Factory();
    THostSimulator host(o);
    ScriptDriver run("127.0.0.1", host.Port());
    ASSERT_TRUE(run("connect").Ok());
    ASSERT_TRUE(run("wait text \"SIGN ON\"").Ok());
    EXPECT_TRUE(run("key attn").Ok());
    EXPECT_TRUE(run("wait text \"ATTENTION IGNORED\"").Ok());
    EXPECT_TRUE(run("wait unlock").Ok());
    EXPECT_TRUE(run("key sysreq").Ok());
    EXPECT_TRUE(run("status").Shows("session-state sscp-lu"));
    EXPECT_TRUE(run("wait text \"SYSTEM REQUEST\"").Ok());
    const Answer fields = run("fields");
    EXPECT_EQ(fields.data.size(), 24u);
    EXPECT_NE(FieldLine(fields, "R2C1").find("editable=1"), std::string::npos);
    EXPECT_TRUE(run("set R2C1 \"logoff\"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    EXPECT_TRUE(run("wait disconnect").Ok());
}

INSTANTIATE_TEST_SUITE_P(Modes, DemoScript, ::testing::Values(TSimMode::Tn3270E, TSimMode::Plain),
                         [](const auto& info) { return info.param == TSimMode::Tn3270E ? "Tn3270E" : "Plain"; });

// Hosts that change their mind during the negotiation: each session still
// reaches the sign-on screen and takes a key, over TN3270E or, where it
// was withdrawn or given up, plain TN3270.
struct NegotiationCase {
    const char* name;
    void (*change)(TSimTelnetOptions&);
    const char* device;  // the DeviceName asked for, "" for none
    bool tn3270e;
    const char* functions;
};

const NegotiationCase kNegotiationCases[] = {
    {"WithdrawnAfterWill", [](TSimTelnetOptions& o) { o.withdrawTn3270E = TSimWithdraw::AfterWill; }, "", false,
     "functions -"},
    {"WithdrawnAfterDeviceType", [](TSimTelnetOptions& o) { o.withdrawTn3270E = TSimWithdraw::AfterDeviceType; },
     "SIM00002", false, "functions -"},
    {"WithdrawnAfterFunctions", [](TSimTelnetOptions& o) { o.withdrawTn3270E = TSimWithdraw::AfterFunctions; }, "",
     false, "functions -"},
    {"RejectedOnceThenAcceptedWithoutTheName", [](TSimTelnetOptions& o) { o.rejectDeviceTypeTimes = 1; },
     "SIM00002", true, "functions bind-image responses sysreq"},
    {"RejectedTwiceGivesTn3270EUp", [](TSimTelnetOptions& o) { o.rejectDeviceTypeTimes = 2; }, "SIM00002", false,
     "functions -"},
    {"RejectedWithoutANameGivesTn3270EUp", [](TSimTelnetOptions& o) { o.rejectDeviceTypeTimes = 1; }, "", false,
     "functions -"},
    {"HostProposesASubsetOfOurFunctions",
     [](TSimTelnetOptions& o) { o.functions = {fn::BindImage, fn::Responses}; }, "", true,
     "functions bind-image responses"},
};

void PrintTo(const NegotiationCase& c, std::ostream* out)
{
    *out << c.name;
}

class NegotiationScript : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(NegotiationScript, ReachesTheScreenAndTakesAKey)
{
    const NegotiationCase& c = GetParam();
    TSimHostOptions o;
    o.appFactory = TDemoApp::Factory();
    c.change(o.telnet);
    THostSimulator host(o);
    ScriptDriver run("127.0.0.1", host.Port());
    run.session.Component().SetDeviceName(c.device);
    ASSERT_TRUE(run("connect").Ok());
    ASSERT_TRUE(run("wait text \"SIGN ON\"").Ok());
    ASSERT_TRUE(run("wait unlock").Ok());
    const Answer status = run("status");
    EXPECT_TRUE(status.Shows("connected yes"));
    EXPECT_TRUE(status.Shows(c.tn3270e ? "tn3270e on" : "tn3270e off"));
    EXPECT_TRUE(status.Shows(c.functions));
    EXPECT_TRUE(status.Shows("session-state lu-lu"));
    EXPECT_TRUE(run("set 0 \"demo\"").Ok());
    EXPECT_TRUE(run("set R12C28 \"WRONG\"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    EXPECT_TRUE(run("wait text \"USER ID OR PASSWORD IS NOT VALID\"").Ok());
    EXPECT_TRUE(run("quit").Ok());
}

INSTANTIATE_TEST_SUITE_P(Hosts, NegotiationScript, ::testing::ValuesIn(kNegotiationCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A port nothing listens on: bound and closed again.
std::uint16_t ClosedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

TEST(ScriptErrors, EveryUserErrorIsAnErrorLine)
{
    TSimHostOptions o;
    o.appFactory = TDemoApp::Factory();
    THostSimulator host(o);
    ScriptDriver run;

    struct Case {
        const char* line;
        const char* error;
    };
    // Before any connection.
    const Case offline[] = {
        {"key enter", "error: not connected"},
        {"set 0 \"A\"", "error: not connected"},
        {"cursor 1 1", "error: not connected"},
        {"disconnect", "error: not connected"},
        {"wait screen 0.1", "error: not connected (waiting for screen)"},
        {"wait unlock 0.1", "error: not connected (waiting for unlock)"},
        {"wait text \"X\" 0.1", "error: not connected (waiting for text X)"},
        {"connect", "error: usage: connect HOST[:PORT]"},
        {"bogus", "error: unknown command bogus"},
        {"\"quoted\"", "error: unknown command \"quoted\""},
        {"screen now", "error: usage: screen"},
        {"fields 1", "error: usage: fields"},
        {"status x", "error: usage: status"},
        {"quit now", "error: usage: quit"},
        {"disconnect x", "error: usage: disconnect"},
        {"wait", "error: usage: wait"},
        {"wait forever", "error: usage: wait"},
        {"wait text", "error: usage: wait"},
        {"wait text unquoted", "error: usage: wait"},
        {"wait text \"\"", "error: usage: wait"},
        {"wait screen 1 2", "error: usage: wait"},
        {"wait screen soon", "error: SECONDS must be a number above 0"},
        {"wait screen 0", "error: SECONDS must be a number above 0"},
        {"key", "error: usage: key"},
        {"key pf25", "error: unknown key pf25"},
        {"key pa0", "error: unknown key pa0"},
        {"key pf01", "error: unknown key pf01"},
        {"cursor 0 1", "error: cursor must be within rows 1-24 and columns 1-80"},
        {"cursor 1 81", "error: cursor must be within rows 1-24"},
        {"cursor a b", "error: usage: cursor ROW COL"},
        {"set 0 unquoted", "error: usage: set FIELD \"TEXT\""},
        {"set \"0\" \"A\"", "error: usage: set FIELD \"TEXT\""},
        {"set 0 \"open", "error: missing closing quote"},
        {"type", "error: usage: type \"TEXT\""},
        {"type ABC", "error: usage: type \"TEXT\""},
        {"type \"ABC\"", "error: not connected"},
        {"connect host:0", "error: port must be a number from 1 to 65535"},
        {"connect a b", "error: usage: connect"},
        {"tab", "error: not connected"},
        {"backtab", "error: not connected"},
        {"home", "error: not connected"},
        {"erase-eof", "error: not connected"},
        {"wait field 0.1", "error: not connected (waiting for input field)"},
        {"wait cursor 2 2 0.1", "error: not connected (waiting for cursor 2 2)"},
        {"wait cursor 1", "error: usage: wait screen|unlock|connect|disconnect|field [SECONDS] | wait text \"TEXT\" "
                          "[SECONDS] | wait cursor ROW COL [SECONDS]"},
        {"wait cursor 25 1 0.1", "error: position must be within rows 1-24 and columns 1-80"},
        {"text 1 1", "error: usage: text ROW COL LEN"},
        {"text 0 1 5", "error: text must start within rows 1-24 and columns 1-80"},
        {"text 1 1 x", "error: usage: text ROW COL LEN"},
        {"snap pdf x", "error: usage: snap text|html FILE"},
        {"snap html /nonexistent/dir/x.html", "error: cannot write /nonexistent/dir/x.html"},
    };
    for (const auto& c : offline) {
        const Answer a = run(c.line);
        EXPECT_TRUE(a.data.empty()) << c.line;
        EXPECT_EQ(a.last.rfind(c.error, 0), 0u) << c.line << " -> " << a.last;
    }
    // Every form of the table: too many words is its command's usage, and
    // the help lists it.
    const std::string help = UsageText("tn3270");
    for (const TScriptCommandHelp& c : ScriptCommandHelp()) {
        const std::string name = c.usage.substr(0, c.usage.find(' '));
        EXPECT_EQ(run(name + " a b c d e f").last.rfind("error: usage: " + name, 0), 0u) << c.usage;
        EXPECT_NE(help.find("  " + c.usage), std::string::npos) << c.usage;
    }
    const std::string refused = "127.0.0.1:" + std::to_string(ClosedPort());
    EXPECT_EQ(run("connect " + refused).last, "error: cannot connect to " + refused);
    EXPECT_EQ(run("wait connect 0.1").last, "error: connection failed (waiting for connect)");

    // Comments and empty lines get no answer at all.
    std::ostringstream silent;
    run.interpreter.Execute("   # a comment", silent);
    run.interpreter.Execute("", silent);
    EXPECT_EQ(silent.str(), "");

    ASSERT_TRUE(run("connect 127.0.0.1:" + std::to_string(host.Port())).Ok());
    ASSERT_TRUE(run("wait text \"SIGN ON\"").Ok());
    const Case online[] = {
        {"set 99 \"X\"", "error: no input field 99 (the screen has 2)"},
        {"set 99999999999 \"X\"", "error: no input field 99999999999"},
        {"set R1C2 \"X\"", "error: field R1C2 is protected"},
        {"cursor 1 1", ""},
        {"type \"X\"", "error: position 1,1 is protected"},
        {"set R9C9 \"X\"", "error: no field R9C9"},
        {"set 0 \"NINECHARS\"", "error: text of 9 characters does not fit field R10C28 of 8"},
        {"set 0 \"A\\x01\"", "error: text holds a character a field cannot hold"},
        {"wait text \"NEVER SHOWN\" 0.2", "error: timeout after 0.2 s waiting for text NEVER SHOWN"},
        {"wait disconnect 0.1", "error: timeout after 0.1 s waiting for disconnect"},
        {"wait cursor 1 1", "ok"},
        {"wait cursor 10 28 0.1", "error: timeout after 0.1 s waiting for cursor 10 28"},
        {"wait field 5", "ok"},
    };
    for (const auto& c : online) {
        const Answer a = run(c.line);
        EXPECT_EQ(a.last.rfind(c.error, 0), 0u) << c.line << " -> " << a.last;
    }
    // A long line is refused by the reader, and the session goes on.
    std::istringstream in(std::string(kMaxScriptLineBytes + 10, 'x') + "\nstatus\nquit\nstatus\n");
    std::ostringstream out;
    run.interpreter.Run(in, out);
    const std::string text = out.str();
    EXPECT_EQ(text.rfind("error: line longer than 65536 bytes\n", 0), 0u);
    EXPECT_NE(text.find("data: connected yes\n"), std::string::npos);
    // Nothing after quit is read.
    EXPECT_TRUE(text.ends_with("ok\nok\n")) << text;
}

// The host side driven by the test: what the tool sends, and waits that
// must end when the connection does.
TEST(ScriptWire, KeysFieldsCursorAndWaitRules)
{
    THostSimulator host;
    ScriptDriver run;
    ASSERT_TRUE(run("connect 127.0.0.1:" + std::to_string(host.Port())).Ok());
    const auto s = host.WaitSession();
    ASSERT_TRUE(s && s->WaitNegotiated());
    // A 160-character input field over two rows, split by a coloured word.
    TSim3270Encoder e;
    e.EraseWrite(wcc::Restore | wcc::ResetMdt)
        .Field(1, 1, fa::Protected, "NAME")
        .Field(2, 80, fa::Unprotected)
        .SAColour(Colour::Red)
        .Text("OLD")
        .SAReset()
        .At(5, 1)
        .SF(fa::Protected)
        .Field(6, 1, fa::Unprotected | fa::Numeric, "42")
        .Field(6, 10, fa::Protected);
    s->Send3270(e.Take());
    ASSERT_TRUE(run("wait screen").Ok());
    // A screen taken by one wait is not taken again.
    EXPECT_EQ(run("wait screen 0.1").last.rfind("error: timeout", 0), 0u);
    const Answer fields = run("fields");
    EXPECT_NE(FieldLine(fields, "R3C1").find("len=3 attr=00 eab=10"), std::string::npos) << FieldLine(fields, "R3C1");
    // The text fills the field across its records (the coloured word, the
    // rest of row 3, row 4).
    const std::string longText(100, 'Z');
    EXPECT_TRUE(run("set 0 \"" + longText + "\"").Ok());
    EXPECT_EQ(run("set 0 \"" + std::string(161, 'Z') + "\"").last,
              "error: text of 161 characters does not fit field R3C1 of 160");
    EXPECT_TRUE(run("cursor 6 3").Ok());
    EXPECT_EQ(run("screen").data.back(), "cursor 6 3");
    EXPECT_TRUE(run("key pf5").Ok());
    auto in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::PF[4]);
    EXPECT_EQ(in->cursor, 5 * 80 + 2);
    std::string sent;
    for (const auto& f : in->fields)
        sent += f.text;
    EXPECT_EQ(sent, longText);

    // The host answers before the script waits: `wait screen` still sees it,
    // and `wait unlock` sees the unlock that came with it.
    TSim3270Encoder next;
    next.Write(wcc::Restore).At(10, 1, "ANSWER");
    s->Send3270(next.Take());
    ASSERT_TRUE(run("wait text \"ANSWER\"").Ok());
    EXPECT_TRUE(run("wait screen 5").Ok());
    EXPECT_TRUE(run("wait unlock 5").Ok());

    // Clear and PA keys send the AID alone; the host closes before the
    // screen the script waits for.
    EXPECT_TRUE(run("key pa2").Ok());
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->kind, TSimInbound::Kind::ShortRead);
    EXPECT_EQ(in->aid, aid::PA2);
    s->Close();
    EXPECT_EQ(run("wait screen 10").last, "error: not connected (waiting for screen)");
    EXPECT_TRUE(run("wait disconnect 0.1").Ok());
}

// Graphic escape line drawing (an ISPF-style separator and a box): '-',
// '|', '+' in the screen and the records, box-drawing characters in the
// tool's UTF-8, and the GE bytes exactly in a Read Buffer, also after an
// ordinary character has replaced one.
TEST(GraphicEscape, LineDrawingInRecordsUtf8AndReadBuffer)
{
    THostSimulator host;
    ScriptDriver run;
    ASSERT_TRUE(run("connect 127.0.0.1:" + std::to_string(host.Port())).Ok());
    const auto s = host.WaitSession();
    ASSERT_TRUE(s && s->WaitNegotiated());
    // Row 1: a separator of GE 0xA2 over columns 1-10 (RA with GE).
    // Row 2: upper left corner, two horizontals, top tee, upper right corner.
    // Row 3: vertical, 'AB', crossing, vertical, and GE 0xC1 (no line:
    // shown as the text code page's 'A').
    // Row 4: lower left, left tee, bottom tee, right tee, lower right.
    const Bytes write = Hex("F5 C3 11 40 40 3C 40 4A 08 A2"
                            " 11 C1 50 08 C5 08 A2 08 A2 08 D7 08 D5"
                            " 11 C2 60 08 85 C1 C2 08 D3 08 85 08 C1"
                            " 11 C3 F0 08 C4 08 C6 08 C7 08 D6 08 D4");
    s->Send3270(write);
    ASSERT_TRUE(run("wait screen").Ok());
    {
        auto guard = run.session.Component().Lock();
        const TDSFields& records = run.session.Component().HostFields;
        ASSERT_GE(records.Count(), 4);
        EXPECT_EQ(records.Items(0)->Data, "----------");
        EXPECT_EQ(records.Items(1)->Data, "+--++");
        EXPECT_EQ(records.Items(2)->Data, "|AB+|A");
        EXPECT_EQ(records.Items(3)->Data, "+++++");
    }
    const Answer screen = run("screen");
    ASSERT_GE(screen.data.size(), 4u);
    std::string line;
    for (int i = 0; i < 10; ++i)
        line += "\xE2\x94\x80";  // U+2500
    EXPECT_EQ(screen.data[0], line + std::string(70, ' '));
    EXPECT_EQ(screen.data[1], "\xE2\x94\x8C\xE2\x94\x80\xE2\x94\x80\xE2\x94\xAC\xE2\x94\x90" + std::string(75, ' '));
    EXPECT_EQ(screen.data[2], "\xE2\x94\x82" "AB\xE2\x94\xBC\xE2\x94\x82" "A" + std::string(74, ' '));
    EXPECT_EQ(screen.data[3], "\xE2\x94\x94\xE2\x94\x9C\xE2\x94\xB4\xE2\x94\xA4\xE2\x94\x98" + std::string(75, ' '));
    EXPECT_NE(FieldLine(run("fields"), "R2C1").find("text=\"\xE2\x94\x8C\xE2\x94\x80"), std::string::npos);
    {
        // A record's text as the Python module hands it out: box drawing
        // where the screen has graphic escapes, the record's own characters
        // without the screen.
        auto guard = run.session.Component().Lock();
        const TDSField* box = run.session.Component().HostFields.Items(1);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(TScreenExport::FieldText(*box, &run.session.Component().Tn3270Stream().Screen()),
                  "\xE2\x94\x8C\xE2\x94\x80\xE2\x94\x80\xE2\x94\xAC\xE2\x94\x90");
        EXPECT_EQ(TScreenExport::FieldText(*box), "+--++");
    }

    // Read Buffer: every position as the host wrote it; nulls elsewhere.
    auto expected = [](int cursorAt, const std::vector<std::pair<int, Bytes>>& cells) {
        Bytes image = Hex("60");
        const auto cursor = EncodeAddress12(cursorAt);
        image.insert(image.end(), cursor.begin(), cursor.end());
        std::vector<Bytes> at(kScreenSize, Bytes{0x00});
        for (const auto& [p, b] : cells)
            at[static_cast<std::size_t>(p)] = b;
        for (const auto& b : at)
            image.insert(image.end(), b.begin(), b.end());
        return image;
    };
    std::vector<std::pair<int, Bytes>> cells;
    for (int c = 0; c < 10; ++c)
        cells.push_back({c, Hex("08 A2")});
    const char* row2[] = {"08 C5", "08 A2", "08 A2", "08 D7", "08 D5"};
    const char* row3[] = {"08 85", "C1", "C2", "08 D3", "08 85", "08 C1"};
    const char* row4[] = {"08 C4", "08 C6", "08 C7", "08 D6", "08 D4"};
    for (int c = 0; c < 5; ++c)
        cells.push_back({80 + c, Hex(row2[c])});
    for (int c = 0; c < 6; ++c)
        cells.push_back({160 + c, Hex(row3[c])});
    for (int c = 0; c < 5; ++c)
        cells.push_back({240 + c, Hex(row4[c])});
    s->SendReadBuffer();
    auto reply = s->WaitData();
    ASSERT_TRUE(reply);
    EXPECT_EQ(HexString(reply->data), HexString(expected(3 * 80 + 5, cells)));

    // Ordinary characters over line drawing: an ordinary '-' (0x60) where a
    // GE horizontal was goes back as 0x60, an 'X' as 0xE7.
    s->Send3270(Hex("F1 C2 11 40 40 60 E7"));
    ASSERT_TRUE(run("wait text \"-X\"").Ok());
    cells[0].second = Hex("60");
    cells[1].second = Hex("E7");
    s->SendReadBuffer();
    reply = s->WaitData();
    ASSERT_TRUE(reply);
    // (A Write without IC leaves the cursor where it was.)
    EXPECT_EQ(HexString(reply->data), HexString(expected(3 * 80 + 5, cells)));
    EXPECT_EQ(run("screen").data[0].substr(0, 5), "-X\xE2\x94\x80");
}

// `set` types the text as an operator does after Erase EOF: the host gets
// the words, never a blank the field or the value held around them.
TEST(ScriptWire, SetSendsTheWordsNotThePaddingBlanks)
{
    THostSimulator host;
    ScriptDriver run;
    ASSERT_TRUE(run("connect 127.0.0.1:" + std::to_string(host.Port())).Ok());
    const auto s = host.WaitSession();
    ASSERT_TRUE(s && s->WaitNegotiated());
    // An input field over two rows (positions 10 to 98) that the host
    // filled with "OLD" and blanks, and a password field at 110.
    TSim3270Encoder e;
    e.EraseWrite(wcc::Restore | wcc::ResetMdt)
        .Field(1, 10, fa::Unprotected)
        .IC()
        .Text("OLD" + std::string(86, ' '))
        .Field(2, 20, fa::Protected, "PASSWORD")
        .Field(2, 30, fa::Unprotected | fa::NonDisplay)
        .Field(2, 40, fa::Protected);
    s->Send3270(e.Take());
    ASSERT_TRUE(run("wait screen").Ok());
    EXPECT_TRUE(run("set 0 \"ABC\"").Ok());
    EXPECT_TRUE(run("set R2C31 \"testpsw \"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    auto record = s->WaitData();
    ASSERT_TRUE(record);
    EXPECT_EQ(ToHex(record->data), "7D 40 4A 11 40 4A C1 C2 C3 11 C1 6E A3 85 A2 A3 97 A2 A6");

    // On the SSCP-LU screen a value padded with blanks arrives as the command alone.
    s->SendUnbind();
    ASSERT_TRUE(run("wait screen").Ok());
    EXPECT_TRUE(run("status").Shows("session-state sscp-lu"));
    EXPECT_TRUE(run("set R1C1 \"LOGON APPL1     \"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    record = s->WaitData();
    ASSERT_TRUE(record);
    EXPECT_EQ(record->header.dataType, dt::SscpLuData);
    EXPECT_EQ(ToHex(record->data), "D3 D6 C7 D6 D5 40 C1 D7 D7 D3 F1");
}

// The host behaviours real applications depend on, played by the simulator
// and answered through the script commands.
TEST(ScriptWire, UnformattedScreensCursorKeepingWritesReadsAndQueries)
{
    THostSimulator host;
    ScriptDriver run;
    ASSERT_TRUE(run("connect 127.0.0.1:" + std::to_string(host.Port())).Ok());
    const auto s = host.WaitSession();
    ASSERT_TRUE(s && s->WaitNegotiated());

    // A cleared screen: the transaction code typed where the cursor is goes
    // to the host with the AID and the cursor address.
    s->Send3270(TSim3270Encoder().EraseWrite(wcc::Restore).Take());
    ASSERT_TRUE(run("wait screen").Ok());
    EXPECT_TRUE(run("type \"CICS\"").Ok());
    EXPECT_EQ(run("screen").data.back(), "cursor 1 5");
    EXPECT_TRUE(run("key enter").Ok());
    auto record = s->WaitData();
    ASSERT_TRUE(record);
    EXPECT_EQ(HexString(record->data), "7D 40 C4 C3 C9 C3 E2");
    const TSimInbound typed = TSimSession::Decode(*record);
    EXPECT_EQ(typed.kind, TSimInbound::Kind::Aid);
    EXPECT_EQ(typed.text, "CICS");

    // A form; the operator types, the host updates its message line with a
    // Write that has no IC (and an unprotected field): the cursor stays.
    TSim3270Encoder form;
    form.EraseWrite(wcc::Restore | wcc::ResetMdt)
        .Field(1, 1, fa::Protected, "CODE")
        .Field(1, 10, fa::Unprotected).IC()
        .Field(1, 20, fa::Skip)
        .Field(2, 10, fa::Unprotected | fa::Numeric)
        .Field(2, 20, fa::Protected);
    s->Send3270(form.Take());
    ASSERT_TRUE(run("wait screen").Ok());
    EXPECT_EQ(run("type \"ABCDEFGHI\"").last, "ok");
    EXPECT_EQ(run("screen").data.back(), "cursor 2 11");  // past the autoskip field
    EXPECT_EQ(run("type \"12X\"").last, "error: numeric field at 2,13 takes only 0-9 . - (2 of 3 characters typed)");
    s->Send3270(TSim3270Encoder().Write(wcc::Restore).Field(24, 1, fa::Protected, "UPDATED").Field(24, 20, 0).Take());
    ASSERT_TRUE(run("wait text \"UPDATED\"").Ok());
    EXPECT_EQ(run("screen").data.back(), "cursor 2 13");
    EXPECT_TRUE(run("key enter").Ok());
    auto in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->cursor, 80 + 12);
    ASSERT_EQ(in->fields.size(), 2u);
    EXPECT_EQ(in->fields[0].text, "ABCDEFGHI");
    EXPECT_EQ(in->fields[1].text, "12");

    // The host's reads: the keyboard stays unlocked; Read Modified All is
    // not shortened by Clear.
    s->Send3270(TSim3270Encoder().Write(wcc::Restore).Take());
    ASSERT_TRUE(run("wait screen").Ok());
    EXPECT_TRUE(run("key clear").Ok());
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->kind, TSimInbound::Kind::ShortRead);
    s->SendReadModifiedAll();
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::Clear);
    EXPECT_EQ(in->cursor, 80 + 12);
    EXPECT_EQ(in->fields.size(), 2u);
    s->Send3270(TSim3270Encoder().Write(wcc::Restore).Take());
    ASSERT_TRUE(run("wait screen").Ok());
    s->SendReadModified();
    ASSERT_TRUE(s->WaitInbound());
    s->SendReadBuffer();
    ASSERT_TRUE(s->WaitData());
    EXPECT_TRUE(run("status").Shows("keyboard unlocked"));

    // Query List: the Summary first, then what was asked for; the Null
    // reply when nothing asked for is there.
    const Bytes wanted{qr::ImplicitPartition};
    s->SendQueryList(ql::List, wanted);
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    ASSERT_EQ(in->queryReplies.size(), 2u);
    EXPECT_EQ(in->queryReplies[0].code, qr::Summary);
    EXPECT_EQ(HexString(in->queryReplies[1].body), "00 00 0B 01 00 00 50 00 18 00 50 00 18");
    const Bytes unknown{qr::ReplyModes};
    s->SendQueryList(ql::List, unknown);
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    ASSERT_EQ(in->queryReplies.size(), 1u);
    EXPECT_EQ(in->queryReplies[0].code, qr::Null);
    s->SendQueryList(ql::All);
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->queryReplies.size(), 6u);
    s->SendQuery();
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->queryReplies.size(), 6u);

    // A record that is only its header still gets the response it asks for.
    const std::uint16_t seq = s->SendRecord(dt::Data3270, {}, rf::AlwaysResponse);
    const auto response = s->WaitResponse(seq);
    ASSERT_TRUE(response);
    EXPECT_TRUE(response->positive);
    EXPECT_TRUE(run("quit").Ok());
}

TEST(ScriptUss, LogonFromTheSscpWelcomeScreen)
{
    TSimHostOptions o;
    TDemoOptions demo;
    demo.ussLogon = true;
    o.appFactory = TDemoApp::Factory(demo);
    THostSimulator host(o);
    ScriptDriver run("127.0.0.1", host.Port());
    ASSERT_TRUE(run("connect").Ok());
    ASSERT_TRUE(run("wait text \"ENTER APPLICATION NAME:\"").Ok());
    EXPECT_TRUE(run("status").Shows("session-state sscp-lu"));
    EXPECT_EQ(run("screen").data.back(), "cursor 4 25");
    EXPECT_TRUE(run("type \"LOGON APPLID(NOSUCH)\"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    EXPECT_TRUE(run("wait text \"INVALID COMMAND\"").Ok());
    EXPECT_TRUE(run("type \"LOGON APPLID(DEMO)\"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    ASSERT_TRUE(run("wait text \"SIGN ON\"").Ok());
    EXPECT_TRUE(run("status").Shows("session-state lu-lu"));
    // Typing on the sign-on panel, where the host put the cursor.
    EXPECT_TRUE(run("wait unlock").Ok());
    EXPECT_TRUE(run("type \"DEMO\"").Ok());
    EXPECT_TRUE(run("set 1 \"SECRET\"").Ok());
    EXPECT_TRUE(run("key enter").Ok());
    EXPECT_TRUE(run("wait text \"MAIN MENU\"").Ok());
    EXPECT_EQ(run("type \"\"").last, "error: nothing to type");
    EXPECT_TRUE(run("quit").Ok());
}

// With no read pause, a host answering a key in two records (the first
// leaves the keyboard locked) is seen settled: `wait screen` and `wait
// unlock` after the key return only once the host has unlocked it.
TEST(ScriptWire, AfterAKeyTheWaitsReturnOnlyOnceTheHostUnlocks)
{
    THostSimulator host;
    ScriptDriver run;
    run.session.Component().SetReadPause(0);
    ASSERT_TRUE(run("connect 127.0.0.1:" + std::to_string(host.Port())).Ok());
    const auto s = host.WaitSession();
    ASSERT_TRUE(s && s->WaitNegotiated());
    s->Send3270(TSim3270Encoder().EraseWrite(wcc::Restore).Field(1, 1, fa::Unprotected, "READY").Take());
    ASSERT_TRUE(run("wait unlock").Ok());
    ASSERT_TRUE(run("wait screen").Ok());

    EXPECT_TRUE(run("key enter").Ok());
    ASSERT_TRUE(s->WaitData());
    s->Send3270(TSim3270Encoder().EraseWrite(wcc::ResetMdt).Field(1, 1, fa::Protected, "PART ONE").Take());
    ASSERT_TRUE(run("wait text \"PART ONE\"").Ok());  // published, keyboard still locked
    EXPECT_FALSE(run("wait screen 0.2").Ok());
    EXPECT_FALSE(run("wait unlock 0.2").Ok());
    s->Send3270(TSim3270Encoder().Write(wcc::Restore).SBA(2, 1).Text("PART TWO").Take());
    EXPECT_TRUE(run("wait unlock").Ok());
    ASSERT_TRUE(run("wait screen").Ok());
    EXPECT_TRUE(run("screen").Shows("PART TWO"));
    // The screen is taken: the next wait waits for another one.
    EXPECT_FALSE(run("wait screen 0.2").Ok());
}

#ifdef TN3270_PROGRAM
struct TempDirForTables {
    std::filesystem::path path;
    TempDirForTables()
    {
        char tmpl[] = "/tmp/tn3270-tables-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDirForTables()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

// The built program, driven through pipes as another language would.
struct ProgramRun {
    std::string out;
    int status = -1;
};

ProgramRun RunProgram(const std::vector<std::string>& args, const std::string& input,
                      std::chrono::seconds limit = std::chrono::seconds(60))
{
    int toChild[2], fromChild[2];
    EXPECT_EQ(::pipe2(toChild, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(fromChild, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    std::vector<std::string> all{TN3270_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, TN3270_PROGRAM, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    ProgramRun result;
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << TN3270_PROGRAM;
        ::close(toChild[1]);
        ::close(fromChild[0]);
        return result;
    }
    // Small input: the pipe holds it all, so writing first cannot block.
    EXPECT_EQ(::write(toChild[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    ::close(toChild[1]);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    char buf[4096];
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fromChild[0], POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            ADD_FAILURE() << "the program did not finish in time";
            ::kill(pid, SIGKILL);
            break;
        }
        const ssize_t n = ::read(fromChild[0], buf, sizeof buf);
        if (n <= 0)
            break;
        result.out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fromChild[0]);
    ::waitpid(pid, &result.status, 0);
    return result;
}

TEST(Tn3270Program, ScriptThroughAPipe)
{
    const ProgramRun r = RunProgram({"--script", "--timeout", "20"},
                                    "wait text \"SIGN ON\"\n"
                                    "set 0 \"DEMO\"\n"
                                    "set 1 \"SECRET\"\n"
                                    "key enter\n"
                                    "wait text \"MAIN MENU\"\n"
                                    "screen\n"
                                    "key pf12\n"
                                    "wait disconnect\n"
                                    "status\n"
                                    "quit\n");
    ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    std::istringstream lines(r.out);
    std::string line;
    int oks = 0, dataLines = 0;
    while (std::getline(lines, line)) {
        if (line == "ok")
            ++oks;
        else if (line.rfind("data: ", 0) == 0)
            ++dataLines;
        else
            ADD_FAILURE() << "unexpected line: " << line;
    }
    EXPECT_EQ(oks, 10);
    EXPECT_EQ(dataLines, 25 + 11);
    EXPECT_NE(r.out.find("data:  MAIN MENU"), std::string::npos);
    EXPECT_NE(r.out.find("data: connected no"), std::string::npos);
}

// The program against a host that starts with the SSCP's welcome screen:
// the logon typed at the prompt reaches the host as SSCP-LU input.
TEST(Tn3270Program, LogonTypedAtTheSscpPrompt)
{
    TSimHostOptions o;
    TDemoOptions demo;
    demo.ussLogon = true;
    o.appFactory = TDemoApp::Factory(demo);
    THostSimulator host(o);
    const ProgramRun r = RunProgram({"--script", "--timeout", "20", "127.0.0.1:" + std::to_string(host.Port())},
                                    "wait text \"APPLICATION NAME\"\n"
                                    "type \"LOGON APPLID(DEMO)\"\n"
                                    "key enter\n"
                                    "wait text \"SIGN ON\"\n"
                                    "cursor 1 1\n"
                                    "type \"X\"\n"
                                    "quit\n");
    ASSERT_TRUE(WIFEXITED(r.status)) << r.out;
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_EQ(r.out, "ok\nok\nok\nok\nok\nerror: position 1,1 is protected\nok\n");
}

// The command line reaches the session: LU name, terminal type, logging,
// translation table, TN3270E refused.
TEST(Tn3270Program, OptionsReachTheSession)
{
    char dirTemplate[] = "/tmp/tn3270-options-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    const std::filesystem::path dir = dirTemplate;
    // The default tables, except that the host's 'E' (0xC5) shows as '3'. A
    // table file lists every code: a code it leaves out is not translated.
    {
        std::ofstream table(dir / "table.ini");
        char line[16];
        table << "[Ascii-To-Ebcdic]\n";
        for (int i = 0; i < 256; ++i) {
            std::snprintf(line, sizeof line, "%02X=%02X\n", i, asc2ebc[static_cast<std::size_t>(i)]);
            table << line;
        }
        table << "[Ebcdic-To-Ascii]\n";
        for (int i = 0; i < 256; ++i) {
            std::snprintf(line, sizeof line, "%02X=%02X\n", i, i == 0xC5 ? '3' : ebc2asc[static_cast<std::size_t>(i)]);
            table << line;
        }
    }
    const ProgramRun r = RunProgram({"--script", "--device", "LU0042", "--terminal-type", "IBM-3278-2", "--log-level",
                                     "4", "--log-dir", dir.string(), "--table", (dir / "table.ini").string()},
                                    "wait text \"SAMPL3 HOST SYST3M\"\nstatus\nquit\n");
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0);
    EXPECT_EQ(r.out.rfind("ok\n", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("data: lu LU0042\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("data: terminal-type IBM-3278-2\n"), std::string::npos) << r.out;
    std::string log;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".SYS") {
            std::ifstream f(entry.path());
            log.assign(std::istreambuf_iterator<char>(f), {});
        }
    }
    EXPECT_NE(log.find("Notify event"), std::string::npos) << "no message log with the events in " << dir;

    const ProgramRun plain = RunProgram({"--script", "--no-tn3270e"}, "wait text \"SIGN ON\"\nstatus\nquit\n");
    EXPECT_NE(plain.out.find("data: tn3270e off\n"), std::string::npos) << plain.out;
    EXPECT_NE(plain.out.find("data: lu -\n"), std::string::npos) << plain.out;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// A model 4 session: the host hears the model's name, Erase/Write
// Alternate gives 43 rows, the status tells the model and the size in use,
// and `screen` has as many rows as that size.
TEST(Tn3270Program, ModelFourSession)
{
    THostSimulator host;
    auto run = std::async(std::launch::async, [&] {
        return RunProgram({"--script", "--model", "4", "127.0.0.1:" + std::to_string(host.Port())},
                          "wait text \"BOTTOM\"\nstatus\nscreen\nquit\n");
    });
    const auto s = host.WaitSession();
    ASSERT_TRUE(s && s->WaitNegotiated());
    EXPECT_EQ(s->Negotiated().terminalType, "IBM-3278-4-E");
    TSim3270Encoder e;
    e.EraseWriteAlternate(wcc::Restore).SBAAddress(42 * 80 + 10).Text("BOTTOM");
    s->Send3270(e.Take());
    const ProgramRun r = run.get();
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0);
    EXPECT_NE(r.out.find("data: terminal-type IBM-3278-4-E\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("data: model 4 43x80\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("data: size 43 80\n"), std::string::npos) << r.out;
    // The screen's rows follow the status's "ok"; the last is row 43.
    const auto screen = r.out.find("ok\n", r.out.find("data: size ")) + 3;
    const auto cursor = r.out.find("data: cursor ", screen);
    ASSERT_NE(cursor, std::string::npos) << r.out;
    const std::string rowsText = r.out.substr(screen, cursor - screen);
    EXPECT_EQ(std::count(rowsText.begin(), rowsText.end(), '\n'), 43) << rowsText;
    EXPECT_NE(rowsText.find("\ndata:           BOTTOM"), std::string::npos) << rowsText;
}

// The bytes of every dump in a log file, read back from the hex cells; a
// masked cell ("**") reads as 0x01. Each begins with its title line.
std::vector<std::string> DumpedBytes(const std::string& text)
{
    std::vector<std::string> dumps;
    std::istringstream in(text);
    std::string line, title;
    bool inRows = false;
    while (std::getline(in, line)) {
        if (line.rfind("T:", 0) == 0)
            title = line;
        const bool row = line.size() >= 60 && line.compare(8, 3, " | ") == 0 &&
                         line.find_first_not_of("0123456789ABCDEF") == 8;
        if (row && !inRows)
            dumps.push_back(title + "\n");
        inRows = row;
        if (!row)
            continue;
        for (std::size_t k = 0; k < 16; ++k) {
            const std::string cell = line.substr(11 + 3 * k, 2);
            if (cell == "**")
                dumps.back().push_back('\x01');
            else if (cell != "  ")
                dumps.back().push_back(static_cast<char>(std::stoi(cell, nullptr, 16)));
        }
    }
    return dumps;
}

// A sign-on at the highest log level: the passwords typed (a wrong one,
// then the right one) are in no log file, neither as text nor in a dump's
// hex cells (ASCII or EBCDIC), and every log file is private to its owner.
// The demo's sign-on screen itself shows its users' passwords ("DEMO /
// SECRET"), so the right one is looked for in what was sent only.
TEST(Tn3270Program, NoPasswordInAnyLogAtTheHighestLevel)
{
    char dirTemplate[] = "/tmp/tn3270-secret-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    const std::filesystem::path dir = dirTemplate;
    const ProgramRun r = RunProgram({"--script", "--timeout", "20", "--log-level", "9", "--log-dir", dir.string()},
                                    "wait text \"SIGN ON\"\n"
                                    "set 0 \"DEMO\"\n"
                                    "set 1 \"PWXQ4711\"\n"
                                    "key enter\n"
                                    "wait text \"NOT VALID\"\n"
                                    "set 0 \"DEMO\"\n"
                                    "set 1 \"SECRET\"\n"
                                    "key enter\n"
                                    "wait text \"MAIN MENU\"\n"
                                    "quit\n");
    ASSERT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.out;
    EXPECT_EQ(r.out.find("error"), std::string::npos) << r.out;
    std::size_t files = 0, dumps = 0;  // dumps: those with masked bytes
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        ++files;
        struct stat st{};
        ASSERT_EQ(::stat(entry.path().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u) << entry.path();
        std::ifstream f(entry.path(), std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(f), {}};
        const auto inDumps = DumpedBytes(text);
        for (const std::string& bytes : inDumps)
            dumps += bytes.find('\x01') != std::string::npos ? 1 : 0;
        for (const std::string password : {"PWXQ4711", "SECRET"}) {
            const bool typedOnly = password == "PWXQ4711";
            std::string ebcdic;
            for (const char c : password)
                ebcdic.push_back(static_cast<char>(asc2ebc[static_cast<std::uint8_t>(c)]));
            if (typedOnly) {
                EXPECT_EQ(text.find(password), std::string::npos) << password << " in " << entry.path();
            }
            for (const std::string& bytes : inDumps) {
                if (!typedOnly && bytes.find(" SENT ") == std::string::npos)
                    continue;
                EXPECT_EQ(bytes.find(password), std::string::npos) << password << " in a dump of " << entry.path();
                EXPECT_EQ(bytes.find(ebcdic), std::string::npos) << password << " in a dump of " << entry.path();
            }
        }
    }
    EXPECT_EQ(files, 2u);      // the message log and the dump log
    EXPECT_GE(dumps, 2u);      // both sign-on records were dumped, masked
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

// National letters and the euro travel from the host's screen to the field
// records and back to the host's bytes exactly, in the code page chosen on
// the command line; the host encodes and decodes with iconv, not with the
// client's tables.
TEST(Tn3270Program, NationalLettersTravelBothWaysInTheChosenCodePage)
{
    struct Case {
        const char* codePage;
        const char* iconvName;
        std::string shown;  // UTF-8: what the host writes
        std::string typed;  // UTF-8: what the script types back
    };
    const Case cases[] = {
        {"cp1141", "IBM1141", "\xC3\x84\xC3\x96\xC3\x9C \xC3\x9F \xE2\x82\xAC", "\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F\xE2\x82\xAC"},
        {"cp273", "IBM273", "\xC3\x84\xC3\x96\xC3\x9C \xC3\x9F \xC2\xA7", "\xC3\xA4\xC3\xB6\xC3\xBC"},
        {"cp1147", "IBM1147", "\xC3\xA9\xC3\xA8\xC3\xA7\xC3\xA0 \xE2\x82\xAC", "\xC3\xA0 \xC3\xA9t\xC3\xA9 \xE2\x82\xAC"},
        {"1142", "IBM1142", "\xC3\x86\xC3\x98\xC3\x85 \xE2\x82\xAC", "\xC3\xA6\xC3\xB8\xC3\xA5\xE2\x82\xAC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.codePage);
        const TSimCodePage page(c.iconvName);
        THostSimulator host;
        Bytes received;
        std::thread hostSide([&] {
            const auto s = host.WaitSession(60s);
            if (!s || !s->WaitNegotiated(60s))
                return;
            TSim3270Encoder e;
            e.EraseWrite(wcc::Restore | wcc::ResetMdt).SBA(1, 1).SF(fa::Protected).Text(c.shown, page);
            e.Field(3, 1, fa::Unprotected).SBA(3, 30).SF(fa::Protected);
            s->Send3270(e.Take());
            const auto in = s->WaitInbound(60s);
            if (!in || in->fields.empty())
                return;
            received = in->fields[0].bytes;
            TSim3270Encoder echo;
            echo.Write(wcc::Restore).SBA(5, 1).Text("ECHO ").Raw(received);
            s->Send3270(echo.Take());
            s->WaitDisconnect(60s);
        });
        const ProgramRun r = RunProgram({"--script", "--codepage", c.codePage, "--timeout", "20",
                                         "127.0.0.1:" + std::to_string(host.Port())},
                                        "wait text \"" + c.shown + "\"\n"
                                        "fields\n"
                                        "set 0 \"" + c.typed + "\"\n"
                                        "key enter\n"
                                        "wait text \"ECHO " + c.typed + "\"\n"
                                        "screen\n"
                                        "quit\n");
        hostSide.join();
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0);
        EXPECT_EQ(r.out.find("error"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("R1C2 pos=2 len=79 attr=20 eab=00 editable=0 numeric=0 hidden=0 high=0 modified=0 input=- "
                             "text=\"" + c.shown),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(received, page.Encode(c.typed));
        EXPECT_NE(r.out.find("data: ECHO " + c.typed), std::string::npos) << r.out;
    }
}

// A character the code page cannot carry is refused, not sent as another.
TEST(Tn3270Program, SetRefusesWhatTheCodePageCannotCarry)
{
    THostSimulator host;
    std::thread hostSide([&] {
        const auto s = host.WaitSession(60s);
        if (!s || !s->WaitNegotiated(60s))
            return;
        TSim3270Encoder e;
        e.EraseWrite(wcc::Restore).Field(1, 1, fa::Protected, "INPUT").Field(1, 10, fa::Unprotected).SBA(1, 40).SF(fa::Protected);
        s->Send3270(e.Take());
        s->WaitDisconnect(60s);
    });
    const std::string euro = "\xE2\x82\xAC";
    const ProgramRun r = RunProgram({"--script", "--codepage", "cp037", "127.0.0.1:" + std::to_string(host.Port())},
                                    "wait text \"INPUT\"\n"
                                    "set 0 \"" + euro + "\"\n"
                                    "set 0 \"\xC3\x84\xE2\x80\x94\"\n"
                                    "set 0 \"\xC3\x84\xC2\xA4\"\n"
                                    "quit\n");
    hostSide.join();
    EXPECT_EQ(r.out, "ok\nerror: character " + euro + " cannot be sent in cp037\n"
                     "error: character \xE2\x80\x94 cannot be sent in cp037\nok\nok\n");
}

// --write-table writes a table file that --table loads back; bad names and
// combinations are usage errors.
TEST(Tn3270Program, WriteTableAndCodePageOptions)
{
    TempDirForTables dir;
    const std::string file = (dir.path / "cp1141.ini").string();
    const ProgramRun w = RunProgram({"--write-table", "cp1141", file}, "");
    ASSERT_TRUE(WIFEXITED(w.status) && WEXITSTATUS(w.status) == 0) << w.out;
    std::ifstream in(file);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(text.find("[Ascii-To-Ebcdic]\n"), std::string::npos);
    EXPECT_NE(text.find("\n80=9F\n"), std::string::npos);  // the euro
    EXPECT_NE(text.find("[Ebcdic-To-Ascii]\n"), std::string::npos);
    EXPECT_NE(text.find("\n4A=C4\n"), std::string::npos);  // Ä

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--codepage", "cp9999"}, {"--codepage", "latin1"}, {"--write-table", "cp1141"},
             {"--write-table", "cp12", file}, {"--table", file, "--codepage", "cp037"}}) {
        const ProgramRun r = RunProgram(bad, "");
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 2) << bad[0] << " " << bad[1];
    }
    const ProgramRun unwritable = RunProgram({"--write-table", "cp037", "/nonexistent/dir/t.ini"}, "");
    EXPECT_TRUE(WIFEXITED(unwritable.status) && WEXITSTATUS(unwritable.status) == 1);
}

// With --tls or --starttls and no HOST a script names the host itself:
// `connect HOST:PORT` goes through TLS with the options given. The script
// signs on to the demo host behind the TLS front on `port`.
ProgramRun RunTlsScript(const std::vector<std::string>& args, std::uint16_t port)
{
    return RunProgram(args, "wait text \"SIGN ON\" 1\n"
                            "connect 127.0.0.1:" + std::to_string(port) + "\n"
                            "wait text \"SIGN ON\"\n"
                            "status\n"
                            "set 0 \"DEMO\"\n"
                            "set 1 \"SECRET\"\n"
                            "key enter\n"
                            "wait text \"MAIN MENU\"\n"
                            "quit\n");
}

// Against the simulator's TLS front, direct and START_TLS; a CA that did not
// sign the host's certificate is refused unless --insecure. Without --script
// the demo host stays plain, and --tls without a HOST is refused.
TEST(Tn3270Program, ScriptConnectsThroughTlsWithTheOptionsGiven)
{
    if (!TTestCertificates::Available())
        GTEST_SKIP() << "the openssl command is missing (scripts/deps installs it)";
    TTestCertificates certs;
    TSimHostOptions o;
    o.appFactory = TDemoApp::Factory();
    THostSimulator host(o);
    for (const bool startTls : {false, true}) {
        SCOPED_TRACE(startTls ? "START_TLS" : "direct TLS");
        TSimTlsOptions tls;
        tls.certFile = certs.Good.Cert;
        tls.keyFile = certs.Good.Key;
        tls.startTls = startTls;
        tls.backendPort = host.Port();
        TSimTlsFront front(tls);
        const std::string mode = startTls ? "--starttls" : "--tls";
        const ProgramRun r = RunTlsScript({"--script", mode, "--cafile", certs.CaFile}, front.Port());
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.out;
        // Nothing is connected before the script connects.
        EXPECT_EQ(r.out.rfind("error: not connected (waiting for text SIGN ON)\nok\nok\n", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("data: tls TLSv1.3 "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(" verified\n"), std::string::npos) << r.out;
        EXPECT_TRUE(r.out.ends_with("ok\nok\nok\nok\nok\n")) << r.out;
        // Refused with the reason: at once for direct TLS, after the telnet
        // exchange (the script's waits) for START_TLS.
        const ProgramRun untrusted = RunTlsScript({"--script", mode, "--cafile", certs.OtherCaFile}, front.Port());
        EXPECT_NE(untrusted.out.find(startTls ? "error: not connected (waiting for text SIGN ON): TLS: "
                                              : "error: cannot connect to 127.0.0.1:" + std::to_string(front.Port()) +
                                                    ": TLS: "),
                  std::string::npos)
            << untrusted.out;
        EXPECT_NE(untrusted.out.find("error: not connected (waiting for text MAIN MENU)"), std::string::npos);
        const ProgramRun insecure =
            RunTlsScript({"--script", mode, "--cafile", certs.OtherCaFile, "--insecure"}, front.Port());
        EXPECT_NE(insecure.out.find(" not-verified\n"), std::string::npos) << insecure.out;
        EXPECT_TRUE(insecure.out.ends_with("ok\nok\nok\nok\nok\n")) << insecure.out;
    }
    const ProgramRun demo = RunProgram({"--tls"}, "");
    EXPECT_TRUE(WIFEXITED(demo.status) && WEXITSTATUS(demo.status) == 1);
}

// The s3270 mode's -accepthostname (and Set(accepthostname) before the
// Connect): a host whose certificate is made for another name is taken as
// verified for that name; without it, or told a third name, it is refused
// for the name.
TEST(Tn3270Program, S3270AcceptsTheCertificateNameItIsTold)
{
    if (!TTestCertificates::Available())
        GTEST_SKIP() << "the openssl command is missing (scripts/deps installs it)";
    TTestCertificates certs;
    TSimHostOptions o;
    o.appFactory = TDemoApp::Factory();
    THostSimulator host(o);
    TSimTlsOptions tls;
    tls.certFile = certs.WrongName.Cert;
    tls.keyFile = certs.WrongName.Key;
    tls.backendPort = host.Port();
    TSimTlsFront front(tls);
    const std::string connect = "Connect(L:127.0.0.1:" + std::to_string(front.Port()) + ")\nQuery(Tls)\nQuit\n";
    const struct {
        std::vector<std::string> options;
        std::string before;
        bool accepted;
    } cases[] = {
        {{"-accepthostname", "wrong-name.invalid"}, "", true},
        {{"-accepthostname", "DNS:wrong-name.invalid"}, "", true},
        {{}, "Set(accepthostname,wrong-name.invalid)\n", true},
        {{}, "", false},
        {{"-accepthostname", "localhost"}, "", false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--s3270", "-cafile", certs.CaFile};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ProgramRun r = RunProgram(args, c.before + connect);
        SCOPED_TRACE(c.before + (c.options.empty() ? "" : c.options[1]));
        if (c.accepted) {
            EXPECT_NE(r.out.find("data: secure host-verified\n"), std::string::npos) << r.out;
        } else {
            EXPECT_NE(r.out.find("data: Connection failed:\n"), std::string::npos) << r.out;
            EXPECT_NE(r.out.find(": TLS: certificate name mismatch"), std::string::npos) << r.out;
        }
    }
}

// A host that answers in NVT text (TN3270E NVT-DATA) before any 3270
// screen: the s3270 mode's Connect returns on it, the status line shows
// mode N, Wait(NVTMode) and Expect find its text or time out.
class TNvtGreeter : public ISimHostApp {
public:
    void OnStart(TSimSession& s) override { s.SendNvt("WELCOME TO THE LINE HOST\r\nlogin:\r\n"); }
    void OnRecord(TSimSession&, const TSimRecord&) override {}
};

TEST(Tn3270Program, S3270ModeReadsNvtText)
{
    TSimHostOptions o;
    o.appFactory = [] { return std::make_unique<TNvtGreeter>(); };
    THostSimulator host(o);
    const ProgramRun r = RunProgram({"--s3270", "-model", "2"}, "Connect(127.0.0.1:" + std::to_string(host.Port()) +
                                                                    ")\nWait(5,NVTMode)\nExpect(login:)\n"
                                                                    "Expect(\"LINE HOST\",5)\nExpect(password,0.2)\n"
                                                                    "Quit\n");
    const std::string connected = " C(127.0.0.1) N 2 24 80 ";
    const std::vector<std::string> want{connected, "\nok\n", connected, "\nok\n", connected, "\nok\n",
                                        connected, "\nok\n", "data: Expect(): Timed out\n", "\nerror\n"};
    std::size_t at = 0;
    for (const auto& w : want) {
        at = r.out.find(w, at);
        ASSERT_NE(at, std::string::npos) << w << " in\n" << r.out;
    }
}

// The same script against an independent TLS server: stunnel in front of
// the simulator's demo host.
TEST(Tn3270Program, ScriptConnectsThroughStunnel)
{
    if (!TTestCertificates::Available())
        GTEST_SKIP() << "the openssl command is missing (scripts/deps installs it)";
    if (!TStunnelProcess::Find())
        GTEST_SKIP() << "stunnel is not installed (scripts/deps installs it)";
    TTestCertificates certs;
    TSimHostOptions o;
    o.appFactory = TDemoApp::Factory();
    THostSimulator host(o);
    TStunnelProcess stunnel;
    std::string error;
    ASSERT_TRUE(stunnel.Start(certs.Good.Cert, certs.Good.Key, host.Port(), error)) << error;
    const ProgramRun r = RunTlsScript({"--script", "--tls", "--cafile", certs.CaFile}, stunnel.Port());
    EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.out << stunnel.Output();
    EXPECT_NE(r.out.find("data: tls TLSv1."), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" verified\n"), std::string::npos) << r.out;
    EXPECT_TRUE(r.out.ends_with("ok\nok\nok\nok\nok\n")) << r.out;
}

TEST(Tn3270Program, DemoWalkAndCommandLineErrors)
{
    const ProgramRun walk = RunProgram({"--demo-plain"}, "");
    ASSERT_TRUE(WIFEXITED(walk.status));
    EXPECT_EQ(WEXITSTATUS(walk.status), 0) << walk.out;
    for (const char* seen : {"SIGN ON", "MAIN MENU", "ANNA BERGER", "tn3270e off", "The host ended the session."})
        EXPECT_NE(walk.out.find(seen), std::string::npos) << seen;

    const ProgramRun help = RunProgram({"--help"}, "");
    EXPECT_TRUE(WIFEXITED(help.status) && WEXITSTATUS(help.status) == 0);
    EXPECT_EQ(help.out.rfind("Usage: tn3270", 0), 0u);
    const ProgramRun bad = RunProgram({"--bogus"}, "");
    EXPECT_TRUE(WIFEXITED(bad.status) && WEXITSTATUS(bad.status) == 2);
    const ProgramRun noTable = RunProgram({"--table", "/nonexistent/table.ini"}, "");
    EXPECT_TRUE(WIFEXITED(noTable.status) && WEXITSTATUS(noTable.status) == 2);
}
#endif

}  // namespace
