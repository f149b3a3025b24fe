// Replays the seeds and the kept regressions of the fuzz targets for what
// comes from the update server through the same code the targets run: each
// aborts on a disagreement with its reference, and the sanitizers catch any
// access out of bounds.
#include <gtest/gtest.h>

#include "fuzz_replay.h"
#include "fuzz_server.h"

namespace {

const char* const KEPT = "tests/Updater/UpdaterLib/source/fuzz-regressions";

TEST(FuzzReplayServer, RepliesAgreeWithTheReferenceSplitter) {
    fuzzreplay::Replay("replies", KEPT, fuzzserver::Replies);
}

TEST(FuzzReplayServer, Base64AgreesWithTheReferenceDecoder) {
    fuzzreplay::Replay("base64", KEPT, fuzzserver::Base64Text);
}

TEST(FuzzReplayServer, AcceptedPayloadsLoadAsBirdFiles) {
    testing::internal::CaptureStdout(); // block dumps of accepted files
    fuzzreplay::Replay("accept", KEPT, fuzzserver::AcceptedPayload);
    testing::internal::GetCapturedStdout();
}

} // namespace
