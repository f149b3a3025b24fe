#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qVersion.h"

namespace {

struct PackedRow {
    uint32_t packed;
    unsigned major;
    unsigned minor;
    uint32_t patch;
    const char* text;
};

TEST(PackedVersion, FieldsAndTextComeFromTheirBits) {
    const PackedRow rows[] = {
        {0x00000000u, 0, 0, 0, "0.0.0"},
        {0x2A00001Du, 2, 10, 29, "2.10.29"},
        {0xFFFFFFFFu, 15, 15, 16777215u, "15.15.16777215"},
        {0x10000001u, 1, 0, 1, "1.0.1"},
        {0x01FFFFFFu, 0, 1, 16777215u, "0.1.16777215"},
        {0xF0000000u, 15, 0, 0, "15.0.0"},
    };
    for (const PackedRow& r : rows) {
        EXPECT_EQ(qVersion_ParseMajor(r.packed), r.major) << std::hex << r.packed;
        EXPECT_EQ(qVersion_ParseMinor(r.packed), r.minor) << std::hex << r.packed;
        EXPECT_EQ(qVersion_ParsePatch(r.packed), r.patch) << std::hex << r.packed;
        char buf[32];
        EXPECT_EQ(qVersion_ParseString(r.packed, buf, sizeof buf),
                  static_cast<int>(strlen(r.text)));
        EXPECT_STREQ(buf, r.text);
    }
}

TEST(PackedVersion, TextIsTruncatedAndTerminated) {
    char buf[8];
    memset(buf, 'x', sizeof buf);
    // Reports the full length, writes only what fits.
    EXPECT_EQ(qVersion_ParseString(0xFFFFFFFFu, buf, 5), 14);
    EXPECT_STREQ(buf, "15.1");
    EXPECT_EQ(buf[5], 'x');
    EXPECT_EQ(qVersion_ParseString(0x2A00001Du, nullptr, 0), 7);
}

TEST(LibraryVersion, Is2_9_29) {
    EXPECT_EQ(qVersion_GetMajor(), 2);
    EXPECT_EQ(qVersion_GetMinor(), 9);
    EXPECT_EQ(qVersion_GetPatch(), 29);
    EXPECT_STREQ(qVersion_GetString(), "2.9.29");
}

TEST(LibraryVersion, StringIsOneStaticBufferAlsoAcrossThreads) {
    std::vector<const char*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i] { seen[i] = qVersion_GetString(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (const char* p : seen) {
        EXPECT_EQ(p, qVersion_GetString());
    }
    EXPECT_STREQ(seen[0], "2.9.29");
}

struct AtLeastRow {
    uint8_t major, minor, patch;
    bool expected;
};

TEST(LibraryVersion, IsAtLeastComparesMajorThenMinorThenPatch) {
    const AtLeastRow rows[] = {
        {2, 9, 29, true},   {2, 9, 30, false},      {2, 10, 0, false}, {1, 99, 99, true},
        {2, 8, 200, true},  {3, 0, 0, false},       {0, 0, 0, true},   {2, 9, 0, true},
        {2, 9, 255, false}, {255, 255, 255, false},
    };
    for (const AtLeastRow& r : rows) {
        EXPECT_EQ(qVersion_IsAtLeast(r.major, r.minor, r.patch), r.expected)
            << int(r.major) << "." << int(r.minor) << "." << int(r.patch);
    }
}

TEST(LibraryVersion, CompareIsUnsigned) {
    EXPECT_TRUE(qVersion_IsAtLeastCompare(200, 0, 0, 100, 255, 255));
    EXPECT_FALSE(qVersion_IsAtLeastCompare(100, 255, 255, 200, 0, 0));
    EXPECT_TRUE(qVersion_IsAtLeastCompare(1, 200, 0, 1, 100, 255));
    EXPECT_TRUE(qVersion_IsAtLeastCompare(1, 1, 255, 1, 1, 255));
    EXPECT_FALSE(qVersion_IsAtLeastCompare(1, 1, 128, 1, 1, 129));
}

TEST(Features, OnlyVersionIsOffered) {
    EXPECT_TRUE(qVersion_HasFeature("VERSION"));
    EXPECT_FALSE(qVersion_HasFeature("version"));
    EXPECT_FALSE(qVersion_HasFeature("VERSIONS"));
    EXPECT_FALSE(qVersion_HasFeature(""));
    EXPECT_FALSE(qVersion_HasFeature(nullptr));
}

TEST(Features, ListNamesEachFeatureAndIsReleasedOnce) {
    char* list = qVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    qVersion_DestroyFeatureList(&list);
    EXPECT_EQ(list, nullptr);
    qVersion_DestroyFeatureList(&list); // already released: harmless
    qVersion_DestroyFeatureList(nullptr);
    EXPECT_EQ(list, nullptr);
}

} // namespace
