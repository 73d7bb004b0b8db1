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
    std::string rule(width + 2, '-');
    rule.front() = rule.back() = '+';
    return rule;
}

// Why a step failed, for the error stream.
std::string Describe(TWaitResult r)
{
    switch (r) {
    case TWaitResult::Ok: return "ok";
    case TWaitResult::Timeout: return "timed out";
    case TWaitResult::Ended: return "the connection ended";
    case TWaitResult::Failed: return "the connection failed";
    case TWaitResult::Refused: return "refused";
    case TWaitResult::Cancelled: return "cancelled";
    }
    return "failed";
}

class TDemoWalk {
public:
    TDemoWalk(TOperator& s, std::chrono::milliseconds timeout, std::ostream& out, std::ostream& err)
        : s_(s), timeout_(timeout), out_(out), err_(err)
    {
    }

    // Waits for the screen that shows `text` with the keyboard unlocked, and prints it.
    bool Expect(const std::string& text)
    {
        TWaitResult r = s_.Wait(TWaitCondition::ForText(text), timeout_);
        if (r == TWaitResult::Ok)
            r = s_.Wait(TWaitCondition::Of(TWaitKind::Unlock), timeout_);
        if (r != TWaitResult::Ok) {
            err_ << "tn3270: waiting for the screen with \"" << text << "\": " << Describe(r) << '\n';
            return false;
        }
        PrintScreen(s_, out_);
        return true;
    }

    bool Type(std::int32_t field, const std::string& text) { return Done(s_.SetField(TFieldRef::ByIndex(field), text)); }
    bool Press(TTn3270AidKey key) { return Done(s_.Key(key)); }

    void Say(const std::string& text) { out_ << "\n>>> " << text << '\n' << std::flush; }

private:
    bool Done(const TOperatorError& e)
    {
        if (!e.Ok())
            err_ << "tn3270: " << e.Message << '\n';
        return e.Ok();
    }

    TOperator& s_;
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

void PrintScreen(TOperator& session, std::ostream& out)
{
    const std::vector<std::string> rows = session.Rows();
    const TOperatorStatus status = session.Status();
    const std::string rule = Rule(static_cast<std::size_t>(status.Cols));
    out << rule << '\n';
    for (const auto& row : rows)
        out << '|' << row << "|\n";
    out << rule << '\n';
    out << " cursor " << status.Cursor.Row + 1 << ' ' << status.Cursor.Col + 1 << "   "
        << (status.Keyboard.Locked ? "keyboard locked " + status.Keyboard.Text : std::string("keyboard unlocked"))
        << '\n'
        << std::flush;
}

int RunDemoFlow(TOperator& session, const std::string& host, std::int32_t port,
                std::chrono::milliseconds timeout, std::ostream& out, std::ostream& err)
{
    TDemoWalk walk(session, timeout, out, err);
    session.SetTypeAhead(true);
    walk.Say("Connecting to the embedded demo host at " + host + ":" + std::to_string(port));
    if (const TOperatorError e = session.Connect(host, port); !e.Ok()) {
        err << "tn3270: " << e.Message << '\n';
        return 1;
    }
    if (!walk.Expect("SIGN ON"))
        return 1;
    PrintLines(out, session.StatusLines());

    walk.Say(std::string("Signing on: user id ") + kDemoUser + ", password " + kDemoPassword + " (not shown), Enter");
    if (!walk.Type(0, kDemoUser) || !walk.Type(1, kDemoPassword) || !walk.Press(TTn3270AidKey::akEnter) ||
        !walk.Expect("MAIN MENU"))
        return 1;

    walk.Say("Option 1 (account inquiry), Enter");
    if (!walk.Type(0, "1") || !walk.Press(TTn3270AidKey::akEnter) || !walk.Expect("ACCOUNT INQUIRY"))
        return 1;

    walk.Say(std::string("Account ") + kDemoAccount + ", Enter");
    if (!walk.Type(0, kDemoAccount) || !walk.Press(TTn3270AidKey::akEnter) || !walk.Expect("Recent transactions"))
        return 1;

    walk.Say("The fields of this screen:");
    PrintLines(out, session.FieldLines());

    walk.Say("Command LOGOFF, Enter");
    if (!walk.Type(1, "LOGOFF") || !walk.Press(TTn3270AidKey::akEnter))
        return 1;
    const TWaitResult r = session.Wait(TWaitCondition::Of(TWaitKind::Disconnect), timeout);
    if (r != TWaitResult::Ok) {
        err << "tn3270: waiting for the host to end the session: " << Describe(r) << '\n';
        return 1;
    }
    walk.Say("The host ended the session.");
    return 0;
}

int RunWatch(TOperator& session, const std::string& host, std::int32_t port,
             std::chrono::milliseconds timeout, std::ostream& out, std::ostream& err)
{
    if (const TOperatorError e = session.Connect(host, port); !e.Ok()) {
        err << "tn3270: " << e.Message << '\n';
        return 1;
    }
    out << ">>> Connected to " << session.Target() << '\n' << std::flush;
    while (true) {
        const TWaitResult r = session.Wait(TWaitCondition::Of(TWaitKind::Screen), timeout);
        if (r == TWaitResult::Ok) {
            PrintScreen(session, out);
            continue;
        }
        if (r == TWaitResult::Timeout) {
            out << ">>> No new screen for " << timeout.count() / 1000.0 << " s; disconnecting.\n";
            session.Disconnect();
        } else {
            out << ">>> The host closed the connection.\n";
            if (const std::string why = session.Status().TlsError; !why.empty())
                err << "tn3270: " << why << '\n';
        }
        PrintLines(out, session.StatusLines());
        out << std::flush;
        return 0;
    }
}
