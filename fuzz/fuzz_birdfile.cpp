// libFuzzer target: BIRD files (and bare contents) from arbitrary bytes.
#include <cstdio>

#include "fuzz_inputs.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Block dumps go to standard output; libFuzzer reports on standard error.
    if (!std::freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzinputs::BirdBytes(data, size);
    return 0;
}
