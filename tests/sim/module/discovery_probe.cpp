// Test helper program: sends one discovery request through an interface
// address, prints each reply as "module SERIAL address=A port=P model=M from=IP",
// then opens the link of each module found and prints its sync answer.
//   discovery_probe INTERFACE-ADDRESS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Found {
    sockaddr_in from;
    uint16_t port;
    uint8_t address;
};

void printSync(const Found& f) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = f.from;
    a.sin_port = htons(f.port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a)) {
        printf("sync none\n");
        close(fd);
        return;
    }
    const uint8_t req[12] = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};
    if (write(fd, req, sizeof req) != 12)
        return;
    std::vector<uint8_t> got;
    for (int i = 0; i < 100 && got.size() < 4; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        uint8_t b[8];
        ssize_t n = read(fd, b, sizeof b);
        if (n <= 0)
            break;
        got.insert(got.end(), b, b + n);
    }
    printf("sync");
    for (uint8_t b : got)
        printf(" %02X", b);
    printf("\n");
    close(fd);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s INTERFACE-ADDRESS\n", argv[0]);
        return 2;
    }
    int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(9889);
    if (bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a))
        return perror("bind"), 3;
    int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr ifaddr{};
    if (inet_pton(AF_INET, argv[1], &ifaddr) != 1)
        return 2;
    setsockopt(tx, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr);
    sockaddr_in g{};
    g.sin_family = AF_INET;
    g.sin_port = htons(9888);
    inet_pton(AF_INET, "232.2.2.2", &g.sin_addr);
    uint8_t req[16] = {0x01};
    if (sendto(tx, req, sizeof req, 0, reinterpret_cast<sockaddr*>(&g), sizeof g) != 16)
        return perror("sendto"), 4;
    std::vector<Found> found;
    for (int i = 0; i < 40; ++i) { // 800 ms at most
        pollfd p{rx, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        uint8_t r[64];
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        ssize_t n = recvfrom(rx, r, sizeof r, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        if (n != 16)
            continue;
        uint16_t port = uint16_t(r[2] | (r[3] << 8));
        uint32_t serial = r[4] | (r[5] << 8) | (r[6] << 16) | (uint32_t(r[7]) << 24);
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        printf("module %08X address=%u port=%u model=%u from=%s\n", serial, r[1], port, r[12], ip);
        found.push_back({from, port, r[1]});
    }
    for (const Found& f : found)
        printSync(f);
    return found.empty() ? 1 : 0;
}
