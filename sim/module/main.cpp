// keystrand-sim: hosts a bench of simulated Keystrand modules on this machine.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "modsim/Bench.h"
#include "modsim/BenchConfig.h"
#include "modsim/PrivateNet.h"
#ifdef KS_MODSIM_USB
#include "modsim/UsbServe.h"
#include "usbsim/usbbus.h"
#endif

namespace {

volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gReport = 0;

void onStop(int) {
    gStop = 1;
}
void onReport(int) {
    gReport = 1;
}

void usage(FILE* f) {
    fputs("usage: keystrand-sim [options] [-- COMMAND [ARGS...]]\n"
          "  --bench FILE        modules from a bench file (see README.md)\n"
          "  --module SPEC       one more module: \"NAME key=value ...\"\n"
          "  --modules SPEC      N more modules alike: \"N PREFIX key=value ...\", named\n"
          "                      PREFIX1..PREFIXN, serials counting up from serial=\n"
          "  --bind ADDR         address of the TCP listeners (default 127.0.0.1)\n"
          "  --discovery IFACE   answer UDP discovery on this interface (name or IPv4)\n"
          "  --trace             log every packet in and out on standard error\n"
          "  --report            print every module's state on exit (and on SIGUSR1)\n"
          "  --ready-file PATH   write the module lines to PATH once the bench runs\n"
          "  --usb               run COMMAND on the emulated USB bus even when no module is\n"
          "                      on it, so that it sees an empty bus, not this machine's\n"
          "  --dump DIR          on exit, write every image the modules received into DIR,\n"
          "                      and each module's state (see README.md, \"Watching it\")\n"
          "  --settle MS         once COMMAND ended, wait up to MS for restarting modules\n"
          "                      to come back before --report and --dump\n"
          "  --netns             run the modules in a private network namespace (10.77.0.2\n"
          "                      on ksv1, discovery on) and COMMAND in another one (10.77.0.1\n"
          "                      on ksv0), joined by a veth pair; needs root and a COMMAND\n"
          "  --help              this text\n"
          "With a COMMAND the simulator runs it as its child, stops when it ends and\n"
          "exits with its status; otherwise it runs until SIGINT or SIGTERM.\n",
          f);
}

struct Options {
    modsim::BenchConfig bench;
    bool trace = false, report = false, netns = false, usb = false;
    std::string readyFile, dumpDir;
    long settleMs = 0;
    std::vector<char*> command;
};

bool parseArgs(int argc, char** argv, Options& o) {
    std::string err;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) {
                fprintf(stderr, "keystrand-sim: %s needs a value\n", a.c_str());
                return false;
            }
            out = argv[++i];
            return true;
        };
        std::string v;
        if (a == "--") {
            for (++i; i < argc; ++i)
                o.command.push_back(argv[i]);
            break;
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            exit(0);
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--netns") {
            o.netns = true;
        } else if (a == "--usb") {
            o.usb = true;
        } else if (a == "--report") {
            o.report = true;
        } else if (a == "--bench") {
            if (!value(v))
                return false;
            if (!modsim::loadBenchFile(v, o.bench, err))
                return fprintf(stderr, "keystrand-sim: %s\n", err.c_str()), false;
        } else if (a == "--module") {
            if (!value(v))
                return false;
            if (!modsim::parseModuleSpec(v, o.bench, err))
                return fprintf(stderr, "keystrand-sim: %s\n", err.c_str()), false;
        } else if (a == "--modules") {
            if (!value(v))
                return false;
            if (!modsim::parseModulesSpec(v, o.bench, err))
                return fprintf(stderr, "keystrand-sim: %s\n", err.c_str()), false;
        } else if (a == "--bind") {
            if (!value(o.bench.bind))
                return false;
        } else if (a == "--discovery") {
            if (!value(o.bench.discovery))
                return false;
        } else if (a == "--ready-file") {
            if (!value(o.readyFile))
                return false;
        } else if (a == "--dump") {
            if (!value(o.dumpDir))
                return false;
        } else if (a == "--settle") {
            if (!value(v))
                return false;
            char* end = nullptr;
            o.settleMs = strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != 0 || o.settleMs < 0 || o.settleMs > 600000)
                return fprintf(stderr, "keystrand-sim: --settle: expected 0 to 600000 ms\n"), false;
        } else {
            fprintf(stderr, "keystrand-sim: unknown option '%s'\n", a.c_str());
            usage(stderr);
            return false;
        }
    }
    if (o.netns && o.command.empty()) {
        fprintf(stderr, "keystrand-sim: --netns needs a COMMAND to run on the host side\n");
        return false;
    }
    if (o.bench.modules.empty()) {
        fprintf(stderr, "keystrand-sim: no modules (use --bench, --module or --modules)\n");
        return false;
    }
    return true;
}

bool wantsUsb(const modsim::BenchConfig& b) {
    for (const auto& m : b.modules)
        if (m.usb)
            return true;
    return false;
}

#ifdef KS_MODSIM_USB
// The emulated bus needs umockdev's preload in this process: restart under it.
void ensurePreload(char** argv) {
    std::string why;
    if (kssim::UsbBus::available(&why)) {
        unsetenv("KS_MODSIM_REEXEC");
        return;
    }
    if (getenv("KS_MODSIM_REEXEC")) {
        fprintf(stderr, "keystrand-sim: emulated USB bus unavailable: %s\n", why.c_str());
        exit(1);
    }
    const char* old = getenv("LD_PRELOAD");
    std::string preload = "libumockdev-preload.so.0";
    if (old && *old)
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("KS_MODSIM_REEXEC", "1", 1);
    execv("/proc/self/exe", argv);
    fprintf(stderr, "keystrand-sim: cannot restart under the umockdev preload: %s\n",
            strerror(errno));
    exit(1);
}
#endif

