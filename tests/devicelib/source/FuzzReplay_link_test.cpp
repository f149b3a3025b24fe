// Replays the seeds and the kept regressions of the fuzz targets for bytes
// from a module (packet assembly and sync, the UEI filter, the multi-packet
// get) through the same code the targets run.
#include "fuzz_link.h"
#include "fuzz_replay.h"

namespace {

const char* const KEPT = "tests/devicelib/source/fuzz-regressions";

TEST(FuzzReplayLink, ModuleBytesMakeOnlySoundPackets) {
    fuzzreplay::Replay("packets", KEPT, fuzzlink::ModuleBytes);
}

TEST(FuzzReplayLink, UEIFilterTakesOnlyMatchingReplies) {
    fuzzreplay::Replay("ueifilter", KEPT, fuzzlink::UEIReplies);
}

TEST(FuzzReplayLink, MultiPacketGetTakesThePiecesInSequence) {
    fuzzreplay::Replay("multiget", KEPT, fuzzlink::MultiPacketGet);
}

} // namespace
