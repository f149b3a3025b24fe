// Replacing a file without ever leaving it half written: the new contents go
// to a temporary file in the same directory (".NAME.tmp-PID-N": a name
// beginning with '.', so store listings skip it), which is flushed to disk
// and then renamed over the target. Until Commit() succeeds the old file is
// untouched; on any failure, and when the writer is destroyed without a
// commit, the temporary file is removed. A replaced file keeps its
// permission bits.
//
// Temporary files do not outlive the process either: once main has called
// RemoveTemporariesOnSignals(), SIGINT, SIGTERM and SIGHUP remove the open
// ones before the process ends; and a file left by a process that was
// killed outright (SIGKILL, power loss) is removed by the next writer in
// that directory once no process of that id runs.
//
// Threads: one writer per thread; temporary names are unique per process.
// The table of open temporary files is a fixed array of slots claimed with
// atomics, so the signal handler can read it without a lock.
#pragma once

#include <cstddef>
#include <string>

#include "qError.h"
#include "qFile.h"

class AtomicFileWriter {
  public:
    explicit AtomicFileWriter(const std::string& path);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter&) = delete;
    AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

    // Removes stale temporary files of the directory, then creates the
    // temporary file for writing. Null on failure (see Error()).
    qUnixFile* Open();
    // Appends n bytes to the temporary file. False when the write failed or
    // fell short (a full disk): Error() tells why.
    bool Write(const void* data, size_t n);
    // Closes the temporary file and flushes it to disk, so that it can be
    // read back whole (at TemporaryPath()) before it replaces the target.
    // Returns: qErrNone; qErrIO (the close or flush failed: the temporary
    // file is removed); qErrParam (nothing is open).
    qErr Finish();
    // Finishes the temporary file if that was not done, then renames it
    // over the target.
    // Returns: qErrNone; qErrIO (the close, flush or rename failed; the
    // temporary file is removed and the target left as it was); qErrParam
    // (Open() was not called or failed).
    qErr Commit();
    // Drops the temporary file; the target stays as it was.
    void Abandon();

    // The system error number of the last failure (0 when none was seen).
    int Error() const { return error_; }
    const std::string& TemporaryPath() const { return temp_; }

    // Installs handlers for SIGINT, SIGTERM and SIGHUP (those not ignored)
    // that remove every open temporary file and then end the process as
    // the signal would have. For main, once, before any work.
    static void RemoveTemporariesOnSignals();
    // Removes the temporary files in dir whose process no longer runs.
    // Files of running processes, this one included, are left alone.
    static void RemoveStaleTemporaries(const std::string& dir);

  private:
    std::string path_;
    std::string temp_;
    qUnixFile* file_ = nullptr;
    bool created_ = false;
    bool finished_ = false; // closed and flushed, not yet renamed
    int slot_ = -1;         // the entry in the table of open temporary files
    int error_ = 0;
};
