// The link object against an in-process peer that records every byte sent
// and answers with scripted bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Link.h"
#include "bytes.h"
#include "objlayer_peer.h"
#include "qLink.h"

using namespace Quillmar::Keystrand;
using objtest::Bytes;
using objtest::FakeModule;
using objtest::RxPacket;
using objtest::wire;

namespace {

// A Link connected to a peer that answers nothing unless told to.
struct PeerLink : ::testing::Test {
    FakeModule peer{nullptr};
    Link link{"test"};
    void SetUp() override {
        ASSERT_TRUE(peer.valid());
        ASSERT_EQ(link.setLinkSpecifier(peer.spec()), qErrNone);
        ASSERT_EQ(link.connect(), qErrNone);
    }
    // Everything the peer got after the link start.
    std::vector<Bytes> sentData(size_t expected) {
        peer.waitReceived(expected, 1000);
        std::vector<Bytes> out;
        for (const RxPacket& p : peer.received())
            out.push_back(p.data);
        return out;
    }
};

uei message(uint8_t module, ueiType type) {
    uei m{};
    m.module = module;
    m.command = 3;
    m.option = 0x87;
    m.specifier = 0x20;
    m.type = type;
    return m;
}

} // namespace

TEST(LinkOffline, ReportsMissingSpecifierLinkAndConnection) {
    Link link("offline");
    EXPECT_STREQ(link.getName(), "offline");
    linkSpec spec;
    EXPECT_EQ(link.getLinkSpecifier(&spec), qErrNotFound);
    EXPECT_EQ(link.connect(), qErrConfiguration);
    EXPECT_EQ(link.getStatus(), 8);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.disconnect(), qErrNone);
    EXPECT_EQ(link.reset(), qErrNone);
    uint8_t address = 99;
    EXPECT_EQ(link.getModuleAddress(&address), qErrNotReady);
    EXPECT_EQ(address, 0);
    EXPECT_EQ(link.sendPacket(2, 1, 0, nullptr), qErrConnection);
    EXPECT_EQ(link.sendUEI(message(2, ueiTypeVoid)), qErrConnection);
    EXPECT_EQ(link.enablePacketLog("/nonexistent/x"), qErrConfiguration);
    EXPECT_EQ(link.disablePacketLog(), qErrConfiguration);
    EXPECT_EQ(link.enableStream(2, 3, 1, 0, true), qErrConfiguration);
    EXPECT_TRUE(link.filterActiveStreamKeys(255, 255, 255, 255, 255, true).empty())
        << "a subscription that could not start is not kept";
    EXPECT_EQ(link.storeSlotSize(2, 0, 0, nullptr), qErrConnection);
}

TEST(LinkOffline, KeepsACopyOfNameAndSpecifier) {
    std::string longName(1500, 'n');
    Link link(longName.c_str());
    EXPECT_EQ(strlen(link.getName()), 1024u) << "names are cut at 1024 characters";
    Link unnamed(nullptr);
    EXPECT_EQ(unnamed.getName(), nullptr);

    linkSpec spec{};
    spec.transport = linkTypeTCPIP;
    spec.serialNumber = 0x40F5849A;
    Link withSpec(spec, "x");
    spec.serialNumber = 1; // the Link holds its own copy
    linkSpec out{};
    ASSERT_EQ(withSpec.getLinkSpecifier(&out), qErrNone);
    EXPECT_EQ(out.serialNumber, 0x40F5849Au);
    EXPECT_EQ(withSpec.getLinkSpecifier(nullptr), qErrParam);
}

TEST(LinkOffline, ConnectToNothingFailsAndTransportWithoutCreatorIsRefused) {
    linkSpec none{};
    none.transport = linkTypeNone;
    Link a(none, "none");
    EXPECT_EQ(a.connect(), qErrConnection);

    linkSpec serial{};
    serial.transport = linkTypeSerial;
    serial.link.serial.baudRate = 14400; // not a rate the engine offers
    snprintf(serial.link.serial.portName, sizeof serial.link.serial.portName, "/dev/null");
    Link b(serial, "serial");
    EXPECT_EQ(b.connect(), qErrConnection);
}

TEST_F(PeerLink, IsConnectedAndRefusesANewSpecifierMeanwhile) {
    EXPECT_TRUE(link.isConnected());
    EXPECT_EQ(link.getStatus(), 2);
    EXPECT_EQ(link.connect(), qErrNone) << "connect on an open link reports its state";
    EXPECT_EQ(link.setLinkSpecifier(peer.spec()), qErrBusy);
    EXPECT_EQ(link.disconnect(), qErrNone);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.getStatus(), 8);
    EXPECT_EQ(link.setLinkSpecifier(peer.spec()), qErrNone);
    EXPECT_EQ(link.connect(), qErrNone) << "a new engine link from the stored specifier";
}

