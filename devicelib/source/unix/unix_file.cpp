// Files over stdio, with every failure translated into a qErr.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "qFile.h"

namespace {

constexpr uint32_t kFileTag = 0xFEED;

enum class LastOp { None, Read, Write };

} // namespace

struct qUnixFile {
    FILE* stream;
    int32_t mode;
    uint32_t tag;
    // A stream open for reading and appending must be repositioned between a
    // write and a following read (and back); this remembers which came last.
    LastOp lastOp;
};

namespace {

bool validFile(const qUnixFile* f) {
    return f != nullptr && f->tag == kFileTag;
}

bool canRead(const qUnixFile* f) {
    return f->mode == qFileModeRead || f->mode == qFileModeAppend;
}

bool canWrite(const qUnixFile* f) {
    return f->mode == qFileModeWrite || f->mode == qFileModeAppend;
}

bool pathTooLong(const char* path) {
    return strnlen(path, qFILE_PATH_MAX + 1) > qFILE_PATH_MAX;
}

// Switches an update stream between reading and writing as stdio requires.
void switchTo(qUnixFile* f, LastOp op) {
    if (f->lastOp != LastOp::None && f->lastOp != op) {
        fseek(f->stream, 0, SEEK_CUR);
    }
    f->lastOp = op;
}

// Classifies a failed open; the caller only ever sees null, the code is kept
// for a debugger.
qErr openError(int mode, int err) {
    if (mode == qFileModeRead) {
        return qErrNotFound;
    }
    if (err == EACCES) {
        return qErrPermission;
    }
    return err == EBUSY ? qErrBusy : qErrIO;
}

} // namespace

bool qFile_Exists(const char* path) {
    struct stat st;
    if (path == nullptr || pathTooLong(path) || stat(path, &st) != 0) {
        return false;
    }
    return !S_ISDIR(st.st_mode);
}

qUnixFile* qFile_Open(const char* path, int mode) {
    if (path == nullptr || path[0] == '\0' || pathTooLong(path)) {
        return nullptr;
    }
    const char* how = nullptr;
    switch (mode) {
    case qFileModeRead:
        how = "rb";
        break;
    case qFileModeWrite:
        how = "wb";
        break;
    case qFileModeAppend:
        how = "ab+";
        break;
    default:
        return nullptr; // qErrMode
    }
    qUnixFile* f = new (std::nothrow) qUnixFile{nullptr, mode, 0, LastOp::None};
    if (f == nullptr) {
        return nullptr; // qErrMemory
    }
    f->stream = fopen(path, how);
    if (f->stream == nullptr) {
        [[maybe_unused]] qErr why = openError(mode, errno);
        delete f;
        return nullptr;
    }
    if (mode == qFileModeAppend) {
        fseek(f->stream, 0, SEEK_END);
    }
    f->tag = kFileTag;
    return f;
}

qErr qFile_Close(qUnixFile** handle) {
    if (handle == nullptr) {
        return qErrParam;
    }
    qUnixFile* f = *handle;
    *handle = nullptr;
    if (!validFile(f)) {
        return qErrParam;
    }
    int rc = fclose(f->stream);
    f->tag = 0;
    f->stream = nullptr;
    delete f;
    return rc == 0 ? qErrNone : qErrIO;
}

qErr qFile_Read(qUnixFile* f, void* buf, size_t len, size_t* nRead) {
    if (nRead != nullptr) {
        *nRead = 0;
    }
    if (!validFile(f) || buf == nullptr) {
        return qErrParam;
    }
    if (!canRead(f)) {
        return qErrMode;
    }
    switchTo(f, LastOp::Read);
    size_t n = fread(buf, 1, len, f->stream);
    if (nRead != nullptr) {
        *nRead = n;
    }
    if (n == 0 && len != 0) {
        return ferror(f->stream) ? qErrIO : qErrEOF;
    }
    return qErrNone;
}

qErr qFile_Write(qUnixFile* f, const uint8_t* data, size_t len, size_t* nWritten) {
    if (nWritten != nullptr) {
        *nWritten = 0;
    }
    if (!validFile(f) || data == nullptr) {
        return qErrParam;
    }
    if (!canWrite(f)) {
        return qErrMode;
    }
    switchTo(f, LastOp::Write);
    size_t n = fwrite(data, 1, len, f->stream);
    if (nWritten != nullptr) {
        *nWritten = n;
    }
    return (n == 0 && len != 0) ? qErrIO : qErrNone;
}

