// The full-screen terminal of the tn3270 program on a real terminal: draws
// the session's screen and status line with ncurses and feeds the keys to
// the model of tools/uTerminalUi.
//
// No polling: the session's event handlers (screen, keyboard lock and
// unlock, connect, disconnect, session state) and SIGWINCH write a byte to
// a pipe; the loop sleeps in poll() on that pipe and standard input, and
// draws again only when what it would show has changed.
#pragma once

#include "component/uOperator.h"

#include <cstdint>
#include <ostream>
#include <string>

// Connects to host:port and runs the terminal until the user quits (the
// connection is then closed) or standard input ends. Returns the exit
// code: 0, or 1 with a message on err when the host cannot be reached or
// the terminal cannot be set up. The handlers of the session's component
// are wrapped, not replaced: the operator still counts its events.
int RunCursesTerminal(TOperator& session, const std::string& host, std::int32_t port, std::ostream& err);
