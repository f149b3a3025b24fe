// Test helpers for the update server client: a temporary directory, the
// simulated update server as a child process on loopback, and a bounded way
// to run a program (the Updater binary) and collect what it printed.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace updtest {

// KS_BINARY_DIR from the test's environment ("" when not set).
std::string BinaryDir();

// A fresh directory under TMPDIR (or /tmp), removed with its content.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }

  private:
    std::string dir;
};

bool WriteFile(const std::string& path, const std::string& bytes);
bool ReadFile(const std::string& path, std::string& bytes);
bool Exists(const std::string& path);

// Content for the simulated server (layout in sim/updateserver/README.md).
void AddModule(const std::string& root, const std::string& serial, const std::string& latest,
               const std::string& firmware);
// version "-" leaves the build out of the list; empty bytes write no file.
void AddBuild(const std::string& root, const std::string& serial, unsigned build,
              const std::string& version, const std::string& birdBytes);
// A small but well-formed BIRD file for the given build.
std::string MakeBird(unsigned build, const std::string& version, unsigned serial,
                     size_t imageBytes = 64);

// The simulated update server, started with --root root and the given fault
// switches; stopped (SIGTERM, then SIGKILL) by the destructor. Its request log
// goes to a file that Requests() reads.
class SimServer {
  public:
    SimServer(const std::string& root, const std::vector<std::string>& switches = {});
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    bool running() const { return port_ > 0; }
    int port() const { return port_; }
    std::string url() const;
    // The request lines ("REQ ...") logged so far.
    std::vector<std::string> Requests() const;
    // The raw targets of the requests logged so far ("/cgi/u?op=hi&rv=2&").
    std::vector<std::string> Targets() const;

  private:
    TempDir logDir;
    pid_t pid_ = -1;
    int port_ = -1;
};

struct ProcessResult {
    int exitStatus = -1; // exit code, or -1 when killed or not started
    bool timedOut = false;
    std::string out;    // standard output (or the terminal's output with a pty)
    std::string err;    // standard error
    double seconds = 0; // wall time
    // With a pty: every chunk read from the terminal and when (ms from start).
    std::vector<std::pair<long, std::string>> chunks;
};

// Runs argv[0] with the arguments, standard input from /dev/null, standard
// output and error collected through pipes, or standard output on a pseudo
// terminal when onPty. Killed after timeoutMs.
ProcessResult RunProcess(const std::vector<std::string>& argv, int timeoutMs, bool onPty = false);

// The Updater binary of this build tree.
std::string UpdaterPath();

// A loopback URL on which nothing listens (a port just bound and released).
std::string ClosedPortUrl();

// "x" appears how many times in "s".
size_t CountOf(const std::string& s, const std::string& x);

} // namespace updtest
