// -D end to end over TCP/IP: the real Updater runs as the child of the module
// simulator with --netns (modules in one private network namespace, the
// Updater in another, joined by a veth pair) and --usb (an emulated, empty or
// nearly empty USB bus instead of this machine's). Needs root and iproute2;
// skipped (77) otherwise.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "discover_cli_support.h"

using namespace discovertest;

namespace {

const std::vector<std::string> NETNS = {"--netns", "--usb"};

// The rows of a table in their order of appearance, sorted: UDP replies may
// come back in any order.
std::string SortedRows(const std::string& rows) {
    std::istringstream in(rows);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());
    std::string sorted;
    for (const std::string& line : lines)
        sorted += line;
    return sorted;
}

TEST(DiscoverNetwork, TcpIpListsEachModuleWithItsAddressColumn) {
    BenchRun run =
        RunUpdaterOnBench(NETNS,
                          {"a serial=40F5849A model=17 address=4 tcp=0 version=1.2.3 build=5",
                           "b serial=0000BEEF model=22 address=6 tcp=0 build=77"},
                          {"-D", "-t", "TCPIP"});
    const std::string head =
        BANNER + "Searching for Keystrand devices\nDiscovered Devices: (TCPIP)\n" + IP_HEAD;
    ASSERT_EQ(run.out.substr(0, head.size()), head);
    EXPECT_EQ(SortedRows(run.out.substr(head.size())),
              "    0000BEEF  06       00      Gauge          1.0.1 (77) [10.77.0.2]\n"
              "    40F5849A  04       00      Tessera        1.2.3 (5) [10.77.0.2]\n");
    ExpectOutput(run, run.out);
    ExpectLinksClosed(run, "a", 1);
    ExpectLinksClosed(run, "b", 1);
}

// The router is on TCP/IP while another module sits on USB: the search for
// the router's transport goes on to TCP/IP. A module that never answers its
// model shows the time-out in its row, as on USB (asked twice: once in the
// walk, once alone).
TEST(DiscoverNetwork, RouterWalkOverTcpIpWithAnotherModuleOnUsb) {
    BenchRun run = RunUpdaterOnBench(NETNS,
                                     {"r serial=40F5849A model=21 address=2 tcp=0 forward-ms=5",
                                      "c1 serial=40F50001 model=17 address=4 router=r build=11",
                                      "c2 serial=40F50002 model=22 address=6 router=r silent=8",
                                      "u serial=0000BEEF model=22 address=4 usb"},
                                     {"-D", "-r", "40F5849A"});
    ExpectOutput(run, BANNER + "Searching for Keystrand Network devices connected to 40F5849A\n" +
                          "Discovered Devices: (TCPIP)\n" + IP_HEAD +
                          "    40F5849A  02       00      Crossway       1.0.1 (1) [10.77.0.2]\n"
                          "    40F50001  04       02      Tessera        1.0.1 (11) [10.77.0.2]\n"
                          "    40F50002  [Error (18): did not answer] [10.77.0.2]\n");
    EXPECT_EQ(ReportValue(run, "r", "routing"), "off");
    EXPECT_NE(ReportOf(run, "r").find("options set: 20x2"), std::string::npos)
        << ReportOf(run, "r");
    ExpectLinksClosed(run, "r", 1);
    EXPECT_EQ(ReportValue(run, "u", "connections"), "0");
}

