// libFuzzer target: see fuzz_recovery.h (Uudecode).
#include "fuzz_recovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzrecovery::Uudecode(data, size);
    return 0;
}
