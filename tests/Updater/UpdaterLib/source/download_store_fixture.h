// The fixture of the end-to-end download tests: the real Updater binary in
// the private home of scripts/isolated-home.sh, the simulated server's
// content for module 40F5849A (latest build 1234), and snapshots of the
// module's store directory to compare byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bytes.h"
#include "process.h"
#include "tempdir.h"
#include "updateserver_harness.h"

namespace downloadtest {

const char* const SERIAL = "40F5849A";
using Files = std::map<std::string, std::string>; // name -> bytes

class StoreTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The store lives under the home directory: only ever touch it when
        // the test runs with the private home of scripts/isolated-home.sh.
        home_ = kstest::PrivateHome();
        if (home_.empty())
            GTEST_SKIP() << "needs the private home directory of scripts/isolated-home.sh";
        std::error_code ec;
        std::filesystem::remove_all(home_ + "/.quillmar", ec);
        updtest::AddModule(content.path(), SERIAL, "1234", "KSFW-2.9");
    }

    std::string ModuleDir() const { return home_ + "/.quillmar/updater/" + SERIAL; }

    std::vector<std::string> Args(const std::string& url, std::vector<std::string> args) const {
        args.insert(args.begin(), kstest::UpdaterPath());
        args.push_back("-u");
        args.push_back(url);
        return args;
    }
    kstest::ProcessResult Run(const std::string& url, const std::vector<std::string>& args) {
        return kstest::RunProcess(Args(url, args), 60000);
    }

    // Every entry of the module's directory with its bytes.
    Files Snapshot() const {
        Files files;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(ModuleDir(), ec))
            files[e.path().filename().string()] =
                e.is_regular_file() ? kstest::ReadFile(e.path().string()) : "(not a file)";
        return files;
    }

    // Downloads what the server serves as the latest build (exit 0 expected)
    // and returns what the store then holds.
    Files StoreLatest() {
        updtest::SimServer server(content.path());
        EXPECT_TRUE(server.running());
        kstest::ProcessResult r = Run(server.url(), {"-G", "-d", SERIAL});
        EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
        return Snapshot();
    }

    void ExpectStoreUnchanged(const Files& before, const std::string& what) {
        Files after = Snapshot();
        EXPECT_EQ(after.size(), before.size()) << what << ": files added or removed";
        for (const auto& f : before)
            EXPECT_BYTES(f.second, after[f.first]) << what << ": " << f.first;
    }

    kstest::TempDir content{"ks-server"};
    std::string home_;
};

} // namespace downloadtest