// Discover_Devices(0) of the updater library: USB modules first, then TCP/IP
// ones, each opened, asked and closed again, also the one whose version
// question goes unanswered (its record ends there with the time-out, 18).
TEST(DiscoverNetwork, DirectDiscoveryListsUsbModulesFirstThenTcpIpEachAskedAndClosed) {
    BenchRun run =
        RunOnBench(NETNS,
                   {"u1 serial=0000A001 model=17 address=4 usb version=1.2.3 build=101",
                    "u2 serial=0000A002 model=22 address=6 usb build=102 silent=7",
                    "t1 serial=0000B001 model=21 address=8 tcp=0 version=2.0.5 build=201"},
                   {PROBE, "direct", "0"});
    std::vector<std::string> got = Tagged(run, "direct");
    ASSERT_EQ(got.size(), 3u) << run.out << run.err;
    std::sort(got.begin(), got.begin() + 2); // the two USB modules as the bus lists them
    EXPECT_EQ(got, (std::vector<std::string>{
                       "0000A001 transport=1 module=4 router=0 routerSerial=00000000 model=17 "
                       "'Tessera' build=101 version=1.2.3 error=0 usb=40961",
                       "0000A002 transport=1 module=0 router=0 routerSerial=00000000 model=22 "
                       "'Gauge' build=102 version=0.0.0 error=18 usb=40962",
                       "0000B001 transport=2 module=8 router=0 routerSerial=0000B001 model=21 "
                       "'Crossway' build=201 version=2.0.5 error=0 at " +
                           TcpEndpoint(run, "t1"),
                   }));
    EXPECT_NE(run.out.find("display calls: 0\n"), std::string::npos) << run.out;
    for (const char* name : {"u1", "u2", "t1"})
        ExpectLinksClosed(run, name, 1);
}

// Both walks of the updater library over a router on TCP/IP, found there
// while another module sits on USB.
TEST(DiscoverNetwork, BothWalksFindTheSameRecordsBehindATcpIpRouter) {
    BenchRun run = RunOnBench(NETNS,
                              {"rt serial=0000D000 model=21 address=2 tcp=0 forward-ms=5",
                               "t8 serial=0000D008 model=22 address=8 router=rt build=8",
                               "u serial=0000BEEF model=22 address=4 usb"},
                              {PROBE, "walk", "0000D000", "0", "20"});
    const std::string at = " at " + TcpEndpoint(run, "rt");
    const std::vector<std::string> want = {
        "0000D000 transport=2 module=2 router=0 routerSerial=0000D000 model=21 'Crossway' build=1 "
        "version=1.0.1 error=0" +
            at,
        "0000D008 transport=2 module=8 router=2 routerSerial=0000D000 model=22 'Gauge' build=8 "
        "version=1.0.1 error=0" +
            at,
    };
    EXPECT_EQ(Tagged(run, "overlapped"), want) << run.err;
    EXPECT_EQ(Tagged(run, "one-by-one"), want);
    EXPECT_EQ(ReportValue(run, "rt", "routing"), "off");
    ExpectLinksClosed(run, "rt", 2);
}

// A router that cannot be walked says which way it failed and exits 1.
TEST(DiscoverNetwork, RouterNotFoundRefusedOrRefusingToRouteSaysWhichAndFails) {
    struct Case {
        std::vector<std::string> args;
        std::string router;
        std::string message;
        int opened;
    };
    const Case cases[] = {
        // searched on USB and on the network, found nowhere
        {{"-D", "-r", "0BADBEEF"},
         "r serial=40F5849A address=2 tcp=0",
         "Router 0BADBEEF was not found on USB or the network\n",
         0},
        {{"-D", "-r", "40F5849A", "-t", "TCPIP"},
         "r serial=40F5849A address=2 tcp=0 option-error=20:12",
         "Router 40F5849A refused to route to its network (permission-denied)\n",
         1},
        {{"-D", "-r", "40F5849A", "-t", "TCPIP"},
         "r serial=40F5849A address=2 tcp=0 closed-port",
         "Could not connect to router 40F5849A: connection refused\n",
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.router);
        BenchRun run =
            RunUpdaterOnBench(NETNS, {c.router, "c serial=40F50001 address=4 router=r"}, c.args);
        ASSERT_FALSE(run.process.timedOut);
        EXPECT_EQ(run.process.exitStatus, 1);
        EXPECT_EQ(run.out, BANNER + "Searching for Keystrand Network devices connected to " +
                               c.args[2] + "\n");
        EXPECT_EQ(run.err, c.message);
        ExpectLinksClosed(run, "r", c.opened);
        EXPECT_EQ(ReportValue(run, "c", "requests"), "0");
        EXPECT_LT(run.process.seconds, 30.0);
    }
}

} // namespace

int main(int argc, char** argv) {
    return NetnsTestMain(argc, argv);
}
