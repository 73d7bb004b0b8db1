// The s3270 status line.
#include "tools/uS3270Status.h"

#include <cstdio>

std::string S3270StatusLine(const TS3270StatusFields& f, std::optional<double> seconds)
{
    std::string s;
    s.reserve(64);
    s += f.keyboard;
    s += f.formatted ? " F" : " U";
    s += f.protectedAtCursor ? " P" : " U";
    if (f.connected) {
        s += " C(";
        s += f.host;
        s += ')';
    } else {
        s += " N";
    }
    s += ' ';
    s += f.mode;
    char tail[96];
    if (seconds)
        std::snprintf(tail, sizeof tail, " %d %d %d %d %d 0x0 %.3f", f.model, f.rows, f.cols, f.cursorRow,
                      f.cursorCol, *seconds);
    else
        std::snprintf(tail, sizeof tail, " %d %d %d %d %d 0x0 -", f.model, f.rows, f.cols, f.cursorRow,
                      f.cursorCol);
    s += tail;
    return s;
}
