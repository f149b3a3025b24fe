// Answers of the simulated update server: the normal reply of each operation
// and the fault switches that distort it.
#pragma once

#include "content.h"

#include <map>
#include <set>
#include <string>

namespace updsim {

// Fault switches (all off by default). When `only` is not empty the faults
// apply only to requests whose op value is in it ("hi", "qu", "bird",
// "builds", "fix"); other requests get their normal reply.
struct Faults {
    int status = 0;             // non-zero: answer with this HTTP status
    std::string firstLine;      // non-empty: replaces the "ok" line
    bool emptyBody = false;     // answer 200 with an empty body
    bool crlf = false;          // every line of the reply ends in "\r\n"
    size_t truncatePayload = 0; // drop this many characters from the payload's end
    bool badPayload = false;    // payload made of characters outside base64
    std::string bodyFile;       // non-empty: the body is this file, verbatim
    int delayMs = 0;            // wait this long before answering
    bool hang = false;          // accept the request and never answer it
    bool closeMidReply = false; // announce the full length, send half, close
    size_t trickleBytes = 0;    // non-zero: send the body in pieces of this size
    int trickleMs = 0;          // ... with this pause between the pieces
    bool chunked = false;       // chunked transfer: no Content-Length announced
    std::set<std::string> only;

    bool AppliesTo(const std::string& op) const { return only.empty() || only.count(op) > 0; }
};

// What the server will send for one request.
struct Reply {
    int status = 200;
    std::string body;
    std::string note; // a short word for the request log
};

// The normal reply to a query with these (decoded) parameters.
Reply Answer(const Content& content, const std::map<std::string, std::string>& params);

// Applies the body-changing faults (status, first line, empty body, CR line
// ends, payload damage, verbatim body) to a normal reply for operation op.
void Distort(const Faults& faults, const std::string& op, Reply& reply);

} // namespace updsim
