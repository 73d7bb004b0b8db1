// What a front end of the component (the tn3270 program, the Python module,
// a program that embeds a session) needs of the layers below it, handed on
// in one place: front ends include component/ headers and the folders the
// component publishes (fields/, config/, log/, platform/), never stream/,
// display/ or telnet/ themselves (scripts/check-layers).
//   - the session's enumerations: TTn3270AidKey, TTn3270TerminalType,
//     TSessionState, the TN3270E functions (stream/uOrvTnConsts.h);
//   - the built-in code pages by name: FindCodePage, KnownCodePageNames,
//     UnknownCodePageMessage, ECodePageError, and TableFileText to write
//     one out as a translation table file (stream/uCodePages.h).
#pragma once

#include "stream/uCodePages.h"
#include "stream/uOrvTnConsts.h"
