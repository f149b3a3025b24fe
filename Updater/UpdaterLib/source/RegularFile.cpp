#include "RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

RegularFileReader::RegularFileReader(const std::string& path) {
    if (path.empty()) {
        error_ = ENOENT;
        return;
    }
    // O_NONBLOCK: opening a FIFO for reading would wait for a writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        error_ = errno;
        return;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        error_ = errno;
        ::close(fd);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        error_ = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        notRegular_ = true;
        ::close(fd);
        return;
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    fd_ = fd;
    size_ = static_cast<uint64_t>(st.st_size);
}

RegularFileReader::~RegularFileReader() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string RegularFileReader::Problem() const {
    if (notRegular_)
        return error_ == EISDIR ? "is a directory" : "not a regular file";
    return std::strerror(error_ != 0 ? error_ : EIO);
}

ssize_t RegularFileReader::Read(void* buffer, size_t n) {
    if (fd_ < 0)
        return -1;
    for (;;) {
        ssize_t got = ::read(fd_, buffer, n);
        if (got >= 0)
            return got;
        if (errno != EINTR) {
            error_ = errno;
            return -1;
        }
    }
}

bool RegularFileReader::ReadFully(void* buffer, size_t n, size_t* got) {
    size_t total = 0;
    while (total < n) {
        ssize_t r = Read(static_cast<char*>(buffer) + total, n - total);
        if (r < 0) {
            *got = total;
            return false;
        }
        if (r == 0)
            break;
        total += static_cast<size_t>(r);
    }
    *got = total;
    return true;
}

bool RegularFileReader::Seek(uint64_t offset) {
    if (fd_ < 0)
        return false;
    off_t to = static_cast<off_t>(offset);
    if (::lseek(fd_, to, SEEK_SET) != to) {
        error_ = errno;
        return false;
    }
    return true;
}
