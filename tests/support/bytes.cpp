#include "bytes.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace kstest {

namespace {

void DumpLine(std::string& out, const uint8_t* data, size_t size, size_t offset) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06zx ", offset);
    out += buf;
    std::string text;
    for (size_t i = 0; i < 16; ++i) {
        if (offset + i < size) {
            uint8_t c = data[offset + i];
            std::snprintf(buf, sizeof buf, "%02x ", c);
            out += buf;
            text += std::isprint(c) ? static_cast<char>(c) : '.';
        } else {
            out += "   ";
        }
    }
    out += " |" + text + "|\n";
}

// Lines of 16 bytes from about `around` (the whole buffer when it is short).
std::string DumpAround(const uint8_t* data, size_t size, size_t around) {
    std::string out;
    size_t first = around >= 32 ? (around - 32) & ~size_t(15) : 0;
    size_t last = std::min(size, first + 96);
    if (first > 0)
        out += "...\n";
    for (size_t at = first; at < last; at += 16)
        DumpLine(out, data, size, at);
    if (last < size)
        out += "... (" + std::to_string(size) + " bytes)\n";
    return out;
}

std::string LineAt(const Bytes& b, size_t at, size_t& number) {
    number =
        1 + static_cast<size_t>(std::count(b.begin(), b.begin() + static_cast<long>(at), '\n'));
    size_t start = at;
    while (start > 0 && b[start - 1] != '\n')
        --start;
    size_t end = at;
    while (end < b.size() && b[end] != '\n')
        ++end;
    return std::string(b.begin() + static_cast<long>(start), b.begin() + static_cast<long>(end));
}

bool LooksLikeText(const Bytes& b) {
    return std::all_of(b.begin(), b.end(), [](uint8_t c) {
        return c == '\n' || c == '\r' || c == '\t' || (c >= 0x20 && c < 0x7F);
    });
}

} // namespace

std::string HexDump(const uint8_t* data, size_t size) {
    std::string out;
    if (size <= 32) {
        char buf[4];
        for (size_t i = 0; i < size; ++i) {
            std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", data[i]);
            out += buf;
        }
        return out;
    }
    for (size_t at = 0; at < size; at += 16)
        DumpLine(out, data, size, at);
    return out;
}

std::string DescribeDifference(const Bytes& expected, const Bytes& actual) {
    if (expected == actual)
        return "";
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;
    std::string out = "first difference at byte " + std::to_string(at) + " (expected " +
                      std::to_string(expected.size()) + " bytes, got " +
                      std::to_string(actual.size()) + ")\n";
    if (LooksLikeText(expected) && LooksLikeText(actual)) {
        size_t en = 0, an = 0;
        std::string el = LineAt(expected, std::min(at, expected.size()), en);
        std::string al = LineAt(actual, std::min(at, actual.size()), an);
        out += "expected line " + std::to_string(en) + ": [" + el + "]\n";
        out += "actual   line " + std::to_string(an) + ": [" + al + "]\n";
    }
    out += "expected:\n" + DumpAround(expected.data(), expected.size(), at);
    out += "actual:\n" + DumpAround(actual.data(), actual.size(), at);
    return out;
}

std::string DescribeDifference(const std::string& expected, const std::string& actual) {
    return DescribeDifference(ToBytes(expected), ToBytes(actual));
}

} // namespace kstest
