// main() of the tests that need the emulated USB bus: a test is skipped
// (exit 77) with a clear reason when it does not run under umockdev; listing
// the tests works anywhere.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "usbsim/usbbus.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS(); // the listing needs no bus
    std::string why;
    if (!kssim::UsbBus::available(&why)) {
        std::fprintf(stderr, "SKIPPED: emulated USB bus unavailable: %s\n", why.c_str());
        return 77;
    }
    return RUN_ALL_TESTS();
}
