// What the user sees when -D, -B or -G cannot do its job: one table, each row
// a fault made with the simulators' switches (or no server at all), the real
// Updater run against it with -X off. Each row checks the exit status, the
// lines the user must see (on either stream) and that the store is, byte for
// byte, what it was before. Needs root and iproute2 (private network
// namespaces for the TCP/IP rows); skipped (77) otherwise.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "discover_cli_support.h"
#include "download_store_fixture.h"
#include "updateserver_harness.h"

using namespace discovertest;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> USB = {};
const std::vector<std::string> NETNS = {"--netns", "--usb"};
using downloadtest::SERIAL;
// A build number whose every byte matters: a reply read at the wrong place
// or with the wrong length cannot give it back by chance.
const std::string BUILD_BYTES = "16909060"; // 01 02 03 04

// Every file under dir, by path relative to it, with its bytes.
std::map<std::string, std::string> StoreBytes(const std::string& dir) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string rel = fs::relative(it->path(), dir, ec).string();
        std::string bytes;
        if (it->is_regular_file())
            kstest::ReadFile(it->path().string(), bytes);
        files[rel + (it->is_directory() ? "/" : "")] = bytes;
    }
    return files;
}

size_t LinesStartingWith(const std::string& text, const std::string& start) {
    size_t count = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(at, start.size(), start) == 0)
            ++count;
        at = end + 1;
    }
    return count;
}

struct Row {
    const char* what;
    // The simulator bench ({} for none: the Updater runs alone) and its
    // modules; the Updater's arguments, "URL" replaced by the server's.
    std::vector<std::string> options;
    std::vector<std::string> modules;
    std::vector<std::string> args;
    bool serverUp;
    int status;
    // Each of these starts exactly one line of what the user sees.
    std::vector<std::string> lines;
};

// The private home, an empty store and the server's content for 40F5849A.
class DiscoverDownloadFaults : public downloadtest::StoreTest {
  protected:
    // The Updater's output with -X off: standard output, then standard error.
    std::string Run(const Row& row, int& status) {
        updtest::SimServer server(content.path());
        std::string url = row.serverUp ? server.url() : updtest::ClosedPortUrl();
        std::vector<std::string> args;
        for (const std::string& a : row.args)
            args.push_back(a == "URL" ? url : a);
        if (row.modules.empty()) {
            args.insert(args.begin(), kstest::UpdaterPath());
            kstest::ProcessResult r = kstest::RunProcess(args, 60000);
            status = r.timedOut ? -1 : r.exitStatus;
            return r.out + r.err;
        }
        // A row may run a script on the bench; the Updater is its $0.
        if (args[0] == "sh")
            args.insert(args.begin() + 3, kstest::UpdaterPath());
        else
            args.insert(args.begin(), kstest::UpdaterPath());
        BenchRun run = RunOnBench(row.options, row.modules, args);
        status = run.process.timedOut ? -1 : run.process.exitStatus;
        return run.out + run.err;
    }

    const std::string store = kstest::PrivateStoreRoot();
};

