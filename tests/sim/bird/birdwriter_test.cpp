// The writer is checked against the format directly: zlib inflates what it
// writes, and bytes are compared with layouts written out by hand.
#include "birdsim/birdwriter.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bytes.h"
#include "process.h"
#include "tempdir.h"

using namespace birdwriter;

namespace {

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16)));
    return out;
}

Bytes Inflate(const Bytes& file) {
    EXPECT_GE(file.size(), 6u);
    Bytes out(1 << 20);
    uLongf outLen = out.size();
    int rc = uncompress(out.data(), &outLen, file.data() + 6, file.size() - 6);
    EXPECT_EQ(rc, Z_OK);
    out.resize(rc == Z_OK ? outLen : 0);
    return out;
}

uint32_t BE32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// Descrambling as the reader does it, written out here independently.
Bytes Descramble(Bytes b, const uint32_t key[4]) {
    uint8_t chain = 0;
    for (size_t j = 0; j < b.size(); ++j) {
        uint8_t k = uint8_t(key[(j % 16) / 4] >> (24 - 8 * (j % 4)));
        b[j] = uint8_t(b[j] ^ k ^ chain);
        chain = b[j];
    }
    return b;
}

TEST(BirdWriterFormat, ImageBlockContentMatchesHandWrittenLayout) {
    Description d;
    d.blocks.push_back(ImageBlock(kFirmware, 2, 0x100, FromHex("0102030405060708")));
    Bytes content = BuildContent(d);
    ASSERT_EQ(content.size(), 25u) << kstest::HexDump(content);
    EXPECT_BYTES(FromHex("00000001"
                         "410000000C"
                         "00000100"
                         "0102030405060708"),
                 Bytes(content.begin(), content.begin() + 21));
    EXPECT_EQ(BE32(content, 21), Crc32(content.data(), 21));
}

TEST(BirdWriterFormat, HeaderAndStreamInflateToTheContent) {
    Description d;
    d.versionMajor = 1;
    d.versionMinor = 7;
    d.blocks.push_back(ImageBlock(kLoader, 0, 0x10000000, Bytes(5000, 0xFF)));
    d.blocks.push_back(DescriptorBlock(1234, "2.9.29", 0x40F5849A, "KS-ROUTER"));
    Bytes file = BuildFile(d);
    EXPECT_BYTES(FromHex("626972640107"), Bytes(file.begin(), file.begin() + 6));
    EXPECT_EQ(Inflate(file), BuildContent(d));
}

TEST(BirdWriterFormat, SpecialBlocksHaveTheirPayloads) {
    struct Case {
        const char* name;
        Block block;
        const char* payloadHex;
        uint8_t typeByte;
    } cases[] = {
        {"serial offsets", SerialOffsetsBlock(0x200, 0x12345678), "0000020012345678", 0x02},
        {"start address", StartAddressBlock(0x10000800), "10000800", 0x05},
        {"raw with flags", RawBlock(31, 7, FromHex("AA")), "AA", 0xFF},
        {"descriptor", DescriptorBlock(7, "1.2.3 beta", 0xAB, "ABC123"),
         "37"
         "202020202020202020202020202020"
         "312E322E33206265746120"
         "2020202020"
         "3030303030304142"
         "2020202020202020"
         "414243313233"
         "20202020202020202020",
         0x04},
    };
    for (const Case& c : cases) {
        Description d;
        d.blocks.push_back(c.block);
        Bytes content = BuildContent(d);
        Bytes payload = FromHex(c.payloadHex);
        ASSERT_EQ(content.size(), 4 + 5 + payload.size() + 4) << c.name;
        EXPECT_EQ(content[4], c.typeByte) << c.name;
        EXPECT_EQ(BE32(content, 5), payload.size()) << c.name;
        EXPECT_BYTES(payload, Bytes(content.begin() + 9, content.end() - 4)) << c.name;
    }
}

