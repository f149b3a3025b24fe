// The UDP discovery responder of the bench: joins the discovery group on one
// interface and answers each request with one reply per reachable TCP module.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "modsim/Bench.h"
#include "modsim/BenchEndpoint.h"
#include "modsim/modsim_protocol.h"

namespace modsim {

bool openDiscovery(const std::string& iface, int& fd, std::string& error) {
    ip_mreqn mreq{};
    if (inet_pton(AF_INET, kDiscoveryGroup, &mreq.imr_multiaddr) != 1)
        return error = "bad group", false;
    if (inet_pton(AF_INET, iface.c_str(), &mreq.imr_address) != 1) {
        mreq.imr_ifindex = int(if_nametoindex(iface.c_str()));
        if (mreq.imr_ifindex == 0)
            return error = "discovery: no interface named '" + iface + "'", false;
    }
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(kDiscoveryRequestPort);
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) ||
        setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq)) {
        error = "discovery on " + iface + ": " + strerror(errno);
        if (fd >= 0)
            close(fd);
        fd = -1;
        return false;
    }
    return true;
}

void Bench::answerDiscovery() {
    for (int round = 0; round < 16; ++round) {
        uint8_t req[64];
        sockaddr_in from{};
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(discoveryFd_, req, sizeof req, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &flen);
        if (n < 0)
            return;
        if (n != ssize_t(kDiscoverySize) || req[0] != 0x01)
            continue; // not a discovery request
        from.sin_port = htons(kDiscoveryReplyPort);
        for (auto& e : eps_) {
            Module& m = *e->mod;
            if (!e->hasTcp || !m.present() || e->listenFd < 0)
                continue;
            uint8_t r[kDiscoverySize] = {};
            r[0] = 0x02;
            r[1] = m.address();
            putLE16(&r[2], e->port);
            putLE32(&r[4], m.presentedSerial());
            r[12] = m.config().model;
            // The host takes the module's IP address from the reply's source.
            int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in src{};
            src.sin_family = AF_INET;
            if (s < 0)
                continue;
            if (inet_pton(AF_INET, e->host.c_str(), &src.sin_addr) == 1 && src.sin_addr.s_addr != 0)
                bind(s, reinterpret_cast<sockaddr*>(&src), sizeof src);
            sendto(s, r, sizeof r, 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
            close(s);
        }
    }
}

} // namespace modsim
