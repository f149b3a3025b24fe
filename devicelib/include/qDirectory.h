// Directories and paths.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "qError.h"

#define qDIR_PATH_SEP "/"

// Size of the buffer that holds qDirectoryListData::pathName.
constexpr size_t qDIR_LIST_PATH_SIZE = 2048;

// One entry handed to a qDirectory_List callback. pathName is the listed
// directory joined with the entry name; it is valid only during the callback.
struct qDirectoryListData {
    const char* pathName;
    uint32_t fileSize;   // size from stat, truncated to 32 bits
    int32_t isDirectory; // 1 for a directory, 0 otherwise
};

typedef bool (*qDirectoryListCallback)(const qDirectoryListData* data, void* ref);

// True when path names an existing directory.
bool qDirectory_Exists(const char* path);

// Makes sure the directory and all its missing ancestors exist, creating them
// with mode (e.g. 0755).
// Returns: qErrNone (exists now); qErrParam (null or empty path); qErrMemory;
// qErrPermission (a directory could not be made, or a non-directory is in
// the way; errno then holds the system's reason for the first failure).
qErr qDirectory_Ensure(const char* path, mode_t mode);

// Calls callback for every entry of the directory, "." and ".." included, in
// directory order, until it returns false. Entries that cannot be stat'ed are
// skipped, and so are entries whose full path does not fit in
// qDIR_LIST_PATH_SIZE bytes (those are reported after the listing).
// Returns: qErrNone; qErrParam (null path or callback); qErrNotFound (cannot
// open the directory); qErrFileNameLength (some entries had paths too long
// and were not passed to callback).
qErr qDirectory_List(const char* path, qDirectoryListCallback callback, void* ref);

// Removes an empty directory.
// Returns: qErrNone; qErrParam (null path); qErrUnknown (rmdir failed).
qErr qDirectory_Delete(const char* path);

// Removes a directory and everything below it. Symbolic links are removed
// themselves, never followed. A file that cannot be removed is reported on
// standard output and stops the walk.
// Returns: qErrNone; qErrParam (null path); qErrNotFound (cannot open the
// directory); qErrUnknown (an entry or the directory could not be removed).
qErr qDirectory_DeleteTree(const char* path);

// Current working directory.
// Returns: qErrNone; qErrParam (null buf, or getcwd failed, e.g. too small).
qErr qDirectory_CWD(char* buf, size_t size);

// Full path of the running executable, always terminated.
// Returns: qErrNone; qErrParam (null buf, size 0); qErrRead (link
// unreadable); qErrOverrun (the path did not fit and was cut at size - 1).
qErr qDirectory_ExecutableFilePath(char* buf, size_t size);

// Home directory of the current user: the password database entry, else the
// HOME variable, else "". The result is always terminated.
// Returns: qErrNone; qErrParam (null buf, size 0); qErrOverrun (it did not
// fit and was cut at size - 1).
qErr qDirectory_GetHomeDirectory(char* buf, size_t size);

// Joins at most 10 path components (a null pointer ends the list) with "/",
// without doubling a separator that ends one component or starts the next.
// An empty start adds no separator. dst is always terminated.
// Returns: qErrNone; qErrParam (null dst or first, size 0, dst passed as a
// component, more than 10 components); qErrOverrun (the result does not fit
// in size - 1 bytes; dst holds what was built so far).
qErr qDirectory_BuildPath(char* dst, size_t size, const char* first, ...);

// qDirectory_BuildPath(dst, size, a, b, nullptr), result ignored: a path that
// does not fit is cut short (terminated).
void qDirectory_JoinPath(char* dst, size_t size, const char* a, const char* b);
