#include "AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<unsigned> g_tempCounter{0};

// The open temporary files, for the signal handler. A slot is claimed by
// moving its state from kFree to kFilling, filled, then published as kInUse;
// it is released by storing kFree. The handler reads only kInUse slots.
constexpr int kFree = 0, kFilling = 1, kInUse = 2;
constexpr int kSlots = 16;
struct Slot {
    std::atomic<int> state{kFree};
    char path[4096];
};
Slot g_slots[kSlots];

int ClaimSlot(const std::string& path) {
    if (path.size() >= sizeof g_slots[0].path)
        return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (g_slots[i].state.compare_exchange_strong(expected, kFilling)) {
            std::memcpy(g_slots[i].path, path.c_str(), path.size() + 1);
            g_slots[i].state.store(kInUse);
            return i;
        }
    }
    return -1; // more open writers than slots: no removal on a signal
}

void ReleaseSlot(int& slot) {
    if (slot >= 0)
        g_slots[slot].state.store(kFree);
    slot = -1;
}

const int kCleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Async-signal-safe: atomics, unlink, sigaction and raise only.
void OnFatalSignal(int sig) {
    for (Slot& s : g_slots)
        if (s.state.load() == kInUse)
            ::unlink(s.path);
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    ::sigaction(sig, &dfl, nullptr);
    ::raise(sig);
}

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

std::string DirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

// The process id in a temporary name ".NAME.tmp-PID-N", or 0 when name is
// not one.
pid_t TemporaryOwner(const char* name) {
    if (name[0] != '.')
        return 0;
    const char* tag = std::strstr(name, ".tmp-");
    if (!tag || tag == name)
        return 0;
    for (const char* next; (next = std::strstr(tag + 1, ".tmp-")) != nullptr;)
        tag = next; // the last one: NAME may hold ".tmp-" itself
    const char* p = tag + 5;
    long pid = 0;
    const char* digits = p;
    while (*p >= '0' && *p <= '9' && pid < 100000000)
        pid = pid * 10 + (*p++ - '0');
    if (p == digits || *p++ != '-' || !(*p >= '0' && *p <= '9'))
        return 0;
    while (*p >= '0' && *p <= '9')
        ++p;
    return *p == '\0' ? static_cast<pid_t>(pid) : 0;
}

} // namespace

void AtomicFileWriter::RemoveTemporariesOnSignals() {
    for (int sig : kCleanedSignals) {
        struct sigaction old;
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN)
            continue; // e.g. SIGHUP under nohup stays ignored
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = OnFatalSignal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
    }
}

void AtomicFileWriter::RemoveStaleTemporaries(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    const pid_t self = ::getpid();
    while (dirent* e = ::readdir(d)) {
        pid_t owner = TemporaryOwner(e->d_name);
        if (owner <= 0 || owner == self)
            continue;
        if (::kill(owner, 0) == 0 || errno != ESRCH)
            continue; // that process still runs (or is not ours to judge)
        std::string path = dir + "/" + e->d_name;
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            ::unlink(path.c_str());
    }
    ::closedir(d);
}

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
    RemoveStaleTemporaries(DirectoryOf(path_));
    // Known to the signal handler before it exists, so it can never be missed.
    slot_ = ClaimSlot(temp_);
    errno = 0;
    file_ = qFile_Open(temp_.c_str(), qFileModeWrite);
    if (!file_) {
        error_ = errno;
        ReleaseSlot(slot_);
        return nullptr;
    }
    created_ = true;
    return file_;
}

bool AtomicFileWriter::Write(const void* data, size_t n) {
    if (!file_) {
        error_ = EBADF;
        return false;
    }
    if (n == 0)
        return true;
    size_t written = 0;
    errno = 0;
    qErr err = qFile_Write(file_, static_cast<const uint8_t*>(data), n, &written);
    if (err == qErrNone && written == n)
        return true;
    // A short write is a failure: the disk is full or the file too large.
    error_ = errno != 0 ? errno : EIO;
    return false;
}

void AtomicFileWriter::Abandon() {
    if (file_)
        (void)qFile_Close(&file_);
    if (created_)
        ::unlink(temp_.c_str());
    created_ = false;
    finished_ = false;
    ReleaseSlot(slot_);
}

qErr AtomicFileWriter::Finish() {
    if (finished_)
        return qErrNone;
    if (!file_)
        return qErrParam;
    errno = 0;
    qErr err = qFile_Close(&file_);
    if (err != qErrNone || !SyncPath(temp_.c_str(), O_RDONLY)) {
        error_ = errno != 0 ? errno : EIO;
        Abandon();
        return qErrIO;
    }
    finished_ = true;
    return qErrNone;
}

qErr AtomicFileWriter::Commit() {
    qErr err = Finish();
    if (err != qErrNone)
        return err;
    // A replaced file keeps its permission bits.
    struct stat old;
    if (::stat(path_.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::chmod(temp_.c_str(), old.st_mode & 07777);
    if (::rename(temp_.c_str(), path_.c_str()) != 0) {
        error_ = errno;
        Abandon();
        return qErrIO;
    }
    created_ = false;
    finished_ = false;
    ReleaseSlot(slot_);
    // Make the rename itself durable; the new file is in place either way.
    SyncPath(DirectoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY);
    return qErrNone;
}
