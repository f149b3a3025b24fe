// Test helper, run as the child of the module simulator (keystrand-sim): asks
// the updater library's discovery and prints one line per record
// (kstest::DeviceInfoText), then how many messages discovery printed itself.
//
//   discover_probe direct TYPE              Discover_Devices(TYPE)
//   discover_probe walk ROUTER TYPE LAST    the overlapped walk, then the
//                                           one-by-one walk, of addresses 2..LAST
//
// Lines start with "direct: ", "overlapped: " or "one-by-one: ".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "NetworkWalk.h"
#include "Updater.h"
#include "device_info_text.h"
#include "display_recorder.h"

namespace {

void Print(const char* tag, const std::vector<DeviceInfo>& devices) {
    for (const std::string& line : kstest::DeviceInfoText(devices))
        printf("%s: %s\n", tag, line.c_str());
}

linkType Type(const char* text) {
    return static_cast<linkType>(strtoul(text, nullptr, 10));
}

} // namespace

int main(int argc, char** argv) {
    DisplayRecorder display;
    if (argc == 3 && strcmp(argv[1], "direct") == 0) {
        Updater updater("", "", display);
        Print("direct", updater.Discover_Devices(Type(argv[2])));
    } else if (argc == 5 && strcmp(argv[1], "walk") == 0) {
        const uint32_t router = static_cast<uint32_t>(strtoul(argv[2], nullptr, 16));
        NetworkWalk walk;
        walk.lastAddress = static_cast<uint8_t>(strtoul(argv[4], nullptr, 10));
        Print("overlapped", DiscoverNetworkDevices(router, Type(argv[3]), walk));
        walk.overlapped = false;
        Print("one-by-one", DiscoverNetworkDevices(router, Type(argv[3]), walk));
    } else {
        fprintf(stderr, "usage: %s direct TYPE | walk ROUTER TYPE LAST\n", argv[0]);
        return 2;
    }
    printf("display calls: %zu\n", display.calls.size());
    return 0;
}
