// libFuzzer target: bytes from a module through the link's packet assembler and sync recogniser.
#include "fuzz_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzlink::ModuleBytes(data, size);
    return 0;
}