TEST(BirdWriterFormat, OverridesProduceInconsistentContent) {
    Description d;
    d.blocks.push_back(RawBlock(3, 0, FromHex("0102")));
    d.blocks[0].declaredLength = 1000;
    d.blockCount = 9;
    d.checksum = 0xDEADBEEF;
    d.trailer = FromHex("EE");
    EXPECT_BYTES(FromHex("00000009"
                         "03000003E8"
                         "0102"
                         "DEADBEEF"
                         "EE"),
                 BuildContent(d));
    d.omitChecksum = true;
    EXPECT_BYTES(FromHex("00000009"
                         "03000003E8"
                         "0102"
                         "EE"),
                 BuildContent(d));
    d.truncateTo = 8;
    d.signature = "bi";
    Bytes file = BuildFile(d);
    ASSERT_EQ(file.size(), 8u);
    EXPECT_BYTES(FromHex("626900000101"), Bytes(file.begin(), file.begin() + 6));
}

TEST(BirdWriterChecks, Crc32HasTheStandardCheckValue) {
    const char* text = "123456789";
    EXPECT_EQ(Crc32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
}

TEST(BirdWriterChecks, ScrambleIsUndoneByDescramblingAndWrapsTheKey) {
    const uint32_t zero[4] = {0, 0, 0, 0};
    Bytes plain = FromHex("112233");
    Bytes s = plain;
    Scramble(s, zero);
    EXPECT_BYTES(FromHex("113311"), s); // c[j] = p[j] ^ p[j-1] with a zero key

    const uint32_t key[4] = {0x01020304, 0x05060708, 0x090A0B0C, 0x0D0E0F10};
    Bytes zeros(17, 0);
    Bytes z = zeros;
    Scramble(z, key);
    EXPECT_EQ(z[0], 0x01);
    EXPECT_EQ(z[15], 0x10);
    EXPECT_EQ(z[16], 0x01) << "byte 17 uses the first key byte again";

    Bytes image;
    for (int i = 0; i < 300; ++i)
        image.push_back(uint8_t(i * 7 + 3));
    Bytes scrambled = image;
    Scramble(scrambled, key);
    EXPECT_NE(scrambled, image);
    EXPECT_EQ(Descramble(scrambled, key), image);
}

TEST(BirdWriterChecks, ScrambleKeyLeavesAddressAndOtherBlocksAlone) {
    Description d;
    d.blocks.push_back(ImageBlock(kLoader, 0, 0x10, FromHex("AABB")));
    d.blocks.push_back(ImageBlock(kFirmware, 0, 0x20, FromHex("AABB")));
    d.scrambleKey = std::vector<uint32_t>{0xFF000000, 0, 0, 0};
    Bytes content = BuildContent(d);
    ASSERT_GE(content.size(), 26u);
    EXPECT_BYTES(FromHex("00000002"
                         "0000000006"
                         "00000010AABB"
                         "0100000006"
                         "00000020"
                         "5511"),
                 Bytes(content.begin(), content.begin() + 26));
    d.scrambleKey = std::vector<uint32_t>{1, 2};
    EXPECT_THROW(BuildContent(d), std::runtime_error);
}

TEST(BirdWriterChecks, VectorChecksumMakesWordsZeroToSevenSumToZero) {
    Bytes image;
    uint32_t words[8] = {1, 2, 3, 4, 5, 0x77777777, 6, 0};
    for (uint32_t w : words)
        PutLE32(image, w);
    ASSERT_TRUE(SetVectorChecksum(image));
    uint32_t w7 = uint32_t(image[28]) | uint32_t(image[29]) << 8 | uint32_t(image[30]) << 16 |
                  uint32_t(image[31]) << 24;
    EXPECT_EQ(w7, 0u - (21u + 0x77777777u));
    Bytes shortImage(31, 0);
    EXPECT_FALSE(SetVectorChecksum(shortImage));
}

TEST(BirdWriterDescription, DirectivesBuildTheSameContentAsTheApi) {
    const char* text = "# a generic image\n"
                       "version 1 2\n"
                       "loader address=0x10000000 hex:A5A5 fill:0x00:3\n"
                       "firmware flags=2 address=0 le32:1,2 be32:0x0A0B0C0D \"text:a b\"\n"
                       "descriptor build=12 version=1.0 serial=40F5849A \"model=KS ROUTER\"\n"
                       "serial-offsets 0x200 0x300\n"
                       "start-address 0x10000000\n"
                       "block type=9 flags=7 hex:01_02-03\n"
                       "count 5\n"
                       "checksum 0x01020304\n";
    Description parsed;
    std::string error;
    ASSERT_TRUE(ParseDescription(text, "", &parsed, &error)) << error;

    Description api;
    api.versionMinor = 2;
    api.blocks.push_back(ImageBlock(kLoader, 0, 0x10000000, FromHex("A5A5000000")));
    api.blocks.push_back(ImageBlock(kFirmware, 2, 0, FromHex("01000000020000000A0B0C0D612062")));
    api.blocks.push_back(DescriptorBlockText("12", "1.0", "40F5849A", "KS ROUTER"));
    api.blocks.push_back(SerialOffsetsBlock(0x200, 0x300));
    api.blocks.push_back(StartAddressBlock(0x10000000));
    api.blocks.push_back(RawBlock(9, 7, FromHex("010203")));
    api.blockCount = 5;
    api.checksum = 0x01020304;
    EXPECT_BYTES(BuildContent(api), BuildContent(parsed));
    EXPECT_EQ(parsed.versionMinor, 2);
}

TEST(BirdWriterDescription, BadLinesAreRejectedWithTheirLineNumber) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"firmware hex:00\n", "line 1: firmware needs address="},
        {"\nloader address=zz\n", "line 2: bad number 'zz' for address"},
        {"block hex:00\n", "line 1: block needs type="},
        {"block type=32\n", "line 1: type must be 0..31"},
        {"firmware flags=8 address=0\n", "line 1: flags must be 0..7"},
        {"firmware address=0 hex:123\n", "line 1: odd number of hex digits"},
        {"firmware address=0 hex:GG\n", "line 1: bad hex digit in 'GG'"},
        {"version 1\n", "line 1: 'version' takes 2 argument(s)"},
        {"version 256 1\n", "line 1: bad number '256' for major"},
        {"frobnicate\n", "line 1: unknown directive 'frobnicate'"},
        {"firmware address=0 zip:1\n", "line 1: unknown data kind 'zip'"},
        {"firmware address=0 \"text:open\n", "line 1: unterminated quote"},
        {"firmware address=0 file:/nonexistent/x.bin\n",
         "line 1: cannot read file '/nonexistent/x.bin'"},
        {"descriptor colour=red\n", "line 1: descriptor takes build=, version=, serial=, model="},
        {"firmware address=0 vector-checksum hex:00\n",
         "line 1: vector-checksum needs an image of at least 32 bytes"},
        {"start-address -1\n", "line 1: bad number '-1' for start address"},
    };
    for (const Case& c : cases) {
        Description d;
        std::string error;
        EXPECT_FALSE(ParseDescription(c.text, "", &d, &error)) << c.text;
        EXPECT_EQ(error, c.expected) << c.text;
    }
}

