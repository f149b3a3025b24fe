// Queries to the update server: one static operation per query, each making
// one GET (HTTPRequest) and reading the line-based reply, whose first line
// must begin with "ok".
//
// Every operation takes the server's base URL last (null for the default),
// returns true only for status 200 and an "ok" reply, and logs under
// DEBUG_ServerComm. Nothing is kept between calls.
#pragma once

#include "HTTPRequest.h"

#include <cstdint>
#include <map>
#include <string>

class BuildReplyReader;

class UpdateServerRequest {
  public:
    // The base URL used when an operation is given a null one.
    static const char* const DEFAULT_URL;

    // ?op=hi&rv=2&
    static bool ping(const char* url);
    // The same; on failure *reason (when given) says why: curl's error text,
    // "HTTP status N", or that the reply does not begin with "ok".
    static bool ping(const char* url, std::string* reason);
    // ?op=qu&sn=SERIAL& ; build = line 2, firmware = line 3 (each only when present).
    static bool QueryBuild(uint32_t serial, std::string& build, std::string& firmware,
                           const char* url);
    // ?bld=BUILD&fw=FW&no_cal=false&op=bird&sn=SERIAL& ; payload emptied, then line 2.
    static bool GetBuild(uint32_t serial, const char* firmware, const char* build,
                         std::string& payload, const char* url, bool noCal);
    // The same request, its payload decoded as it arrives and handed to the
    // reader's output. True for an "ok" reply whose payload line (if any:
    // reader.payloadSeen()) decoded whole; on failure *reason says why and
    // the reader tells whether the payload or its output failed.
    static bool GetBuild(uint32_t serial, const char* firmware, const char* build,
                         BuildReplyReader& reader, const char* url, bool noCal,
                         std::string* reason);
    // ?op=builds&sn=SERIAL& ; builds emptied, then build -> version (first entry wins).
    static bool GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds,
                             const char* url);
    // ?brief=true&fp=W0%20W1%20W2%20W3&op=fix& ; *serial = line 2 (hexadecimal),
    // *build = line 3 (C base rules), each only when present.
    static bool GetRecoveryInfo(const uint32_t* fingerprint, uint32_t* serial, uint32_t* build,
                                const char* url);

    // Reply readers used by the operations above, given the response of
    // their GET; they split the body in place. Each returns false (after a
    // log line naming op) for a status other than 200 or a body whose first
    // line does not begin with "ok".
    static bool ReadPing(HTTPResponse& reply);
    static bool ReadQueryBuild(HTTPResponse& reply, std::string& build, std::string& firmware);
    static bool ReadBuild(HTTPResponse& reply, std::string& payload);
    static bool ReadBuildList(HTTPResponse& reply, std::map<std::string, std::string>& builds);
    static bool ReadRecoveryInfo(HTTPResponse& reply, uint32_t* serial, uint32_t* build);
};
