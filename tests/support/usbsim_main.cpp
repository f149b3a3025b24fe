// main() of the tests that need the emulated USB bus: the whole program is
// skipped (exit 77) with a clear reason when it does not run under umockdev.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "usbsim/usbbus.h"

int main(int argc, char** argv) {
    std::string why;
    if (!kssim::UsbBus::available(&why)) {
        std::fprintf(stderr, "SKIPPED: emulated USB bus unavailable: %s\n", why.c_str());
        return 77;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
