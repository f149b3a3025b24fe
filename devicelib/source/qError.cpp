#include "qError.h"

namespace {

const char* const kNames[qErrCount] = {
    "qErrNone",           "qErrMemory",        "qErrParam",      "qErrNotFound",
    "qErrFileNameLength", "qErrBusy",          "qErrIO",         "qErrMode",
    "qErrWrite",          "qErrRead",          "qErrEOF",        "qErrNotReady",
    "qErrPermission",     "qErrRange",         "qErrSize",       "qErrOverrun",
    "qErrParse",          "qErrConfiguration", "qErrTimeout",    "qErrInitialization",
    "qErrVersion",        "qErrUnimplemented", "qErrDuplicate",  "qErrCancel",
    "qErrPacket",         "qErrConnection",    "qErrIndexRange", "qErrShortCommand",
    "qErrInvalidEntity",  "qErrInvalidOption", "qErrResource",   "qErrMedia",
    "qErrAsyncReturn",    "qErrStreamStale",   "qErrUnknown",
};

const char* const kDescriptions[qErrCount] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancelation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "Keystrand command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

int clampCode(int code) {
    return (code < 0 || code >= qErrCount) ? qErrUnknown : code;
}

} // namespace

const char* qError_GetErrorText(int code) {
    return kNames[clampCode(code)];
}

const char* qError_GetErrorDescription(int code) {
    return kDescriptions[clampCode(code)];
}
