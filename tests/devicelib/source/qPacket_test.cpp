#include <gtest/gtest.h>

#include <cstring>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "bytes.h"
#include "qPacket.h"

namespace {

using kstest::Bytes;

struct AssemblyCase {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<qErr> results; // one per byte
    int completeAfter;         // byte number (1-based) after which it is complete, 0 = never
    uint8_t address;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> counting(size_t n, uint8_t first = 1) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(first + i);
    }
    return v;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(PacketAssembly, TakesAddressLengthAndDataAndRefusesMisplacedBytes) {
    const std::vector<qErr> ok30(30, qErrNone);
    std::vector<qErr> ok30ThenOverrun(ok30);
    ok30ThenOverrun.push_back(qErrOverrun);
    const std::vector<AssemblyCase> cases = {
        {"two data bytes",
         {0x04, 0x02, 0x11, 0x22},
         {qErrNone, qErrNone, qErrNone, qErrNone},
         4,
         4,
         {0x11, 0x22}},
        {"odd address", {0x05}, {qErrPacket}, 0, 0, {}},
        {"zero address", {0x00}, {qErrPacket}, 0, 0, {}},
        {"highest address", {0xFE, 0x01, 0x7A}, {qErrNone, qErrNone, qErrNone}, 3, 0xFE, {0x7A}},
        {"length 29", {0x04, 29}, {qErrNone, qErrPacket}, 0, 4, {}},
        {"length 0 completes at once", {0x06, 0x00}, {qErrNone, qErrNone}, 2, 6, {}},
        {"full 28 data bytes", concat({0x08, 28}, counting(28)), ok30, 30, 8, counting(28)},
        {"byte beyond the length",
         {0x04, 0x01, 0xAA, 0xBB},
         {qErrNone, qErrNone, qErrNone, qErrPacket},
         3,
         4,
         {0xAA}},
        {"31st byte", concat(concat({0x08, 28}, counting(28)), {0xEE}), ok30ThenOverrun, 30, 8,
         counting(28)},
    };
    for (const AssemblyCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.bytes.size(), c.results.size());
        qPacket* p = qPacket_Create();
        ASSERT_NE(p, nullptr);
        for (size_t i = 0; i < c.bytes.size(); ++i) {
            EXPECT_EQ(qPacket_AddByte(p, c.bytes[i]), c.results[i]) << "byte " << i + 1;
            bool complete = c.completeAfter != 0 && static_cast<int>(i) + 1 >= c.completeAfter &&
                            c.results[i] == qErrNone;
            if (c.results[i] == qErrNone) {
                EXPECT_EQ(qPacket_IsComplete(p), complete) << "after byte " << i + 1;
            }
        }
        EXPECT_EQ(p->address, c.address);
        ASSERT_LE(c.data.size(), sizeof p->data);
        if (!c.data.empty()) {
            EXPECT_EQ(p->length, c.data.size());
            EXPECT_BYTES(c.data, Bytes(p->data, p->data + c.data.size()));
        }
        (void)qPacket_Destroy(&p);
    }
}

TEST(PacketAssembly, EndlessBytesAfterAnErrorNeverWriteOutsideThePacket) {
    // Guard bytes around the packet show any stray write, also without ASan.
    struct Guarded {
        uint8_t before[16];
        qPacket packet;
        uint8_t after[16];
    } g;
    memset(&g, 0x5A, sizeof g);
    g.packet = qPacket{qPACKET_TAG, 0, 0, 0, {}};
    EXPECT_EQ(qPacket_AddByte(&g.packet, 0x04), qErrNone);
    EXPECT_EQ(qPacket_AddByte(&g.packet, 29), qErrPacket);
    int overruns = 0;
    for (int i = 0; i < 600; ++i) {
        if (qPacket_AddByte(&g.packet, 0xC3) == qErrOverrun) {
            ++overruns;
        }
        ASSERT_FALSE(qPacket_IsComplete(&g.packet)) << "after " << i + 3 << " bytes";
    }
    EXPECT_EQ(overruns, 600 - 28);
    EXPECT_EQ(g.packet.validTag, qPACKET_TAG);
    EXPECT_EQ(g.packet.address, 4);
    EXPECT_EQ(g.packet.length, 29);
    for (uint8_t b : g.before) {
        ASSERT_EQ(b, 0x5A);
    }
    for (uint8_t b : g.after) {
        ASSERT_EQ(b, 0x5A);
    }
    // Reset makes it usable again.
    EXPECT_EQ(qPacket_Reset(&g.packet), qErrNone);
    EXPECT_EQ(qPacket_AddByte(&g.packet, 0x02), qErrNone);
    EXPECT_EQ(qPacket_AddByte(&g.packet, 0x00), qErrNone);
    EXPECT_TRUE(qPacket_IsComplete(&g.packet));
}

