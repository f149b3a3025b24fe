// One HTTP GET to the update server through libcurl's easy interface, and the
// reply it collects.
//
// Threads: a request uses only its own curl handle and response, so requests
// may run on any thread. The limits below are process-wide, guarded by a
// mutex of their own; tests change them before they start requests.
#pragma once

#include <cstddef>
#include <map>
#include <string>

// The reply of one GET: the URL asked for, the HTTP status (0 until the
// exchange completed) and the body as it arrived.
class HTTPResponse {
  public:
    explicit HTTPResponse(const char* url);

    // Modifiable, zero-terminated texts: the reply parsers split the body in
    // place.
    char* get_request() { return &request[0]; }
    char* get_response() { return &response[0]; }
    size_t response_length() const { return response.size(); }
    long get_status() const { return status; }
    void set_status(long value) { status = value; }
    // Appends n bytes to the body.
    void process(const char* data, size_t n) { response.append(data, n); }
    // Makes room for a body of n bytes in advance.
    void reserve(size_t n) { response.reserve(n); }
    // Hands the body over to the caller (used to keep one copy of a large
    // payload); the response is left with an empty body.
    std::string take_response() { return std::move(response); }

  private:
    std::string request;
    long status = 0;
    std::string response;
};

// Takes a reply's body as it arrives, instead of the response collecting it
// (a firmware payload is decoded and written while it comes in).
class HTTPBodySink {
  public:
    virtual ~HTTPBodySink() = default;
    // One piece of the body of a reply with this HTTP status. False stops
    // the transfer; GET then throws with Problem().
    virtual bool Body(long status, const char* data, size_t n) = 0;
    virtual std::string Problem() const = 0;
    // The most reply bytes to take in for at most contentLimit bytes of
    // content (the body limit); the sink keeps to contentLimit itself. By
    // default the reply is the content.
    virtual size_t ReplyLimit(size_t contentLimit) { return contentLimit; }
};

class HTTPRequest {
  public:
    // Transfer limits. A server that accepts the connection and then says
    // nothing must not hang the updater, and a broken server must not be
    // able to exhaust memory with an endless body.
    struct Limits {
        long connectTimeoutMs = 15000; // connection must be up within this
        long lowSpeedBytes = 1;        // abort when fewer bytes per second ...
        long lowSpeedSeconds = 60;     // ... arrive for this many seconds
        size_t maxBodyBytes = size_t(256) << 20;
    };

    // Performs GET of url plus the query built from params (see BuildURL).
    // Only http and https are spoken, for the request and for any redirect:
    // another scheme (file, ftp, gopher, dict, ...) fails as a transport
    // failure. Returns the reply whatever its status. Throws
    // std::runtime_error on a transport failure (curl's error text), a reply
    // over the body limit, or when no curl handle can be made.
    static HTTPResponse GET(const char* url, std::map<std::string, std::string>& params);
    // The same, handing the body to sink as it arrives (the response's body
    // stays empty); the body limit applies to what the sink makes of it
    // (ReplyLimit). Also throws when the sink stops the transfer.
    static HTTPResponse GET(const char* url, std::map<std::string, std::string>& params,
                            HTTPBodySink* sink);

    // url, then "?" and key=value& for every parameter in key order when
    // there is at least one. Values are used as given, without escaping.
    static std::string BuildURL(const char* url, const std::map<std::string, std::string>& params);

    // The limits in force. The setter exists for tests only (so that a
    // time-out test takes a second, not a minute); the program never calls
    // it and has no other way to change the limits.
    static Limits limits();
    static void set_limits_for_testing(const Limits& limits);
};
