// Test helpers for the update server client: content for the simulated
// update server, and the server itself as a child process on loopback.
// Scratch directories, files and running the Updater binary come from the
// shared support (tempdir.h, process.h).
#pragma once

#include <string>
#include <vector>

#include "process.h"
#include "tempdir.h"

namespace updtest {

using kstest::ProcessResult;
using kstest::TempDir;

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
    TempDir logDir{"ks-updserver"};
    kstest::Process process_;
    int port_ = -1;
};

// A loopback URL on which nothing listens (a port just bound and released).
std::string ClosedPortUrl();

// "x" appears how many times in "s".
size_t CountOf(const std::string& s, const std::string& x);

} // namespace updtest
