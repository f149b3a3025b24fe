// libFuzzer target: module packets through the multi-packet get.
#include "fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzlink::MultiPacketGet(data, size);
    return 0;
}
