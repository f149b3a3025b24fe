#include "replies.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace updsim {

namespace {

using Params = std::map<std::string, std::string>;

Reply Error(int status, const std::string& text) {
    Reply r;
    r.status = status;
    r.body = "error " + text + "\n";
    r.note = text;
    return r;
}

Reply Ok(const std::string& lines, const std::string& note) {
    Reply r;
    r.body = "ok\n" + lines;
    r.note = note;
    return r;
}

// Checks that every named parameter is present; sets the error reply if not.
bool Require(const Params& p, std::initializer_list<const char*> names, Reply& error) {
    for (const char* n : names) {
        if (p.find(n) == p.end()) {
            error = Error(400, std::string("missing parameter ") + n);
            return false;
        }
    }
    return true;
}

bool CheckSerial(const Content& content, const std::string& sn, Reply& error) {
    if (!IsSerialText(sn)) {
        error = Error(400, "sn must be eight upper-case hexadecimal digits");
        return false;
    }
    if (!content.HasModule(sn)) {
        error = Error(404, "unknown serial number");
        return false;
    }
    return true;
}

Reply AnswerPing(const Params& p) {
    Reply e;
    if (!Require(p, {"rv"}, e))
        return e;
    if (p.at("rv") != "2")
        return Error(400, "unsupported rv");
    return Ok("", "ping");
}

Reply AnswerQuery(const Content& content, const Params& p) {
    Reply e;
    if (!Require(p, {"sn"}, e) || !CheckSerial(content, p.at("sn"), e))
        return e;
    const std::string& sn = p.at("sn");
    std::string latest = content.Latest(sn);
    if (latest.empty())
        return Ok("", "no latest build");
    return Ok(latest + "\n" + content.Firmware(sn) + "\n", "latest " + latest);
}

Reply AnswerBird(const Content& content, const Params& p) {
    Reply e;
    if (!Require(p, {"bld", "fw", "no_cal", "sn"}, e) || !CheckSerial(content, p.at("sn"), e))
        return e;
    const std::string& sn = p.at("sn");
    if (p.at("no_cal") != "true" && p.at("no_cal") != "false")
        return Error(400, "no_cal must be true or false");
    if (p.at("fw") != content.Firmware(sn))
        return Error(400, "fw does not match the module's firmware");
    if (!IsDecimal(p.at("bld")))
        return Error(400, "bld must be decimal");
    std::string bytes;
    if (!content.ReadBird(sn, p.at("bld"), bytes))
        return Error(404, "unknown build");
    return Ok(Base64Encode(bytes) + "\n",
              "build " + p.at("bld") + " " + std::to_string(bytes.size()) + " bytes");
}

Reply AnswerBuilds(const Content& content, const Params& p) {
    Reply e;
    if (!Require(p, {"sn"}, e) || !CheckSerial(content, p.at("sn"), e))
        return e;
    std::string lines;
    std::vector<BuildEntry> builds = content.Builds(p.at("sn"));
    for (const BuildEntry& b : builds)
        lines += std::to_string(b.number) + ";" + b.version + "\n";
    return Ok(lines, std::to_string(builds.size()) + " builds");
}

Reply AnswerFix(const Content& content, const Params& p) {
    Reply e;
    if (!Require(p, {"brief", "fp"}, e))
        return e;
    if (p.at("brief") != "true")
        return Error(400, "brief must be true");
    // The fingerprint arrives decoded: four groups of eight hex digits
    // separated by single spaces.
    const std::string& fp = p.at("fp");
    uint32_t words[4];
    bool ok = fp.size() == 35;
    for (int i = 0; i < 4 && ok; ++i) {
        std::string group = fp.substr(size_t(i) * 9, 8);
        ok = (i == 3 || fp[size_t(i) * 9 + 8] == ' ') &&
             group.find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos;
        if (ok)
            words[i] = static_cast<uint32_t>(std::strtoul(group.c_str(), nullptr, 16));
    }
    if (!ok)
        return Error(400, "fp must be four groups of eight hexadecimal digits");
    RecoveryEntry entry;
    if (!content.FindRecovery(words, entry))
        return Error(404, "unknown fingerprint");
    return Ok(entry.serial + "\n" + entry.build + "\n", "recovery " + entry.serial);
}

} // namespace

Reply Answer(const Content& content, const Params& p) {
    auto op = p.find("op");
    if (op == p.end())
        return Error(400, "missing parameter op");
    if (op->second == "hi")
        return AnswerPing(p);
    if (op->second == "qu")
        return AnswerQuery(content, p);
    if (op->second == "bird")
        return AnswerBird(content, p);
    if (op->second == "builds")
        return AnswerBuilds(content, p);
    if (op->second == "fix")
        return AnswerFix(content, p);
    return Error(400, "unknown op");
}

void Distort(const Faults& f, const std::string& op, Reply& reply) {
    if (!f.AppliesTo(op))
        return;
    if (f.status != 0) {
        reply.status = f.status;
        reply.body = "error forced status " + std::to_string(f.status) + "\n";
        reply.note = "forced status";
        return;
    }
    if (!f.bodyFile.empty()) {
        if (!ReadWholeFile(f.bodyFile, reply.body)) {
            reply = Error(500, "body file unreadable");
            return;
        }
        reply.status = 200;
        reply.note = "verbatim body";
        return;
    }
    if (f.emptyBody) {
        reply.status = 200;
        reply.body.clear();
        reply.note = "empty body";
        return;
    }
    if (reply.status != 200)
        return;
    if (op == "bird" && (f.truncatePayload > 0 || f.badPayload)) {
        // Line 2 is the payload: between the first and the second newline.
        size_t b = reply.body.find('\n') + 1;
        size_t e = reply.body.find('\n', b);
        std::string payload = reply.body.substr(b, e - b);
        if (f.badPayload)
            payload.assign(payload.size(), '*');
        payload.resize(payload.size() > f.truncatePayload ? payload.size() - f.truncatePayload : 0);
        reply.body = reply.body.substr(0, b) + payload + reply.body.substr(e);
        reply.note += " damaged payload";
    }
    if (!f.firstLine.empty())
        reply.body = f.firstLine + reply.body.substr(2);
    if (f.crlf) {
        std::string out;
        for (char c : reply.body) {
            if (c == '\n')
                out += '\r';
            out += c;
        }
        reply.body = out;
    }
}

} // namespace updsim
