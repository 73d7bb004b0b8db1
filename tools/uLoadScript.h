// The load script of `tn3270 --load`: the tn3270 script language's session
// commands (words split by its lexer, uScriptLexer), grouped into named
// steps and two parts, read into a load plan (component/uLoadDriver.h).
//
//   # once per session
//   setup
//   step "sign on"
//   connect
//   wait field
//   set 0 "DEMO"
//   set 1 "SECRET"
//   key enter
//   wait text "MAIN MENU"
//   # repeated by every session
//   iteration
//   step inquiry
//   set 0 "1"
//   key enter
//   wait text "ACCOUNT INQUIRY"
//
// `setup` and `iteration` begin the parts (a script without them is all
// iteration); `step NAME` begins a step, and commands before the first step
// of a part form a step named after the part. The commands: connect
// [HOST[:PORT]], disconnect, wait screen|unlock|connect|disconnect|field
// [SECONDS], wait text "TEXT" [SECONDS], wait cursor ROW COL [SECONDS],
// set FIELD "TEXT", type "TEXT", cursor ROW COL, tab, backtab, home,
// erase-eof, key NAME; the script's reading commands (screen, text, ...)
// have no place in a load and are refused. Pure parsing, no I/O.
#pragma once

#include "component/uLoadDriver.h"

#include <string>
#include <string_view>

struct TLoadScript {
    TLoadPlan plan;
    // Empty when the script is valid; else "line N: MESSAGE".
    std::string error;
};

TLoadScript ParseLoadScript(std::string_view text);

// The commands a load script takes, for the help text (one a line).
std::string LoadScriptHelp();
