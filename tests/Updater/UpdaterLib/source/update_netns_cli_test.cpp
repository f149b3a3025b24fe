// -U end to end over TCP/IP: keystrand-sim --netns puts its modules in one
// private network namespace and runs the real Updater in another, joined by a
// veth pair, so discovery and the module's TCP link stay inside them. Needs
// root (network namespaces); skipped with status 77 otherwise.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "update_cli_support.h"

using namespace updcli;

namespace {

const uint32_t kSerial = 0x40F5849A;
const char* const kSerialText = "40F5849A";

class UpdateOverTcp : public UpdateCliTest {
  protected:
    UpdateOverTcp() : UpdateCliTest(true) {}
    kstest::ProcessResult Run(const std::vector<std::string>& modules,
                              const std::vector<std::string>& args,
                              const std::string& watched = "t") {
        return UpdateCliTest::Run(modules, args, watched);
    }
    void ExpectWritten(const Firmware& firmware) {
        UpdateCliTest::ExpectWritten(firmware, firmware.image);
        ExpectRecorded(kSerial, path);
    }

    const Firmware fw = MakeFirmware(kSerial, 1800);
    const std::string path = WriteFile("fw.bird", fw.File());
};

} // namespace

// The loader restarts the module's TCP link; the update finds it again over
// TCP/IP, whatever serial number the loader presents.
TEST_F(UpdateOverTcp, WritesTheFileIntoAModuleWhoseLoaderRestartsItsLink) {
    for (const char* loader : {"loader-serial=own", "loader-serial=default"}) {
        SCOPED_TRACE(loader);
        ClearStore();
        kstest::ProcessResult r = Run(
            {std::string("t serial=40F5849A model=17 address=4 tcp=0 restart-ms=100 ") + loader},
            {"-U", "-d", kSerialText, "-f", path});
        EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
        EXPECT_TRUE(Has(r.out, "Transferred 1 blocks, 1804 total bytes")) << r.out;
        EXPECT_GE(state.Value("restarts"), 1u) << "the loader restarted the link";
        ExpectWritten(fw);
    }
}

TEST_F(UpdateOverTcp, UpdatesAModuleBehindARouterReachedOverTcp) {
    kstest::ProcessResult r =
        Run({"r serial=0000A001 model=21 address=2 tcp=0",
             "t serial=40F5849A model=17 address=6 router=r restart-ms=300"},
            {"-U", "-d", kSerialText, "-r", "0000A001", "-a", "6", "-f", path});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    ExpectWritten(fw);
    EXPECT_EQ(router.options[20], std::make_pair(2u, 0u)) << "routing on, then off";
}

// A module whose port refuses the connection: the message with its cause,
// and the command fails before any transfer (no time line).
TEST_F(UpdateOverTcp, RefusedConnectionSaysSoAndFailsTheUpdate) {
    StoreModule(kSerial, "CREATED_TIME=x\n", {{1234, fw.File()}});
    const std::map<std::string, std::string> before = Snapshot(StoreRoot());
    kstest::ProcessResult r = Run({"t serial=40F5849A model=17 address=4 tcp=0 closed-port"},
                                  {"-U", "-d", kSerialText, "-b", "1234"});
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    EXPECT_EQ(Count(r.err, "Failed to connect to module [40F5849A]: "), 1u) << r.err;
    EXPECT_FALSE(Has(r.out, "Update time: ")) << r.out;
    EXPECT_EQ(state.Value("link-starts"), 0u);
    ExpectStoreAsBefore(before);
}

int main(int argc, char** argv) {
    if (geteuid() != 0 || std::system("command -v ip >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "SKIPPED: needs root and iproute2 for private network namespaces\n");
        return 77;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
