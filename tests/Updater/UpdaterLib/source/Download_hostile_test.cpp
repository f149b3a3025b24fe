// -G and -B against a hostile update server: the real Updater binary on
// loopback, checking that what the store held before is still there byte for
// byte whenever a download is refused, and that the refusal says why.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "download_store_fixture.h"
#include "hostile_payloads.h"

namespace fs = std::filesystem;

namespace {

using downloadtest::Files;
using downloadtest::SERIAL;

class HostileDownload : public downloadtest::StoreTest {
  protected:
    void SetUp() override {
        StoreTest::SetUp();
        if (IsSkipped())
            return;
        good = updtest::MakeBird(1234, "1.2.3", 0x40F5849A, 400);
        updtest::AddBuild(content.path(), SERIAL, 1234, "1.2.3", good);
    }

    // Downloads the good build 1234 and returns what the store then holds.
    Files StoreGoodBuild() {
        Files files = StoreLatest();
        EXPECT_BYTES(good, files["1234.bird"]);
        EXPECT_NE(files[".settings"].find("LATEST_DOWNLOAD=1234.bird\n"), std::string::npos);
        return files;
    }

    std::string good;
};

bool Requested(const updtest::SimServer& server, const std::string& op) {
    for (const std::string& t : server.Targets())
        if (t.find("op=" + op + "&") != std::string::npos)
            return true;
    return false;
}

TEST_F(HostileDownload, ADamagedBuildNeverReplacesAGoodOne) {
    const Files before = StoreGoodBuild();
    birdwriter::Description d;
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0, birdwriter::Bytes(500, 0x11)));
    d.blocks.push_back(birdwriter::DescriptorBlock(1234, "6.6.6", 0x40F5849A, "KS-100"));
    struct Case {
        std::string name;
        std::string served; // the BIRD bytes served, base64-encoded by the server
        std::string body;   // or a whole reply body
        std::string err;
    };
    std::vector<Case> cases;
    for (const hostile::DamagedFile& f : hostile::DamagedFiles(d))
        cases.push_back(
            {f.name, std::string(f.file.begin(), f.file.end()), "",
             "The payload of build 1234 is not a complete BIRD file (" + f.problem + ")\n"});
    std::string text = hostile::Base64(good);
    for (const auto& bad : {std::make_pair(text.size() / 2, '!'), std::make_pair(size_t(0), ' '),
                            std::make_pair(text.size() - 1, '\r')}) {
        std::string broken = text;
        broken[bad.first] = bad.second;
        cases.push_back({"'" + std::string(1, bad.second) + "' in the payload", "",
                         "ok\n" + broken + "\n",
                         "The payload of build 1234 is not valid base64 (a character outside "
                         "the base64 alphabet)\n"});
    }
    cases.push_back({"padding in the middle", "", "ok\nZm9v" + std::string("AA==") + text + "\n",
                     "The payload of build 1234 is not valid base64 (characters follow the "
                     "padding)\n"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> switches;
        if (c.body.empty()) {
            updtest::AddBuild(content.path(), SERIAL, 1234, "1.2.3", c.served);
        } else {
            switches = {"--body-file", content.write("body", c.body), "--only", "bird"};
            updtest::AddBuild(content.path(), SERIAL, 1234, "1.2.3", good);
        }
        updtest::SimServer server(content.path(), switches);
        ASSERT_TRUE(server.running());
        kstest::ProcessResult r = Run(server.url(), {"-G", "-d", SERIAL});
        EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        ExpectStoreUnchanged(before, c.name);
    }
}

