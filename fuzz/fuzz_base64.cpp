// libFuzzer target: the strict base64 decoder, fed in pieces, against a reference decoder.
#include "fuzz_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzserver::Base64Text(data, size);
    return 0;
}
