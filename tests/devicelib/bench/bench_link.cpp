// Figures for the link engine over a TCP/IP link to a loopback echo peer:
// round-trip time of a packet with 28 data bytes through the engine and
// back (median and 99th percentile), packets per second with one packet in
// flight, and the CPU time that an idle connected link's threads use per
// second of wall time. Prints figures; asserts nothing about them.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "link_peer.h"
#include "qLink.h"
#include "wait.h"

using linktest::Bytes;

namespace {

double cpuMs() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

// Echoes every packet the host sends, except the link's own start and stop
// packets, until the connection closes or stop is set.
void echo(linktest::PeerEnd* conn, std::atomic<bool>* stop) {
    while (!stop->load()) {
        Bytes head = conn->read(2, 100);
        if (head.size() < 2) {
            if (!head.empty())
                return;
            continue;
        }
        Bytes data = conn->read(head[1], 1000);
        if (data.size() != head[1])
            return;
        if (head[0] == qLINK_ENDPOINT_ADDRESS)
            continue;
        head.insert(head.end(), data.begin(), data.end());
        if (!conn->send(head))
            return;
    }
}

struct Sequence {
    uint8_t value;
};

bool isEcho(const qPacket* p, const void* ref) {
    return p->address == 4 && p->length == 28 &&
           p->data[0] == static_cast<const Sequence*>(ref)->value;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 1000;
    if (rounds < 10 || rounds > 100000)
        rounds = 1000;
    linktest::Listener listener;
    if (!listener.valid()) {
        fprintf(stderr, "bench-link: cannot listen on loopback\n");
        return 1;
    }
    uint32_t id = qLink_CreateTCPIP(linktest::loopbackAddress(), listener.port());
    linktest::PeerEnd conn = listener.accept(2000);
    if (!id || !conn.valid()) {
        fprintf(stderr, "bench-link: the link did not connect\n");
        return 1;
    }
    std::atomic<bool> stop{false};
    std::thread peer(echo, &conn, &stop);

    std::vector<double> rtt;
    rtt.reserve(rounds);
    uint8_t data[28];
    for (int i = 0; i < 28; i++)
        data[i] = static_cast<uint8_t>(i);
    int lost = 0;
    double start = kstest::NowMs();
    for (int i = 0; i < rounds; i++) {
        Sequence seq = {static_cast<uint8_t>(i)};
        data[0] = seq.value;
        qPacket* out = qPacket_CreateWithData(4, 28, data);
        double t0 = kstest::NowMs();
        qLink_PutPacket(id, out);
        qPacket* back = qLink_AwaitFirst(id, isEcho, &seq, 1000);
        double t1 = kstest::NowMs();
        qPacket_Destroy(&out);
        if (!back) {
            lost++;
            continue;
        }
        qPacket_Destroy(&back);
        rtt.push_back(t1 - t0);
    }
    double total = kstest::NowMs() - start;
    if (rtt.empty()) {
        fprintf(stderr, "bench-link: no echo came back\n");
        return 1;
    }
    std::sort(rtt.begin(), rtt.end());
    double median = rtt[rtt.size() / 2];
    double p99 = rtt[std::min(rtt.size() - 1, rtt.size() * 99 / 100)];
    printf(
        "round trip, 28 data bytes, %zu of %d echoed: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
        rtt.size(), rounds, median, p99, rtt.back());
    printf("one packet in flight: %.0f packets/s\n", rtt.size() * 1000.0 / total);
    if (lost)
        printf("lost: %d\n", lost);

    // Idle: the link stays connected, nothing moves; the peer thread sleeps
    // in poll and the main thread in nanosleep, so the process CPU time is
    // the link threads'.
    usleep(200000);
    double c0 = cpuMs(), w0 = kstest::NowMs();
    usleep(3000000);
    double c1 = cpuMs(), w1 = kstest::NowMs();
    printf("idle connected link: %.1f ms CPU per second of wall time (%.2f%% of one core)\n",
           (c1 - c0) * 1000.0 / (w1 - w0), (c1 - c0) * 100.0 / (w1 - w0));

    stop.store(true);
    qLink_Destroy(&id);
    peer.join();
    return 0;
}
