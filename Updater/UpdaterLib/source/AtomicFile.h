// Replacing a file without ever leaving it half written: the new contents go
// to a temporary file in the same directory (a name beginning with '.', so
// store listings skip it), which is flushed to disk and then renamed over the
// target. Until Commit() succeeds the old file is untouched; on any failure,
// and when the writer is destroyed without a commit, the temporary file is
// removed. A replaced file keeps its permission bits.
//
// Threads: one writer per thread; temporary names are unique per process.
#pragma once

#include <string>

#include "qError.h"
#include "qFile.h"

class AtomicFileWriter {
  public:
    explicit AtomicFileWriter(const std::string& path);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // Creates the temporary file for writing. Null on failure (see Error()).
    qUnixFile* Open();
    // Closes, flushes and renames the temporary file over the target.
    // Returns: qErrNone; qErrIO (the close, flush or rename failed; the
    // temporary file is removed and the target left as it was); qErrParam
    // (Open() was not called or failed).
    qErr Commit();
    // Drops the temporary file; the target stays as it was.
    void Abandon();

    // The system error number of the last failure (0 when none was seen).
    int Error() const { return error_; }
    const std::string& TemporaryPath() const { return temp_; }

  private:
    std::string path_;
    std::string temp_;
    qUnixFile* file_ = nullptr;
    bool created_ = false;
    int error_ = 0;
};
