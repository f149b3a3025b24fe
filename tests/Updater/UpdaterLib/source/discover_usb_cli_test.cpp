// -D end to end over USB: the real Updater runs as the child of the module
// simulator on its emulated USB bus and its output is compared line for line;
// the simulator's report shows what happened to every module.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "discover_cli_support.h"
#include "tempdir.h"

using namespace discovertest;

namespace {

const std::string SEARCHING = "Searching for Keystrand devices\n";
const std::string ROUTER_40F5849A =
    "Searching for Keystrand Network devices connected to 40F5849A\n";

// Four modules on the bus: two plain ones, one whose build reply is a byte
// short and one that another program holds (listed with qErrBusy, the cause
// its open returns). Each is listed in the order the bus enumerates them (as
// a plain libusb listing sees it).
TEST(DiscoverUsb, ListsEveryModuleInBusOrderWithBuildVersionAndAddresses) {
    kstest::TempDir dir("ks-discover");
    const std::string listing = dir.path() + "/bus.txt";
    const std::map<std::string, std::string> rows = {
        {"40F5849A", "    40F5849A  04       00      Tessera        1.2.3 (1234)\n"},
        {"0000BEEF", "    0000BEEF  06       00      Gauge          1.0.1 (77)\n"},
        {"0000C0DE", "    0000C0DE  " + BUSY_USB + "\n"},
        {"0000D0D0", "    0000D0D0  0A       00      Tessera        2.0.0 (0)\n"},
    };
    BenchRun run = RunOnBench(
        {},
        {"a serial=40F5849A model=17 address=4 usb version=1.2.3 build=1234",
         "b serial=0000BEEF model=22 address=6 usb build=77",
         "c serial=0000C0DE model=22 address=8 usb busy",
         "d serial=0000D0D0 model=17 address=10 usb version=2.0.0 build=99 build-reply=5"},
        {"sh", "-c", "\"$1\" \"$2\" && exec \"$3\" -D", "sh", LIST_TOOL, listing,
         kstest::UpdaterPath()});

    std::istringstream bus(kstest::ReadFile(listing));
    std::string want = BANNER + SEARCHING + "Discovered Devices: (USB)\n" + USB_HEAD;
    std::string ids, serial;
    while (bus >> ids >> serial)
        if (ids != "1d6b:0002") // the root hub
            want += rows.at(serial);
    ExpectOutput(run, want);
    for (const char* name : {"a", "b", "d"})
        ExpectLinksClosed(run, name, 1);
    EXPECT_EQ(ReportValue(run, "c", "connections"), "0");
    EXPECT_EQ(ReportValue(run, "d", "requests"), "4") << "build, version, module, router";
}

// The walk behind a router on USB: the router itself at address 2, a module
// at the last address 252, and one that answers its serial number but never
// its model (its record carries the time-out, 18).
TEST(DiscoverUsb, RouterWalkListsTheRouterAndItsNetworkThenStopsRouting) {
    BenchRun run =
        RunUpdaterOnBench({},
                          {"r serial=40F5849A model=21 address=2 usb forward-ms=5",
                           "c1 serial=40F50001 model=17 address=4 router=r version=1.1.0 "
                           "build=11",
                           "c2 serial=40F50002 model=22 address=6 router=r silent=8",
                           "c3 serial=0000FC00 model=17 address=252 router=r"},
                          {"-D", "-r", "40F5849A"});
    ExpectOutput(run, BANNER + ROUTER_40F5849A + "Discovered Devices: (USB)\n" + USB_HEAD +
                          "    40F5849A  02       00      Crossway       1.0.1 (1)\n"
                          "    40F50001  04       02      Tessera        1.1.0 (11)\n"
                          "    40F50002  [Error (18): did not answer]\n"
                          "    0000FC00  FC       02      Tessera        1.0.1 (1)\n");
    EXPECT_EQ(ReportValue(run, "r", "routing"), "off");
    EXPECT_NE(ReportOf(run, "r").find("options set: 20x2"), std::string::npos)
        << "routing switched on once and off once\n"
        << ReportOf(run, "r");
    EXPECT_LE(std::stoi("0" + ReportValue(run, "r", "forward-peak")), 16);
    ExpectLinksClosed(run, "r", 1);
}

// A router that cannot be walked says which way it failed, exits 1,
// promptly, lists nothing, leaves routing off and nothing open.
TEST(DiscoverUsb, RouterNotFoundOrRefusingToRouteSaysWhichAndFails) {
    struct Case {
        const char* router;
        std::vector<std::string> args;
        std::string message;
        int opened;
    };
    const Case cases[] = {
        {"r serial=40F5849A address=2 usb option-error=20:12",
         {"-D", "-r", "40F5849A"},
         "Router 40F5849A refused to route to its network (permission-denied)\n",
         1},
        {"r serial=40F5849A address=2 usb silent=20",
         {"-D", "-r", "40F5849A", "-t", "USB"},
         "Router 40F5849A did not answer the request to route\n",
         1},
        {"r serial=40F5849A address=2 usb",
         {"-D", "-r", "0BADBEEF", "-t", "USB"},
         "Router 0BADBEEF was not found on USB\n",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.router);
        BenchRun run =
            RunUpdaterOnBench({}, {c.router, "c serial=40F50001 address=4 router=r"}, c.args);
        ASSERT_FALSE(run.process.timedOut);
        EXPECT_EQ(run.process.exitStatus, 1);
        EXPECT_EQ(run.out, BANNER + "Searching for Keystrand Network devices connected to " +
                               c.args[2] + "\n");
        EXPECT_EQ(run.err, c.message);
        ExpectLinksClosed(run, "r", c.opened);
        EXPECT_EQ(ReportValue(run, "r", "routing"), "off");
        EXPECT_EQ(ReportValue(run, "c", "requests"), "0");
        EXPECT_LT(run.process.seconds, 30.0);
    }
}

// The overlapped walk and the one-by-one walk of the updater library over
// addresses 2..20 find the same records: the router's own address in range, a
// module that answers its serial number but never its model, a slow module,
// empty addresses and a module beyond the range. The router passes requests
// on with a delay and is never handed more than the walk's bound at once.
TEST(DiscoverUsb, BothWalksFindTheSameRecordsBehindARouter) {
    BenchRun run =
        RunOnBench({},
                   {"ru serial=0000C000 model=21 address=4 usb forward-ms=5",
                    "u6 serial=0000C006 model=17 address=6 router=ru build=6 version=1.6.0",
                    "u10 serial=0000C010 model=22 address=10 router=ru silent=8",
                    "u16 serial=0000C016 model=17 address=16 router=ru slow-ms=500",
                    "u30 serial=0000C030 model=17 address=30 router=ru"},
                   {PROBE, "walk", "0000C000", "0", "20"});
    const std::vector<std::string> want = {
        "0000C000 transport=1 module=4 router=0 routerSerial=0000C000 model=21 'Crossway' build=1 "
        "version=1.0.1 error=0 usb=49152",
        "0000C006 transport=1 module=6 router=4 routerSerial=0000C000 model=17 'Tessera' build=6 "
        "version=1.6.0 error=0 usb=49152",
        "0000C010 transport=1 module=10 router=4 routerSerial=0000C000 model=0 '' build=1 "
        "version=1.0.1 error=18 usb=49152",
        "0000C016 transport=1 module=16 router=4 routerSerial=0000C000 model=17 'Tessera' build=1 "
        "version=1.0.1 error=0 usb=49152",
    };
    ASSERT_FALSE(run.process.timedOut);
    EXPECT_EQ(run.process.exitStatus, 0) << run.err;
    EXPECT_EQ(Tagged(run, "overlapped"), want);
    EXPECT_EQ(Tagged(run, "one-by-one"), want);
    EXPECT_NE(run.out.find("display calls: 0\n"), std::string::npos) << run.out;
    EXPECT_EQ(ReportValue(run, "ru", "routing"), "off");
    EXPECT_NE(ReportOf(run, "ru").find("options set: 20x4"), std::string::npos)
        << "routing on and off for each walk\n"
        << ReportOf(run, "ru");
    int peak = std::stoi("0" + ReportValue(run, "ru", "forward-peak"));
    EXPECT_GE(peak, 2) << "the overlapped walk keeps several questions waiting";
    EXPECT_LE(peak, 16);
    ExpectLinksClosed(run, "ru", 2);
    EXPECT_EQ(ReportValue(run, "u30", "requests"), "0");
}

// An empty bus (not this machine's): nothing found is an answer, exit 0; the
// recovery transport discovers over USB.
TEST(DiscoverUsb, EmptyBusListsNoDevices) {
    for (const char* transport : {"USB", "RECOVER"}) {
        SCOPED_TRACE(transport);
        BenchRun run = RunUpdaterOnBench({"--usb"}, {"t serial=1 tcp=0"}, {"-D", "-t", transport});
        ExpectOutput(run,
                     BANNER + SEARCHING + "Discovered Devices: (USB)\n    No devices found.\n");
    }
}

} // namespace
