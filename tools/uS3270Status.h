// The s3270 status line: twelve fields after every action's data, before
// its ok or error, computed from the session as s3270 computes them:
//
//   U F U C(127.0.0.1) I 2 24 80 9 27 0x0 0.000
//
// keyboard (U unlocked, L locked, E locked by an operator error), screen
// formatted (F) or not (U), the field at the cursor protected (P) or not
// (U), connection C(host) or N, mode (I 3270, N not connected, P
// pending), model number, rows, columns, cursor row and column (0-origin),
// window id, and the action's execution time in seconds ("-" when none).
#pragma once

#include <optional>
#include <string>

struct TS3270StatusFields {
    char keyboard = 'L';
    bool formatted = false;
    bool protectedAtCursor = false;
    bool connected = false;
    std::string host;  // as the Connect action named it
    char mode = 'N';
    int model = 2;
    int rows = 24, cols = 80;
    int cursorRow = 0, cursorCol = 0;
};

// The line without its trailing newline; seconds with three decimals.
std::string S3270StatusLine(const TS3270StatusFields& f, std::optional<double> seconds);
