#include "content.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace updsim {

namespace {

std::string FirstLineTrimmed(const std::string& text) {
    std::string line = text.substr(0, text.find_first_of("\r\n"));
    size_t b = line.find_first_not_of(" \t");
    size_t e = line.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : line.substr(b, e - b + 1);
}

std::string ReadFirstLine(const std::string& path) {
    std::string bytes;
    return ReadWholeFile(path, bytes) ? FirstLineTrimmed(bytes) : std::string();
}

bool ParseWord(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 8 || !std::all_of(text.begin(), text.end(), [](char c) {
            return std::isxdigit(static_cast<unsigned char>(c)) != 0;
        }))
        return false;
    value = static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
    return true;
}

} // namespace

Content::Content(std::string rootDirectory) : root(std::move(rootDirectory)) {}

bool Content::HasModule(const std::string& serial) const {
    std::error_code ec;
    return IsSerialText(serial) && fs::is_directory(fs::path(root) / serial, ec);
}

std::string Content::Latest(const std::string& serial) const {
    return ReadFirstLine((fs::path(root) / serial / "latest").string());
}

std::string Content::Firmware(const std::string& serial) const {
    return ReadFirstLine((fs::path(root) / serial / "firmware").string());
}

std::vector<BuildEntry> Content::Builds(const std::string& serial) const {
    std::vector<BuildEntry> builds;
    std::error_code ec;
    fs::directory_iterator it(fs::path(root) / serial, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        const fs::path& p = it->path();
        std::string stem = p.stem().string();
        std::string ext = p.extension().string();
        if (ext != ".version" || !IsDecimal(stem) || stem.size() > 9)
            continue;
        unsigned long number = std::strtoul(stem.c_str(), nullptr, 10);
        bool known = std::any_of(builds.begin(), builds.end(),
                                 [&](const BuildEntry& b) { return b.number == number; });
        if (known)
            continue;
        BuildEntry entry;
        entry.number = number;
        entry.version = ReadFirstLine((fs::path(root) / serial / (stem + ".version")).string());
        builds.push_back(entry);
    }
    std::sort(builds.begin(), builds.end(),
              [](const BuildEntry& a, const BuildEntry& b) { return a.number < b.number; });
    return builds;
}

bool Content::ReadBird(const std::string& serial, const std::string& build,
                       std::string& bytes) const {
    if (!IsSerialText(serial) || !IsDecimal(build))
        return false;
    return ReadWholeFile((fs::path(root) / serial / (build + ".bird")).string(), bytes);
}

bool Content::FindRecovery(const uint32_t fingerprint[4], RecoveryEntry& entry) const {
    std::string table;
    if (!ReadWholeFile((fs::path(root) / "recovery").string(), table))
        return false;
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string w[4];
        RecoveryEntry row;
        if (!(fields >> w[0] >> w[1] >> w[2] >> w[3] >> row.serial >> row.build))
            continue;
        bool ok = true;
        for (int i = 0; i < 4 && ok; ++i)
            ok = ParseWord(w[i], row.fingerprint[i]);
        if (ok && std::equal(row.fingerprint, row.fingerprint + 4, fingerprint)) {
            entry = row;
            return true;
        }
    }
    return false;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad())
        return false;
    bytes = all.str();
    return true;
}

std::string Base64Encode(const std::string& bytes) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        uint32_t v = (uint32_t(uint8_t(bytes[i])) << 16) | (uint32_t(uint8_t(bytes[i + 1])) << 8) |
                     uint8_t(bytes[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest > 0) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (rest == 2)
            v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += rest == 2 ? alphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

bool IsDecimal(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

bool IsSerialText(const std::string& text) {
    return text.size() == 8 && std::all_of(text.begin(), text.end(), [](char c) {
               return std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F');
           });
}

} // namespace updsim
