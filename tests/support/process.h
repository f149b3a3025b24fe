// Programs run by tests: one call that runs a program to its end with a bound
// on its time, and a Process that keeps a program (a simulator) running while
// the test works, waits for a line it prints and stops it again.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "tempdir.h"

namespace kstest {

// Build and source trees of this test run (KS_BINARY_DIR, KS_SOURCE_DIR).
std::string BinaryDir();
std::string SourceDir();
// Programs of this build tree.
std::string UpdaterPath();      // Updater/Updater
std::string ModuleSimPath();    // sim/module/keystrand-sim
std::string UpdateServerPath(); // sim/updateserver/updateserver
// The Updater with its test hooks (tests/support/updater_testhooks.cpp).
std::string UpdaterTestHooksPath();

struct ProcessResult {
    int exitStatus = -1; // exit code, or -1 when killed or not started
    bool timedOut = false;
    std::string out;    // standard output (or the terminal's output with a pty)
    std::string err;    // standard error
    double seconds = 0; // wall time
    // With a pty: every chunk read from the terminal and when (ms from start).
    std::vector<std::pair<long, std::string>> chunks;
};

struct RunOptions {
    int timeoutMs = 30000;
    bool onPty = false;           // standard output on a pseudo-terminal
    bool rawPty = false;          // ... in raw mode (no "\n" to "\r\n")
    std::vector<std::string> env; // "NAME=value" added to the inherited environment
};

// Runs argv[0] with its arguments, standard input from /dev/null, standard
// output and error collected; killed (SIGKILL) after the time-out.
ProcessResult RunProcess(const std::vector<std::string>& argv, const RunOptions& options);
inline ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutMs,
                                bool onPty = false) {
    RunOptions o;
    o.timeoutMs = timeoutMs;
    o.onPty = onPty;
    return RunProcess(argv, o);
}

// Runs body in a forked child of this process, with standard input, output
// and error as RunProcess gives them (env is not used), then _exit(0)s
// without flushing stdio: only what body wrote itself arrives.
ProcessResult RunInChild(const std::function<void()>& body, const RunOptions& options);

// A program running beside the test; its standard output and error go to one
// file that the test can read and wait on. Stopped by stop() or the
// destructor: SIGTERM, then SIGKILL after 5 s.
class Process {
  public:
    Process() = default;
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // False when the program cannot be started.
    bool start(const std::vector<std::string>& argv, const std::vector<std::string>& env = {});
    // The first whole output line that starts with prefix, waiting up to ms;
    // "" when none came (or the program ended first).
    std::string waitForLine(const std::string& prefix, int ms = 10000);
    // The number after the last ':' of that line (a "host:port" line), or -1.
    int waitForPort(const std::string& prefix, int ms = 10000);
    std::string output() const;
    bool running();
    pid_t pid() const { return pid_; }
    // Sends sig (default SIGTERM), waits up to ms, then kills. The exit status, or -1.
    int stop(int sig = 15, int ms = 5000);

  private:
    TempDir dir_{"ks-proc"};
    pid_t pid_ = -1;
    int status_ = -1;
};

// A loopback port on which nothing listens (bound and released at once).
int ClosedPort();

} // namespace kstest
