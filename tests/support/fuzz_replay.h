// Replaying fuzz inputs in ctest: every file of fuzz/seeds/<target> and of
// the target's kept regressions, through the same body the fuzz target runs.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "process.h"
#include "tempdir.h"

namespace fuzzreplay {

// The names in dir, in order, those beginning with '.' left out.
inline std::vector<std::string> Names(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.')
                names.insert(e->d_name);
        ::closedir(d);
    }
    return std::vector<std::string>(names.begin(), names.end());
}

// keptDir: the regressions' folder below the source tree, "<...>/fuzz-regressions".
inline void Replay(const std::string& target, const std::string& keptDir,
                   void (*body)(const uint8_t*, size_t)) {
    const std::string src = kstest::SourceDir();
    std::vector<std::string> paths;
    for (const std::string& dir :
         {src + "/fuzz/seeds/" + target, src + "/" + keptDir + "/" + target}) {
        for (const std::string& name : Names(dir))
            paths.push_back(dir + "/" + name);
    }
    ASSERT_FALSE(paths.empty()) << "no inputs for " << target << " (KS_SOURCE_DIR set?)";
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        std::string bytes = kstest::ReadFile(path);
        body(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }
}

} // namespace fuzzreplay
