// A short example of the operator interface: signs on to the demo
// application, asks for an account and prints the answer, as an operator
// would do it: fill the fields, press Enter, wait for the host's answer,
// read the screen. No field lists, no lock, no event handlers.
//
//   example_operator                               the embedded demo host
//   example_operator HOST PORT USER PASSWORD ACCOUNT  a host that runs the demo
#include "component/uOperator.h"
#include "sim/uDemoApp.h"
#include "sim/uHostSimulator.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

constexpr auto kTimeout = std::chrono::seconds(30);

// Says what went wrong and gives the exit code.
int Fail(const std::string& what)
{
    std::fprintf(stderr, "example_operator: %s\n", what.c_str());
    return 1;
}

// Presses the key and waits for the host's answer: the panel that shows
// the text, with the keyboard back. An answer that came before the wait
// began counts too.
bool Answer(TOperator& op, TTn3270AidKey key, const std::string& text)
{
    return op.Key(key) && op.Wait(TWaitCondition::ForText(text), kTimeout) == TWaitResult::Ok &&
           op.Wait(TWaitCondition::Of(TWaitKind::Unlock), kTimeout) == TWaitResult::Ok;
}

// The message line of the demo's panels (row 22).
std::string Message(TOperator& op)
{
    return op.ReadText(21, 0, op.ScreenCols());
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 1 && argc != 6)
        return Fail("usage: example_operator [HOST PORT USER PASSWORD ACCOUNT]");
    std::string host = argc == 6 ? argv[1] : "127.0.0.1";
    std::int32_t port = argc == 6 ? std::atoi(argv[2]) : 0;
    const std::string user = argc == 6 ? argv[3] : "DEMO";
    const std::string password = argc == 6 ? argv[4] : "SECRET";
    const std::string account = argc == 6 ? argv[5] : "10001";

    // Without a host: the demo application on a free loopback port.
    std::unique_ptr<tnsim::THostSimulator> demo;
    if (argc == 1) {
        tnsim::TSimHostOptions options;
        options.appFactory = tnsim::TDemoApp::Factory();
        demo = std::make_unique<tnsim::THostSimulator>(std::move(options));
        port = demo->Port();
    }

    TOperator op;
    if (const TOperatorError e = op.Connect(host, port); !e)
        return Fail(e.Message);
    if (op.Wait(TWaitCondition::ForText("SIGN ON"), kTimeout) != TWaitResult::Ok ||
        op.Wait(TWaitCondition::Of(TWaitKind::InputField), kTimeout) != TWaitResult::Ok)
        return Fail("no sign-on panel");

    // The input fields by their order on the screen: user id, password.
    if (const TOperatorError e = op.SetField(TFieldRef::ByIndex(0), user); !e)
        return Fail(e.Message);
    if (const TOperatorError e = op.SetField(TFieldRef::ByIndex(1), password); !e)
        return Fail(e.Message);
    if (!Answer(op, TTn3270AidKey::akEnter, "MAIN MENU"))
        return Fail("not signed on: " + Message(op));

    op.SetField(TFieldRef::ByIndex(0), "1");  // option 1: account inquiry
    if (!Answer(op, TTn3270AidKey::akEnter, "ACCOUNT INQUIRY"))
        return Fail("no inquiry panel: " + Message(op));
    op.SetField(TFieldRef::ByIndex(0), account);
    if (!Answer(op, TTn3270AidKey::akEnter, "Balance"))
        return Fail("no account " + account + ": " + Message(op));

    // The answer, read by position (rows and columns count from 0).
    std::printf("%s\n%s\n", op.ReadText(7, 3, 60).c_str(), op.ReadText(9, 3, 60).c_str());

    op.Key(TTn3270AidKey::akPF12);  // log off: the host ends the session
    op.Wait(TWaitCondition::Of(TWaitKind::Disconnect), kTimeout);
    return 0;
}
