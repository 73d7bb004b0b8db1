// The command interpreter of `tn3270 --script`: reads one command a line
// and answers each with zero or more lines "data: ..." followed by "ok" or
// "error: MESSAGE", so that any language can drive a session through a
// pipe. Every error a user can cause is an error line; the interpreter
// never stops on one. It drives the session through the library's operator
// interface (component/uOperator.h) and nothing else.
//
// The commands are one table (uScriptSession.cpp): a row per command form
// with its name, its arguments, its handler and its help line. The parser
// checks a line's words against the rows of its command (the first form
// they fit is run; none: "usage: " and every form of the command), the
// help text (ScriptCommandHelp) is printed from the same rows, and so are
// the tests' lists of commands. Positions are 1-based, as `cursor` takes
// them. Empty lines and lines whose first non-blank is '#' are not
// answered.
#pragma once

#include "component/uOperator.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

struct TScriptConfig {
    // What `connect` without an argument connects to; empty host: nothing.
    std::string defaultHost;
    std::int32_t defaultPort = 23;
    // How long a `wait` without SECONDS waits.
    std::chrono::milliseconds waitTimeout{10000};
    // The port of `connect HOST` without one.
    std::int32_t connectPort = 23;
};

// One command form as the help shows it.
struct TScriptCommandHelp {
    std::string usage;  // "cursor ROW COL"
    std::string help;   // "moves the cursor (1-based) for the next key"
};

// Every command form, in the order the help lists them.
std::vector<TScriptCommandHelp> ScriptCommandHelp();

class TScriptInterpreter {
public:
    // Typing and keys are not refused while the host holds the keyboard (a
    // script may type ahead of the host's unlock): the interpreter sets the
    // operator's type-ahead.
    TScriptInterpreter(TOperator& op, TScriptConfig config);

    // Runs one line and writes its answer to out (flushed). Returns false
    // after `quit`, true otherwise.
    bool Execute(std::string_view line, std::ostream& out);

    // Reads lines from in until `quit` or the end of the input, answering
    // each on out. A line longer than kMaxScriptLineBytes is answered with
    // an error and skipped.
    void Run(std::istream& in, std::ostream& out);

private:
    TOperator& op_;
    TScriptConfig config_;
};
