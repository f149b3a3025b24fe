// Replays the kept fuzz inputs (hostile files that once broke, or probe, the
// parsers) through the same code the fuzz targets run. Any out-of-bounds
// access aborts under the sanitizers; the attributes round trip aborts on a
// lost entry.
#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_inputs.h"
#include "store_testutil.h"

namespace {

std::vector<std::string> Inputs(const std::string& target) {
    const char* src = std::getenv("KS_SOURCE_DIR");
    std::string dir = std::string(src ? src : ".") +
                      "/tests/Updater/UpdaterLib/source/fuzz-regressions/" + target;
    std::vector<std::string> paths;
    for (const std::string& name : storetest::ListNames(dir))
        paths.push_back(dir + "/" + name);
    return paths;
}

TEST(FuzzReplay, BirdInputsLoadWithoutFault) {
    std::vector<std::string> inputs = Inputs("birdfile");
    ASSERT_FALSE(inputs.empty()) << "KS_SOURCE_DIR must point at the source tree";
    testing::internal::CaptureStdout(); // block dumps
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        std::string bytes = storetest::ReadAll(path);
        ASSERT_FALSE(bytes.empty());
        fuzzinputs::BirdBytes(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
    std::string dumped = testing::internal::GetCapturedStdout();
    EXPECT_NE(dumped.find("BIRDFILE: BLOCK DUMP [content]"), std::string::npos);
}

TEST(FuzzReplay, AttributesInputsSurviveASaveAndLoad) {
    std::vector<std::string> inputs = Inputs("kvstore");
    ASSERT_FALSE(inputs.empty()) << "KS_SOURCE_DIR must point at the source tree";
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        std::string bytes = storetest::ReadAll(path);
        fuzzinputs::AttributesText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
}

} // namespace
