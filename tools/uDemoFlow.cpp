// The visible demo walk and the screen watcher of the tn3270 program.
#include "tools/uDemoFlow.h"

#include <ostream>
#include <vector>

namespace {

// The sample input of the demo application's sign-on panel.
constexpr const char* kDemoUser = "DEMO";
constexpr const char* kDemoPassword = "SECRET";
constexpr const char* kDemoAccount = "10001";

std::string Rule(std::size_t width)
{
    return "+" + std::string(width, '-') + "+";
}

// Why a step failed, for the error stream.
std::string Describe(TWaitResult r)
{
    switch (r) {
    case TWaitResult::Ok: return "ok";
    case TWaitResult::Timeout: return "timed out";
    case TWaitResult::Ended: return "the connection ended";
    case TWaitResult::Failed: return "the connection failed";
    }
    return "failed";
}

class TDemoWalk {
public:
    TDemoWalk(TTerminalSession& s, std::chrono::milliseconds timeout, std::ostream& out, std::ostream& err)
        : s_(s), timeout_(timeout), out_(out), err_(err)
    {
    }

    // Waits for the screen that shows `text` with the keyboard unlocked, and prints it.
    bool Expect(const std::string& text)
    {
        TWaitResult r = s_.WaitText(text, timeout_);
        if (r == TWaitResult::Ok)
            r = s_.Wait(TWaitEvent::Unlock, timeout_);
        if (r != TWaitResult::Ok) {
            err_ << "tn3270: waiting for the screen with \"" << text << "\": " << Describe(r) << '\n';
            return false;
        }
        PrintScreen(s_, out_);
        return true;
    }

    bool Type(const std::string& field, const std::string& text)
    {
        std::string error;
        if (!s_.SetField(field, text, error)) {
            err_ << "tn3270: " << error << '\n';
            return false;
        }
        return true;
    }

    bool Press(TTn3270AidKey key)
    {
        std::string error;
        if (!s_.Key(key, error)) {
            err_ << "tn3270: " << error << '\n';
            return false;
        }
        return true;
    }

    void Say(const std::string& text) { out_ << "\n>>> " << text << '\n' << std::flush; }

private:
    TTerminalSession& s_;
    std::chrono::milliseconds timeout_;
    std::ostream& out_;
    std::ostream& err_;
};

void PrintLines(std::ostream& out, const std::vector<std::string>& lines)
{
    for (const auto& l : lines)
        out << "    " << l << '\n';
}

}  // namespace

void PrintScreen(TTerminalSession& session, std::ostream& out)
{
    std::vector<std::string> lines = session.ScreenLines();
    if (lines.empty())
        return;
    const std::string cursor = lines.back();
    lines.pop_back();
    const std::size_t width = static_cast<std::size_t>(TTn3270E::kCols);
    out << Rule(width) << '\n';
    for (const auto& row : lines)
        out << '|' << row << "|\n";
    out << Rule(width) << '\n';
    std::string keyboard = "keyboard unlocked";
    for (const auto& l : session.StatusLines())
        if (l.rfind("keyboard ", 0) == 0)
            keyboard = l;
    out << ' ' << cursor << "   " << keyboard << '\n' << std::flush;
}

int RunDemoFlow(TTerminalSession& session, const std::string& host, std::int32_t port,
                std::chrono::milliseconds timeout, std::ostream& out, std::ostream& err)
{
    TDemoWalk walk(session, timeout, out, err);
    std::string error;
    walk.Say("Connecting to the embedded demo host at " + host + ":" + std::to_string(port));
    if (!session.Connect(host, port, error)) {
        err << "tn3270: " << error << '\n';
        return 1;
    }
    if (!walk.Expect("SIGN ON"))
        return 1;
    PrintLines(out, session.StatusLines());

    walk.Say(std::string("Signing on: user id ") + kDemoUser + ", password " + kDemoPassword + " (not shown), Enter");
    if (!walk.Type("0", kDemoUser) || !walk.Type("1", kDemoPassword) || !walk.Press(TTn3270AidKey::akEnter) ||
        !walk.Expect("MAIN MENU"))
        return 1;

    walk.Say("Option 1 (account inquiry), Enter");
    if (!walk.Type("0", "1") || !walk.Press(TTn3270AidKey::akEnter) || !walk.Expect("ACCOUNT INQUIRY"))
        return 1;

    walk.Say(std::string("Account ") + kDemoAccount + ", Enter");
    if (!walk.Type("0", kDemoAccount) || !walk.Press(TTn3270AidKey::akEnter) || !walk.Expect("Recent transactions"))
        return 1;

    walk.Say("The fields of this screen:");
    PrintLines(out, session.FieldLines());

    walk.Say("Command LOGOFF, Enter");
    if (!walk.Type("1", "LOGOFF") || !walk.Press(TTn3270AidKey::akEnter))
        return 1;
    const TWaitResult r = session.Wait(TWaitEvent::Disconnect, timeout);
    if (r != TWaitResult::Ok) {
        err << "tn3270: waiting for the host to end the session: " << Describe(r) << '\n';
        return 1;
    }
    walk.Say("The host ended the session.");
    return 0;
}

int RunWatch(TTerminalSession& session, const std::string& host, std::int32_t port,
             std::chrono::milliseconds timeout, std::ostream& out, std::ostream& err)
{
    std::string error;
    if (!session.Connect(host, port, error)) {
        err << "tn3270: " << error << '\n';
        return 1;
    }
    out << ">>> Connected to " << session.Target() << '\n' << std::flush;
    while (true) {
        const TWaitResult r = session.Wait(TWaitEvent::Screen, timeout);
        if (r == TWaitResult::Ok) {
            PrintScreen(session, out);
            continue;
        }
        if (r == TWaitResult::Timeout) {
            out << ">>> No new screen for " << timeout.count() / 1000.0 << " s; disconnecting.\n";
            session.Disconnect(error);
        } else {
            out << ">>> The host closed the connection.\n";
            if (const std::string why = session.TlsError(); !why.empty())
                err << "tn3270: " << why << '\n';
        }
        PrintLines(out, session.StatusLines());
        out << std::flush;
        return 0;
    }
}
