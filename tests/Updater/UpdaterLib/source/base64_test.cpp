// base64_decode: the standard vectors, its length and padding rules, and
// bytes from a hostile server.
#include "base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct Decoded {
    bool ok = false;
    std::string bytes;
    bool terminated = false; // the extra zero byte after the output
};

Decoded Decode(const std::string& text) {
    Decoded d;
    size_t n = 12345;
    unsigned char* out = base64_decode(text.data(), text.size(), &n);
    if (out) {
        d.ok = true;
        d.bytes.assign(reinterpret_cast<char*>(out), n);
        d.terminated = out[n] == 0;
        std::free(out);
    } else {
        EXPECT_EQ(n, 0u) << "length reported for a refused text";
    }
    return d;
}

std::string Hex(const std::string& s) {
    static const char* digits = "0123456789abcdef";
    std::string h;
    for (unsigned char c : s) {
        h += digits[c >> 4];
        h += digits[c & 15];
        h += ' ';
    }
    return h;
}

TEST(Base64Decode, DecodesTheStandardVectors) {
    const struct {
        const char* text;
        const char* plain;
    } cases[] = {
        {"", ""},
        {"Zg==", "f"},
        {"Zm8=", "fo"},
        {"Zm9v", "foo"},
        {"Zm9vYg==", "foob"},
        {"Zm9vYmE=", "fooba"},
        {"Zm9vYmFy", "foobar"},
        {"+/+/", "\xfb\xff\xbf"},
    };
    for (const auto& c : cases) {
        Decoded d = Decode(c.text);
        ASSERT_TRUE(d.ok) << c.text;
        EXPECT_EQ(Hex(d.bytes), Hex(c.plain)) << c.text;
        EXPECT_TRUE(d.terminated) << c.text;
    }
}

TEST(Base64Decode, RefusesLengthsThatAreNotMultiplesOfFour) {
    // A carriage return left on the payload line makes it one too long.
    for (const char* text : {"Z", "Zm", "Zm9", "Zm9vY", "Zm9v\r", "Zm9vYmFy\r", "Zm9v\nYmFy"})
        EXPECT_FALSE(Decode(text).ok) << Hex(text);
}

TEST(Base64Decode, DoesNotSkipWhiteSpace) {
    // A blank is no base64 character: the text is refused, not shifted.
    EXPECT_FALSE(Decode(" Zm9").ok);
}

TEST(Base64Decode, DecodesEveryByteValue) {
    std::string plain;
    for (int i = 0; i < 256; ++i)
        plain += static_cast<char>(i);
    // The encoding of bytes 0..255, worked out independently.
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < plain.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(plain[i]) << 16;
        if (i + 1 < plain.size())
            v |= static_cast<unsigned char>(plain[i + 1]) << 8;
        if (i + 2 < plain.size())
            v |= static_cast<unsigned char>(plain[i + 2]);
        text += alphabet[(v >> 18) & 63];
        text += alphabet[(v >> 12) & 63];
        text += i + 1 < plain.size() ? alphabet[(v >> 6) & 63] : '=';
        text += i + 2 < plain.size() ? alphabet[v & 63] : '=';
    }
    Decoded d = Decode(text);
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(Hex(d.bytes), Hex(plain));
}

TEST(Base64Decode, SurvivesHostileBytes) {
    // Every byte value, those above 127 and NUL included, in groups of four:
    // characters outside the alphabet are refused, never read as zero bits.
    std::string text;
    for (int i = 0; i < 256; ++i)
        text += static_cast<char>(255 - i);
    EXPECT_FALSE(Decode(text).ok);
    EXPECT_FALSE(Decode(std::string("\xff\x80\x00\x01", 4)).ok);
    EXPECT_FALSE(Decode("Zm9v\xffmFy").ok);
}

TEST(Base64Decode, PaddingShortensOnlyAtTheEnd) {
    const struct {
        const char* text;
        bool ok;
        size_t length;
    } cases[] = {
        {"====", false, 0}, {"A===", false, 0}, {"AA==", true, 1},      {"AAA=", true, 2},
        {"=AAA", false, 0}, {"A=AA", false, 0}, {"AA==AAAA", false, 0},
    };
    for (const auto& c : cases) {
        Decoded d = Decode(c.text);
        ASSERT_EQ(d.ok, c.ok) << c.text;
        EXPECT_EQ(d.bytes.size(), c.length) << c.text;
    }
}

TEST(Base64Decode, AcceptsANullLengthPointer) {
    unsigned char* out = base64_decode("Zm9v", 4, nullptr);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out)), "foo");
    std::free(out);
    EXPECT_EQ(base64_decode("Zm9", 3, nullptr), nullptr);
}

} // namespace
