// The component and the tn3270 script mode against a real host nobody on
// the project wrote: the emulator's 3270 console server negotiates plain
// TN3270 (TERMINAL-TYPE, EOR, BINARY) and sends its connection screen, an
// Erase/Write of protected fields that names the device the connection got.
// Only the shape of that screen is checked, never its machine-specific text.
#include "tests/hercules/HerculesHost.h"
#include "tools/uDemoFlow.h"
#include "tools/uScriptSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <sstream>

namespace {

using namespace std::chrono_literals;

// Generous for sanitizer builds on a busy machine; a passing run takes well under a second.
constexpr auto kScreenTimeout = 30s;

const char* const kDevices[] = {"0010", "0011"};

class HerculesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!THerculesHost::Find())
            GTEST_SKIP() << "hercules is not installed (scripts/deps installs it); skipping the real-host tests";
        std::string error;
        ASSERT_TRUE(host.Start(error)) << error;
    }

    // The device number the screen names, or empty.
    static std::string DeviceOn(const std::vector<T3270Field>& fields)
    {
        for (const auto& f : fields)
            for (const char* d : kDevices)
                if (f.Data.find(d) != std::string::npos)
                    return d;
        return {};
    }

    THerculesHost host;
};

TEST_F(HerculesTest, ComponentNegotiatesPlainTn3270AndPublishesTheConnectionScreen)
{
    // Declared before the component, so that they outlive its reader: a
    // handler may still be waking the waits while the component is destroyed.
    std::mutex m;
    std::condition_variable cv;
    int connects = 0, disconnects = 0, screens = 0, fails = 0;
    TTn3270E tn;
    auto bump = [&](int& counter) {
        return [&](TObject*) {
            {
                std::lock_guard lock(m);
                ++counter;
            }
            cv.notify_all();
        };
    };
    tn.OnConnect = bump(connects);
    tn.OnDisconnect = bump(disconnects);
    tn.OnScreenChange = bump(screens);
    tn.OnConnectionFail = bump(fails);
    tn.Host = "127.0.0.1";
    tn.Port = host.Port();
    tn.Connect();
    ASSERT_TRUE(tn.IsConnected()) << host.Output();

    // Screens until one names the device (the greeting may come in pieces).
    TTn3270Snapshot snap;
    const auto deadline = std::chrono::steady_clock::now() + kScreenTimeout;
    int seen = 0;
    while (DeviceOn(snap.HostFields).empty()) {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_until(lock, deadline, [&] { return screens > seen || disconnects > 0; }))
            << "no screen from the emulator; its output:\n"
            << host.Output();
        ASSERT_EQ(disconnects, 0) << host.Output();
        seen = screens;
        lock.unlock();
        snap = tn.Snapshot();
    }

    // Plain TN3270: no TN3270E header, the LU-LU state on the first record.
    {
        auto guard = tn.Lock();
        EXPECT_FALSE(tn.Tn3270Stream().TN3270EMode);
        EXPECT_TRUE(tn.BinaryMode);
    }
    EXPECT_EQ(snap.SessionState, TSessionState::ssLuLu);
    EXPECT_TRUE(snap.Connected);
    // The shape of the greeting: labels and intensified values, all protected.
    const auto protectedCount = std::count_if(snap.HostFields.begin(), snap.HostFields.end(),
                                              [](const T3270Field& f) { return !f.GetEditable(); });
    const auto highCount = std::count_if(snap.HostFields.begin(), snap.HostFields.end(),
                                         [](const T3270Field& f) { return !f.GetEditable() && f.GetHigh(); });
    EXPECT_GE(protectedCount, 8);
    EXPECT_GE(highCount, 4);
    EXPECT_EQ(snap.UnprotectedFields.size(),
              static_cast<std::size_t>(std::count_if(snap.HostFields.begin(), snap.HostFields.end(),
                                                     [](const T3270Field& f) { return f.GetEditable(); })));
    for (const auto& f : snap.HostFields) {
        EXPECT_GE(f.Row, 1);
        EXPECT_LE(f.Row, 25);  // a record starting in the last column of row 24 shows row 25, column 0
        EXPECT_GE(f.Len, 1);
        EXPECT_LE(f.GetPos() + f.Len - 1, 1920);
    }
    // The device number appears as the value of a field of its own.
    const auto device = std::find_if(snap.HostFields.begin(), snap.HostFields.end(), [](const T3270Field& f) {
        return f.Data.find("0010") != std::string::npos && f.GetHigh();
    });
    EXPECT_NE(device, snap.HostFields.end()) << "the first connection gets device 0010";
    EXPECT_EQ(fails, 0);

    // A clean end: one disconnect event, the lists emptied.
    tn.Disconnect();
    EXPECT_FALSE(tn.IsConnected());
    {
        std::lock_guard lock(m);
        EXPECT_EQ(connects, 1);
        EXPECT_EQ(disconnects, 1);
    }
    snap = tn.Snapshot();
    EXPECT_TRUE(snap.HostFields.empty());
    EXPECT_TRUE(snap.UnprotectedFields.empty());
    EXPECT_FALSE(snap.Connected);
    // The emulator lives on after its client has gone.
    EXPECT_TRUE(host.Running());
}

