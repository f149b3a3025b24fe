// The text description format of the BIRD writer (documented in README.md).
#include "birdsim/birdwriter.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace birdwriter {
namespace {

struct LineError {
    std::string text;
};

// Splits a line into words; a double-quoted part keeps its blanks
// (key="two words" or "two words"). A '#' outside quotes starts a comment.
std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (char c : line) {
        if (quoted) {
            if (c == '"')
                quoted = false;
            else
                word += c;
            continue;
        }
        if (c == '"') {
            quoted = inWord = true;
        } else if (c == '#') {
            break;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quoted)
        throw LineError{"unterminated quote"};
    if (inWord)
        words.push_back(word);
    return words;
}

uint64_t Number(const std::string& text, uint64_t max, const char* what) {
    if (text.empty())
        throw LineError{std::string("missing number for ") + what};
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || text[0] == '-' || v > max)
        throw LineError{std::string("bad number '") + text + "' for " + what};
    return v;
}

uint32_t U32(const std::string& text, const char* what) {
    return static_cast<uint32_t>(Number(text, 0xFFFFFFFFu, what));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw LineError{"cannot read file '" + path + "'"};
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// One data source: hex:..., text:..., fill:BYTE:COUNT, le32:W,W,..., be32:W,..., file:PATH
void AppendData(const std::string& word, const std::string& baseDir, Bytes& out) {
    size_t colon = word.find(':');
    if (colon == std::string::npos)
        throw LineError{"unknown item '" + word + "'"};
    std::string kind = word.substr(0, colon), arg = word.substr(colon + 1);
    if (kind == "hex") {
        std::string digits;
        for (char c : arg)
            if (c != '_' && c != '-')
                digits += c;
        if (digits.size() % 2 != 0)
            throw LineError{"odd number of hex digits"};
        for (size_t i = 0; i < digits.size(); i += 2) {
            int hi = HexDigit(digits[i]), lo = HexDigit(digits[i + 1]);
            if (hi < 0 || lo < 0)
                throw LineError{"bad hex digit in '" + arg + "'"};
            out.push_back(static_cast<uint8_t>(hi * 16 + lo));
        }
    } else if (kind == "text") {
        out.insert(out.end(), arg.begin(), arg.end());
    } else if (kind == "fill") {
        size_t c2 = arg.find(':');
        if (c2 == std::string::npos)
            throw LineError{"fill needs BYTE:COUNT"};
        uint8_t value = static_cast<uint8_t>(Number(arg.substr(0, c2), 0xFF, "fill byte"));
        uint64_t count = Number(arg.substr(c2 + 1), 256u << 20, "fill count");
        out.insert(out.end(), static_cast<size_t>(count), value);
    } else if (kind == "le32" || kind == "be32") {
        std::stringstream ss(arg);
        std::string item;
        while (std::getline(ss, item, ',')) {
            uint32_t v = U32(item, "word");
            if (kind == "le32")
                PutLE32(out, v);
            else
                PutBE32(out, v);
        }
    } else if (kind == "file") {
        std::string path =
            (!arg.empty() && arg[0] != '/' && !baseDir.empty()) ? baseDir + "/" + arg : arg;
        Bytes b = ReadFileBytes(path);
        out.insert(out.end(), b.begin(), b.end());
    } else {
        throw LineError{"unknown data kind '" + kind + "'"};
    }
}

// key=value options of a block line; everything else is data.
struct BlockArgs {
    std::optional<uint32_t> type, flags, address, length;
    bool vectorChecksum = false;
    Bytes data;
};

BlockArgs ParseBlockArgs(const std::vector<std::string>& w, const std::string& baseDir) {
    BlockArgs a;
    for (size_t i = 1; i < w.size(); ++i) {
        const std::string& word = w[i];
        size_t eq = word.find('=');
        std::string key = eq == std::string::npos ? "" : word.substr(0, eq);
        std::string val = eq == std::string::npos ? "" : word.substr(eq + 1);
        if (key == "type")
            a.type = U32(val, "type");
        else if (key == "flags")
            a.flags = U32(val, "flags");
        else if (key == "address")
            a.address = U32(val, "address");
        else if (key == "length")
            a.length = U32(val, "length");
        else if (word == "vector-checksum")
            a.vectorChecksum = true;
        else
            AppendData(word, baseDir, a.data);
    }
    if (a.flags && *a.flags > 7)
        throw LineError{"flags must be 0..7"};
    if (a.type && *a.type > 31)
        throw LineError{"type must be 0..31"};
    return a;
}

std::string Option(const std::vector<std::string>& w, const std::string& key,
                   const std::string& def) {
    for (size_t i = 1; i < w.size(); ++i)
        if (w[i].compare(0, key.size() + 1, key + "=") == 0)
            return w[i].substr(key.size() + 1);
    return def;
}

void NeedArgs(const std::vector<std::string>& w, size_t n) {
    if (w.size() != n + 1)
        throw LineError{"'" + w[0] + "' takes " + std::to_string(n) + " argument(s)"};
}

void ParseLine(const std::vector<std::string>& w, const std::string& baseDir, Description& d) {
    const std::string& cmd = w[0];
    if (cmd == "version") {
        NeedArgs(w, 2);
        d.versionMajor = static_cast<uint8_t>(Number(w[1], 255, "major"));
        d.versionMinor = static_cast<uint8_t>(Number(w[2], 255, "minor"));
    } else if (cmd == "signature") {
        NeedArgs(w, 1);
        d.signature = w[1];
    } else if (cmd == "count") {
        NeedArgs(w, 1);
        d.blockCount = U32(w[1], "count");
    } else if (cmd == "checksum") {
        NeedArgs(w, 1);
        d.checksum = U32(w[1], "checksum");
    } else if (cmd == "no-checksum") {
        NeedArgs(w, 0);
        d.omitChecksum = true;
    } else if (cmd == "trailer") {
        for (size_t i = 1; i < w.size(); ++i)
            AppendData(w[i], baseDir, d.trailer);
    } else if (cmd == "scramble") {
        NeedArgs(w, 4);
        d.scrambleKey = std::vector<uint32_t>{U32(w[1], "key"), U32(w[2], "key"), U32(w[3], "key"),
                                              U32(w[4], "key")};
    } else if (cmd == "level") {
        NeedArgs(w, 1);
        d.compressionLevel = static_cast<int>(Number(w[1], 9, "level"));
    } else if (cmd == "truncate") {
        NeedArgs(w, 1);
        d.truncateTo = static_cast<size_t>(Number(w[1], 0xFFFFFFFFu, "truncate"));
    } else if (cmd == "loader" || cmd == "firmware") {
        BlockArgs a = ParseBlockArgs(w, baseDir);
        if (!a.address)
            throw LineError{cmd + " needs address="};
        if (a.type)
            throw LineError{cmd + " takes no type="};
        if (a.vectorChecksum && !SetVectorChecksum(a.data))
            throw LineError{"vector-checksum needs an image of at least 32 bytes"};
        Block b = ImageBlock(cmd == "loader" ? kLoader : kFirmware,
                             static_cast<uint8_t>(a.flags.value_or(0)), *a.address, a.data);
        b.declaredLength = a.length;
        d.blocks.push_back(b);
    } else if (cmd == "descriptor") {
        for (size_t i = 1; i < w.size(); ++i) {
            std::string key = w[i].substr(0, w[i].find('='));
            if (w[i].find('=') == std::string::npos ||
                (key != "build" && key != "version" && key != "serial" && key != "model"))
                throw LineError{"descriptor takes build=, version=, serial=, model="};
        }
        d.blocks.push_back(DescriptorBlockText(Option(w, "build", ""), Option(w, "version", ""),
                                               Option(w, "serial", ""), Option(w, "model", "")));
    } else if (cmd == "serial-offsets") {
        NeedArgs(w, 2);
        d.blocks.push_back(
            SerialOffsetsBlock(U32(w[1], "serial address"), U32(w[2], "descriptor address")));
    } else if (cmd == "start-address") {
        NeedArgs(w, 1);
        d.blocks.push_back(StartAddressBlock(U32(w[1], "start address")));
    } else if (cmd == "block") {
        BlockArgs a = ParseBlockArgs(w, baseDir);
        if (!a.type)
            throw LineError{"block needs type="};
        if (a.address)
            throw LineError{"block takes no address= (put it in the data)"};
        Block b = RawBlock(static_cast<uint8_t>(*a.type), static_cast<uint8_t>(a.flags.value_or(0)),
                           a.data);
        b.declaredLength = a.length;
        d.blocks.push_back(b);
    } else {
        throw LineError{"unknown directive '" + cmd + "'"};
    }
}

} // namespace

bool ParseDescription(const std::string& text, const std::string& baseDir, Description* out,
                      std::string* error) {
    Description d;
    std::stringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        try {
            std::vector<std::string> words = SplitWords(line);
            if (!words.empty())
                ParseLine(words, baseDir, d);
        } catch (const LineError& e) {
            if (error)
                *error = "line " + std::to_string(number) + ": " + e.text;
            return false;
        }
    }
    *out = std::move(d);
    return true;
}

} // namespace birdwriter
