// Discovery calls that need no bus or network: the record helpers and the
// transports that discovery does not enumerate.
#include <gtest/gtest.h>
#include <string.h>

#include "qDiscovery.h"

namespace {

int gCalls = 0;

bool cbCount(const linkSpec*, bool* success, void*) {
    gCalls++;
    *success = true;
    return true;
}

TEST(LinkSpec, CreateCopyAndDestroyOwnTheirRecords) {
    linkSpec* spec = qLinkSpec_Create(linkTypeSerial);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->transport, linkTypeSerial);
    spec->serialNumber = 0x40F5849A;
    spec->link.serial.baudRate = 115200;
    strcpy(spec->link.serial.portName, "/dev/ttyUSB0");

    linkSpec* copy = qLinkSpec_Copy(*spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, spec);
    EXPECT_EQ(memcmp(copy, spec, sizeof *spec), 0);
    spec->link.serial.portName[5] = 'X';
    EXPECT_STREQ(copy->link.serial.portName, "/dev/ttyUSB0") << "the copy must not share storage";

    EXPECT_EQ(qLinkSpec_Destroy(&spec), qErrNone);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(qLinkSpec_Destroy(&spec), qErrParam);
    EXPECT_EQ(qLinkSpec_Destroy(nullptr), qErrParam);
    EXPECT_EQ(qLinkSpec_Destroy(&copy), qErrNone);
}

TEST(Discovery, FindsNothingOverTransportsItDoesNotEnumerate) {
    for (linkType type : {linkTypeNone, linkTypeSerial, static_cast<linkType>(7)}) {
        SCOPED_TRACE(static_cast<int>(type));
        gCalls = 0;
        EXPECT_EQ(qDiscovery_EnumerateModules(type, cbCount, nullptr), 0);
        EXPECT_EQ(gCalls, 0);
        EXPECT_EQ(qDiscovery_FindModule(type, 0x40F5849A), nullptr);
        EXPECT_EQ(qDiscovery_FindFirstModule(type), nullptr);
    }
}

TEST(Discovery, RefusesANullCallback) {
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeSerial, nullptr, nullptr), 0);
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeUSB, nullptr, nullptr), 0);
}

} // namespace
