// A background thread that calls a record writer again and again while it
// runs, e.g. to drain a link's packet log into a file. The writer decides
// how long to pause when there is nothing to write.
#pragma once

#include <cstdint>

#include "qError.h"

struct qLogger;

// Called on the logger's thread with the logger's file (a qUnixFile*) and
// the link id given at creation.
typedef void (*qLoggerWriter)(void* file, uint32_t linkId);

// A stopped logger whose file is path, opened for appending (created when
// missing) and unbuffered. Null for a null writer or path, when memory is
// short, or when the file cannot be opened.
qLogger* qLogger_Create(uint32_t linkId, qLoggerWriter writer, const char* path);

// Starts the thread.
// Returns: qErrNone (also when already running); qErrParam (invalid
// logger); qErrResource (the thread could not be started).
qErr qLogger_Enable(qLogger* logger);

// Stops the thread and waits for it. On the logger's own thread, which
// cannot wait for itself, nothing changes.
// Returns: qErrNone (stopped, not running, or called on its own thread);
// qErrParam (invalid logger); qErrUnknown (the thread could not be joined).
qErr qLogger_Disable(qLogger* logger);

// Stops the thread, closes the file, frees the logger and sets *logger to
// null. An invalid logger is left alone (qErrNone). On the logger's own
// thread nothing is released (it is still running).
// Returns: qErrNone; qErrBusy (called on the logger's own thread);
// qErrUnknown (the thread could not be stopped; the logger is kept).
qErr qLogger_Destroy(qLogger** logger);
