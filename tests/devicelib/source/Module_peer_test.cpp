// Module handles against an in-process peer, for answers a sound module
// does not give: no address, a wrong echo, malformed query replies.
#include <gtest/gtest.h>

#include "Module.h"
#include "SystemClass.h"
#include "objlayer_peer.h"

using namespace Quillmar::Keystrand;
using objtest::Bytes;
using objtest::FakeModule;
using objtest::RxPacket;
using objtest::wire;

TEST(ModulePeer, KeepsItsAddressWhenTheAddressQueryGoesUnanswered) {
    FakeModule peer(nullptr);
    ASSERT_TRUE(peer.valid());
    Module module(4);
    ASSERT_EQ(module.connectFromSpec(peer.spec()), qErrNone);
    EXPECT_EQ(module.getModuleAddress(), 4);
    size_t queries = 0;
    for (const RxPacket& p : peer.received())
        queries += p.address == 173 && p.data.empty();
    EXPECT_EQ(queries, 4u) << "four attempts, then the address stays";
}

TEST(ModulePeer, TurnsWrongAnswersIntoErrors) {
    FakeModule peer([](const RxPacket& p) -> Bytes {
        if (p.address == 173)
            return wire(6, {});
        if (p.data.empty())
            return {};
        if (p.data[0] == 23) // an echo that differs in its last byte
            return wire(6, {23, p.data[1], uint8_t(p.data[2] + 1)});
        if (p.data[0] == 73 && p.data[1] == 1) // has-UEI reply one byte short
            return wire(6, {73, 1, p.data[2], p.data[3], p.data[4]});
        if (p.data[0] == 73 && p.data[1] == 4) // a quantity for another class
            return wire(6, {73, 4, uint8_t(p.data[2] + 1), 5});
        return {};
    });
    ASSERT_TRUE(peer.valid());
    Module module(2);
    ASSERT_EQ(module.connectFromSpec(peer.spec()), qErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    const uint8_t echo[] = {1, 2};
    EXPECT_EQ(module.debug(echo, 2), qErrIO);
    EXPECT_EQ(module.hasUEI(3, 8, 0, 0), qErrUnknown);
    uint8_t quantity = 9;
    EXPECT_EQ(module.classQuantity(3, &quantity), qErrUnknown);
    EXPECT_EQ(quantity, 0) << "the output is cleared first";
    EXPECT_EQ(module.subClassQuantity(3, 0, &quantity), qErrTimeout);
    SystemClass sys;
    sys.init(&module, 0);
    EXPECT_EQ(sys.reset(), qErrTimeout) << "a reset without acknowledgement";

    (void)module.disconnect();
    EXPECT_EQ(module.debug(echo, 2), qErrConnection);
    uint32_t v;
    EXPECT_EQ(sys.getSerialNumber(&v), qErrConnection);
}
