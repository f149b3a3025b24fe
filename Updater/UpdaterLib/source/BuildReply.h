// Reading the reply of a build request (GetBuild) as it arrives: the "ok"
// line, then the payload line, decoded from base64 on the fly and handed on
// in pieces, so that a large firmware file is never held whole in memory,
// neither as text nor as bytes.
//
// The reply grammar is the one every server reply follows: the body is
// split into lines at '\n', runs of newlines count as one, a carriage
// return stays part of its line, and the body ends at its first NUL byte
// (the parsers that read a collected body see it as a C string). Line 1
// must begin with "ok"; line 2 is the payload; further lines are ignored.
//
// Threads: used by the thread that runs the request; the outcome is read
// after the request has ended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "HTTPRequest.h"
#include "base64.h"

class BuildReplyReader : public HTTPBodySink {
  public:
    // Receives decoded bytes; false when they could not be kept (the
    // transfer then stops and outputFailed() is true).
    using Output = std::function<bool(const uint8_t* bytes, size_t n)>;

    explicit BuildReplyReader(Output output);

    bool Body(long status, const char* data, size_t n) override;
    std::string Problem() const override;
    // The payload is base64 on one line after the "ok" line: 4 characters
    // for every 3 bytes, and a little room for the rest. The decoded bytes
    // are held to contentLimit.
    size_t ReplyLimit(size_t contentLimit) override;

    // After the transfer, with the reply's status: true for status 200, a
    // first line beginning with "ok" and a payload line that decoded whole
    // (an empty payload line included: payloadSeen() tells). Logs a refused
    // reply under DEBUG_ServerComm as the other queries do.
    bool Finish(long status, const char* request);

    bool replyOk() const { return ok_; }
    bool payloadSeen() const { return payloadSeen_; }
    bool outputFailed() const { return outputFailed_; }
    // The base64 decoder's verdict on the payload line.
    const Base64Decoder& decoder() const { return decoder_; }
    uint64_t decodedBytes() const { return decodedBytes_; }

  private:
    enum State { kLine1Start, kLine1, kAfterLine1, kPayload, kDone };
    size_t Line1(const char* data, size_t n);
    size_t Payload(const char* data, size_t n);

    Output output_;
    Base64Decoder decoder_;
    std::string decoded_; // one piece's bytes, reused
    State state_ = kLine1Start;
    char first_[2] = {0, 0};
    unsigned firstCount_ = 0;
    bool ok_ = false;
    bool payloadSeen_ = false;
    bool outputFailed_ = false;
    bool decodeFailed_ = false;
    bool tooLarge_ = false;
    uint64_t decodedBytes_ = 0;
    uint64_t contentLimit_ = UINT64_MAX;
    std::string refusedBody_; // the start of a reply that is not status 200
};