TEST_F(DiscoverDownloadFaults, EachFaultExitsAsItShouldSaysWhyAndLeavesTheStoreAlone) {
    const std::string router = "Searching for Keystrand Network devices connected to ";
    const Row rows[] = {
        {"a module another program holds",
         USB,
         {"a serial=40F5849A model=17 address=4 usb build=" + BUILD_BYTES,
          "c serial=0000C0DE model=22 address=8 usb busy"},
         {"-D"},
         false,
         0,
         {"    0000C0DE  " + BUSY_USB,
          "    40F5849A  04       00      Tessera        1.0.1 (" + BUILD_BYTES + ")"}},
        // As uid 4242 (no password entry: HOME, a scratch directory, is its
        // home), who may not open the bus's device nodes (root's, 0644).
        {"a module this user may not open is listed with the fix",
         USB,
         {"a serial=40F5849A model=17 address=4 usb"},
         {"sh", "-c",
          "chmod 0777 \"$UMOCKDEV_DIR\" && chmod -R a+rwX \"$UMOCKDEV_DIR/ioctl\" || exit 97\n"
          "h=$(mktemp -d) && chmod 0777 \"$h\" || exit 97\n"
          "setpriv --reuid=4242 --regid=4242 --clear-groups env HOME=\"$h\" \"$0\" -D\n"
          "s=$?; rm -rf \"$h\"; exit $s"},
         false,
         0,
         {"    40F5849A  [Error (12): permission denied (install the udev rules "
          "70-keystrand.rules and plug the module in again, or run as root)]"}},
        {"a build reply a byte short is no build number",
         USB,
         {"d serial=0000D0D0 model=17 address=10 usb build=" + BUILD_BYTES + " build-reply=5"},
         {"-D"},
         false,
         0,
         {"    0000D0D0  0A       00      Tessera        1.0.1 (0)"}},
        {"a router that refuses to route",
         USB,
         {"r serial=40F5849A model=21 address=2 usb option-error=20:12",
          "c serial=40F50001 address=4 router=r"},
         {"-D", "-r", SERIAL},
         false,
         1,
         {router + SERIAL, "Router 40F5849A refused to route to its network (permission-denied)"}},
        {"a router that is not there",
         USB,
         {"r serial=40F5849A model=21 address=2 usb"},
         {"-D", "-r", "0BADBEEF", "-t", "USB"},
         false,
         1,
         {"Router 0BADBEEF was not found on USB"}},
        {"a router that passes requests on slowly: each module asked again, each reply its own",
         USB,
         {"r serial=40F5849A model=21 address=2 usb forward-ms=100",
          "c1 serial=40F50001 model=17 address=4 router=r build=" + BUILD_BYTES,
          "c2 serial=40F50002 model=22 address=40 router=r"},
         {"-D", "-r", SERIAL},
         false,
         0,
         {"    40F5849A  02       00      Crossway       1.0.1 (1)",
          "    40F50001  04       02      Tessera        1.0.1 (" + BUILD_BYTES + ")",
          "    40F50002  28       02      Gauge          1.0.1 (1)"}},
        {"a module on the network that refuses the connection",
         NETNS,
         {"a serial=40F50010 model=17 address=4 tcp=0 closed-port"},
         {"-D", "-t", "TCPIP"},
         false,
         0,
         {"    40F50010  [Error (25): connection refused] [10.77.0.2]"}},
        {"a router on the network that refuses the connection",
         NETNS,
         {"r serial=40F5849A model=21 address=2 tcp=0 closed-port",
          "c serial=40F50001 address=4 router=r"},
         {"-D", "-r", SERIAL, "-t", "TCPIP"},
         false,
         1,
         {"Could not connect to router 40F5849A: connection refused"}},
        {"a host with two addresses on the modules' network lists each module once",
         NETNS,
         {"a serial=40F50011 model=17 address=4 tcp=0 build=" + BUILD_BYTES},
         {"sh", "-c", "ip addr add 10.77.0.3/24 dev ksv0 && exec \"$0\" -D -t TCPIP"},
         false,
         0,
         {"    40F50011  04       00      Tessera        1.0.1 (" + BUILD_BYTES + ") [10.77.0.2]"}},
        {"-B with the server down",
         {},
         {},
         {"-B", "-d", SERIAL, "-u", "URL"},
         false,
         1,
         {"Server request failed for http://127.0.0.1:"}},
        {"-G with the server down",
         {},
         {},
         {"-G", "-d", SERIAL, "-u", "URL"},
         false,
         1,
         {"Server request failed for http://127.0.0.1:"}},
        {"-U with nothing stored and the server down says the server could not be asked",
         {},
         {},
         {"-U", "-d", SERIAL, "-u", "URL"},
         false,
         1,
         {"Could not find valid build for this device. The update server http://127.0.0.1:"}},
        {"-G of a build the server does not list: no new store entry left behind",
         {},
         {},
         {"-G", "-d", SERIAL, "-b", "999", "-u", "URL"},
         true,
         1,
         {"No valid build 999"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const std::map<std::string, std::string> before = StoreBytes(store);
        int status = 0;
        std::string seen = Run(row, status);
        EXPECT_EQ(status, row.status) << seen;
        for (const std::string& line : row.lines)
            EXPECT_EQ(LinesStartingWith(seen, line), 1u) << line << "\n" << seen;
        EXPECT_EQ(StoreBytes(store), before) << "the store changed";
    }
}

} // namespace

int main(int argc, char** argv) {
    return discovertest::NetnsTestMain(argc, argv);
}
