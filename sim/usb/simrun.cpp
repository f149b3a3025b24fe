// ksusb-simrun: runs a command on an emulated USB bus with some modules
// plugged in, like umockdev-run does for recorded devices.
//
//   ksusb-simrun [--device SERIAL[:PRODUCT]]... [--echo] [--timeout S] -- COMMAND [ARG...]
//
// Each --device plugs one module (vendor 0x24FF, PRODUCT in hexadecimal,
// default 0010). With --echo every module sends back the bytes it receives;
// otherwise it swallows them. The exit status is the command's (125 when the
// bus cannot be set up, 124 when the command outlives the time-out).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "usbsim/usbbus.h"

namespace {

int usage(const char* argv0) {
    std::fprintf(stderr,
                 "usage: %s [--device SERIAL[:PRODUCT]]... [--echo] [--timeout SECONDS] -- "
                 "COMMAND [ARG...]\n",
                 argv0);
    return 125;
}

// Restarts this program under umockdev's preload when it is not yet there.
void ensurePreload(char** argv) {
    std::string why;
    if (kssim::UsbBus::available(&why))
        return;
    if (std::getenv("KS_USBSIM_REEXEC")) {
        std::fprintf(stderr, "ksusb-simrun: %s\n", why.c_str());
        std::exit(125);
    }
    const char* old = std::getenv("LD_PRELOAD");
    std::string preload = "libumockdev-preload.so.0";
    if (old && *old)
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    setenv("KS_USBSIM_REEXEC", "1", 1);
    execv("/proc/self/exe", argv);
    std::perror("ksusb-simrun: cannot restart under the umockdev preload");
    std::exit(125);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<kssim::UsbDeviceConfig> devices;
    bool echo = false;
    long timeoutS = 600;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "--device") == 0 && i + 1 < argc) {
            std::string spec = argv[++i];
            kssim::UsbDeviceConfig c;
            size_t colon = spec.find(':');
            c.serial = spec.substr(0, colon);
            if (colon != std::string::npos) {
                char* end = nullptr;
                unsigned long pid = std::strtoul(spec.c_str() + colon + 1, &end, 16);
                if (!end || *end || pid > 0xFFFF || colon + 1 == spec.size()) {
                    std::fprintf(stderr, "ksusb-simrun: bad product id in \"%s\"\n", spec.c_str());
                    return 125;
                }
                c.productId = static_cast<uint16_t>(pid);
            }
            devices.push_back(c);
        } else if (std::strcmp(argv[i], "--echo") == 0) {
            echo = true;
        } else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            char* end = nullptr;
            timeoutS = std::strtol(argv[++i], &end, 10);
            if (!end || *end || timeoutS <= 0 || timeoutS > 86400) {
                std::fprintf(stderr, "ksusb-simrun: bad time-out \"%s\"\n", argv[i]);
                return 125;
            }
        } else {
            return usage(argv[0]);
        }
    }
    if (i + 1 >= argc)
        return usage(argv[0]);
    ensurePreload(argv);
    unsetenv("KS_USBSIM_REEXEC");

    try {
        kssim::UsbBus bus;
        for (const auto& c : devices) {
            kssim::UsbDevice* d = bus.plug(c);
            if (echo)
                d->setHostWriteHandler([d](const uint8_t* p, size_t n) { d->sendToHost(p, n); });
            else
                d->setHostWriteHandler([](const uint8_t*, size_t) {});
        }
        std::vector<std::string> cmd(argv + i + 1, argv + argc);
        pid_t pid = bus.spawn(cmd);
        if (pid < 0) {
            std::fprintf(stderr, "ksusb-simrun: cannot start %s: %s\n", cmd[0].c_str(),
                         std::strerror(errno));
            return 125;
        }
        int status = kssim::UsbBus::waitChild(pid, static_cast<int>(timeoutS * 1000));
        if (status == -1) {
            std::fprintf(stderr, "ksusb-simrun: %s ran longer than %ld s, killed\n", cmd[0].c_str(),
                         timeoutS);
            return 124;
        }
        if (WIFEXITED(status))
            return WEXITSTATUS(status);
        return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ksusb-simrun: %s\n", e.what());
        return 125;
    }
}
