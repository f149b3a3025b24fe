// Replays the kept fuzz inputs (hostile files that once broke, or probe, the
// parsers) through the same code the fuzz targets run, and checks what the
// parsers made of each: refused or accepted, how many blocks, whether a place
// for the serial number was found, how many attributes survived. Any
// out-of-bounds access also aborts under the sanitizers; the attributes round
// trip aborts on a lost entry.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "fuzz_inputs.h"
#include "process.h"
#include "store_testutil.h"
#include "tempdir.h"

namespace {

std::string InputDir(const std::string& target) {
    return kstest::SourceDir() + "/tests/Updater/UpdaterLib/source/fuzz-regressions/" + target;
}

std::string Describe(const fuzzinputs::BirdOutcome& o) {
    return std::string(o.wholeFile ? "file" : "content") +
           (o.wholeFile ? std::string(o.complete ? " complete" : " incomplete") +
                              (o.loaded ? " loaded" : " refused")
                        : "") +
           " blocks=" + std::to_string(o.blocks) + (o.serialOffsets ? " serial-offsets" : "");
}

std::string Describe(const fuzzinputs::AttributesOutcome& o) {
    return "entries=" + std::to_string(o.entries) + (o.carried ? " carried" : " not-carried") +
           (o.saved ? " saved" : " not-saved");
}

// What the parsers made of every kept input of the target, by file name.
template <typename Outcome>
std::map<std::string, std::string> Replay(const std::string& target,
                                          Outcome (*replay)(const uint8_t*, size_t)) {
    std::map<std::string, std::string> got;
    for (const std::string& name : storetest::ListNames(InputDir(target))) {
        std::string bytes = kstest::ReadFile(InputDir(target) + "/" + name);
        got[name] = Describe(replay(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    }
    return got;
}

// Every kept input has its expected outcome in the table, and every line of
// the table its input: a new regression file needs a line of its own.
void ExpectOutcomes(const std::map<std::string, std::string>& expected,
                    const std::map<std::string, std::string>& got) {
    ASSERT_FALSE(got.empty()) << "no inputs: KS_SOURCE_DIR must point at the source tree";
    for (const auto& e : expected) {
        auto it = got.find(e.first);
        if (it == got.end())
            ADD_FAILURE() << "no input file " << e.first;
        else
            EXPECT_EQ(it->second, e.second) << e.first;
    }
    for (const auto& g : got)
        EXPECT_TRUE(expected.count(g.first))
            << "no expected outcome for " << g.first << ": " << g.second;
}

TEST(FuzzReplay, BirdInputsAreParsedAsKeptAndWithoutFault) {
    // Whole files: refused or loaded; contents: the blocks that survive the
    // scan (a damaged block and everything after it are dropped).
    const std::map<std::string, std::string> expected = {
        {"block-header-cut-after-type.content", "content blocks=0"},
        {"block-length-past-end.content", "content blocks=1"},
        {"count-only.content", "content blocks=0"},
        {"descriptor-twenty-bytes.content", "content blocks=1"},
        {"header-only.bird", "file incomplete refused blocks=0"},
        {"image-block-shorter-than-address.content", "content blocks=2"},
        {"no-checksum.content", "content blocks=1"},
        {"serial-offsets-three-bytes.content", "content blocks=2"},
        {"serial-word-at-end-of-address-space.content", "content blocks=2 serial-offsets"},
        {"truncated-stream.bird", "file complete loaded blocks=1"},
    };
    testing::internal::CaptureStdout(); // block dumps
    std::map<std::string, std::string> got = Replay("birdfile", fuzzinputs::BirdBytes);
    std::string dumped = testing::internal::GetCapturedStdout();
    EXPECT_NE(dumped.find("BIRDFILE: BLOCK DUMP [content]"), std::string::npos);
    ExpectOutcomes(expected, got);
}

TEST(FuzzReplay, AttributesInputsSurviveASaveAndLoad) {
    // (Entries counted after the reads, which add the defaults they ask for.)
    const std::map<std::string, std::string> expected = {
        {"blank-key-and-nul.txt", "entries=6 carried saved"},
        {"line-without-equals.txt", "entries=5 carried saved"},
        {"overlong-line.txt", "entries=4 carried saved"},
    };
    ExpectOutcomes(expected, Replay("kvstore", fuzzinputs::AttributesText));
}

} // namespace