TEST(PacketRecord, InvalidRecordsAreRefused) {
    qPacket dead{0, 0, 0, 0, {}};
    uint8_t v = 0;
    EXPECT_EQ(qPacket_AddByte(&dead, 0x04), qErrParam);
    EXPECT_EQ(qPacket_AddByte(nullptr, 0x04), qErrParam);
    EXPECT_EQ(qPacket_Reset(&dead), qErrParam);
    EXPECT_EQ(qPacket_Reset(nullptr), qErrParam);
    EXPECT_FALSE(qPacket_IsComplete(&dead));
    EXPECT_FALSE(qPacket_IsComplete(nullptr));
    EXPECT_EQ(qPacket_Copy(&dead), nullptr);
    EXPECT_EQ(qPacket_Copy(nullptr), nullptr);
    EXPECT_EQ(qPacket_GetCmd(&dead, &v), qErrPacket);
    EXPECT_EQ(qPacket_GetCmd(nullptr, &v), qErrPacket);
    qPacket* notOurs = &dead;
    EXPECT_EQ(qPacket_Destroy(&notOurs), qErrParam);
    EXPECT_EQ(notOurs, nullptr);
}

TEST(PacketRecord, CreateWithDataCopiesAndZeroFillsTheRest) {
    const uint8_t bytes[29] = {0x10, 0x20, 0x30};
    qPacket* p = qPacket_CreateWithData(0x22, 3, bytes);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->validTag, qPACKET_TAG);
    EXPECT_EQ(p->address, 0x22);
    EXPECT_EQ(p->length, 3);
    EXPECT_EQ(p->byteCount, 5);
    EXPECT_TRUE(qPacket_IsComplete(p));
    uint8_t expected[qPACKET_MAX_DATA] = {0x10, 0x20, 0x30};
    EXPECT_BYTES(expected, p->data);

    qPacket* copy = qPacket_Copy(p);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, p);
    EXPECT_EQ(memcmp(copy, p, sizeof *p), 0);
    EXPECT_TRUE(qPacket_IsComplete(copy));

    EXPECT_EQ(qPacket_Reset(p), qErrNone);
    EXPECT_EQ(p->validTag, qPACKET_TAG);
    EXPECT_EQ(p->byteCount + p->address + p->length, 0);
    EXPECT_BYTES(qPacket{}.data, p->data);
    EXPECT_EQ(copy->data[2], 0x30); // the copy is independent

    qPacket* full = qPacket_CreateWithData(0x04, 28, bytes);
    EXPECT_NE(full, nullptr);
    EXPECT_EQ(qPacket_CreateWithData(0x04, 29, bytes), nullptr);
    EXPECT_EQ(qPacket_CreateWithData(0x04, 3, nullptr), nullptr);
    qPacket* empty = qPacket_CreateWithData(0x04, 0, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_TRUE(qPacket_IsComplete(empty));
    for (qPacket** q : {&p, &copy, &full, &empty}) {
        EXPECT_EQ(qPacket_Destroy(q), qErrNone);
        EXPECT_EQ(*q, nullptr);
        EXPECT_EQ(qPacket_Destroy(q), qErrParam);
    }
    EXPECT_EQ(qPacket_Destroy(nullptr), qErrParam);
}

