// libFuzzer target: the download's whole-file check: what it accepts must load as a BIRD file.
#include "fuzz_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzserver::AcceptedPayload(data, size);
    return 0;
}
