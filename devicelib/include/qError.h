// Result codes of the device library. Every q* operation returns one of these
// (creators return a pointer or id instead). Modules send the same numbers in
// their error replies, so the values are fixed.
#pragma once

// A result may not be dropped unseen: a call whose result does not matter
// says so with (void) and, where it is not plain, a comment why.
// (clang-format reads the attribute as an initialiser and packs the list.)
// clang-format off
enum [[nodiscard]] qErr : int {
    qErrNone = 0,
    qErrMemory = 1,
    qErrParam = 2,
    qErrNotFound = 3,
    qErrFileNameLength = 4,
    qErrBusy = 5,
    qErrIO = 6,
    qErrMode = 7,
    qErrWrite = 8,
    qErrRead = 9,
    qErrEOF = 10,
    qErrNotReady = 11,
    qErrPermission = 12,
    qErrRange = 13,
    qErrSize = 14,
    qErrOverrun = 15,
    qErrParse = 16,
    qErrConfiguration = 17,
    qErrTimeout = 18,
    qErrInitialization = 19,
    qErrVersion = 20,
    qErrUnimplemented = 21,
    qErrDuplicate = 22,
    qErrCancel = 23,
    qErrPacket = 24,
    qErrConnection = 25,
    qErrIndexRange = 26,
    qErrShortCommand = 27,
    qErrInvalidEntity = 28,
    qErrInvalidOption = 29,
    qErrResource = 30,
    qErrMedia = 31,
    qErrAsyncReturn = 32,
    qErrStreamStale = 33,
    qErrUnknown = 34,
};
// clang-format on

// Number of defined codes (0 .. qErrCount - 1).
constexpr int qErrCount = 35;

// Short name of a code, e.g. "qErrTimeout" for 18. Any code outside 0..34
// gives "qErrUnknown". Never null.
const char* qError_GetErrorText(int code);

// One-line description of a code, e.g. "Timeout occurred" for 18. Any code
// outside 0..34 gives "Unknown error". Never null.
const char* qError_GetErrorDescription(int code);
