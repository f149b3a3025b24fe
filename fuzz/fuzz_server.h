// The bodies of the fuzz targets for what comes from the update server: the
// reply parsers against a reference line splitter, the strict base64 decoder
// against a reference decoder, and the download's whole-file check (whatever
// it accepts must load as a BIRD file). Shared with the ctest test that
// replays the seeds and the kept regressions. Each aborts on a disagreement.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "BuildReply.h"
#include "HTTPRequest.h"
#include "UpdateServerRequest.h"
#include "base64.h"
#include "fuzz_inputs.h"

namespace fuzzserver {

inline void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz: %s\n", what);
        std::abort();
    }
}

// The reply grammar written out plainly: the body as a C string (up to its
// first NUL), split at '\n', empty lines dropped.
inline std::vector<std::string> ReferenceLines(const std::string& body) {
    std::string text = body.substr(0, body.find('\0'));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Strict base64, one group at a time: false for anything but whole groups of
// the alphabet, with one or two '=' only at the end of the last group over
// zero bits.
inline bool ReferenceDecode(const std::string& text, std::string& out) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    out.clear();
    if (text.size() % 4 != 0)
        return false;
    for (size_t g = 0; g < text.size(); g += 4) {
        bool last = g + 4 == text.size();
        size_t pad = 0;
        if (last && text[g + 3] == '=')
            pad = text[g + 2] == '=' ? 2 : 1;
        unsigned bits = 0;
        for (size_t k = 0; k < 4; ++k) {
            size_t v = k >= 4 - pad ? 0 : alphabet.find(text[g + k]);
            if (v == std::string::npos || text[g + k] == '\0')
                return false;
            bits = bits << 6 | static_cast<unsigned>(v);
        }
        if (pad == 2 && (bits & 0xFFFF) != 0)
            return false;
        if (pad == 1 && (bits & 0xFF) != 0)
            return false;
        for (size_t k = 0; k < 3 - pad; ++k)
            out += static_cast<char>(bits >> (16 - 8 * k));
    }
    return true;
}

inline HTTPResponse Reply(long status, const std::string& body) {
    HTTPResponse r("http://fuzz/cgi/u?");
    r.set_status(status);
    r.process(body.data(), body.size());
    return r;
}

// Splits n bytes into pieces whose sizes follow seed (1..64 bytes each).
template <typename F> void InPieces(const char* data, size_t n, uint8_t seed, F feed) {
    unsigned state = seed | 1u;
    for (size_t i = 0; i < n;) {
        state = state * 1103515245u + 12345u;
        size_t take = std::min<size_t>(n - i, 1 + (state >> 16) % 64);
        feed(data + i, take);
        i += take;
    }
}

// Input: status selector, piece seed, body.
inline void Replies(const uint8_t* data, size_t size) {
    if (size < 2)
        return;
    const long status = (data[0] & 7) == 0 ? 404 : 200;
    const uint8_t seed = data[1];
    const std::string body(reinterpret_cast<const char*>(data + 2), size - 2);
    const std::vector<std::string> lines = ReferenceLines(body);
    const bool ok = status == 200 && !lines.empty() && lines[0].compare(0, 2, "ok") == 0;

    HTTPResponse ping = Reply(status, body);
    Require(UpdateServerRequest::ReadPing(ping) == ok, "ReadPing");

    HTTPResponse query = Reply(status, body);
    std::string build = "unset", firmware = "unset";
    Require(UpdateServerRequest::ReadQueryBuild(query, build, firmware) == ok, "ReadQueryBuild");
    if (ok) {
        Require(build == (lines.size() > 1 ? lines[1] : "unset"), "QueryBuild build line");
        Require(firmware == (lines.size() > 2 ? lines[2].substr(0, lines[2].find('\r')) : "unset"),
                "QueryBuild firmware line");
    }

    HTTPResponse bird = Reply(status, body);
    std::string payload = "unset";
    Require(UpdateServerRequest::ReadBuild(bird, payload) == ok, "ReadBuild");
    Require(payload == (ok && lines.size() > 1 ? lines[1] : ""), "ReadBuild payload");

    HTTPResponse list = Reply(status, body);
    std::map<std::string, std::string> builds = {{"stale", "entry"}};
    Require(UpdateServerRequest::ReadBuildList(list, builds) == ok, "ReadBuildList");
    std::map<std::string, std::string> expected;
    for (size_t i = 1; ok && i < lines.size(); ++i) {
        if (lines[i].size() < 3)
            continue;
        std::vector<std::string> fields;
        std::string field;
        for (char c : lines[i] + ";") {
            if (c == ';' || c == '\r' || c == '\n') {
                if (!field.empty())
                    fields.push_back(field);
                field.clear();
            } else {
                field += c;
            }
        }
        if (!fields.empty())
            expected.emplace(fields[0], fields.size() > 1 ? fields[1] : "");
    }
    Require(builds == expected, "ReadBuildList entries");

    HTTPResponse fix = Reply(status, body);
    uint32_t serial = 7, recovery = 9;
    Require(UpdateServerRequest::ReadRecoveryInfo(fix, &serial, &recovery) == ok,
            "ReadRecoveryInfo");
    if (ok) {
        Require(serial == (lines.size() > 1
                               ? static_cast<uint32_t>(std::strtoul(lines[1].c_str(), nullptr, 16))
                               : 7u),
                "RecoveryInfo serial");
        Require(recovery == (lines.size() > 2
                                 ? static_cast<uint32_t>(std::strtoul(lines[2].c_str(), nullptr, 0))
                                 : 9u),
                "RecoveryInfo build");
    }

    // The build reply read as it arrives, in pieces, decoded on the fly.
    std::string decoded;
    BuildReplyReader reader([&decoded](const uint8_t* b, size_t n) {
        decoded.append(reinterpret_cast<const char*>(b), n);
        return true;
    });
    bool going = true;
    InPieces(body.data(), body.size(), seed, [&](const char* p, size_t n) {
        if (going)
            going = reader.Body(status, p, n);
    });
    bool read = reader.Finish(status, "fuzz");
    std::string reference;
    bool decodes = ok && lines.size() > 1 && ReferenceDecode(lines[1], reference);
    Require(reader.replyOk() == (status == 200 && ok), "streamed reply: ok line");
    Require(reader.payloadSeen() == (ok && lines.size() > 1) || !going, "streamed reply: payload");
    Require(read == (ok && (lines.size() < 2 || decodes)), "streamed reply: verdict");
    if (read && decodes)
        Require(decoded == reference, "streamed reply: bytes");
}

