// libFuzzer entry point: see RunProfile in FuzzTargets.h for the input layout.
#include "fuzz/FuzzTargets.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string failure = tnfuzz::RunProfile(data, size);
    if (!failure.empty()) {
        std::fprintf(stderr, "fuzz_profile: invariant broken: %s\n", failure.c_str());
        std::abort();
    }
    return 0;
}
