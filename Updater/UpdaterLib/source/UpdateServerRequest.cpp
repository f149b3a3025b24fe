#include "UpdateServerRequest.h"

#include "BuildReply.h"
#include "Log.h"
#include "SerialNumber.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

const char* const UpdateServerRequest::DEFAULT_URL = "http://updates.keystrand.example/cgi/u";

namespace {

using Params = std::map<std::string, std::string>;

// Performs the GET; a transport failure is logged, leaves ok false and, when
// reason is given, puts curl's error text there.
HTTPResponse _get(const char* op, const char* url, Params& params, bool& ok,
                  std::string* reason = nullptr, HTTPBodySink* sink = nullptr) {
    ok = false;
    try {
        HTTPResponse r =
            HTTPRequest::GET(url ? url : UpdateServerRequest::DEFAULT_URL, params, sink);
        ok = true;
        return r;
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", op, e.what());
        if (reason)
            *reason = e.what();
    }
    return HTTPResponse(nullptr);
}

// The query of a build request.
Params _build_params(uint32_t serial, const char* firmware, const char* build, bool noCal) {
    return Params{{"bld", build ? build : ""},
                  {"fw", firmware ? firmware : ""},
                  {"no_cal", noCal ? "true" : "false"},
                  {"op", "bird"},
                  {"sn", SerialNumberText(serial)}};
}

// Checks the status, splits the body into lines at "\n" (empty lines vanish,
// a carriage return stays in its line) and checks the "ok" line.
bool _split_reply(const char* op, HTTPResponse& reply, std::vector<char*>& lines) {
    lines.clear();
    if (reply.get_status() != 200) {
        if (std::strcmp(op, "ping") == 0)
            Log::log(DEBUG_ServerComm, "PING ==> [%d] [%s]\n", static_cast<int>(reply.get_status()),
                     reply.get_response());
        else
            Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", op,
                     static_cast<int>(reply.get_status()), reply.get_response());
        return false;
    }
    char* save = nullptr;
    for (char* line = strtok_r(reply.get_response(), "\n", &save); line;
         line = strtok_r(nullptr, "\n", &save))
        lines.push_back(line);
    if (lines.empty() || std::strncmp(lines[0], "ok", 2) != 0) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", op, reply.get_request());
        return false;
    }
    return true;
}

} // namespace

bool UpdateServerRequest::ReadPing(HTTPResponse& reply) {
    std::vector<char*> lines;
    return _split_reply("ping", reply, lines);
}

bool UpdateServerRequest::ReadQueryBuild(HTTPResponse& reply, std::string& build,
                                         std::string& firmware) {
    std::vector<char*> lines;
    if (!_split_reply("QueryBuild", reply, lines))
        return false;
    if (lines.size() > 1)
        build = lines[1];
    if (lines.size() > 2)
        firmware.assign(lines[2], std::strcspn(lines[2], "\r\n"));
    return true;
}

bool UpdateServerRequest::ReadBuild(HTTPResponse& reply, std::string& payload) {
    payload.clear();
    std::vector<char*> lines;
    if (!_split_reply("GetBuild", reply, lines))
        return false;
    if (lines.size() > 1) {
        // The payload can be most of a large body: hand the body itself over
        // and cut it down to line 2 instead of copying it.
        size_t offset = static_cast<size_t>(lines[1] - reply.get_response());
        size_t length = std::strlen(lines[1]);
        payload = reply.take_response();
        payload.resize(offset + length);
        payload.erase(0, offset);
    }
    return true;
}

bool UpdateServerRequest::ReadBuildList(HTTPResponse& reply,
                                        std::map<std::string, std::string>& builds) {
    builds.clear();
    std::vector<char*> lines;
    if (!_split_reply("GetBuildList", reply, lines))
        return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        if (std::strlen(lines[i]) < 3)
            continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList", lines[i]);
        char* save = nullptr;
        char* number = strtok_r(lines[i], ";\r\n", &save);
        if (!number)
            continue;
        char* version = strtok_r(nullptr, ";\r\n", &save);
        builds.emplace(number, version ? version : ""); // an existing entry stays
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList", number,
                 version ? version : "");
    }
    return true;
}

