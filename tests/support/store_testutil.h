// Helpers for the tests of BIRD files, attributes files and the local store:
// directory listings, diagnostic-log capture, and real write failures (small
// private tmpfs mounts as root; a file size limit for anyone). Scratch
// directories and whole-file reads and writes are in tempdir.h.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Log.h"

namespace storetest {

inline bool IsDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Names in a directory, "." and ".." left out.
inline std::set<std::string> ListNames(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.insert(e->d_name);
        ::closedir(d);
    }
    return names;
}

// Routes the diagnostic log into memory for the life of the object.
class LogCapture {
  public:
    explicit LogCapture(uint32_t packages) : packages_(packages) {
        stream_ = ::open_memstream(&buffer_, &size_);
        Log::SetOutput(stream_);
        Log::ActivatePackage(packages_);
    }
    ~LogCapture() {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(packages_);
        if (stream_)
            std::fclose(stream_);
        std::free(buffer_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::string Text() {
        std::fflush(stream_);
        return std::string(buffer_ ? buffer_ : "", size_);
    }

  private:
    uint32_t packages_;
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* stream_ = nullptr;
};

// A tmpfs of the given size mounted over dir inside a private mount namespace
// of this test process (so the host never sees it). Needs root; ok() is
// false with a reason otherwise.
class PrivateTmpfs {
  public:
    PrivateTmpfs(const std::string& dir, size_t bytes) : dir_(dir) {
        if (::geteuid() != 0) {
            reason_ = "needs root to mount a private tmpfs";
            return;
        }
        static bool unshared = false;
        if (!unshared) {
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
                reason_ =
                    std::string("cannot make a private mount namespace: ") + std::strerror(errno);
                return;
            }
            unshared = true;
        }
        std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) != 0) {
            reason_ = std::string("cannot mount tmpfs: ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~PrivateTmpfs() {
        if (mounted_)
            ::umount2(dir_.c_str(), MNT_DETACH);
    }
    PrivateTmpfs(const PrivateTmpfs&) = delete;
    PrivateTmpfs& operator=(const PrivateTmpfs&) = delete;

    bool ok() const { return mounted_; }
    const std::string& reason() const { return reason_; }

    // Makes the whole file system read-only (root cannot write either).
    bool MakeReadOnly() {
        return ::mount(nullptr, dir_.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    // Fills the remaining space with a filler file so that the next write
    // runs out of room.
    bool Fill() {
        FILE* f = std::fopen((dir_ + "/.filler").c_str(), "wb");
        if (!f)
            return false;
        std::vector<char> block(4096, 'x');
        size_t guard = 0;
        while (std::fwrite(block.data(), 1, block.size(), f) == block.size() &&
               ++guard < 1u << 20) {
        }
        std::fclose(f);
        // Top up to the last byte.
        f = std::fopen((dir_ + "/.filler2").c_str(), "wb");
        if (f) {
            while (std::fputc('x', f) != EOF && std::fflush(f) == 0 && ++guard < 1u << 21) {
            }
            std::fclose(f);
        }
        return true;
    }

  private:
    std::string dir_;
    std::string reason_;
    bool mounted_ = false;
};

// Limits every file this process writes to `bytes` for the life of the
// object (RLIMIT_FSIZE, with SIGXFSZ ignored so that a write past the limit
// fails with EFBIG instead of ending the process): a write failure midway
// through a file, without privileges.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        rlimit lower = saved_;
        lower.rlim_cur = bytes;
        ok_ = ::setrlimit(RLIMIT_FSIZE, &lower) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool ok() const { return ok_; }

  private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
    bool ok_ = false;
};

// A write made to fail midway, one of three ways by name: "read-only" and
// "full" on a private tmpfs mounted over the directory (root only),
// "file-size-limit" past RLIMIT_FSIZE (anyone).
class WriteFailure {
  public:
    static bool NeedsRoot(const std::string& mode) { return mode != "file-size-limit"; }
    // Test names for the modes ("read-only" -> "read_only").
    static std::string Name(const ::testing::TestParamInfo<const char*>& info) {
        std::string name = info.param;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    }

    // Mounts the tmpfs (of tmpfsBytes) over dir for the tmpfs modes.
    WriteFailure(const std::string& mode, const std::string& dir, size_t tmpfsBytes) : mode_(mode) {
        if (NeedsRoot(mode))
            fs_ = std::make_unique<PrivateTmpfs>(dir, tmpfsBytes);
    }
    // Why the failure cannot be prepared ("" when it can).
    std::string error() const { return fs_ && !fs_->ok() ? fs_->reason() : ""; }

    // Runs write with the failure in force: the tmpfs made read-only or
    // filled first, or files limited to sizeLimit bytes during the call.
    bool During(rlim_t sizeLimit, const std::function<void()>& write) {
        if (!fs_) {
            FileSizeLimit limit(sizeLimit);
            if (!limit.ok())
                return false;
            write();
            return true;
        }
        if (!(mode_ == "read-only" ? fs_->MakeReadOnly() : fs_->Fill()))
            return false;
        write();
        return true;
    }

  private:
    std::string mode_;
    std::unique_ptr<PrivateTmpfs> fs_;
};

} // namespace storetest
