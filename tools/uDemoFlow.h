// What the tn3270 program does without --script: against the embedded demo
// host, a visible walk through the demo application (sign on with the
// sample user, the menu, an account inquiry, log off), printing each screen
// as it arrives; against any other host, the screens as they arrive until
// the host closes the connection or stays silent for the wait timeout.
#pragma once

#include "component/uOperator.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

// A screen framed for a person: the rows between two rules, then the
// cursor and the keyboard state.
void PrintScreen(TOperator& session, std::ostream& out);

// The demo walk. Returns 0 when every step saw the screen it expected and
// the host ended the session, 1 otherwise (with the reason on err).
int RunDemoFlow(TOperator& session, const std::string& host, std::int32_t port,
                std::chrono::milliseconds timeout, std::ostream& out, std::ostream& err);

// Shows the screens of any host as they arrive. Returns 0 when the host
// closed the connection or sent nothing for `timeout` (then it disconnects),
// 1 when the connection could not be made.
int RunWatch(TOperator& session, const std::string& host, std::int32_t port,
             std::chrono::milliseconds timeout, std::ostream& out, std::ostream& err);
