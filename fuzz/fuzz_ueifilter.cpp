// libFuzzer target: module packets through the UEI reply filter.
#include "fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzlink::UEIReplies(data, size);
    return 0;
}
