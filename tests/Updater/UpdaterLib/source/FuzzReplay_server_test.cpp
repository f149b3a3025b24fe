// Replays the seeds and the kept regressions of the fuzz targets for what
// comes from the update server through the same code the targets run: each
// aborts on a disagreement with its reference, and the sanitizers catch any
// access out of bounds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fuzz_server.h"
#include "process.h"
#include "store_testutil.h"

namespace {

// Every file of fuzz/seeds/<target> and of the kept regressions.
std::vector<std::string> Inputs(const std::string& target) {
    const std::string src = kstest::SourceDir();
    std::vector<std::string> paths;
    for (const std::string& dir :
         {src + "/fuzz/seeds/" + target,
          src + "/tests/Updater/UpdaterLib/source/fuzz-regressions/" + target})
        for (const std::string& name : storetest::ListNames(dir))
            paths.push_back(dir + "/" + name);
    return paths;
}

void Replay(const std::string& target, void (*body)(const uint8_t*, size_t)) {
    std::vector<std::string> inputs = Inputs(target);
    ASSERT_FALSE(inputs.empty()) << "no seeds for " << target << " (KS_SOURCE_DIR set?)";
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        std::string bytes = storetest::ReadAll(path);
        body(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
}

TEST(FuzzReplayServer, RepliesAgreeWithTheReferenceSplitter) {
    Replay("replies", fuzzserver::Replies);
}

TEST(FuzzReplayServer, Base64AgreesWithTheReferenceDecoder) {
    Replay("base64", fuzzserver::Base64Text);
}

TEST(FuzzReplayServer, AcceptedPayloadsLoadAsBirdFiles) {
    testing::internal::CaptureStdout(); // block dumps of accepted files
    Replay("accept", fuzzserver::AcceptedPayload);
    testing::internal::GetCapturedStdout();
}

} // namespace
