// Plain (non-recursive) mutexes with a name for diagnostics.
#pragma once

#include "qError.h"

struct qMutex;

// Longest name accepted, in characters.
constexpr unsigned qMUTEX_NAME_MAX = 255;

// A new unlocked mutex. A null name gives an empty name. Null when out of
// memory, the name is longer than qMUTEX_NAME_MAX, or the platform refuses.
qMutex* qMutex_Create(const char* name);

// Name given at creation; "" for a null or dead handle.
const char* qMutex_Identifier(const qMutex* m);

// Destroys the mutex and sets *handle to null (also when destroying failed).
// A mutex that is still locked is not freed, so its holder is not left with
// freed memory; keep another pointer to it to unlock and destroy it later.
// Returns: qErrNone; qErrParam (null or dead handle); qErrBusy (still
// locked); qErrResource; qErrUnknown.
qErr qMutex_Destroy(qMutex** handle);

// Blocks until the mutex is ours.
// Returns: qErrNone; qErrParam (null or dead handle); qErrDuplicate (already
// ours, where the platform detects it); qErrUnknown.
qErr qMutex_Lock(qMutex* m);

// Takes the mutex when it is free, without blocking.
// Returns: qErrNone; qErrBusy (held elsewhere); qErrParam; qErrDuplicate;
// qErrUnknown.
qErr qMutex_TryLock(qMutex* m);

// Releases the mutex.
// Returns: qErrNone; qErrParam (null or dead handle); qErrPermission (not
// ours, where the platform detects it); qErrUnknown.
qErr qMutex_Unlock(qMutex* m);
