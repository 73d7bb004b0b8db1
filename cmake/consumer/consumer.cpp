// A user's program against the installed package: the headers are found under
// their folder names, the static library links alone, and the package has
// started (its start-up object came along with what the program uses).
#include "component/uTn3270E.h"
#include "config/uOrvTnGlbl.h"
#include "config/uTnVersion.h"

#include <cstdio>

int main()
{
    TTn3270E tn;
    const bool started = PackageState() == TPackageState::psLoaded && gSubServicio == "TN3270";
    const bool idle = tn.GetSessionState() == TSessionState::ssNone && tn.HostFields.Count() == 0;
    std::printf("consumer of tn3270 %s: package %s, component %s\n", kPackageVersion,
                started ? "started" : "NOT STARTED", idle ? "idle" : "NOT IDLE");
    return started && idle ? 0 : 1;
}
