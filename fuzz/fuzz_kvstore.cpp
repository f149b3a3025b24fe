// libFuzzer target: attributes files from arbitrary text.
#include "fuzz_inputs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzinputs::AttributesText(data, size);
    return 0;
}