bool UpdateServerRequest::ReadRecoveryInfo(HTTPResponse& reply, uint32_t* serial, uint32_t* build) {
    std::vector<char*> lines;
    if (!_split_reply("GetRecoveryInfo", reply, lines))
        return false;
    if (lines.size() > 1 && serial)
        *serial = static_cast<uint32_t>(std::strtoul(lines[1], nullptr, 16));
    if (lines.size() > 2 && build)
        *build = static_cast<uint32_t>(std::strtoul(lines[2], nullptr, 0));
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo", lines[0],
             lines.size() > 1 ? lines[1] : "", lines.size() > 2 ? lines[2] : "");
    return true;
}

bool UpdateServerRequest::ping(const char* url) {
    return ping(url, nullptr);
}

bool UpdateServerRequest::ping(const char* url, std::string* reason) {
    Params p{{"op", "hi"}, {"rv", "2"}};
    bool ok = false;
    HTTPResponse r = _get("ping", url, p, ok, reason);
    if (!ok)
        return false;
    if (ReadPing(r))
        return true;
    if (reason)
        *reason = r.get_status() != 200 ? "HTTP status " + std::to_string(r.get_status())
                                        : std::string("the reply does not begin with \"ok\"");
    return false;
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmware,
                                     const char* url) {
    Params p{{"op", "qu"}, {"sn", SerialNumberText(serial)}};
    bool ok = false;
    HTTPResponse r = _get("QueryBuild", url, p, ok);
    return ok && ReadQueryBuild(r, build, firmware);
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const char* firmware, const char* build,
                                   std::string& payload, const char* url, bool noCal) {
    payload.clear();
    Params p = _build_params(serial, firmware, build, noCal);
    bool ok = false;
    HTTPResponse r = _get("GetBuild", url, p, ok);
    return ok && ReadBuild(r, payload);
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const char* firmware, const char* build,
                                   BuildReplyReader& reader, const char* url, bool noCal,
                                   std::string* reason) {
    Params p = _build_params(serial, firmware, build, noCal);
    bool ok = false;
    HTTPResponse r = _get("GetBuild", url, p, ok, reason, &reader);
    if (!ok)
        return false;
    if (reader.Finish(r.get_status(), r.get_request()))
        return true;
    if (reason)
        *reason = r.get_status() != 200 ? "HTTP status " + std::to_string(r.get_status())
                  : !reader.replyOk()   ? std::string("the reply does not begin with \"ok\"")
                                        : reader.Problem();
    return false;
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds,
                                       const char* url) {
    builds.clear();
    Params p{{"op", "builds"}, {"sn", SerialNumberText(serial)}};
    bool ok = false;
    HTTPResponse r = _get("GetBuildList", url, p, ok);
    return ok && ReadBuildList(r, builds);
}

bool UpdateServerRequest::GetRecoveryInfo(const uint32_t* fingerprint, uint32_t* serial,
                                          uint32_t* build, const char* url) {
    if (!fingerprint)
        return false;
    char fp[64];
    std::snprintf(fp, sizeof fp, "%08X%%20%08X%%20%08X%%20%08X",
                  static_cast<unsigned>(fingerprint[0]), static_cast<unsigned>(fingerprint[1]),
                  static_cast<unsigned>(fingerprint[2]), static_cast<unsigned>(fingerprint[3]));
    Params p{{"brief", "true"}, {"fp", fp}, {"op", "fix"}};
    bool ok = false;
    HTTPResponse r = _get("GetRecoveryInfo", url, p, ok);
    return ok && ReadRecoveryInfo(r, serial, build);
}
