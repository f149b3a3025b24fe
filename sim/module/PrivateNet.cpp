// Private network namespaces with a veth pair between them.
#include "modsim/PrivateNet.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace modsim {

namespace {

bool run(const std::string& cmd) {
    return system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

// A datagram sent before the link is operational is lost: wait (bounded).
bool waitUp(const std::string& dev) {
    for (int i = 0; i < 150; ++i) {
        if (run("ip -o link show " + dev + " | grep -q 'state UP'"))
            return true;
        usleep(20000);
    }
    return false;
}

} // namespace

PrivateNet::~PrivateNet() {
    if (holder_ > 0) {
        kill(holder_, SIGKILL);
        waitpid(holder_, nullptr, 0);
    }
    if (hostNs_ >= 0)
        close(hostNs_);
    if (moduleNs_ >= 0)
        close(moduleNs_);
}

bool PrivateNet::setup(std::string& why) {
    if (geteuid() != 0)
        return why = "needs root to create network namespaces", false;
    if (!run("ip -V"))
        return why = "the ip command (iproute2) is not installed", false;
    int p[2];
    if (pipe2(p, O_CLOEXEC))
        return why = "cannot create a pipe", false;
    const pid_t parent = getpid();
    holder_ = fork();
    if (holder_ == 0) {
        // The holder goes with the simulator, however that ends (SIGKILL
        // included). The signal follows the thread that forked: this is the
        // main thread, which lives as long as the process. A parent that died
        // before the prctl took effect is caught by the check after it.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
            _exit(1);
        char ok = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
        if (write(p[1], &ok, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    char ok = 'n';
    bool got = holder_ > 0 && read(p[0], &ok, 1) == 1 && ok == 'y';
    close(p[0]);
    close(p[1]);
    if (!got || unshare(CLONE_NEWNET) != 0)
        return why = "cannot create a network namespace here", false;
    hostNs_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    moduleNs_ =
        open(("/proc/" + std::to_string(holder_) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
    std::string h = std::to_string(holder_), hi = kHostInterface, mi = kModuleInterface;
    if (hostNs_ < 0 || moduleNs_ < 0 || !run("ip link set lo up") ||
        !run("ip link add " + hi + " type veth peer name " + mi + " netns " + h) ||
        !run("ip addr add " + std::string(kHostAddress) + "/24 dev " + hi) ||
        !run("ip link set " + hi + " up"))
        return why = "cannot set up the veth pair", false;
    if (!enterModuleSide())
        return why = "cannot enter the module side", false;
    bool up = run("ip link set lo up") &&
              run("ip addr add " + std::string(kModuleAddress) + "/24 dev " + mi) &&
              run("ip link set " + mi + " up") && waitUp(mi);
    if (!enterHostSide())
        return why = "cannot return to the host side", false;
    if (!up || !waitUp(hi))
        return why = "cannot bring the veth pair up", false;
    return true;
}

bool PrivateNet::enterModuleSide() {
    return moduleNs_ >= 0 && setns(moduleNs_, CLONE_NEWNET) == 0;
}

bool PrivateNet::enterHostSide() {
    return hostNs_ >= 0 && setns(hostNs_, CLONE_NEWNET) == 0;
}

} // namespace modsim
