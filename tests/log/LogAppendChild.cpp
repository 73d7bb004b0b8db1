// Helper of the log tests: appends N timestamped lines "<tag> <nnnnn> x..."
// to one file through a CLogg, as a second program sharing a daily log does.
#include "log/uTLogg.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    CLogg log;
    log.ChFileLogg(argv[1]);
    log.ChLevelLogg(1);
    // Room for every line: this helper measures appending, not dropping.
    uTLogg::SetWriterLimits(1u << 20, 1u << 30);
    const int n = std::atoi(argv[3]);
    const std::string pad(60, 'x');
    for (int i = 0; i < n; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%05d", i);
        log.LoggMsg(1, std::string(argv[2]) + " " + number + " " + pad);
    }
    if (!uTLogg::Flush())
        return 3;
    return uTLogg::DroppedLines() == 0 ? 0 : 4;
}