TEST_F(HostileDownload, ABuildNumberThatIsNotOneIsRefusedBeforeAnythingIsFetched) {
    const Files before = StoreGoodBuild();
    for (const std::string& latest : std::vector<std::string>{"latest", "-1", "4294967296", "0",
                                                              "12a", "+12", "0x10", "\x1b[31m7"}) {
        SCOPED_TRACE(latest);
        updtest::AddModule(content.path(), SERIAL, latest, "KSFW-2.9");
        updtest::SimServer server(content.path());
        ASSERT_TRUE(server.running());
        kstest::ProcessResult r = Run(server.url(), {"-G", "-d", SERIAL});
        EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
        std::string shown = latest == "\x1b[31m7" ? "\\x1B[31m7" : latest;
        EXPECT_NE(r.err.find("The update server named '" + shown +
                             "' as the latest build: not a build number\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.out.find("Build 0"), std::string::npos) << r.out;
        EXPECT_FALSE(Requested(server, "bird"));
        EXPECT_FALSE(Requested(server, "builds"));
        ExpectStoreUnchanged(before, latest);
    }
}

TEST_F(HostileDownload, BuildListEntriesThatAreNoBuildsAreNeverListedOrChosen) {
    const std::string list = "ok\nlatest;9.9.9\n-1;8.8.8\n4294968530;7.7.7\n0;6.6.6\n 77;5.5.5\n"
                             "1234;1.2.3\n0099;0.9.9\n";
    updtest::SimServer server(content.path(),
                              {"--body-file", content.write("builds", list), "--only", "builds"});
    ASSERT_TRUE(server.running());
    kstest::ProcessResult r = Run(server.url(), {"-B", "-d", SERIAL});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("0099           \t0.9.9          \n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1234           \t1.2.3          \n"), std::string::npos) << r.out;
    for (const char* made : {"latest", "-1", "4294968530", "\n0 ", " 77", "9.9.9", "6.6.6"})
        EXPECT_EQ(r.out.find(made), std::string::npos) << made << " listed:\n" << r.out;
    // Build 0 is never valid, even when the list has an entry that reads as 0.
    updtest::AddModule(content.path(), SERIAL, "0", "KSFW-2.9");
    r = Run(server.url(), {"-G", "-d", SERIAL, "-b", "0"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_FALSE(kstest::Exists(ModuleDir() + "/0.bird"));
}

TEST_F(HostileDownload, ServerTextReachesTheTerminalEscaped) {
    updtest::AddBuild(content.path(), SERIAL, 1235, "1.0\x1b[2J\x07\x9b", "");
    updtest::SimServer server(content.path());
    ASSERT_TRUE(server.running());
    kstest::ProcessResult r = Run(server.url(), {"-B", "-d", SERIAL});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("1235           \t1.0\\x1B[2J\\x07"), std::string::npos) << r.out;
    for (char c : r.out + r.err)
        EXPECT_TRUE(c == '\n' || c == '\t' || (c >= 0x20 && c < 0x7F))
            << "raw byte " << int(static_cast<unsigned char>(c)) << " on the terminal";
}

TEST_F(HostileDownload, LongAttributeLinesAndLaterKeysSurviveADownload) {
    const std::string note(5000, 'n');
    fs::create_directories(ModuleDir());
    const std::string settings = "CREATED_TIME=Mon Jan  1 00:00:00 2024\nNOTE=" + note +
                                 "\nLATEST_TRANSFER=1200.bird\nZ=a" + std::string(1, '\0') + "b\n";
    ASSERT_TRUE(kstest::WriteFile(ModuleDir() + "/.settings", settings));
    updtest::SimServer server(content.path());
    ASSERT_TRUE(server.running());
    kstest::ProcessResult r = Run(server.url(), {"-G", "-d", SERIAL});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    const std::string after = kstest::ReadFile(ModuleDir() + "/.settings");
    for (const std::string& line :
         std::vector<std::string>{"CREATED_TIME=Mon Jan  1 00:00:00 2024\n", "NOTE=" + note + "\n",
                                  "LATEST_TRANSFER=1200.bird\n", "LATEST_DOWNLOAD=1234.bird\n",
                                  "Z=a" + std::string(1, '\0') + "b\n"})
        EXPECT_NE(after.find(line), std::string::npos) << "lost: " << line.substr(0, 40);
}

TEST_F(HostileDownload, SettingsThatAreNoFileStopTheDownloadAndStayAsTheyAre) {
    fs::create_directories(ModuleDir());
    const std::string fifo = ModuleDir() + "/.settings";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    updtest::SimServer server(content.path());
    ASSERT_TRUE(server.running());
    kstest::ProcessResult r = Run(server.url(), {"-G", "-d", SERIAL});
    EXPECT_FALSE(r.timedOut) << "hung on the FIFO";
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    EXPECT_NE(r.err.find("Could not read the device settings " + fifo +
                         ": not a regular file; they are left as they are\n"),
              std::string::npos)
        << r.err;
    struct stat st;
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_FALSE(Requested(server, "bird"));
    EXPECT_EQ(Snapshot().size(), 1u);
}

} // namespace
