#include "process.h"

#include "wait.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace kstest {

namespace {

std::vector<char*> Argv(const std::vector<std::string>& args) {
    std::vector<char*> v;
    for (const std::string& a : args)
        v.push_back(const_cast<char*>(a.c_str()));
    v.push_back(nullptr);
    return v;
}

// The inherited environment with the entries added (an entry replaces one of
// the same name). Built before fork, so the child only calls execve.
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('=') + 1);
        bool replaced = false;
        for (const std::string& x : extra)
            replaced = replaced || x.compare(0, name.size(), name) == 0;
        if (!replaced)
            env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

[[noreturn]] void Exec(char* const* argv, char* const* envp) {
    execve(argv[0], argv, envp);
    _exit(127);
}

// Waits up to ms for the child; kills it when it is still there. The exit
// status, or -1 when it did not exit normally.
int Reap(pid_t pid, int ms, bool& killed) {
    killed = false;
    auto start = Clock::now();
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r < 0)
            return -1;
        if (MsSince(start) > ms && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string EnvOr(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

} // namespace

std::string BinaryDir() {
    return EnvOr("KS_BINARY_DIR");
}
std::string SourceDir() {
    return EnvOr("KS_SOURCE_DIR");
}
std::string UpdaterPath() {
    return BinaryDir() + "/Updater/Updater";
}
std::string ModuleSimPath() {
    return BinaryDir() + "/sim/module/keystrand-sim";
}
std::string UpdaterTestHooksPath() {
    return BinaryDir() + "/tests/Updater-testhooks";
}
std::string UpdateServerPath() {
    return BinaryDir() + "/sim/updateserver/updateserver";
}

namespace {

// Forks a child whose standard input is /dev/null and whose standard output
// (a pipe, or a pseudo-terminal) and standard error (a pipe) the parent
// collects until both close or the time-out kills the child. The child runs
// body and then _exit(0)s (body may exec instead).
ProcessResult RunChild(const std::function<void()>& body, const RunOptions& options) {
    ProcessResult result;
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    int master = -1;
    if (pipe2(err, O_CLOEXEC) != 0)
        return result;
    if (options.onPty) {
        int slave = -1;
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master, &slave, nullptr, options.rawPty ? &raw : nullptr, nullptr) != 0) {
            close(err[0]);
            close(err[1]);
            return result;
        }
        out[0] = master;
        out[1] = slave;
    } else if (pipe2(out, O_CLOEXEC) != 0) {
        close(err[0]);
        close(err[1]);
        return result;
    }
    auto start = Clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (options.onPty)
            close(master);
        body();
        _exit(0);
    }
    close(out[1]);
    close(err[1]);
    bool outOpen = true, errOpen = true, killed = false;
    while ((outOpen || errOpen) && pid > 0) {
        long left = options.timeoutMs - MsSince(start);
        if (left <= 0) {
            kill(pid, SIGKILL);
            killed = true;
            break;
        }
        pollfd p[2] = {{outOpen ? out[0] : -1, POLLIN, 0}, {errOpen ? err[0] : -1, POLLIN, 0}};
        if (poll(p, 2, static_cast<int>(left < 100 ? left : 100)) <= 0)
            continue;
        char buf[4096];
        for (int i = 0; i < 2; ++i) {
            if (!(p[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t n = read(p[i].fd, buf, sizeof buf);
            if (n <= 0) {
                (i == 0 ? outOpen : errOpen) = false; // a pty reports EIO once the child is gone
                continue;
            }
            std::string chunk(buf, static_cast<size_t>(n));
            (i == 0 ? result.out : result.err) += chunk;
            if (i == 0 && options.onPty)
                result.chunks.emplace_back(MsSince(start), chunk);
        }
    }
    close(out[0]);
    close(err[0]);
    bool reapKilled = false;
    result.exitStatus = pid > 0 ? Reap(pid, killed ? 1000 : 5000, reapKilled) : -1;
    result.timedOut = killed || reapKilled;
    if (result.timedOut)
        result.exitStatus = -1;
    result.seconds = static_cast<double>(MsSince(start)) / 1000.0;
    return result;
}

} // namespace

ProcessResult RunProcess(const std::vector<std::string>& args, const RunOptions& options) {
    // Built before fork, so the child only calls execve.
    std::vector<std::string> env = Environment(options.env);
    std::vector<char*> argv = Argv(args), envp = Argv(env);
    return RunChild([&] { Exec(argv.data(), envp.data()); }, options);
}

ProcessResult RunInChild(const std::function<void()>& body, const RunOptions& options) {
    return RunChild(body, options);
}

Process::~Process() {
    stop();
}

bool Process::start(const std::vector<std::string>& argv, const std::vector<std::string>& env) {
    if (pid_ > 0 || dir_.path().empty())
        return false;
    std::string log = dir_.sub("output");
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    std::vector<std::string> environment = Environment(env);
    std::vector<char*> args = Argv(argv), envp = Argv(environment);
    pid_ = fork();
    if (pid_ == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        Exec(args.data(), envp.data());
    }
    close(fd);
    return pid_ > 0;
}

std::string Process::output() const {
    return ReadFile(dir_.sub("output"));
}

bool Process::running() {
    if (pid_ <= 0)
        return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == 0)
        return true;
    status_ = (r == pid_ && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
    return false;
}

std::string Process::waitForLine(const std::string& prefix, int ms) {
    auto start = Clock::now();
    for (;;) {
        std::istringstream in(output());
        std::string line;
        while (std::getline(in, line)) {
            if (!in.eof() && line.compare(0, prefix.size(), prefix) == 0)
                return line; // only whole lines: the writer may be mid-line
        }
        if (!running() || MsSince(start) > ms)
            return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int Process::waitForPort(const std::string& prefix, int ms) {
    std::string line = waitForLine(prefix, ms);
    size_t colon = line.rfind(':');
    if (colon == std::string::npos)
        return -1;
    return std::atoi(line.c_str() + colon + 1);
}

int Process::stop(int sig, int ms) {
    if (pid_ > 0) {
        kill(pid_, sig);
        bool killed = false;
        status_ = Reap(pid_, ms, killed);
        pid_ = -1;
    }
    return status_;
}

int ClosedPort() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 9; // discard: not served on a test machine
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0)
        close(s);
    return port;
}

} // namespace kstest
