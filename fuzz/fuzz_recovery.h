// The bodies of the fuzz targets for what a ROM bootloader sends back during
// a recovery: the LPC ISP client's line, number and data readers fed with a
// chip's bytes, the uudecode reader against a reference decoder, and the SDP
// client's answer parsing fed with a ROM's answers. Shared with the ctest
// test that replays their seeds and kept inputs. Each aborts on a result its
// reference or its contract does not allow; the sanitizers catch the rest.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "HID_SDPLoader.h"
#include "NXPSerial.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "qStream.h"

namespace fuzzrecovery {

inline void Check(bool ok) {
    if (!ok)
        std::abort();
}

// Whatever the chip answered, a request ends with one of the library's codes.
inline void CheckCode(qErr code) {
    Check(static_cast<int>(code) >= 0 && static_cast<int>(code) < qErrCount);
}

// --- the LPC chip's side: a stream that hands out the input byte by byte,
// then nothing (a silent chip), and takes whatever the client sends.
struct ChipBytes {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

inline qErr ChipGet(uint8_t* byte, void* ref) {
    ChipBytes* c = static_cast<ChipBytes*>(ref);
    if (c->at >= c->size)
        return qErrNotReady;
    *byte = c->data[c->at++];
    return qErrNone;
}
inline qErr ChipPut(uint8_t, void*) {
    return qErrNone;
}
inline qErr ChipWrite(const uint8_t*, size_t, void*) {
    return qErrNone;
}

// Byte 0 picks the request and the echo; byte 1 a size; the rest is what the
// chip says.
inline void IspAnswers(const uint8_t* data, size_t size) {
    if (size < 2)
        return;
    const uint8_t pick = data[0], sizeByte = data[1];
    ChipBytes chip{data + 2, size - 2};
    NXPSerialClass isp;
    qStream* stream = qStream_Create(ChipGet, ChipPut, ChipWrite, nullptr, &chip);
    Check(stream != nullptr && isp.Attach(stream, 230400) == qErrNone);
    if (pick & 0x80)
        CheckCode(
            isp.SetEcho(false)); // the chip may or may not have agreed: echo stays as it answered
    switch (pick & 7) {
    case 0:
        CheckCode(isp.Sync());
        break;
    case 1:
        CheckCode(isp.GetDeviceID());
        break;
    case 2: {
        int64_t part = 0;
        CheckCode(isp.GetPartNumber(&part));
        uint8_t major = 0, minor = 0;
        CheckCode(isp.GetBootLoaderVersion(&major, &minor));
        break;
    }
    case 3: {
        // A buffer of exactly the size asked for: a write past it is caught.
        size_t room = size_t(sizeByte % 96) + 2;
        std::unique_ptr<char[]> line(new char[room]);
        size_t received = 0;
        CheckCode(isp.GetLine(line.get(), room, &received, 50));
        Check(received < room && line[received] == '\0');
        break;
    }
    case 4: {
        uint32_t length = (uint32_t(sizeByte) + 1) * 4;
        std::unique_ptr<uint8_t[]> memory(new uint8_t[length]);
        CheckCode(isp.Read(0x10000000, length, memory.get()));
        break;
    }
    case 5: {
        std::vector<uint8_t> bytes(size_t(sizeByte % 64 + 1) * 4, 0xA5);
        CheckCode(isp.Write(NXPSerialClass::WRITE_ADDRESS, uint32_t(bytes.size()), bytes.data()));
        break;
    }
    case 6: {
        uint32_t mismatch = 0;
        CheckCode(isp.Compare(0x1000, NXPSerialClass::WRITE_ADDRESS, 4096, &mismatch));
        CheckCode(isp.Prepare(0, 29));
        CheckCode(isp.Erase(0, 29));
        break;
    }
    default:
        CheckCode(isp.Unlock());
        CheckCode(isp.CopyToFlash(0x1000, NXPSerialClass::WRITE_ADDRESS, 4096));
        break;
    }
    int code = isp.LastReturnCode();
    Check(code >= -1 && code <= 0x7FFFFFFF);
    (void)isp.Disconnect(); // closing a stream the target made cannot fail in a way that matters
}

// --- uudecode: byte 0 is the capacity, the rest one line.
inline uint32_t RefValue(char c) {
    return uint32_t(uint8_t(c) - 32u) & 0x3Fu;
}
inline bool RefLineEnd(char c) {
    return c == '\0' || c == '\r' || c == '\n';
}

inline void Uudecode(const uint8_t* data, size_t size) {
    if (size < 1)
        return;
    const uint32_t capacity = data[0] % 80;
    std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
    std::unique_ptr<uint8_t[]> out(new uint8_t[capacity + 1]);
    std::memset(out.get(), 0xEE, capacity + 1);
    uint32_t got = NXPSerialClass::uudecode(out.get(), capacity, line.c_str());
    // The reference: a count, then groups of four characters of six bits.
    if (line.empty() || RefLineEnd(line[0])) {
        Check(got == 0);
        return;
    }
    uint32_t count = RefValue(line[0]);
    if (capacity < count) {
        Check(got == 0);
        return;
    }
    Check(got == count);
    // Whole groups up to the first one the line does not carry in full; the
    // bytes after that are zero.
    std::vector<uint8_t> want;
    const char* text = line.c_str();
    size_t length = std::strlen(text);
    for (size_t group = 1; want.size() < count; group += 4) {
        bool whole = group + 3 < length;
        for (size_t k = 0; k < 4 && whole; ++k)
            whole = !RefLineEnd(text[group + k]);
        if (!whole)
            break;
        uint32_t bits = RefValue(text[group]) << 18 | RefValue(text[group + 1]) << 12 |
                        RefValue(text[group + 2]) << 6 | RefValue(text[group + 3]);
        for (int k = 2; k >= 0 && want.size() < count; --k)
            want.push_back(uint8_t(bits >> (8 * k)));
    }
    want.resize(count, 0);
    Check(count == 0 || std::memcmp(out.get(), want.data(), count) == 0);
    Check(out[capacity] == 0xEE); // nothing past the capacity
}

// --- the i.MX ROM's side: a transport whose answers are cut from the input.
class RomAnswers : public SDPLoader_Interface {
  public:
    RomAnswers(const uint8_t* data, size_t size, bool hid) : data(data), size(size), hid(hid) {}
    bool init() override { return true; }
    ssize_t writeData(const std::vector<uint8_t>& message) override {
        Check(!message.empty() && message.size() <= 1 + SDP_DATA_CHUNK);
        return ssize_t(message.size());
    }
    ssize_t readData(std::vector<uint8_t>& out, uint32_t) override {
        if (at >= size)
            return 0;
        size_t n = data[at];
        ++at;
        n = std::min(n, size - at);
        out.insert(out.end(), data + at, data + at + n);
        at += n;
        return ssize_t(n);
    }
    bool getDataFromBuffer(const std::vector<uint8_t>& in, uint32_t index,
                           uint32_t& value) override {
        // The real framing of each transport, with a reference beside it.
        uint32_t got = 0;
        bool found = hid ? hidFraming.getDataFromBuffer(in, index, got)
                         : serialFraming.getDataFromBuffer(in, index, got);
        size_t at0 = hid ? 6 + index : 4 + index;
        bool complete = index <= 15 && (hid ? in.size() == 70 : in.size() >= (index + 2) * 4);
        Check(found == complete);
        if (found) {
            uint32_t want = uint32_t(in[at0]) | uint32_t(in[at0 + 1]) << 8 |
                            uint32_t(in[at0 + 2]) << 16 | uint32_t(in[at0 + 3]) << 24;
            Check(got == want);
            value |= got;
        }
        return found;
    }

  private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    bool hid;
    HID_SDPLoader hidFraming{0x1FC9, 0x0130};
    Serial_SDPLoader serialFraming{"/dev/null"};
};

// Byte 0: the framing (bit 0) and the image size; the rest the ROM's answers,
// each a length byte and that many bytes.
inline void SdpAnswers(const uint8_t* data, size_t size) {
    if (size < 1)
        return;
    SDPLoader sdp;
    Check(sdp.setLoader(new RomAnswers(data + 1, size - 1, data[0] & 1)));
    Check(sdp.init() == SDP_OK);
    uint64_t fingerprint = 0;
    int f = sdp.getFingerprint(fingerprint);
    Check(f == SDP_OK || f == SDP_NO_ANSWER || f == SDP_NO_REGISTER);
    std::vector<uint8_t> image(size_t(data[0] >> 1) * 37 + 1, 0x5A);
    uint8_t w = sdp.writeLoader(image, 0x20000400);
    Check(w == SDP_OK || w == SDP_NO_ANSWER || w == SDP_ROM_ABORTED || w == SDP_NOT_COMPLETED);
    sdp.startLoader(0x20000400);
}

} // namespace fuzzrecovery
