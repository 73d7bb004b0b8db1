// The shared module's own translation unit. Everything else comes from the
// layers' static libraries, linked whole; this only gives the module a
// symbol of its own to load by.
#include "config/uTnVersion.h"

extern "C" const char* pktn3270_version() { return kPackageVersion; }