TEST_F(PeerLink, SendsEachUEIFormWithTheExactDataBytes) {
    struct Case {
        const char* what;
        ueiType type;
        uint32_t value;
        bool sub;
        Bytes data;
    } cases[] = {
        {"void", ueiTypeVoid, 0, false, {3, 0x87, 0x20}},
        {"byte", ueiTypeByte, 0xAB, false, {3, 0x87, 0x20, 0xAB}},
        {"short", ueiTypeShort, 0x1234, false, {3, 0x87, 0x20, 0x12, 0x34}},
        {"int", ueiTypeInt, 0x12345678, false, {3, 0x87, 0x20, 0x12, 0x34, 0x56, 0x78}},
        {"void+sub", ueiTypeVoid, 0, true, {3, 0x87, 0x20, 9}},
        {"byte+sub", ueiTypeByte, 0xAB, true, {3, 0x87, 0x20, 9, 0xAB}},
        {"short+sub", ueiTypeShort, 0xFFFE, true, {3, 0x87, 0x20, 9, 0xFF, 0xFE}},
        {"int+sub", ueiTypeInt, 0xA1B2C3D4, true, {3, 0x87, 0x20, 9, 0xA1, 0xB2, 0xC3, 0xD4}},
    };
    size_t n = 0;
    for (const Case& c : cases) {
        uei m = message(4, c.type);
        if (c.type == ueiTypeByte)
            m.value.byteVal = uint8_t(c.value);
        else if (c.type == ueiTypeShort)
            m.value.shortVal = uint16_t(c.value);
        else
            m.value.intVal = c.value;
        ASSERT_EQ(c.sub ? link.sendUEI(m, 9) : link.sendUEI(m), qErrNone) << c.what;
        ++n;
    }
    std::vector<Bytes> sent = sentData(n);
    ASSERT_EQ(sent.size(), n);
    for (size_t i = 0; i < n; ++i)
        EXPECT_BYTES(cases[i].data, sent[i]) << cases[i].what;
    for (const RxPacket& p : peer.received())
        EXPECT_EQ(p.address, 4);
}

TEST_F(PeerLink, SplitsByteValuesIntoChunksWithSequenceBytes) {
    struct Case {
        size_t length;
        std::vector<size_t> chunks;
        Bytes sequences;
    } cases[] = {
        {0, {0}, {0x00}},
        {24, {24}, {0x00}},
        {25, {24, 1}, {0x80, 0x01}},
        {49, {24, 24, 1}, {0x80, 0x81, 0x02}},
    };
    for (const Case& c : cases) {
        peer.clear();
        Bytes value(c.length);
        for (size_t i = 0; i < value.size(); ++i)
            value[i] = uint8_t(i + 1);
        uei m = message(4, ueiTypeBytes);
        m.value.bufPtr = value.data();
        m.length = value.size();
        ASSERT_EQ(link.sendUEI(m), qErrNone) << c.length;
        std::vector<Bytes> sent = sentData(c.chunks.size());
        ASSERT_EQ(sent.size(), c.chunks.size()) << c.length;
        Bytes joined;
        for (size_t i = 0; i < sent.size(); ++i) {
            ASSERT_EQ(sent[i].size(), c.chunks[i] + 4) << c.length << " packet " << i;
            EXPECT_EQ(kstest::HexDump(Bytes(sent[i].begin(), sent[i].begin() + 3)), "03 87 20");
            EXPECT_EQ(sent[i].back(), c.sequences[i]) << c.length << " packet " << i;
            joined.insert(joined.end(), sent[i].begin() + 3, sent[i].end() - 1);
        }
        EXPECT_BYTES(value, joined);
    }
}

TEST_F(PeerLink, RefusesBadAddressesLengthsAndTypesWithoutSending) {
    for (uint8_t address : {0, 1, 7, 255})
        EXPECT_EQ(link.sendUEI(message(address, ueiTypeVoid)), qErrPacket) << int(address);
    EXPECT_EQ(link.sendUEI(message(3, ueiTypeInt), 1), qErrPacket);
    EXPECT_EQ(link.sendPacket(5, 1, 0, nullptr), qErrPacket);
    uint8_t data[28] = {};
    EXPECT_EQ(link.sendPacket(2, 1, 28, data), qErrParam);
    EXPECT_EQ(link.sendUEI(message(2, ueiType(3))), qErrParam) << "3 is no type";
    EXPECT_EQ(link.sendUEI(message(2, ueiTypeBytes), 1), qErrParam)
        << "byte values have no subindex form";
    uei noBuffer = message(2, ueiTypeBytes);
    noBuffer.length = 5;
    EXPECT_EQ(link.sendUEI(noBuffer), qErrParam);
    // The one legal packet afterwards is the only one that arrives.
    for (int i = 0; i < 27; ++i)
        data[i] = uint8_t(0x40 + i);
    ASSERT_EQ(link.sendPacket(2, 0x99, 27, data), qErrNone);
    std::vector<Bytes> sent = sentData(1);
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].size(), 28u);
    EXPECT_EQ(sent[0][0], 0x99);
    EXPECT_EQ(sent[0][27], 0x40 + 26);
}

