// libFuzzer target: update server replies (status, piece seed, body) against a reference line
// splitter, and the build reply read as it arrives.
#include "fuzz_server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzserver::Replies(data, size);
    return 0;
}
