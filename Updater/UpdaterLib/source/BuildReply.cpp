#include "BuildReply.h"

#include <cstdint>
#include <cstring>

#include "Log.h"

namespace {

constexpr size_t kLoggedBody = 256; // of a refused reply

// The first newline or NUL in data, or n.
size_t LineEnd(const char* data, size_t n) {
    const void* nl = std::memchr(data, '\n', n);
    size_t end = nl ? static_cast<size_t>(static_cast<const char*>(nl) - data) : n;
    const void* nul = std::memchr(data, '\0', end);
    return nul ? static_cast<size_t>(static_cast<const char*>(nul) - data) : end;
}

} // namespace

BuildReplyReader::BuildReplyReader(Output output) : output_(std::move(output)) {}

// Line 1: only its first two characters matter.
size_t BuildReplyReader::Line1(const char* data, size_t n) {
    size_t end = LineEnd(data, n);
    for (size_t i = 0; i < end && firstCount_ < 2; ++i)
        first_[firstCount_++] = data[i];
    if (end == n)
        return n;
    ok_ = firstCount_ == 2 && first_[0] == 'o' && first_[1] == 'k';
    state_ = data[end] == '\0' || !ok_ ? kDone : kAfterLine1;
    return end + 1;
}

size_t BuildReplyReader::Payload(const char* data, size_t n) {
    size_t end = LineEnd(data, n);
    decoded_.clear();
    if (!decodeFailed_ && !decoder_.Feed(data, end, decoded_))
        decodeFailed_ = true;
    if (decoded_.size() > contentLimit_ - decodedBytes_) {
        tooLarge_ = true;
        return 0;
    }
    if (!decoded_.empty()) {
        decodedBytes_ += decoded_.size();
        if (!output_(reinterpret_cast<const uint8_t*>(decoded_.data()), decoded_.size())) {
            outputFailed_ = true;
            return 0;
        }
    }
    if (decodeFailed_)
        return 0; // no point in reading on
    if (end == n)
        return n;
    state_ = kDone;
    return end + 1;
}

bool BuildReplyReader::Body(long status, const char* data, size_t n) {
    if (status != 200) {
        size_t keep = kLoggedBody - refusedBody_.size();
        refusedBody_.append(data, n < keep ? n : keep);
        return true; // read to its end, as any refused reply
    }
    size_t i = 0;
    while (i < n && state_ != kDone) {
        const char* p = data + i;
        size_t left = n - i;
        if (state_ == kLine1Start || state_ == kAfterLine1) {
            if (*p == '\n') {
                ++i;
                continue;
            }
            if (*p == '\0') {
                state_ = kDone;
                break;
            }
            if (state_ == kAfterLine1)
                payloadSeen_ = true;
            state_ = state_ == kLine1Start ? kLine1 : kPayload;
            continue;
        }
        size_t used = state_ == kLine1 ? Line1(p, left) : Payload(p, left);
        if (used == 0)
            return false; // the payload is refused, or its bytes cannot be kept
        i += used;
    }
    return true;
}

size_t BuildReplyReader::ReplyLimit(size_t contentLimit) {
    contentLimit_ = contentLimit;
    constexpr size_t kRoom = 4096; // the "ok" line, newlines, padding
    const size_t groups = contentLimit / 3 + 1;
    return groups > (SIZE_MAX - kRoom) / 4 ? SIZE_MAX : groups * 4 + kRoom;
}

std::string BuildReplyReader::Problem() const {
    if (tooLarge_)
        return "the build is larger than " + std::to_string(contentLimit_) + " bytes";
    if (outputFailed_)
        return "the downloaded bytes could not be stored";
    if (decodeFailed_)
        return std::string("the payload is not valid base64: ") + decoder_.problem();
    return "the transfer was stopped";
}

bool BuildReplyReader::Finish(long status, const char* request) {
    if (status != 200) {
        Log::log(DEBUG_ServerComm, "%s ==> [%d] [%s]\n", "GetBuild", static_cast<int>(status),
                 refusedBody_.c_str());
        return false;
    }
    if (state_ == kLine1)
        ok_ = firstCount_ == 2 && first_[0] == 'o' && first_[1] == 'k';
    if (!ok_) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", "GetBuild",
                 request ? request : "");
        return false;
    }
    return !decodeFailed_ && !outputFailed_ && decoder_.Finish();
}
