// Running the real Updater as the child of the module simulator
// (keystrand-sim) and taking its output apart: what the Updater printed on
// each stream, and the simulator's report of every module afterwards.
#pragma once

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "process.h"

namespace discovertest {

const std::string BANNER = "Updater (Version: 1.1 Apr 26 2023)\n";
const std::string USB_HEAD =
    "    Device    Module   Router  Model          Firmware Version (Build)\n";
const std::string IP_HEAD =
    "    Device    Module   Router  Model          Firmware Version (Build)   [IP address]\n";

// The row of a USB module that another program holds.
const std::string BUSY_USB = "[Error (5): in use by another program]";

struct BenchRun {
    kstest::ProcessResult process;
    std::string out;    // the command's standard output (after the simulator's "ready")
    std::string err;    // the command's standard error (before the simulator's report)
    std::string report; // the simulator's report of every module on exit
};

// Runs command as the child of a simulator with these options (--usb,
// --netns) and modules ("NAME key=value ..."), with --report.
inline BenchRun RunOnBench(const std::vector<std::string>& options,
                           const std::vector<std::string>& modules,
                           const std::vector<std::string>& command, int timeoutMs = 90000) {
    std::vector<std::string> argv{kstest::ModuleSimPath(), "--report"};
    argv.insert(argv.end(), options.begin(), options.end());
    for (const std::string& m : modules) {
        argv.push_back("--module");
        argv.push_back(m);
    }
    argv.push_back("--");
    argv.insert(argv.end(), command.begin(), command.end());
    BenchRun run;
    run.process = kstest::RunProcess(argv, timeoutMs);
    const std::string& out = run.process.out;
    size_t ready = out.find("ready\n");
    run.out = ready == std::string::npos ? out : out.substr(ready + 6);
    std::string first = modules.empty() ? "" : modules[0].substr(0, modules[0].find(' '));
    size_t report = run.process.err.find(first + ": serial=");
    run.err = run.process.err.substr(0, report);
    run.report = report == std::string::npos ? "" : run.process.err.substr(report);
    return run;
}

// The Updater with these arguments as the simulator's command.
inline BenchRun RunUpdaterOnBench(const std::vector<std::string>& options,
                                  const std::vector<std::string>& modules,
                                  const std::vector<std::string>& args) {
    std::vector<std::string> command{kstest::UpdaterPath()};
    command.insert(command.end(), args.begin(), args.end());
    return RunOnBench(options, modules, command);
}

// The lines of the command's output that start with "tag: ", without it.
inline std::vector<std::string> Tagged(const BenchRun& run, const std::string& tag) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < run.out.size()) {
        size_t end = run.out.find('\n', at);
        std::string line = run.out.substr(at, end == std::string::npos ? end : end - at);
        if (line.compare(0, tag.size() + 2, tag + ": ") == 0)
            lines.push_back(line.substr(tag.size() + 2));
        at = end == std::string::npos ? run.out.size() : end + 1;
    }
    return lines;
}

// Where the simulator listens for a module's TCP links ("10.77.0.2:40123").
inline std::string TcpEndpoint(const BenchRun& run, const std::string& name) {
    const std::string& out = run.process.out;
    size_t line = out.find("module " + name + " ");
    size_t at = line == std::string::npos ? line : out.find(" tcp=", line);
    if (at == std::string::npos || at > out.find('\n', line))
        return "";
    at += 5;
    return out.substr(at, out.find_first_of(" \n", at) - at);
}

// The report block of one module.
inline std::string ReportOf(const BenchRun& run, const std::string& name) {
    size_t start = run.report.find(name + ": serial=");
    if (start == std::string::npos)
        return "";
    size_t end = run.report.find("\n", start);
    while (end != std::string::npos && end + 1 < run.report.size() && run.report[end + 1] == ' ')
        end = run.report.find("\n", end + 1);
    return run.report.substr(start, end == std::string::npos ? end : end - start);
}

// The value of "key=value" in a module's report block ("" when absent).
inline std::string ReportValue(const BenchRun& run, const std::string& name,
                               const std::string& key) {
    std::string block = ReportOf(run, name);
    size_t at = block.find(" " + key + "=");
    if (at == std::string::npos)
        return "";
    at += key.size() + 2;
    return block.substr(at, block.find_first_of(" \n", at) - at);
}

// Every link the Updater opened to the module was closed again, with the
// link stop packet; opened is how many it opened.
inline void ExpectLinksClosed(const BenchRun& run, const std::string& name, int opened) {
    EXPECT_EQ(ReportValue(run, name, "link-starts"), std::to_string(opened)) << ReportOf(run, name);
    EXPECT_EQ(ReportValue(run, name, "link-stops"), std::to_string(opened)) << ReportOf(run, name);
}

// The program ran to its end (promptly: well within the run's bound) with
// this status and printed exactly this.
inline void ExpectOutput(const BenchRun& run, const std::string& out, int status = 0) {
    ASSERT_FALSE(run.process.timedOut) << run.process.out << run.process.err;
    EXPECT_EQ(run.process.exitStatus, status) << run.process.err;
    EXPECT_EQ(run.out, out);
    EXPECT_EQ(run.err, "");
}

// main of a test program whose benches need private network namespaces:
// skipped (77, with the reason) without root and iproute2.
inline int NetnsTestMain(int argc, char** argv) {
    if (geteuid() != 0 || std::system("ip -V >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "SKIPPED: needs root and iproute2 for private network namespaces\n");
        return 77;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

} // namespace discovertest