// Input: piece seed, text.
inline void Base64Text(const uint8_t* data, size_t size) {
    if (size < 1)
        return;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string reference;
    const bool valid = ReferenceDecode(text, reference);

    Base64Decoder decoder;
    std::string out;
    InPieces(text.data(), text.size(), data[0],
             [&](const char* p, size_t n) { decoder.Feed(p, n, out); });
    const bool streamed = decoder.Finish();
    Require(streamed == valid, "streamed decoder verdict");
    if (valid)
        Require(out == reference, "streamed decoder bytes");
    Require(decoder.failed() == !valid && (valid || *decoder.problem() != '\0'), "decoder problem");

    size_t length = 99;
    unsigned char* whole = base64_decode(text.data(), text.size(), &length);
    Require((whole != nullptr) == valid, "base64_decode verdict");
    if (whole) {
        Require(std::string(reinterpret_cast<char*>(whole), length) == reference &&
                    whole[length] == 0,
                "base64_decode bytes");
        std::free(whole);
    } else {
        Require(length == 0, "base64_decode length of a refusal");
    }
}

inline std::vector<std::string> BlockBytes(const BirdFile& f) {
    std::vector<std::string> blocks;
    for (const BirdBlock& b : f.blocks)
        blocks.push_back(std::to_string(b.type) + "/" + std::to_string(b.flags) + ":" +
                         std::string(reinterpret_cast<const char*>(b.data), b.length));
    return blocks;
}

// The download's check of a payload: from memory, and of the file it was
// written to, without keeping the content. Whatever it accepts loads as a
// whole BIRD file with the same blocks.
inline void AcceptedPayload(const uint8_t* data, size_t size) {
    BirdFile memory;
    memory.filename = "memory";
    const bool loaded = memory.LoadFromMemory(data, size);
    const bool whole = loaded && memory.IsWhole();
    Require(BirdFile::IsCompleteFile(data, size) == whole, "IsCompleteFile");

    std::string path = fuzzinputs::ScratchPath("accept");
    if (!fuzzinputs::WriteFile(path, data, size))
        return;
    std::string problem;
    const bool accepted = BirdFile::CheckWholeFile(path.c_str(), &problem);
    Require(accepted == whole, "CheckWholeFile and a load disagree");
    Require(accepted == problem.empty(), "CheckWholeFile reason");
    if (accepted) {
        BirdFile stored(path.c_str()); // throws, and so aborts, when it cannot load
        Require(stored.IsWhole(), "an accepted file loads whole");
        Require(BlockBytes(stored) == BlockBytes(memory), "blocks from disk and memory");
        fuzzinputs::UseBirdFile(stored);
    }
    std::remove(path.c_str());
}

} // namespace fuzzserver
