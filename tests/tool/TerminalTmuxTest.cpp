// The built tn3270 program as a person uses it on a terminal: it runs in a
// tmux pane of its own (tmux is the terminal), keys go in with send-keys
// and the screen comes back with capture-pane, polled until the text
// appears or a deadline passes. The simulator's demo host runs in this
// process, so the test also sees what the host received.
#include "sim/uDemoApp.h"
#include "sim/uHostSimulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using namespace tnsim;

constexpr auto kDeadline = 15s;
constexpr auto kPollEvery = 50ms;

std::string Quote(const std::string& s)
{
    std::string out = "'";
    for (const char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string Run(const std::string& command, int* status = nullptr)
{
    std::string out;
    FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int rc = pclose(p);
    if (status != nullptr)
        *status = rc;
    return out;
}

// One tmux server of our own (its own socket), one pane running the program.
class Pane {
public:
    Pane(const std::string& program, int cols, int rows)
    {
        static int counter = 0;
        socket_ = "/tmp/tn3270-tmux-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
        Run(Tmux() + " -f /dev/null new-session -d -x " + std::to_string(cols) + " -y " + std::to_string(rows) +
            " " + Quote("LANG=C.UTF-8 exec " + program));
    }
    ~Pane() { Run(Tmux() + " kill-server"); }
    Pane(const Pane&) = delete;
    Pane& operator=(const Pane&) = delete;

    std::string Tmux() const { return "tmux -S " + Quote(socket_); }
    // Keys in tmux's names (C-q, S-F1, Enter, Tab) or literal text.
    void Keys(const std::vector<std::string>& keys)
    {
        std::string cmd = Tmux() + " send-keys";
        for (const std::string& k : keys) {
            cmd += ' ';
            cmd += Quote(k);
        }
        Run(cmd);
    }
    void Text(const std::string& text) { Run(Tmux() + " send-keys -l " + Quote(text)); }
    std::string Screen() { return Run(Tmux() + " capture-pane -p"); }
    // Polls the pane until it shows the text; the last screen on failure.
    ::testing::AssertionResult Shows(const std::string& text)
    {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        std::string screen;
        while (std::chrono::steady_clock::now() < deadline) {
            screen = Screen();
            if (screen.find(text) != std::string::npos)
                return ::testing::AssertionSuccess();
            std::this_thread::sleep_for(kPollEvery);
        }
        return ::testing::AssertionFailure() << "no \"" << text << "\" on the screen:\n" << screen;
    }
    bool Ended()
    {
        const auto deadline = std::chrono::steady_clock::now() + kDeadline;
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            Run(Tmux() + " has-session", &status);
            if (status != 0)
                return true;
            std::this_thread::sleep_for(kPollEvery);
        }
        return false;
    }
    void Resize(int cols, int rows)
    {
        Run(Tmux() + " resize-window -x " + std::to_string(cols) + " -y " + std::to_string(rows));
    }

private:
    std::string socket_;
};

bool HaveTmux()
{
    int status = 0;
    Run("tmux -V", &status);
    return status == 0;
}

#ifdef TN3270_PROGRAM
class TerminalPane : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HaveTmux())
            GTEST_SKIP() << "tmux is not installed (scripts/deps installs it)";
    }
    static TSimHostOptions Demo()
    {
        TSimHostOptions o;
        o.appFactory = TDemoApp::Factory();
        return o;
    }
    THostSimulator host{Demo()};
    std::string Program() const { return std::string(TN3270_PROGRAM) + " 127.0.0.1:" + std::to_string(host.Port()); }
};

