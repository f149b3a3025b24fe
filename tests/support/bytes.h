// Byte comparisons for tests: a hex dump, and EXPECT_BYTES, which on a
// mismatch prints where the two differ and both sides in hex around it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kstest {

using Bytes = std::vector<uint8_t>;

inline Bytes ToBytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// "01 02 A0" for short runs; offsets, 16 bytes and their text per line for
// longer ones.
std::string HexDump(const uint8_t* data, size_t size);
inline std::string HexDump(const Bytes& b) {
    return HexDump(b.data(), b.size());
}
inline std::string HexDump(const std::string& s) {
    return HexDump(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

// Empty when equal; otherwise the first difference (offset, line for text)
// and hex dumps of both around it.
std::string DescribeDifference(const Bytes& expected, const Bytes& actual);
std::string DescribeDifference(const std::string& expected, const std::string& actual);

template <typename A, typename B>
::testing::AssertionResult BytesEqual(const char* expectedExpr, const char* actualExpr,
                                      const A& expected, const B& actual) {
    Bytes e(std::begin(expected), std::end(expected));
    Bytes a(std::begin(actual), std::end(actual));
    std::string diff = DescribeDifference(e, a);
    if (diff.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actualExpr << " differs from " << expectedExpr << "\n"
                                         << diff;
}

} // namespace kstest

// Works for any two byte containers (std::string, std::vector<uint8_t>, ...).
#define EXPECT_BYTES(expected, actual) EXPECT_PRED_FORMAT2(::kstest::BytesEqual, expected, actual)
#define ASSERT_BYTES(expected, actual) ASSERT_PRED_FORMAT2(::kstest::BytesEqual, expected, actual)
