// libFuzzer target: see fuzz_recovery.h (SdpAnswers).
#include "fuzz_recovery.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzrecovery::SdpAnswers(data, size);
    return 0;
}
