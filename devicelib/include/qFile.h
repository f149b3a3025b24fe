// Files over stdio. A qUnixFile is opaque to callers; every operation except
// qFile_Open and qFile_Exists first checks that the handle is live and gives
// qErrParam when it is not. A handle must not be used by two threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qError.h"

struct qUnixFile;

// Modes of qFile_Open. Reads need qFileModeRead or qFileModeAppend; writes
// need qFileModeWrite or qFileModeAppend.
enum qFileMode : int {
    qFileModeRead = 0,   // existing file, reading ("rb")
    qFileModeWrite = 1,  // create or truncate, writing ("wb")
    qFileModeAppend = 2, // create if needed, read and append ("ab+"), positioned at the end
};

// Origins of qFile_Seek.
enum qFileOrigin : int {
    qFileOriginStart = 0,
    qFileOriginCurrent = 1,
    qFileOriginEnd = 2,
};

// Longest path accepted, in characters.
constexpr size_t qFILE_PATH_MAX = 4096;

// True only for an existing path (at most qFILE_PATH_MAX characters) that is
// not a directory.
bool qFile_Exists(const char* path);

// Opens a file in one of the modes above. Returns a new handle, or null for a
// null or empty path, a path that is too long, an unknown mode, lack of
// memory, or a failing open.
qUnixFile* qFile_Open(const char* path, int mode);

// Closes the file and frees the handle. *handle is set to null whenever handle
// is non-null, so closing twice is harmless.
// Returns: qErrNone; qErrParam (null or dead handle); qErrIO (the close
// failed, e.g. buffered data could not be written).
qErr qFile_Close(qUnixFile** handle);

// Reads up to len bytes; the count read goes to *nRead when nRead is non-null.
// Returns: qErrNone (also for len 0); qErrEOF (nothing read, len > 0, end of
// file); qErrIO (nothing read, len > 0, read error); qErrParam (dead handle,
// null buf); qErrMode (not open for reading).
qErr qFile_Read(qUnixFile* f, void* buf, size_t len, size_t* nRead);

// Writes len bytes; the count written goes to *nWritten when non-null.
// Returns: qErrNone; qErrIO (nothing written, len > 0); qErrParam (dead
// handle, null data); qErrMode (not open for writing).
qErr qFile_Write(qUnixFile* f, const uint8_t* data, size_t len, size_t* nWritten);

// Reads one line, keeping its newline, into buf (always terminated) and stores
// its length in *len when len is non-null. A line that does not fit fills
// buf with size - 1 characters and the rest stays unread for the next call.
// Returns: qErrNone; qErrEOF (nothing left); qErrIO (read error); qErrOverrun
// (the line did not fit); qErrParam (dead handle, null buf, size below 2 or
// above INT_MAX); qErrMode (not open for reading).
qErr qFile_ReadLine(qUnixFile* f, char* buf, size_t size, size_t* len);

// Moves to offset from origin (qFileOrigin). The target must lie between 0 and
// the file size inclusive; otherwise the position is left unchanged.
// Returns: qErrNone; qErrRange (target outside the file); qErrParam (dead
// handle, unknown origin); qErrIO (position or size unreadable, seek failed).
qErr qFile_Seek(qUnixFile* f, long offset, int origin);

// Stores the file size in *size (0 on failure); the position is kept.
// Returns: qErrNone; qErrParam (dead handle, null size); qErrIO.
qErr qFile_GetSize(qUnixFile* f, size_t* size);

// Stores the current position in *pos.
// Returns: qErrNone; qErrParam (dead handle, null pos); qErrIO.
qErr qFile_GetPosition(qUnixFile* f, long* pos);

// Switches a file open for writing to unbuffered output. Call it before the
// first write.
// Returns: qErrNone; qErrParam (dead handle); qErrMode (not open for writing,
// or the stream refused).
qErr qFile_SetUnbuffered(qUnixFile* f);

// Formatted write (printf format).
// Returns: qErrNone; qErrParam (dead handle, null format); qErrMode (not open
// for writing); qErrIO (the write failed).
qErr qFile_Printf(qUnixFile* f, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Deletes a file.
// Returns: qErrNone; qErrParam (null path); qErrFileNameLength (path too
// long); qErrNotFound; qErrPermission; qErrIO (any other failure).
qErr qFile_Delete(const char* path);
