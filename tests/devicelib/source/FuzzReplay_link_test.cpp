// Replays the seeds and the kept regressions of the fuzz targets for bytes
// from a module (packet assembly and sync, the UEI filter, the multi-packet
// get) through the same code the targets run.
#include <gtest/gtest.h>

#include <dirent.h>

#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "fuzz_link.h"
#include "process.h"

namespace {

std::vector<std::string> Inputs(const std::string& target) {
    const std::string src = kstest::SourceDir();
    std::vector<std::string> paths;
    for (const std::string& dir : {src + "/fuzz/seeds/" + target,
                                   src + "/tests/devicelib/source/fuzz-regressions/" + target}) {
        std::set<std::string> names;
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d))
                if (e->d_name[0] != '.')
                    names.insert(e->d_name);
            ::closedir(d);
        }
        for (const std::string& name : names)
            paths.push_back(dir + "/" + name);
    }
    return paths;
}

void Replay(const std::string& target, void (*body)(const uint8_t*, size_t)) {
    std::vector<std::string> inputs = Inputs(target);
    ASSERT_FALSE(inputs.empty()) << "no seeds for " << target << " (KS_SOURCE_DIR set?)";
    for (const std::string& path : inputs) {
        SCOPED_TRACE(path);
        std::string bytes = kstest::ReadFile(path);
        body(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
}

TEST(FuzzReplayLink, ModuleBytesMakeOnlySoundPackets) {
    Replay("packets", fuzzlink::ModuleBytes);
}

TEST(FuzzReplayLink, UEIFilterTakesOnlyMatchingReplies) {
    Replay("ueifilter", fuzzlink::UEIReplies);
}

TEST(FuzzReplayLink, MultiPacketGetTakesThePiecesInSequence) {
    Replay("multiget", fuzzlink::MultiPacketGet);
}

} // namespace
