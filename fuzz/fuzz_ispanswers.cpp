// libFuzzer target: see fuzz_recovery.h (IspAnswers).
#include "fuzz_recovery.h"

// The client waits about a millisecond after every read that found nothing;
// the chip here is a buffer, so those waits are skipped (linked with
// --wrap for qTime_MSSleep, see CMakeLists.txt).
extern "C" qErr __wrap__Z13qTime_MSSleepm(unsigned long) {
    return qErrNone;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzrecovery::IspAnswers(data, size);
    return 0;
}
