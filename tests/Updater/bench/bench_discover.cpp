// Figures for the router walk of -D -r (not a test; scripts/bench-discover.sh
// runs it as the child of the module simulator): the real Updater's -D -r,
// then the overlapped walk and the one-by-one walk of the updater library
// over the same router, each timed, and whether both walks found the same
// records. Prints figures; asserts nothing about them. Exit status 1 when the
// walks disagree or the Updater fails.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "NetworkWalk.h"
#include "device_info_text.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs the program to its end with its output on ours; its exit status.
int Run(const std::vector<const char*>& argv) {
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const char* a : argv)
            args.push_back(const_cast<char*>(a));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<DeviceInfo> Walk(uint32_t router, bool overlapped, double* seconds) {
    NetworkWalk walk;
    walk.overlapped = overlapped;
    Clock::time_point start = Clock::now();
    std::vector<DeviceInfo> devices = DiscoverNetworkDevices(router, linkTypeNone, walk);
    *seconds = SecondsSince(start);
    return devices;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s UPDATER ROUTER_SERIAL\n", argv[0]);
        return 2;
    }
    const uint32_t router = static_cast<uint32_t>(strtoul(argv[2], nullptr, 16));
    Clock::time_point start = Clock::now();
    int status = Run({argv[1], "-D", "-r", argv[2]});
    double program = SecondsSince(start);
    fflush(stdout);

    double overlappedSeconds = 0, oneByOneSeconds = 0;
    std::vector<DeviceInfo> overlapped = Walk(router, true, &overlappedSeconds);
    std::vector<DeviceInfo> oneByOne = Walk(router, false, &oneByOneSeconds);
    bool same = kstest::DeviceInfoText(overlapped) == kstest::DeviceInfoText(oneByOne);

    printf("\nrouter walk of 126 addresses behind %08X\n", router);
    printf("  Updater -D -r (overlapped walk)   %6.1f s   exit status %d\n", program, status);
    printf("  library, overlapped walk          %6.1f s   %zu records\n", overlappedSeconds,
           overlapped.size());
    printf("  library, one-by-one walk          %6.1f s   %zu records\n", oneByOneSeconds,
           oneByOne.size());
    printf("  same records in both walks: %s\n", same ? "yes" : "NO");
    for (const std::string& key : kstest::DeviceInfoText(oneByOne))
        printf("    %s\n", key.c_str());
    return same && status == 0 ? 0 : 1;
}