TEST(BirdWriteTool, WritesAFileFromADescription) {
    const char* tool = std::getenv("BIRDWRITE");
    ASSERT_NE(tool, nullptr) << "BIRDWRITE (path of the birdwrite program) is not set";
    kstest::TempDir dir("birdwrite");
    dir.write("img.bin", "XYZ");
    dir.write("d.txt", "firmware address=0x40 file:img.bin\n");
    dir.write("bad.txt", "firmware\n");
    kstest::ProcessResult ok =
        kstest::RunProcess({tool, "-o", dir / "out.bird", dir / "d.txt"}, 10000);
    ASSERT_EQ(ok.exitStatus, 0) << ok.err;
    Bytes file = kstest::ToBytes(kstest::ReadFile(dir / "out.bird"));
    Bytes content = Inflate(file);
    ASSERT_EQ(content.size(), 4u + 5 + 7 + 4);
    EXPECT_BYTES(FromHex("00000001"
                         "0100000007"
                         "00000040"
                         "58595A"),
                 Bytes(content.begin(), content.end() - 4));

    kstest::ProcessResult bad =
        kstest::RunProcess({tool, "-o", dir / "bad.bird", dir / "bad.txt"}, 10000);
    EXPECT_EQ(bad.exitStatus, 1);
    EXPECT_FALSE(kstest::Exists(dir / "bad.bird")) << "no output file after a bad description";
}

} // namespace