qErr qFile_ReadLine(qUnixFile* f, char* buf, size_t size, size_t* len) {
    if (len != nullptr) {
        *len = 0;
    }
    if (buf != nullptr && size != 0) {
        buf[0] = '\0';
    }
    if (!validFile(f) || buf == nullptr || size < 2 || size > INT_MAX) {
        return qErrParam;
    }
    if (!canRead(f)) {
        return qErrMode;
    }
    switchTo(f, LastOp::Read);
    if (fgets(buf, static_cast<int>(size), f->stream) == nullptr) {
        buf[0] = '\0';
        return feof(f->stream) ? qErrEOF : qErrIO;
    }
    size_t n = strlen(buf);
    if (len != nullptr) {
        *len = n;
    }
    if (n == size - 1 && buf[n - 1] != '\n') {
        // Full buffer without a newline: the line goes on, unless the file
        // ends right here, in which case the whole (last) line fitted.
        int next = fgetc(f->stream);
        if (next == EOF) {
            clearerr(f->stream);
            return qErrNone;
        }
        ungetc(next, f->stream);
        return qErrOverrun;
    }
    return qErrNone;
}

qErr qFile_Seek(qUnixFile* f, long offset, int origin) {
    if (!validFile(f)) {
        return qErrParam;
    }
    if (origin != qFileOriginStart && origin != qFileOriginCurrent && origin != qFileOriginEnd) {
        return qErrParam;
    }
    long current = ftell(f->stream);
    if (current < 0 || fseek(f->stream, 0, SEEK_END) != 0) {
        return qErrIO;
    }
    long size = ftell(f->stream);
    if (size < 0 || fseek(f->stream, current, SEEK_SET) != 0) {
        return qErrIO;
    }
    long base = origin == qFileOriginStart ? 0 : origin == qFileOriginCurrent ? current : size;
    long target = 0;
    if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > size) {
        return qErrRange;
    }
    if (fseek(f->stream, target, SEEK_SET) != 0) {
        return qErrIO;
    }
    f->lastOp = LastOp::None;
    return qErrNone;
}

qErr qFile_GetSize(qUnixFile* f, size_t* size) {
    if (size == nullptr || !validFile(f)) {
        return qErrParam;
    }
    *size = 0;
    long current = ftell(f->stream);
    if (current < 0 || fseek(f->stream, 0, SEEK_END) != 0) {
        return qErrIO;
    }
    long end = ftell(f->stream);
    if (end < 0) {
        fseek(f->stream, current, SEEK_SET);
        return qErrIO;
    }
    *size = static_cast<size_t>(end);
    f->lastOp = LastOp::None;
    return fseek(f->stream, current, SEEK_SET) == 0 ? qErrNone : qErrIO;
}

qErr qFile_GetPosition(qUnixFile* f, long* pos) {
    if (pos == nullptr || !validFile(f)) {
        return qErrParam;
    }
    long p = ftell(f->stream);
    if (p < 0) {
        return qErrIO;
    }
    *pos = p;
    return qErrNone;
}

qErr qFile_SetUnbuffered(qUnixFile* f) {
    if (!validFile(f)) {
        return qErrParam;
    }
    if (!canWrite(f)) {
        return qErrMode;
    }
    return setvbuf(f->stream, nullptr, _IONBF, 8192) == 0 ? qErrNone : qErrMode;
}

qErr qFile_Printf(qUnixFile* f, const char* format, ...) {
    if (!validFile(f) || format == nullptr) {
        return qErrParam;
    }
    if (!canWrite(f)) {
        return qErrMode;
    }
    switchTo(f, LastOp::Write);
    va_list args;
    va_start(args, format);
    int rc = vfprintf(f->stream, format, args);
    va_end(args);
    return rc < 0 ? qErrIO : qErrNone;
}

qErr qFile_Delete(const char* path) {
    if (path == nullptr) {
        return qErrParam;
    }
    if (pathTooLong(path)) {
        return qErrFileNameLength;
    }
    if (unlink(path) == 0) {
        return qErrNone;
    }
    switch (errno) {
    case ENOENT:
        return qErrNotFound;
    case EACCES:
        return qErrPermission;
    default:
        return qErrIO;
    }
}
