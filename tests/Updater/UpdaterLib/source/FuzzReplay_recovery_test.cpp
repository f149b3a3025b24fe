// Replays the seeds and the kept regressions of the fuzz targets for what a
// ROM bootloader sends during a recovery through the same code the targets
// run: each aborts on a result its reference or contract does not allow, and
// the sanitizers catch any access out of bounds.
#include <gtest/gtest.h>

#include "fuzz_recovery.h"
#include "fuzz_replay.h"

namespace {

const char* const KEPT = "tests/Updater/UpdaterLib/source/fuzz-regressions";

TEST(FuzzReplayRecovery, IspRequestsReadChipAnswersWithinTheirBuffers) {
    fuzzreplay::Replay("ispanswers", KEPT, fuzzrecovery::IspAnswers);
}

TEST(FuzzReplayRecovery, UudecodeAgreesWithTheReferenceDecoder) {
    fuzzreplay::Replay("uudecode", KEPT, fuzzrecovery::Uudecode);
}

TEST(FuzzReplayRecovery, SdpAnswersAreReadWhereTheReferenceReadsThem) {
    fuzzreplay::Replay("sdpanswers", KEPT, fuzzrecovery::SdpAnswers);
}

} // namespace
