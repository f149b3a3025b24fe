// Directories and path building.
#include "qDirectory.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kMaxComponents = 10;

bool isDirectory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool isDotEntry(const char* name) {
    return strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Copies src into buf, cut to size - 1 and terminated; overrun when cut.
qErr copyTerminated(char* buf, size_t size, const char* src) {
    size_t n = strlen(src);
    if (n < size) {
        memcpy(buf, src, n + 1);
        return qErrNone;
    }
    memcpy(buf, src, size - 1);
    buf[size - 1] = '\0';
    return qErrOverrun;
}

} // namespace

bool qDirectory_Exists(const char* path) {
    return path != nullptr && isDirectory(path);
}

qErr qDirectory_Ensure(const char* path, mode_t mode) {
    if (path == nullptr || path[0] == '\0') {
        return qErrParam;
    }
    if (isDirectory(path)) {
        return qErrNone;
    }
    char* copy = strdup(path);
    if (copy == nullptr) {
        return qErrMemory;
    }
    qErr result = qErrNone;
    int firstError = 0; // errno of the first failure, left for the caller
    // Create each missing ancestor, from the left; a leading or doubled
    // separator ends no component and is skipped.
    for (char* p = copy + 1; *p != '\0'; ++p) {
        if (*p != '/' || p[-1] == '/') {
            continue;
        }
        *p = '\0';
        if (!isDirectory(copy) && mkdir(copy, mode) != 0 && errno != EEXIST) {
            result = qErrPermission;
            firstError = errno;
            *p = '/';
            break;
        }
        *p = '/';
    }
    free(copy);
    if (mkdir(path, mode) != 0) {
        // EEXIST also comes back for a file standing where the directory
        // should be; that is no success.
        if (errno != EEXIST || !isDirectory(path)) {
            if (firstError != 0)
                errno = firstError;
            return qErrPermission;
        }
    }
    return result;
}

qErr qDirectory_List(const char* path, qDirectoryListCallback callback, void* ref) {
    if (path == nullptr || callback == nullptr) {
        return qErrParam;
    }
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        return qErrNotFound;
    }
    qErr result = qErrNone;
    char full[qDIR_LIST_PATH_SIZE];
    while (struct dirent* entry = readdir(dir)) {
        if (qDirectory_BuildPath(full, sizeof full, path, entry->d_name, nullptr) != qErrNone) {
            // A cut path would name some other file; leave the entry out.
            result = qErrFileNameLength;
            continue;
        }
        struct stat st;
        if (stat(full, &st) != 0) {
            continue;
        }
        qDirectoryListData data;
        data.pathName = full;
        data.fileSize = static_cast<uint32_t>(st.st_size);
        data.isDirectory = S_ISDIR(st.st_mode) ? 1 : 0;
        if (!callback(&data, ref)) {
            break;
        }
    }
    closedir(dir);
    return result;
}

qErr qDirectory_Delete(const char* path) {
    if (path == nullptr) {
        return qErrParam;
    }
    return rmdir(path) == 0 ? qErrNone : qErrUnknown;
}

qErr qDirectory_DeleteTree(const char* path) {
    if (path == nullptr) {
        return qErrParam;
    }
    DIR* dir = opendir(path);
    if (dir == nullptr) {
        return qErrNotFound;
    }
    qErr result = qErrNone;
    while (struct dirent* entry = readdir(dir)) {
        if (isDotEntry(entry->d_name)) {
            continue;
        }
        std::string full = std::string(path) + qDIR_PATH_SEP + entry->d_name;
        struct stat st;
        // lstat: a link to a directory is removed itself, never followed
        // into a tree that is not ours.
        bool subdir = lstat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
        if (subdir) {
            result = qDirectory_DeleteTree(full.c_str());
            if (result != qErrNone) {
                break;
            }
        } else if (unlink(full.c_str()) != 0) {
            perror("qDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", full.c_str());
            result = qErrUnknown;
            break;
        }
    }
    closedir(dir);
    if (result != qErrNone) {
        return result;
    }
    return rmdir(path) == 0 ? qErrNone : qErrUnknown;
}

qErr qDirectory_CWD(char* buf, size_t size) {
    if (buf == nullptr || getcwd(buf, size) == nullptr) {
        return qErrParam;
    }
    return qErrNone;
}

qErr qDirectory_ExecutableFilePath(char* buf, size_t size) {
    if (buf == nullptr || size == 0) {
        return qErrParam;
    }
    ssize_t n = readlink("/proc/self/exe", buf, size);
    if (n < 0) {
        buf[0] = '\0';
        return qErrRead;
    }
    if (static_cast<size_t>(n) >= size) {
        // readlink fills the whole buffer when the target may not fit.
        buf[size - 1] = '\0';
        return qErrOverrun;
    }
    buf[n] = '\0';
    return qErrNone;
}

qErr qDirectory_GetHomeDirectory(char* buf, size_t size) {
    if (buf == nullptr || size == 0) {
        return qErrParam;
    }
    const char* home = nullptr;
    if (const struct passwd* pw = getpwuid(getuid())) {
        home = pw->pw_dir;
    }
    if (home == nullptr) {
        home = getenv("HOME");
    }
    return copyTerminated(buf, size, home != nullptr ? home : "");
}

qErr qDirectory_BuildPath(char* dst, size_t size, const char* first, ...) {
    if (dst == nullptr || size == 0) {
        return qErrParam;
    }
    dst[0] = '\0';
    if (first == nullptr || first == dst) {
        return qErrParam;
    }
    const char* parts[kMaxComponents];
    int count = 0;
    parts[count++] = first;
    va_list args;
    va_start(args, first);
    for (const char* part = va_arg(args, const char*); part != nullptr;
         part = va_arg(args, const char*)) {
        if (count == kMaxComponents || part == dst) {
            va_end(args);
            return qErrParam;
        }
        parts[count++] = part;
    }
    va_end(args);

    size_t len = strlen(first);
    if (len >= size - 1) {
        return qErrOverrun;
    }
    memcpy(dst, first, len + 1);
    for (int i = 1; i < count; ++i) {
        const char* part = parts[i];
        size_t room = size - len - 1;
        // An empty start takes no separator: "" and "b" give "b", not "/b".
        if (room > 1 && len > 0 && dst[len - 1] != '/' && part[0] != '/') {
            dst[len++] = '/';
            dst[len] = '\0';
            room -= 1;
        }
        size_t partLen = strlen(part);
        if (partLen >= room) {
            return qErrOverrun;
        }
        memcpy(dst + len, part, partLen + 1);
        len += partLen;
    }
    return qErrNone;
}

void qDirectory_JoinPath(char* dst, size_t size, const char* a, const char* b) {
    (void)qDirectory_BuildPath(dst, size, a, b, nullptr); // cut short by design: see the header
}
