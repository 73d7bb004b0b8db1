// The command interpreter of `tn3270 --script`: reads one command a line
// and answers each with zero or more lines "data: ..." followed by "ok" or
// "error: MESSAGE", so that any language can drive a session through a
// pipe. Every error a user can cause is an error line; the interpreter
// never stops on one.
//
// Commands (words separated by blanks; texts in double quotes):
//   connect [HOST[:PORT]]   without HOST: the program's own target
//   disconnect
//   quit                    answers ok and ends the session (so does EOF)
//   wait screen|unlock|connect|disconnect [SECONDS]
//   wait text "TEXT" [SECONDS]
//   screen                  the rows, then "cursor ROW COL"
//   fields                  one line per host field
//   set FIELD "TEXT"        FIELD: input index (0, 1, ...) or name (R5C20)
//   type "TEXT"             types at the cursor as an operator would
//   cursor ROW COL
//   key enter|clear|pf1..pf24|pa1..pa3|sysreq|attn
//   status
// Empty lines and lines whose first non-blank is '#' are not answered.
#pragma once

#include "tools/uTerminalSession.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

struct TScriptConfig {
    // What `connect` without an argument connects to; empty host: nothing.
    std::string defaultHost;
    std::int32_t defaultPort = 23;
    // How long a `wait` without SECONDS waits.
    std::chrono::milliseconds waitTimeout{10000};
    // The port of `connect HOST` without one.
    std::int32_t connectPort = 23;
};

class TScriptInterpreter {
public:
    TScriptInterpreter(TTerminalSession& session, TScriptConfig config);

    // Runs one line and writes its answer to out (flushed). Returns false
    // after `quit`, true otherwise.
    bool Execute(std::string_view line, std::ostream& out);

    // Reads lines from in until `quit` or the end of the input, answering
    // each on out. A line longer than kMaxScriptLineBytes is answered with
    // an error and skipped.
    void Run(std::istream& in, std::ostream& out);

private:
    TTerminalSession& session_;
    TScriptConfig config_;
};
