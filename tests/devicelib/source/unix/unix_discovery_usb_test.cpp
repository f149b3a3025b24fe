// USB enumeration through real libusb on the emulated bus.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "qDiscovery.h"
#include "usbsim_fixture.h"

namespace {

struct Found {
    std::vector<linkSpec> specs;
    int stopAfter = 0; // return false on this call (0: never)
    bool count = true;
};

bool cbCollect(const linkSpec* spec, bool* success, void* ref) {
    Found* f = static_cast<Found*>(ref);
    f->specs.push_back(*spec);
    *success = f->count;
    return f->stopAfter == 0 || static_cast<int>(f->specs.size()) < f->stopAfter;
}

using UsbDiscovery = UsbSimTest;

TEST_F(UsbDiscovery, EmptyBusFindsNothing) {
    Found found;
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeUSB, cbCollect, &found), 0);
    EXPECT_TRUE(found.specs.empty());
    EXPECT_EQ(qDiscovery_FindFirstModule(linkTypeUSB), nullptr);
}

TEST_F(UsbDiscovery, ReportsModulesWithEightDigitSerialsOnly) {
    struct Case {
        const char* what;
        uint16_t vendor, product;
        std::string serial;
        bool reported;
        uint32_t serialNumber, model;
    };
    const std::vector<Case> cases = {
        {"module", 0x24FF, 0x0011, "40F5849A", true, 0x40F5849A, 17},
        {"low product byte is the model", 0x24FF, 0x0104, "00000001", true, 0x00000001, 4},
        {"lower-case digits", 0x24FF, 0x0010, "abcdef12", true, 0xABCDEF12, 16},
        {"seven characters", 0x24FF, 0x0011, "40F5849", false, 0, 0},
        {"nine characters", 0x24FF, 0x0011, "40F5849AB", false, 0, 0},
        {"no serial string", 0x24FF, 0x0011, "", false, 0, 0},
        {"not hexadecimal", 0x24FF, 0x0011, "40F5849Z", false, 0, 0},
        {"product bit 15 set", 0x24FF, 0x8011, "11111111", false, 0, 0},
        {"another vendor", 0x1234, 0x0011, "22222222", false, 0, 0},
    };
    for (const Case& c : cases) {
        kssim::UsbDeviceConfig config;
        config.vendorId = c.vendor;
        config.productId = c.product;
        config.serial = c.serial;
        ASSERT_NE(bus_->plug(config), nullptr) << c.what;
    }
    Found found;
    uint8_t count = qDiscovery_EnumerateModules(linkTypeUSB, cbCollect, &found);
    std::map<uint32_t, linkSpec> bySerial;
    for (const linkSpec& s : found.specs)
        bySerial[s.serialNumber] = s;
    EXPECT_EQ(bySerial.size(), found.specs.size()) << "each module once";
    size_t reported = 0;
    for (const Case& c : cases) {
        if (!c.reported)
            continue;
        SCOPED_TRACE(c.what);
        reported++;
        auto it = bySerial.find(c.serialNumber);
        ASSERT_NE(it, bySerial.end());
        const linkSpec& s = it->second;
        EXPECT_EQ(s.transport, linkTypeUSB);
        EXPECT_EQ(s.modelCode, c.model);
        EXPECT_EQ(s.link.usb.usbSerial, c.serialNumber);
        EXPECT_EQ(s.moduleAddress, 0u);
        EXPECT_EQ(s.routerAddress, 0u);
        EXPECT_EQ(s.routerSerialNumber, 0u);
    }
    EXPECT_EQ(found.specs.size(), reported);
    EXPECT_EQ(count, reported);
}

TEST_F(UsbDiscovery, CallbackStopsTheEnumerationAndDecidesTheCount) {
    plugModule("0000000A");
    plugModule("0000000B");
    plugModule("0000000C");
    for (bool count : {true, false}) {
        SCOPED_TRACE(count ? "counted" : "not counted");
        Found first;
        first.stopAfter = 1;
        first.count = count;
        EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeUSB, cbCollect, &first), count ? 1 : 0);
        EXPECT_EQ(first.specs.size(), 1u);
    }
}

TEST_F(UsbDiscovery, SearchesReturnOwnedRecords) {
    plugModule("00000000", 0x0011);
    plugModule("40F5849A", 0x0011);
    plugModule("12345678", 0x0016);

    linkSpec* spec = qDiscovery_FindModule(linkTypeUSB, 0x12345678);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->transport, linkTypeUSB);
    EXPECT_EQ(spec->serialNumber, 0x12345678u);
    EXPECT_EQ(spec->modelCode, 22u);
    EXPECT_EQ(spec->link.usb.usbSerial, 0x12345678u);
    (void)qLinkSpec_Destroy(&spec);

    EXPECT_EQ(qDiscovery_FindModule(linkTypeUSB, 0x0BADF00D), nullptr);
    EXPECT_EQ(qDiscovery_FindModule(linkTypeSerial, 0x12345678), nullptr)
        << "serial lines are never enumerated";

    spec = qDiscovery_FindFirstModule(linkTypeUSB);
    ASSERT_NE(spec, nullptr);
    EXPECT_NE(spec->serialNumber, 0u) << "serial number 0 is never the first module";
    (void)qLinkSpec_Destroy(&spec);
}

} // namespace
