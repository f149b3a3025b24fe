#include "wait.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace kstest {

long MsSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

double NowMs() {
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

bool WaitUntil(const std::function<bool()>& condition, int ms, int pollMs) {
    auto start = Clock::now();
    while (MsSince(start) < ms) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return condition();
}

pid_t ThreadId() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

namespace {

// Asleep ('S') inside a system call: the futex call only, or any.
bool Asleep(pid_t tid, bool futexOnly) {
    std::string task = "/proc/self/task/" + std::to_string(tid);
    std::ifstream stat(task + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t paren = line.rfind(')');
    if (paren == std::string::npos || paren + 2 >= line.size() || line[paren + 2] != 'S')
        return false;
    if (!futexOnly)
        return true;
    std::ifstream call(task + "/syscall");
    long number = -1;
    return (call >> number) && number == SYS_futex;
}

bool SeenAsleepTwice(pid_t tid, int ms, bool futexOnly) {
    auto start = Clock::now();
    int seen = 0;
    while (MsSince(start) < ms) {
        seen = Asleep(tid, futexOnly) ? seen + 1 : 0;
        if (seen >= 2)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace

bool WaitUntilBlocked(pid_t tid, int ms) {
    return SeenAsleepTwice(tid, ms, true);
}

bool ThreadGone(pid_t tid) {
    std::error_code ec;
    return !std::filesystem::exists("/proc/self/task/" + std::to_string(tid), ec) && !ec;
}

bool WaitUntilAsleep(pid_t tid, int ms) {
    return SeenAsleepTwice(tid, ms, false);
}

} // namespace kstest