// Two script sessions at once get the two devices; each sees its own.
TEST_F(HerculesTest, ScriptSessionsSeeTheirOwnDevices)
{
    const std::string target = "127.0.0.1:" + std::to_string(host.Port());
    auto run = [](TScriptInterpreter& interpreter, const std::string& line) {
        std::ostringstream out;
        interpreter.Execute(line, out);
        return out.str();
    };
    TOperator a, b;
    const std::chrono::milliseconds wait = kScreenTimeout;
    TScriptInterpreter sa(a, TScriptConfig{"127.0.0.1", host.Port(), wait});
    TScriptInterpreter sb(b, TScriptConfig{"127.0.0.1", host.Port(), wait});
    ASSERT_EQ(run(sa, "connect " + target), "ok\n");
    ASSERT_EQ(run(sa, "wait text \"0010\""), "ok\n") << run(sa, "screen") << host.Output();
    ASSERT_EQ(run(sb, "connect"), "ok\n");
    ASSERT_EQ(run(sb, "wait text \"0011\""), "ok\n") << run(sb, "screen") << host.Output();

    const std::string status = run(sb, "status");
    EXPECT_NE(status.find("data: connected yes\n"), std::string::npos) << status;
    EXPECT_NE(status.find("data: tn3270e off\n"), std::string::npos) << status;
    EXPECT_NE(status.find("data: session-state lu-lu\n"), std::string::npos) << status;
    const std::string screen = run(sb, "screen");
    EXPECT_EQ(std::count(screen.begin(), screen.end(), '\n'), 26);  // 24 rows, the cursor, ok
    EXPECT_EQ(screen.find("0010"), std::string::npos);
    const std::string fields = run(sa, "fields");
    EXPECT_NE(fields.find("text=\"0010"), std::string::npos) << fields;
    EXPECT_NE(fields.find("editable=0"), std::string::npos);
    // The greeting has nothing to type into: a user's error, not a crash.
    EXPECT_EQ(run(sa, "set 0 \"X\""), "error: no input field 0 (the screen has 0)\n");

    EXPECT_EQ(run(sa, "disconnect"), "ok\n");
    EXPECT_EQ(run(sa, "wait disconnect 1"), "ok\n");
    EXPECT_EQ(run(sb, "disconnect"), "ok\n");
    EXPECT_EQ(run(sb, "status").find("data: connected no\n"), 0u);
}

// The program without --script against a host that is not the demo: the
// screens as they arrive, then, when the host stays silent, a disconnect.
TEST_F(HerculesTest, WatchShowsTheScreenUntilTheHostFallsSilent)
{
    TOperator session;
    std::ostringstream out, err;
    EXPECT_EQ(RunWatch(session, "127.0.0.1", host.Port(), 2s, out, err), 0) << err.str();
    const std::string text = out.str();
    EXPECT_NE(text.find("0010"), std::string::npos) << text;
    EXPECT_NE(text.find("No new screen for 2 s; disconnecting."), std::string::npos) << text;
    EXPECT_NE(text.find("connected no"), std::string::npos) << text;
    EXPECT_FALSE(session.IsConnected());
}

}  // namespace
