// Two private network namespaces joined by a veth pair, for running modules
// on a network without touching the host's interfaces: the calling thread
// moves into the "host side" namespace (10.77.0.1 on ksv0); the modules'
// sockets are made in the "module side" namespace (10.77.0.2 on ksv1), which a
// helper process holds open. Needs root and the ip command (iproute2).
#pragma once

#include <sys/types.h>

#include <string>

namespace modsim {

class PrivateNet {
  public:
    static constexpr const char* kHostAddress = "10.77.0.1";
    static constexpr const char* kModuleAddress = "10.77.0.2";
    static constexpr const char* kHostInterface = "ksv0";
    static constexpr const char* kModuleInterface = "ksv1";

    PrivateNet() = default;
    ~PrivateNet();
    PrivateNet(const PrivateNet&) = delete;
    PrivateNet& operator=(const PrivateNet&) = delete;

    // Creates both namespaces and the veth pair and waits (bounded) until both
    // ends are up. False and `why` when this cannot be done here.
    bool setup(std::string& why);
    // Moves the calling thread into one side or the other.
    bool enterModuleSide();
    bool enterHostSide();

  private:
    int hostNs_ = -1, moduleNs_ = -1;
    pid_t holder_ = -1;
};

} // namespace modsim