struct FieldRow {
    uint8_t length;
    qErr cmd, option, index;
};

TEST(PacketFields, NeedEnoughDataBytesAndAreMasked) {
    const uint8_t bytes[] = {0xC1, 0xFF, 0xFF, 0x99};
    const FieldRow rows[] = {
        {0, qErrPacket, qErrPacket, qErrPacket}, {1, qErrNone, qErrPacket, qErrPacket},
        {2, qErrNone, qErrNone, qErrPacket},     {3, qErrNone, qErrNone, qErrNone},
        {4, qErrNone, qErrNone, qErrNone},
    };
    for (const FieldRow& r : rows) {
        qPacket* p = qPacket_CreateWithData(0x04, r.length, bytes);
        ASSERT_NE(p, nullptr);
        uint8_t cmd = 0, option = 0, index = 0;
        EXPECT_EQ(qPacket_GetCmd(p, &cmd), r.cmd) << "length " << int(r.length);
        EXPECT_EQ(qPacket_GetOption(p, &option), r.option) << "length " << int(r.length);
        EXPECT_EQ(qPacket_GetIndex(p, &index), r.index) << "length " << int(r.length);
        if (r.index == qErrNone) {
            EXPECT_EQ(cmd, 0xC1);
            EXPECT_EQ(option, 0x3F);
            EXPECT_EQ(index, 0x1F);
        }
        EXPECT_EQ(qPacket_GetCmd(p, nullptr), qErrParam);
        EXPECT_EQ(qPacket_GetOption(p, nullptr), qErrParam);
        EXPECT_EQ(qPacket_GetIndex(p, nullptr), qErrParam);
        (void)qPacket_Destroy(&p);
    }
}

TEST(UEIValues, AreBigEndian) {
    const uint8_t four[] = {0x12, 0x34, 0x56, 0x78};
    EXPECT_EQ(qUEI_RetrieveInt(four), 0x12345678u);
    const uint8_t two[] = {0xFF, 0xFE};
    EXPECT_EQ(qUEI_RetrieveShort(two), 0xFFFE);

    const uint32_t ints[] = {0, 1, 0x80000000u, 0xDEADDEADu, 0x40F5849Au, 0xFFFFFFFFu};
    for (uint32_t v : ints) {
        uint8_t buf[6] = {0xAA, 0, 0, 0, 0, 0xAA};
        qUEI_StoreInt(buf + 1, v);
        EXPECT_EQ(buf[1], v >> 24);
        EXPECT_EQ(buf[4], v & 0xFF);
        EXPECT_EQ(qUEI_RetrieveInt(buf + 1), v);
        EXPECT_EQ(buf[0], 0xAA);
        EXPECT_EQ(buf[5], 0xAA);
    }
    const uint16_t shorts[] = {0, 1, 0x00FF, 0xFF00, 0x1234, 0xFFFF};
    for (uint16_t v : shorts) {
        uint8_t buf[4] = {0xAA, 0, 0, 0xAA};
        qUEI_StoreShort(buf + 1, v);
        EXPECT_EQ(buf[1], v >> 8);
        EXPECT_EQ(qUEI_RetrieveShort(buf + 1), v);
        EXPECT_EQ(buf[3], 0xAA);
    }
}

TEST(UEIValues, IntBufferIsConvertedInPlace) {
    const uint8_t wire[] = {0x00, 0x00, 0x01, 0x02, 0xA0, 0xB0, 0xC0, 0xD0, 0xFF, 0xEE, 0xDD, 0xCC};
    uint32_t buf[3];
    memcpy(buf, wire, sizeof buf);
    qUEI_ModifyIntBuffer(buf, 2); // the third element stays untouched
    EXPECT_EQ(buf[0], 0x00000102u);
    EXPECT_EQ(buf[1], 0xA0B0C0D0u);
    uint32_t third;
    memcpy(&third, wire + 8, 4);
    EXPECT_EQ(buf[2], third);
    qUEI_ModifyIntBuffer(nullptr, 3);
}

} // namespace