TEST_F(TerminalPane, SignOnMenuInquiryRefusalsAndLogoffAsAPersonTypes)
{
    Pane pane(Program(), 80, 25);
    ASSERT_TRUE(pane.Shows("USER ID  . . . ."));
    ASSERT_TRUE(pane.Shows("TN3270E LU SIM00001 LU-LU"));
    const auto s = host.WaitSession();
    ASSERT_TRUE(s);

    pane.Text("demo");
    pane.Keys({"Tab"});
    pane.Text("secret");
    ASSERT_TRUE(pane.Shows("demo"));
    EXPECT_EQ(pane.Screen().find("secret"), std::string::npos);  // the password field hides it
    pane.Keys({"Enter"});
    auto in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::Enter);
    ASSERT_EQ(in->fields.size(), 2u);
    EXPECT_EQ(in->fields[0].text, "demo");
    EXPECT_EQ(in->fields[1].text, "secret");
    ASSERT_TRUE(pane.Shows("MAIN MENU"));

    pane.Text("1");
    pane.Keys({"Enter"});
    ASSERT_TRUE(pane.Shows("ACCOUNT INQUIRY"));
    ASSERT_TRUE(s->WaitInbound());
    // The numeric field refuses the letter: the status line says so.
    pane.Text("1000x");
    ASSERT_TRUE(pane.Shows("X NUM numeric field at 5,"));
    pane.Keys({"Enter"});
    ASSERT_TRUE(pane.Shows("ACCOUNT NUMBER MUST BE 5 DIGITS"));
    in = s->WaitInbound();
    ASSERT_TRUE(in && !in->fields.empty());
    EXPECT_EQ(in->fields[0].text, "1000");

    pane.Keys({"Home", "C-k"});
    pane.Text("10001");
    pane.Keys({"Enter"});
    ASSERT_TRUE(pane.Shows("ANNA BERGER"));
    in = s->WaitInbound();
    ASSERT_TRUE(in && !in->fields.empty());
    EXPECT_EQ(in->fields[0].text, "10001");

    // Shift-F1 is PF13, Esc then F2 is PF14: the demo has no use for them.
    pane.Keys({"S-F1"});
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::PF[12]);
    ASSERT_TRUE(pane.Shows("PF13 IS NOT ACTIVE"));
    pane.Keys({"Escape"});
    pane.Keys({"F2"});
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::PF[13]);

    pane.Keys({"C-g"});
    ASSERT_TRUE(pane.Shows("Keys (any key closes this)"));
    pane.Keys({"Space"});
    pane.Keys({"F12"});
    in = s->WaitInbound();
    ASSERT_TRUE(in);
    EXPECT_EQ(in->aid, aid::PF[11]);
    ASSERT_TRUE(pane.Shows("DISCONNECTED"));
    pane.Keys({"C-q"});
    EXPECT_TRUE(pane.Ended());
}

TEST_F(TerminalPane, AModel5ShowsTheWideScreenAndTakesInputAtColumn120)
{
    // The demo host writes a model 5 its panels at 27x132 with Erase/Write
    // Alternate, the scroll amount field at columns 120 to 123.
    Pane pane(std::string(TN3270_PROGRAM) + " --model 5 127.0.0.1:" + std::to_string(host.Port()), 140, 30);
    ASSERT_TRUE(pane.Shows("USER ID  . . . ."));
    const auto s = host.WaitSession();
    ASSERT_TRUE(s);
    pane.Text("demo");
    pane.Keys({"Tab"});
    pane.Text("secret");
    pane.Keys({"Enter"});
    ASSERT_TRUE(s->WaitInbound());
    ASSERT_TRUE(pane.Shows("SCROLL ===> PAGE"));
    auto lineWith = [&](const std::string& text) {
        const std::string screen = pane.Screen();
        std::vector<std::string> lines;
        for (std::size_t at = 0, nl; at < screen.size(); at = nl + 1) {
            nl = screen.find('\n', at);
            if (nl == std::string::npos)
                nl = screen.size();
            lines.push_back(screen.substr(at, nl - at));
        }
        for (std::size_t row = 0; row < lines.size(); ++row)
            if (lines[row].find(text) != std::string::npos)
                return std::make_pair(row, lines[row]);
        return std::make_pair(std::size_t{0}, std::string());
    };
    const auto [scrollRow, scrollLine] = lineWith("SCROLL ===>");
    EXPECT_EQ(scrollRow, 19u);
    EXPECT_EQ(scrollLine.substr(119, 4), "PAGE") << scrollLine;
    EXPECT_EQ(lineWith("ENTER=Select").first, 26u);  // the key line at the 27th row

    pane.Keys({"Tab"});  // from the option field to the scroll amount
    pane.Text("half");
    pane.Keys({"Enter"});
    const auto record = s->WaitData();
    ASSERT_TRUE(record);
    const TSimInbound in = TSimSession::Decode(*record, 27, 132);
    ASSERT_EQ(in.fields.size(), 1u);
    EXPECT_EQ(in.fields[0].row, 20);
    EXPECT_EQ(in.fields[0].col, 120);
    EXPECT_EQ(in.fields[0].text, "half");
    ASSERT_TRUE(pane.Shows("SCROLL ===> HALF"));
    EXPECT_EQ(lineWith("SCROLL ===>").second.substr(119, 4), "HALF");
    pane.Keys({"C-q"});
    EXPECT_TRUE(pane.Ended());
}

TEST_F(TerminalPane, TooSmallATerminalIsSaidAndTheScreenComesOnResize)
{
    Pane pane(Program(), 70, 20);
    ASSERT_TRUE(pane.Shows("needs a terminal of at least 80 columns and 25 rows"));
    // Keys typed meanwhile do not reach the hidden screen.
    pane.Text("abc");
    pane.Resize(80, 25);
    ASSERT_TRUE(pane.Shows("USER ID  . . . ."));
    EXPECT_EQ(pane.Screen().find("abc"), std::string::npos);
    pane.Keys({"C-q"});
    EXPECT_TRUE(pane.Ended());
}
#endif

} // namespace
