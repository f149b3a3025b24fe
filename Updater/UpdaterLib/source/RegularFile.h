// Reading a file of the store or a BIRD file named by the user without ever
// blocking on something that only looks like one: the path is opened without
// waiting (a FIFO or a device would otherwise hang the updater until some
// other process writes to it) and refused unless it is a regular file.
//
// Threads: a reader is used by one thread at a time.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

class RegularFileReader {
  public:
    explicit RegularFileReader(const std::string& path);
    ~RegularFileReader();
    RegularFileReader(const RegularFileReader&) = delete;
    RegularFileReader& operator=(const RegularFileReader&) = delete;

    // True when the path is open: it exists and is a regular file.
    bool ok() const { return fd_ >= 0; }
    // The system error number of the last failure (ENOENT for a missing
    // file), 0 when none was seen.
    int error() const { return error_; }
    bool notRegular() const { return notRegular_; }
    // Why the file could not be opened or read, for messages:
    // "is a directory", "not a regular file" or the system's error text.
    std::string Problem() const;
    // The size when it was opened.
    uint64_t size() const { return size_; }

    // Reads up to n bytes: the count, 0 at the end, -1 on an error.
    ssize_t Read(void* buffer, size_t n);
    // Reads until n bytes or the end: false on an error.
    bool ReadFully(void* buffer, size_t n, size_t* got);
    // Moves to offset bytes from the start.
    bool Seek(uint64_t offset);

  private:
    int fd_ = -1;
    int error_ = 0;
    bool notRegular_ = false;
    uint64_t size_ = 0;
};