TEST_F(PeerLink, ReceivePacketMatchesByContentFromAnyAddress) {
    peer.inject(wire(6, {0x17, 1}));
    peer.inject(wire(8, {0x49, 4, 3, 9}));
    peer.inject(wire(10, {0x49, 5}));
    const uint8_t match[] = {0x49, 4};
    uint8_t length = 2;
    uint8_t data[28] = {};
    ASSERT_EQ(link.receivePacket(2, match, &length, data), qErrNone);
    EXPECT_EQ(kstest::HexDump(Bytes(data, data + length)), "49 04 03 09");
    length = 2;
    EXPECT_EQ(link.receivePacket(2, match, &length, data), qErrTimeout)
        << "a matched packet is consumed";
    const uint8_t one[] = {0x49};
    length = 1;
    ASSERT_EQ(link.receivePacket(2, one, &length, data), qErrNone);
    EXPECT_EQ(kstest::HexDump(Bytes(data, data + length)), "49 05");
    length = 3;
    const uint8_t longer[] = {0x17, 1, 0};
    EXPECT_EQ(link.receivePacket(2, longer, &length, data), qErrTimeout)
        << "a packet shorter than the match does not match";
    EXPECT_EQ(link.receivePacket(3, one, &length, data), qErrPacket);
}

TEST_F(PeerLink, UEIFilterTakesTypedRepliesAndErrorReplies) {
    struct Case {
        const char* what;
        Bytes reply;
        ueiType type;
        uint32_t value;
        bool error;
    } cases[] = {
        {"void ack", {3, 0xC7, 0}, ueiTypeVoid, 0, false},
        {"byte", {3, 0x07, 0, 0x5A}, ueiTypeByte, 0x5A, false},
        {"short", {3, 0x07, 0, 0x12, 0x34}, ueiTypeShort, 0x1234, false},
        {"int", {3, 0x07, 0, 0xDE, 0xAD, 0xBE, 0xEF}, ueiTypeInt, 0xDEADBEEF, false},
        {"error of 4 bytes", {3, 0x07, 0x80, 29}, ueiTypeVoid, 29, true},
        {"error of 7 bytes", {3, 0x07, 0x80, 13, 1, 2, 3}, ueiTypeVoid, 13, true},
    };
    for (const Case& c : cases) {
        peer.inject(wire(4, {3, 0x07, 0x01, 1})); // another entity: stays queued
        peer.inject(wire(6, c.reply));            // another module: stays queued
        peer.inject(wire(4, c.reply));
        uei m{};
        m.module = 4;
        m.command = 3;
        m.option = c.reply[1];
        m.specifier = 0;
        m.type = ueiTypeVoid;
        ASSERT_EQ(link.receiveUEI(4, 3, m.option, 0, &m), qErrNone) << c.what;
        EXPECT_EQ(bool(m.specifier & 0x80), c.error) << c.what;
        if (c.error) {
            EXPECT_EQ(m.value.byteVal, c.value) << c.what;
        } else {
            EXPECT_EQ(m.type, c.type) << c.what;
            uint32_t v = c.type == ueiTypeByte    ? m.value.byteVal
                         : c.type == ueiTypeShort ? m.value.shortVal
                         : c.type == ueiTypeInt   ? m.value.intVal
                                                  : 0;
            EXPECT_EQ(v, c.value) << c.what;
        }
        EXPECT_EQ(link.dropMatchingUEIPackets(6, 3, m.option & 0xFF, 0), qErrNone);
        uei rest{};
        rest.module = 4;
        rest.command = 3;
        rest.option = 0x07;
        rest.specifier = 1;
        EXPECT_EQ(link.receiveUEI(4, 3, 7, 1, &rest), qErrNone)
            << "the other entity's packet waited";
    }
    uei none{};
    none.module = 4;
    none.command = 3;
    none.option = 0x07;
    EXPECT_EQ(link.receiveUEI(4, 3, 7, 0, &none), qErrTimeout) << "dropped packets are gone";
    EXPECT_EQ(link.receiveUEI(4, 3, 7, 0, nullptr), qErrParam);
}

TEST_F(PeerLink, AddressQueryLearnsTheAnsweringModule) {
    peer.setResponder([](const RxPacket& p) {
        return p.address == 173 && p.data.empty() ? wire(6, {}) : Bytes();
    });
    uint8_t address = 0;
    ASSERT_EQ(link.getModuleAddress(&address), qErrNone);
    EXPECT_EQ(address, 6);
    std::vector<RxPacket> got = peer.received();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().address, 173);
    EXPECT_TRUE(got.back().data.empty());

    peer.setResponder(nullptr);
    EXPECT_EQ(link.getModuleAddress(&address), qErrNotReady);
    EXPECT_EQ(address, 0);
}
