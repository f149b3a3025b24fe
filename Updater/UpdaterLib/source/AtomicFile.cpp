#include "AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace {

std::atomic<unsigned> g_tempCounter{0};

// Makes the data of path durable; false with errno set on failure.
bool SyncPath(const char* path, int flags) {
    int fd = ::open(path, flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::fsync(fd) == 0;
    int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

} // namespace

AtomicFileWriter::AtomicFileWriter(const std::string& path) : path_(path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    temp_ = dir + "." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
            std::to_string(g_tempCounter++);
}

AtomicFileWriter::~AtomicFileWriter() {
    Abandon();
}

qUnixFile* AtomicFileWriter::Open() {
    Abandon();
    errno = 0;
    file_ = qFile_Open(temp_.c_str(), qFileModeWrite);
    if (!file_) {
        error_ = errno;
        return nullptr;
    }
    created_ = true;
    return file_;
}

void AtomicFileWriter::Abandon() {
    if (file_)
        qFile_Close(&file_);
    if (created_)
        ::unlink(temp_.c_str());
    created_ = false;
}

qErr AtomicFileWriter::Commit() {
    if (!file_)
        return qErrParam;
    errno = 0;
    qErr err = qFile_Close(&file_);
    if (err != qErrNone) {
        error_ = errno;
        Abandon();
        return qErrIO;
    }
    // A replaced file keeps its permission bits.
    struct stat old;
    if (::stat(path_.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::chmod(temp_.c_str(), old.st_mode & 07777);
    if (!SyncPath(temp_.c_str(), O_RDONLY) || ::rename(temp_.c_str(), path_.c_str()) != 0) {
        error_ = errno;
        Abandon();
        return qErrIO;
    }
    created_ = false;
    // Make the rename itself durable; the new file is in place either way.
    size_t slash = path_.rfind('/');
    std::string dir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path_.substr(0, slash));
    SyncPath(dir.c_str(), O_RDONLY | O_DIRECTORY);
    return qErrNone;
}
