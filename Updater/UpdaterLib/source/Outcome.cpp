#include "Outcome.h"

#include <cstdarg>
#include <cstdio>

namespace {

struct CodeWords {
    const char* name;   // stable, for scripts
    const char* phrase; // what it means to a user, after "...: "
};

// Indexed by qErr; the names are documented for --json and never change.
const CodeWords kCodes[qErrCount] = {
    {"ok", "no error"},
    {"out-of-memory", "out of memory"},
    {"invalid-argument", "invalid argument"},
    {"not-found", "not found"},
    {"name-too-long", "file name too long"},
    {"busy", "in use by another program"},
    {"io-error", "input/output error"},
    {"wrong-mode", "not in the right mode"},
    {"write-failed", "write failed"},
    {"read-failed", "read failed"},
    {"end-of-file", "unexpected end of file"},
    {"not-ready", "not ready"},
    {"permission-denied", "permission denied"},
    {"out-of-range", "value out of range"},
    {"wrong-size", "wrong size"},
    {"overrun", "buffer overrun"},
    {"parse-error", "could not be parsed"},
    {"configuration-error", "configuration error"},
    {"timeout", "no answer in time"},
    {"initialization-failed", "could not be initialised"},
    {"wrong-version", "wrong version"},
    {"not-available", "not available"},
    {"duplicate", "duplicate request"},
    {"interrupted", "interrupted"},
    {"bad-packet", "invalid or missing reply"},
    {"connection-failed", "connection failed"},
    {"index-out-of-range", "index out of range"},
    {"short-command", "command too short"},
    {"invalid-entity", "invalid entity"},
    {"refused", "refused"},
    {"unavailable", "resource unavailable"},
    {"media-error", "media error"},
    {"async-error", "asynchronous error"},
    {"stale", "value is stale"},
    {"unknown", "unknown error"},
};

const CodeWords& _words(qErr code) {
    int i = static_cast<int>(code);
    return kCodes[(i < 0 || i >= qErrCount) ? qErrUnknown : i];
}

} // namespace

Outcome Outcome::Fail(qErr code, std::string text) {
    Outcome out;
    out.code_ = code == qErrNone ? qErrUnknown : code;
    out.text_ = std::move(text);
    return out;
}

Outcome Outcome::Failf(qErr code, const char* format, ...) {
    char buffer[UpdaterDisplayInterface::MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return Fail(code, buffer);
}

Outcome& Outcome::Within(const std::string& context) {
    if (!ok() && !context.empty())
        text_ = text_.empty() ? context : context + ": " + text_;
    return *this;
}

Outcome& Outcome::Because(const std::string& cause) {
    if (!ok() && !cause.empty())
        text_ = text_.empty() ? cause : text_ + ": " + cause;
    return *this;
}

Outcome& Outcome::Because(qErr cause) {
    return Because(std::string(_words(cause).phrase));
}

Outcome& Outcome::Standing(std::string where) {
    if (!ok())
        standing_ = std::move(where);
    return *this;
}

Outcome& Outcome::StandingIfUnset(std::string where) {
    if (!ok() && standing_.empty())
        standing_ = std::move(where);
    return *this;
}

void Outcome::Report(UpdaterDisplayInterface& display) const {
    if (ok())
        return;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", text_.c_str());
    if (!standing_.empty())
        display.message(UpdaterDisplayInterface::LEVEL_ERROR, "%s", standing_.c_str());
}

const char* Outcome::name() const {
    return ErrorName(code_);
}

const char* ErrorName(qErr code) {
    return _words(code).name;
}
