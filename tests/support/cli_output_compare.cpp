#include "cli_output_compare.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::string _hex_dump(const std::string& s, size_t from, size_t count) {
    std::string out;
    char cell[24];
    size_t end = std::min(s.size(), from + count);
    for (size_t i = from; i < end; i += 16) {
        snprintf(cell, sizeof cell, "%06zx ", i);
        out += cell;
        std::string text;
        for (size_t j = i; j < i + 16; ++j) {
            if (j < end) {
                unsigned char c = static_cast<unsigned char>(s[j]);
                snprintf(cell, sizeof cell, "%02x ", c);
                out += cell;
                text += (c >= 32 && c < 127) ? static_cast<char>(c) : '.';
            } else {
                out += "   ";
            }
        }
        out += " |" + text + "|\n";
    }
    return out;
}

std::string _line_at(const std::string& s, size_t pos, size_t* number) {
    size_t start = s.rfind('\n', pos == 0 ? 0 : pos - 1);
    start = (start == std::string::npos || pos == 0) ? 0 : start + 1;
    size_t end = s.find('\n', pos);
    *number =
        static_cast<size_t>(std::count(s.begin(), s.begin() + static_cast<long>(start), '\n')) + 1;
    return s.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

} // namespace

std::string DescribeDifference(const std::string& expected, const std::string& actual) {
    if (expected == actual)
        return std::string();
    size_t pos = 0;
    while (pos < expected.size() && pos < actual.size() && expected[pos] == actual[pos])
        ++pos;
    std::ostringstream os;
    size_t le = 0, la = 0;
    std::string lineE = _line_at(expected, std::min(pos, expected.size()), &le);
    std::string lineA = _line_at(actual, std::min(pos, actual.size()), &la);
    os << "outputs differ at byte " << pos << " (expected " << expected.size() << " bytes, got "
       << actual.size() << ")\n";
    os << "expected line " << le << ": [" << lineE << "]\n";
    os << "actual   line " << la << ": [" << lineA << "]\n";
    size_t from = pos >= 32 ? (pos - 32) & ~static_cast<size_t>(15) : 0;
    os << "expected bytes:\n" << _hex_dump(expected, from, 96);
    os << "actual bytes:\n" << _hex_dump(actual, from, 96);
    return os.str();
}

bool ReadWholeFile(const std::string& path, std::string* content) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream os;
    os << in.rdbuf();
    *content = os.str();
    return true;
}
