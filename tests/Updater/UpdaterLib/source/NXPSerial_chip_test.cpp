// The LPC ISP client against the simulated boot ROM (sim/lpcrom) on an
// in-memory line with the ROM's real timings: every request it makes,
// memory written and read back byte for byte with echo on and off, and the
// erase of the whole flash within the wait the client allows for it.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <vector>

#include "NXPSerial.h"
#include "bytes.h"
#include "lpcrom/IspChip.h"
#include "qStream.h"
#include "qTime.h"

namespace {

uint64_t NowUs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// The chip at the other end of a stream; it runs whenever the client reads.
struct ChipLine {
    lpcrom::IspChip chip;
    std::vector<uint8_t> out;
    size_t next = 0;
    explicit ChipLine(const lpcrom::ChipConfig& cfg) : chip(cfg) {}

    static qErr Get(uint8_t* byte, void* ref) {
        auto* c = static_cast<ChipLine*>(ref);
        if (c->next == c->out.size()) {
            c->out.clear();
            c->next = 0;
            uint64_t now = NowUs();
            c->chip.poll(now);
            c->chip.takeOutput(c->out, now);
            if (c->out.empty())
                return qErrNotReady;
        }
        *byte = c->out[c->next++];
        return qErrNone;
    }
    static qErr Write(const uint8_t* data, size_t n, void* ref) {
        static_cast<ChipLine*>(ref)->chip.receive(data, n, NowUs(), 115200);
        return qErrNone;
    }
    static qErr Put(uint8_t byte, void* ref) { return Write(&byte, 1, ref); }
};

kstest::Bytes Pattern(size_t n, unsigned seed) {
    kstest::Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 29 + seed * 101 + (i >> 9));
    return b;
}

TEST(NXPSerialWithRom, RequestsAndMemoryRoundTripsAtRealTimings) {
    lpcrom::ChipConfig cfg;
    cfg.serial[0] = 0x1234ABCD;
    cfg.serial[3] = 0xDEADBEEF;
    ChipLine line(cfg);
    NXPSerialClass nxp;
    ASSERT_EQ(
        nxp.Attach(qStream_Create(ChipLine::Get, ChipLine::Put, ChipLine::Write, nullptr, &line),
                   115200),
        qErrNone);
    ASSERT_EQ(nxp.Sync(), qErrNone);
    ASSERT_EQ(nxp.GetDeviceID(), qErrNone);
    EXPECT_EQ(nxp.DeviceSerialNumber()[0], 0x1234ABCDu);
    EXPECT_EQ(nxp.DeviceSerialNumber()[1], 0x22222222u);
    EXPECT_EQ(nxp.DeviceSerialNumber()[3], 0xDEADBEEFu);
    int64_t part = 0;
    uint8_t major = 0, minor = 0;
    EXPECT_EQ(nxp.GetPartNumber(&part), qErrNone);
    EXPECT_EQ(part, 0x26013F37);
    EXPECT_EQ(nxp.GetBootLoaderVersion(&major, &minor), qErrNone);
    EXPECT_EQ(major * 10 + minor, 41);

    EXPECT_EQ(nxp.Erase(0, 29), qErrParam); // locked
    EXPECT_EQ(nxp.LastReturnCode(), 15);
    ASSERT_EQ(nxp.Unlock(), qErrNone);
    ASSERT_EQ(nxp.Prepare(0, 29), qErrNone);
    // The whole flash takes the chip three seconds: more than the wait of a
    // plain request, within the erase's own.
    unsigned long started = qTime_GetMSTicks();
    ASSERT_EQ(nxp.Erase(0, 29), qErrNone);
    EXPECT_GE(qTime_GetMSTicks() - started, 3000u);

    const uint32_t ram = NXPSerialClass::WRITE_ADDRESS;
    for (bool echo : {true, false}) {
        ASSERT_EQ(nxp.SetEcho(echo), qErrNone);
        uint32_t flash = echo ? 0x1000 : 0x2000;
        kstest::Bytes image = Pattern(4096, echo), back(4096, 0);
        ASSERT_EQ(nxp.Write(ram, 4096, image.data()), qErrNone) << echo;
        ASSERT_EQ(nxp.Read(ram, 4096, back.data()), qErrNone) << echo;
        EXPECT_BYTES(image, back);
        uint32_t sector = static_cast<uint32_t>(NXPSerialClass::SectorFromAddress(flash));
        ASSERT_EQ(nxp.Prepare(sector, sector), qErrNone);
        ASSERT_EQ(nxp.CopyToFlash(flash, ram, 4096), qErrNone) << echo;
        EXPECT_EQ(nxp.Compare(flash, ram, 4096), qErrNone) << echo;
        back.assign(4096, 0);
        ASSERT_EQ(nxp.Read(flash, 4096, back.data()), qErrNone) << echo;
        EXPECT_BYTES(image, back);
        kstest::Bytes chipFlash(line.chip.flash().begin() + flash,
                                line.chip.flash().begin() + flash + 4096);
        EXPECT_BYTES(image, chipFlash);
        // The copy used the preparation: a second copy needs a new one.
        EXPECT_EQ(nxp.CopyToFlash(flash, ram, 4096), qErrParam);
        EXPECT_EQ(nxp.LastReturnCode(), 9);
    }
    uint32_t offset = 0;
    EXPECT_EQ(nxp.Compare(0x1000, 0x2000, 4096, &offset), qErrParam);
    EXPECT_EQ(nxp.LastReturnCode(), 10);
    EXPECT_EQ(offset, 0u);
    EXPECT_EQ(nxp.Compare(0x1040, 0x1040, 64, &offset), qErrNone);
    EXPECT_EQ(offset, 0xFFFFFFFFu);
    // Echo on again, then the chip starts its flash.
    ASSERT_EQ(nxp.SetEcho(true), qErrNone);
    EXPECT_EQ(nxp.ExecuteFrom(0), qErrNone);
    for (int i = 0; i < 100 && !line.chip.running(); ++i) {
        uint8_t b;
        (void)ChipLine::Get(&b, &line); // drained until the chip runs
        (void)qTime_MSSleep(1);
    }
    EXPECT_TRUE(line.chip.running());
}

} // namespace
