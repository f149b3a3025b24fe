#include "base64.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kPad = 64;      // '='
constexpr uint8_t kInvalid = 255; // anything outside the alphabet

struct Table {
    uint8_t value[256];
    Table() {
        static const char alphabet[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::memset(value, kInvalid, sizeof value);
        for (uint8_t i = 0; i < 64; ++i)
            value[static_cast<unsigned char>(alphabet[i])] = i;
        value[static_cast<unsigned char>('=')] = kPad;
    }
};

const Table kTable;

} // namespace

bool Base64Decoder::Fail(const char* why) {
    failed_ = true;
    problem_ = why;
    return false;
}

// One character of a group that may hold padding, or that the fast path
// could not take whole.
bool Base64Decoder::FeedSlow(unsigned char c, char*& out) {
    if (ended_)
        return Fail("characters follow the padding");
    uint8_t v = kTable.value[c];
    if (v == kInvalid)
        return Fail("a character outside the base64 alphabet");
    if (v == kPad) {
        if (have_ < 2)
            return Fail("padding in the wrong place");
        ++pad_;
        bits_ <<= 6;
    } else {
        if (pad_ > 0)
            return Fail("padding in the wrong place");
        bits_ = bits_ << 6 | v;
    }
    if (++have_ < 4)
        return true;
    // A whole group: 3 bytes, or 2 or 1 after padding, whose spare bits
    // must be zero.
    unsigned bytes = 3 - pad_;
    if (pad_ > 0 && (bits_ & ((1u << (8 * pad_)) - 1)) != 0)
        return Fail("padding over non-zero bits");
    for (unsigned k = 0; k < bytes; ++k)
        *out++ = static_cast<char>(bits_ >> (16 - 8 * k));
    ended_ = pad_ > 0;
    bits_ = 0;
    have_ = 0;
    pad_ = 0;
    return true;
}

bool Base64Decoder::Feed(const char* text, size_t n, std::string& out) {
    if (failed_)
        return false;
    if (n == 0)
        return true;
    if (!text)
        return Fail("no text");
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
    // Room for every group these characters can complete; cut back below.
    const size_t start = out.size();
    out.resize(start + (have_ + n) / 4 * 3);
    char* const base = &out[0];
    char* w = base + start;
    size_t i = 0;
    bool ok = true;
    while (i < n) {
        // Whole groups of plain alphabet characters, four at a time.
        if (have_ == 0 && !ended_) {
            while (n - i >= 4) {
                uint8_t a = kTable.value[in[i]], b = kTable.value[in[i + 1]];
                uint8_t c = kTable.value[in[i + 2]], d = kTable.value[in[i + 3]];
                if ((a | b | c | d) >= kPad)
                    break;
                uint32_t v = uint32_t(a) << 18 | uint32_t(b) << 12 | uint32_t(c) << 6 | d;
                w[0] = static_cast<char>(v >> 16);
                w[1] = static_cast<char>(v >> 8);
                w[2] = static_cast<char>(v);
                w += 3;
                i += 4;
            }
            if (i == n)
                break;
        }
        if (!FeedSlow(in[i], w)) {
            ok = false;
            break;
        }
        ++i;
    }
    consumed_ += i;
    out.resize(ok ? static_cast<size_t>(w - base) : start);
    return ok;
}

bool Base64Decoder::Finish() {
    if (failed_)
        return false;
    if (have_ != 0)
        return Fail("the text ends inside a group of four");
    return true;
}

unsigned char* base64_decode(const char* text, size_t length, size_t* outLength) {
    size_t ignored = 0;
    size_t* outLen = outLength ? outLength : &ignored;
    *outLen = 0;
    if (length % 4 != 0 || (length > 0 && text == nullptr))
        return nullptr;
    std::string decoded;
    Base64Decoder decoder;
    if (!decoder.Feed(text, length, decoded) || !decoder.Finish())
        return nullptr;
    unsigned char* out = static_cast<unsigned char*>(std::malloc(decoded.size() + 1));
    if (!out)
        return nullptr;
    if (!decoded.empty())
        std::memcpy(out, decoded.data(), decoded.size());
    out[decoded.size()] = 0;
    *outLen = decoded.size();
    return out;
}