// The parent of process pid (from /proc), or 0.
pid_t parentOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    size_t close = text.rfind(')'); // the name may hold spaces and parentheses
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(text.substr(close + 1));
    std::string state;
    long ppid = 0;
    rest >> state >> ppid;
    return pid_t(ppid);
}

// sig to the command and every process below it (a wrapper script that
// traps it survives, the program it runs gets it as from a terminal).
void signalCommand(pid_t child, int sig) {
    std::vector<pid_t> tree{child};
    DIR* proc = opendir("/proc");
    for (struct dirent* e; proc && (e = readdir(proc)) != nullptr;) {
        pid_t pid = pid_t(atol(e->d_name));
        for (pid_t up = pid; pid > 0 && up > 1; up = parentOf(up))
            if (up != pid && up == child) {
                tree.push_back(pid);
                break;
            }
    }
    if (proc)
        closedir(proc);
    for (pid_t pid : tree)
        kill(pid, sig);
}

pid_t spawn(std::vector<char*>& cmd) {
    cmd.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execvp(cmd[0], cmd.data());
        fprintf(stderr, "keystrand-sim: cannot run %s: %s\n", cmd[0], strerror(errno));
        _exit(127);
    }
    return pid;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parseArgs(argc, argv, o))
        return 2;
    bool usb = o.usb || wantsUsb(o.bench);
#ifdef KS_MODSIM_USB
    if (usb)
        ensurePreload(argv);
    std::unique_ptr<kssim::UsbBus> bus;
    std::unique_ptr<modsim::UsbServe> serve;
#else
    if (usb) {
        fprintf(stderr,
                "keystrand-sim: emulated USB is not available in this build (no umockdev)\n");
        return 1;
    }
#endif
    signal(SIGINT, onStop);
    signal(SIGTERM, onStop);
    signal(SIGUSR1, onReport);
    signal(SIGPIPE, SIG_IGN);

    modsim::Bench bench;
    std::string err;
    modsim::PrivateNet net;
    if (o.netns) {
        if (!net.setup(err)) {
            fprintf(stderr, "keystrand-sim: --netns: %s\n", err.c_str());
            return 1;
        }
        o.bench.bind = modsim::PrivateNet::kModuleAddress;
        if (o.bench.discovery.empty())
            o.bench.discovery = modsim::PrivateNet::kModuleInterface;
        net.enterModuleSide();
    }
    bool started = bench.start(o.bench, err);
    if (o.netns)
        net.enterHostSide();
    if (!started) {
        fprintf(stderr, "keystrand-sim: %s\n", err.c_str());
        return 1;
    }
#ifdef KS_MODSIM_USB
    if (usb) {
        try {
            bus = std::make_unique<kssim::UsbBus>();
        } catch (const std::exception& e) {
            fprintf(stderr, "keystrand-sim: %s\n", e.what());
            return 1;
        }
        serve = std::make_unique<modsim::UsbServe>(bench, *bus);
        if (!serve->start(err)) {
            fprintf(stderr, "keystrand-sim: %s\n", err.c_str());
            return 1;
        }
    }
#endif
    uint64_t t0 = modsim::monotonicUs();
    if (o.trace)
        bench.setTrace([t0](const std::string& line) {
            uint64_t t = modsim::monotonicUs() - t0;
            fprintf(stderr, "[%6llu.%03llu] %s\n", (unsigned long long)(t / 1000000),
                    (unsigned long long)(t / 1000 % 1000), line.c_str());
        });
    std::string lines = bench.summary();
    if (o.netns)
        lines += std::string("netns host=") + modsim::PrivateNet::kHostAddress +
                 " modules=" + modsim::PrivateNet::kModuleAddress +
                 " discovery=" + o.bench.discovery + "\n";
    fputs(lines.c_str(), stdout);
    puts("ready");
    fflush(stdout);
    if (!o.readyFile.empty())
        std::ofstream(o.readyFile) << lines << "ready\n";

    int status = 0;
    pid_t child = -1;
#ifdef KS_MODSIM_USB
    if (bus && !o.command.empty())
        child = bus->spawn(std::vector<std::string>(o.command.begin(), o.command.end()));
    else
#endif
        if (!o.command.empty())
        child = spawn(o.command);
    if (child < 0 && !o.command.empty()) {
        fprintf(stderr, "keystrand-sim: cannot start the command: %s\n", strerror(errno));
        status = 1;
        gStop = 1;
    }
    if (child > 0)
        bench.setSignalHandler([child](int sig) { signalCommand(child, sig); });
    while (!gStop) {
        if (gReport) {
            gReport = 0;
            fputs(bench.report().c_str(), stderr);
        }
        if (child > 0) {
            int ws = 0;
            if (waitpid(child, &ws, WNOHANG) == child) {
                status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
                break;
            }
        }
        usleep(20000);
    }
    if (child > 0 && gStop) {
        kill(child, SIGTERM);
        int ws = 0;
        waitpid(child, &ws, 0);
        status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    }
    for (uint64_t end = modsim::monotonicUs() + uint64_t(o.settleMs) * 1000;
         !gStop && !bench.settled() && modsim::monotonicUs() < end;)
        usleep(10000);
    if (o.report)
        fputs(bench.report().c_str(), stderr);
    if (!o.dumpDir.empty() &&
        (!bench.writeImages(o.dumpDir, err) || !bench.writeState(o.dumpDir, err))) {
        fprintf(stderr, "keystrand-sim: --dump: %s\n", err.c_str());
        if (status == 0)
            status = 1;
    }
#ifdef KS_MODSIM_USB
    if (serve)
        serve->stop();
#endif
    bench.stop();
    return status;
}
