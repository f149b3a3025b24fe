// Figures for the link engine, each beside the same figure for a plain
// socket program that does the same work with the same 1 ms pause after each
// packet it sends (the reference):
// - CPU of an idle connected link over TCP and over a pseudo-terminal;
// - round trip of a packet with 28 data bytes to a loopback echo peer and
//   back, median and 99th percentile, back to back and with a 2 ms gap;
// - CPU and wall time for sending 256 KiB of upgrade DATA packets (26 image
//   bytes each, every one waiting for its reply) to the module simulator.
// - over the emulated USB bus, the idle link beside a plain libusb program
//   that keeps one bulk IN transfer waiting and handles events, each with
//   what the bus emulation (the simulator process) spent meanwhile; the same
//   DATA packets sent by both, with the wall and CPU time of one exchange
//   (--usb-data-only yes: that alone, as scripts/bench-update.sh asks).
// The plain programs are in plain_peer.cpp.
// Prints figures; asserts nothing about them. scripts/bench-link.sh runs it
// as the child of the simulator (--sim-ready names the simulator's ready
// file); without it the DATA figures are skipped.
#include <arpa/inet.h>
#include <fcntl.h>
#include <libusb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link_peer.h"
#include "plain_peer.h"
#include "qLink.h"
#include "wait.h"

using kstest::NowMs;
using linktest::Bytes;

namespace {

constexpr uint8_t kModule = 4;
constexpr uint8_t kUpgrade = 0x5F;

struct Options {
    int rounds = 1000;
    int idleSeconds = 10;
    int dataKiB = 256;
    std::string simReady;
    uint32_t usbSerial = 0;   // a module on the emulated USB bus, when given
    bool usbDataOnly = false; // only the DATA over USB, by both programs
};

// CPU time of the whole process (every thread) in seconds.
double cpuSeconds() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void sleepNs(long ns) {
    timespec t = {ns / 1000000000L, ns % 1000000000L};
    nanosleep(&t, nullptr);
}

// CPU time in seconds of the simulator this bench runs under (its parent).
double simulatorCpuSeconds() {
    std::ifstream f("/proc/" + std::to_string(getppid()) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = strtoul(field.c_str(), nullptr, 10);
        if (i == 15)
            stime = strtoul(field.c_str(), nullptr, 10);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// Percent of one core that the process used while fn ran.
template <typename F> double cpuPercentWhile(F fn) {
    const double c0 = cpuSeconds(), w0 = NowMs();
    fn();
    return (cpuSeconds() - c0) * 1e5 / (NowMs() - w0);
}

int connectTo(uint32_t address, uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = address;
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// ---- the link ---------------------------------------------------------------

struct Match {
    uint8_t b0, b1, b2;
    bool third; // b2 must match too
};

bool matches(const qPacket* p, const void* ref) {
    const Match* m = static_cast<const Match*>(ref);
    return p->address == kModule && p->length >= 2 && p->data[0] == m->b0 && p->data[1] == m->b1 &&
           (!m->third || (p->length >= 3 && p->data[2] == m->b2));
}

bool linkSend(uint32_t id, const Bytes& data) {
    qPacket* p = qPacket_CreateWithData(kModule, static_cast<uint8_t>(data.size()), data.data());
    qErr e = p ? qLink_PutPacket(id, p) : qErrMemory;
    (void)qPacket_Destroy(&p);
    return e == qErrNone;
}

bool linkAwait(uint32_t id, const Match& m, int ms) {
    qPacket* p = qLink_AwaitFirst(id, matches, &m, static_cast<unsigned long>(ms));
    bool ok = p != nullptr;
    (void)qPacket_Destroy(&p);
    return ok;
}

bool awaitRunning(uint32_t id) {
    for (int i = 0; i < 2000 && qLink_GetStatus(id) != qLinkStatusRunning; i++)
        usleep(1000);
    return qLink_GetStatus(id) == qLinkStatusRunning;
}

// ---- figures ----------------------------------------------------------------

struct Row {
    std::string what;
    std::string plain;
    std::string link;
};

std::string fmt(const char* format, double a, double b = 0) {
    char s[64];
    snprintf(s, sizeof s, format, a, b);
    return s;
}

// Echoes every packet it receives except the link's own start and stop
// packets, until stop is set or the connection ends.
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

std::string percentiles(std::vector<double> ms) {
    if (ms.empty())
        return "no echo";
    std::sort(ms.begin(), ms.end());
    return fmt("%.3f / %.3f", ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]);
}

Bytes echoPacket(int i) {
    Bytes b(30);
    b[0] = kModule;
    b[1] = 28;
    for (int k = 2; k < 30; k++)
        b[k] = static_cast<uint8_t>(k);
    b[2] = static_cast<uint8_t>(i);
    return b;
}

// Round trips with a gap of gapMs between a reply and the next request.
void roundTrips(const Options& o, int gapMs, std::vector<Row>& rows) {
    std::vector<double> plain, link;
    {
        linktest::Listener l;
        plain::SocketPeer conn(connectTo(linktest::loopbackAddress(), l.port()));
        linktest::PeerEnd peer = l.accept(2000);
        std::atomic<bool> stop{false};
        std::thread t(echo, &peer, &stop);
        for (int i = 0; i < o.rounds; i++) {
            if (gapMs)
                sleepNs(gapMs * 1000000L);
            Bytes out = echoPacket(i), back;
            const double t0 = NowMs();
            if (conn.send(out) && conn.receive(back, 1000) && back == out)
                plain.push_back(NowMs() - t0);
        }
        stop.store(true);
        t.join();
    }
    {
        linktest::Listener l;
        uint32_t id = qLink_CreateTCPIP(linktest::loopbackAddress(), l.port());
        linktest::PeerEnd peer = l.accept(2000);
        std::atomic<bool> stop{false};
        std::thread t(echo, &peer, &stop);
        for (int i = 0; i < o.rounds && id; i++) {
            if (gapMs)
                sleepNs(gapMs * 1000000L);
            Bytes out = echoPacket(i);
            Match m = {out[2], out[3], out[4], true};
            const double t0 = NowMs();
            if (linkSend(id, Bytes(out.begin() + 2, out.end())) && linkAwait(id, m, 1000))
                link.push_back(NowMs() - t0);
        }
        stop.store(true);
        (void)qLink_Destroy(&id);
        t.join();
    }
    rows.push_back({gapMs ? "round trip with a 2 ms gap, p50 / p99 ms"
                          : "round trip back to back, "
                            "p50 / p99 ms",
                    percentiles(plain), percentiles(link)});
}

void idleTcp(const Options& o, std::vector<Row>& rows) {
    const int ms = o.idleSeconds * 1000;
    linktest::Listener l;
    double plain, link;
    {
        int fd = connectTo(linktest::loopbackAddress(), l.port());
        linktest::PeerEnd peer = l.accept(2000);
        plain = cpuPercentWhile([&] {
            pollfd p = {fd, POLLIN, 0};
            poll(&p, 1, ms);
        });
        ::close(fd);
    }
    {
        uint32_t id = qLink_CreateTCPIP(linktest::loopbackAddress(), l.port());
        linktest::PeerEnd peer = l.accept(2000);
        awaitRunning(id);
        usleep(200000);
        link = cpuPercentWhile([&] { usleep(static_cast<useconds_t>(ms) * 1000); });
        (void)qLink_Destroy(&id);
    }
    rows.push_back({fmt("idle connected, TCP, %.0f s: %% of a core", o.idleSeconds),
                    fmt("%.2f", plain), fmt("%.2f", link)});
}

void idlePty(const Options& o, std::vector<Row>& rows) {
    const int ms = o.idleSeconds * 1000;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        rows.push_back({"idle connected, pty", "no pty", "no pty"});
        return;
    }
    const std::string slave = ptsname(master);
    double plain, link;
    {
        int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
        termios t;
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
        plain = cpuPercentWhile([&] {
            pollfd p = {fd, POLLIN, 0};
            poll(&p, 1, ms);
        });
        ::close(fd);
    }
    {
        uint32_t id = qLink_CreateSerial(0x0000BE9C, slave.c_str(), 115200);
        awaitRunning(id);
        usleep(200000);
        link = cpuPercentWhile([&] { usleep(static_cast<useconds_t>(ms) * 1000); });
        (void)qLink_Destroy(&id);
    }
    ::close(master);
    rows.push_back({fmt("idle connected, pty, %.0f s: %% of a core", o.idleSeconds),
                    fmt("%.2f", plain), fmt("%.2f", link)});
}

// The simulator's TCP endpoint from its ready file ("tcp=HOST:PORT").
bool simEndpoint(const std::string& file, uint32_t* address, uint16_t* port) {
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find(" tcp=");
        size_t colon = line.rfind(':');
        if (at == std::string::npos || colon == std::string::npos || colon < at)
            continue;
        std::string host = line.substr(at + 5, colon - at - 5);
        *port = static_cast<uint16_t>(atoi(line.c_str() + colon + 1));
        return inet_pton(AF_INET, host.c_str(), address) == 1 && *port != 0;
    }
    return false;
}

// INIT, PREPARE and the image in DATA packets, each awaited, through send
// and await functions of either program. Returns the DATA packets sent, or
// -1 when an exchange failed.
template <typename Send, typename Await> long upgradeData(int kib, Send send, Await await) {
    if (!send(Bytes{kUpgrade, 0}) || !await(Match{kUpgrade, 0, 0, false}))
        return -1;
    if (!send(Bytes{kUpgrade, 3, 2, 0, 0, 0, 0}) || !await(Match{kUpgrade, 7, 0, true}))
        return -1;
    long packets = 0;
    for (long left = kib * 1024L; left > 0; packets++) {
        const uint8_t n = static_cast<uint8_t>(std::min(left, 26L));
        Bytes b = {kUpgrade, 1};
        for (uint8_t i = 0; i < n; i++)
            b.push_back(static_cast<uint8_t>(left - i));
        if (!send(b) || !await(Match{kUpgrade, 1, n, true}))
            return -1;
        left -= n;
    }
    return packets;
}

// What sending the DATA cost: packets (-1 when an exchange failed), process
// CPU and wall time in seconds.
struct DataCost {
    long packets = -1;
    double cpu = 0;
    double wall = 0;
};

template <typename Send, typename Await> DataCost measureData(int kib, Send send, Await await) {
    DataCost c;
    const double c0 = cpuSeconds(), w0 = NowMs();
    c.packets = upgradeData(kib, send, await);
    c.cpu = cpuSeconds() - c0;
    c.wall = (NowMs() - w0) / 1000;
    return c;
}

// The DATA through the plain program, between its link start and stop
// packets (as the link sends them).
DataCost plainData(int kib, plain::Peer& peer) {
    peer.send({qLINK_ENDPOINT_ADDRESS, 1, 1});
    DataCost c = measureData(
        kib,
        [&](const Bytes& d) {
            Bytes p = {kModule, static_cast<uint8_t>(d.size())};
            p.insert(p.end(), d.begin(), d.end());
            return peer.send(p);
        },
        [&](const Match& m) {
            Bytes p;
            return peer.await(m.b0, m.b1, p, 1000) && (!m.third || p[4] == m.b2);
        });
    peer.send({qLINK_ENDPOINT_ADDRESS, 1, 0});
    return c;
}

DataCost linkData(int kib, uint32_t id) {
    return measureData(
        kib, [&](const Bytes& d) { return linkSend(id, d); },
        [&](const Match& m) { return linkAwait(id, m, 1000); });
}

std::string cell(const DataCost& c, const char* format, double v) {
    return c.packets <= 0 ? std::string("failed") : fmt(format, v);
}

// Rows for the DATA sent by both programs; with perPacket, the cost of one
// DATA exchange too.
void dataRows(const std::string& prefix, int kib, const DataCost& plainCost,
              const DataCost& linkCost, bool perPacket, std::vector<Row>& rows) {
    const DataCost& p = plainCost;
    const DataCost& l = linkCost;
    rows.push_back({prefix + fmt("%.0f KiB of DATA: CPU s", kib), cell(p, "%.2f", p.cpu),
                    cell(l, "%.2f", l.cpu)});
    rows.push_back({prefix + fmt("%.0f KiB of DATA: wall s", kib), cell(p, "%.2f", p.wall),
                    cell(l, "%.2f", l.wall)});
    rows.push_back({"  DATA packets, each awaited", fmt("%.0f", double(p.packets)),
                    fmt("%.0f", double(l.packets))});
    if (!perPacket)
        return;
    rows.push_back({prefix + "per DATA exchange: wall us",
                    cell(p, "%.0f", p.wall * 1e6 / double(p.packets)),
                    cell(l, "%.0f", l.wall * 1e6 / double(l.packets))});
    rows.push_back({prefix + "per DATA exchange: CPU us",
                    cell(p, "%.0f", p.cpu * 1e6 / double(p.packets)),
                    cell(l, "%.0f", l.cpu * 1e6 / double(l.packets))});
}

void dataToSimulator(const Options& o, std::vector<Row>& rows) {
    uint32_t address = 0;
    uint16_t port = 0;
    if (o.simReady.empty() || !simEndpoint(o.simReady, &address, &port)) {
        rows.push_back({"DATA to the simulator", "skipped", "(no simulator)"});
        return;
    }
    DataCost plainCost, linkCost;
    {
        plain::SocketPeer conn(connectTo(address, port));
        plainCost = plainData(o.dataKiB, conn);
    }
    usleep(300000); // the simulator takes the next connection
    uint32_t id = qLink_CreateTCPIP(address, port);
    if (id && awaitRunning(id))
        linkCost = linkData(o.dataKiB, id);
    (void)qLink_Destroy(&id);
    dataRows("to the simulator, ", o.dataKiB, plainCost, linkCost, false, rows);
}

// Round trips of a DEBUG echo over the USB link, back to back and with a
// 2 ms gap.
void usbEchoes(const Options& o, uint32_t id, std::vector<Row>& rows) {
    for (int gapMs : {0, 2}) {
        std::vector<double> rtt;
        for (int i = 0; i < o.rounds; i++) {
            if (gapMs)
                sleepNs(gapMs * 1000000L);
            const uint8_t seq = static_cast<uint8_t>(i);
            Match m = {23, seq, 0, false};
            const double t0 = NowMs();
            if (linkSend(id, Bytes{23, seq}) && linkAwait(id, m, 1000))
                rtt.push_back(NowMs() - t0);
        }
        rows.push_back({gapMs ? "USB: echo with a 2 ms gap, p50 / p99 ms"
                              : "USB: echo back to back, p50 / p99 ms",
                        "-", percentiles(rtt)});
    }
}

// Over the emulated USB bus (the simulator's module with key usb): idle CPU
// beside the plain libusb program, with the emulation's own share; the DATA
// transfer by both; round trips of a DEBUG echo for the link alone.
void overUsb(const Options& o, std::vector<Row>& rows) {
    if (!o.usbSerial)
        return;
    const int idleMs = o.idleSeconds * 1000;
    double plainIdle = -1, plainSim = 0;
    DataCost plainCost, linkCost;
    {
        plain::UsbPeer peer;
        if (peer.open(o.usbSerial)) {
            if (!o.usbDataOnly) {
                const double s0 = simulatorCpuSeconds(), t0 = NowMs();
                plainIdle = cpuPercentWhile([&] { peer.idle(idleMs); });
                plainSim = (simulatorCpuSeconds() - s0) * 1e5 / (NowMs() - t0);
            }
            plainCost = plainData(o.dataKiB, peer);
        }
    }
    uint32_t id = qLink_CreateUSB(o.usbSerial);
    if (!id || !awaitRunning(id)) {
        rows.push_back({"USB (emulated bus)", "-", "no link"});
        (void)qLink_Destroy(&id);
        return;
    }
    usleep(200000);
    if (!o.usbDataOnly) {
        const double s0 = simulatorCpuSeconds(), t0 = NowMs();
        double idle = cpuPercentWhile([&] { usleep(static_cast<useconds_t>(idleMs) * 1000); });
        const double linkSim = (simulatorCpuSeconds() - s0) * 1e5 / (NowMs() - t0);
        rows.push_back({fmt("USB: idle connected, %.0f s: %% of a core", o.idleSeconds),
                        plainIdle < 0 ? std::string("cannot open") : fmt("%.2f", plainIdle),
                        fmt("%.2f", idle)});
        rows.push_back({"  the bus emulation meanwhile (simulator)", fmt("%.2f", plainSim),
                        fmt("%.2f", linkSim)});
        usbEchoes(o, id, rows);
    }
    linkCost = linkData(o.dataKiB, id);
    (void)qLink_Destroy(&id);
    dataRows("USB: ", o.dataKiB, plainCost, linkCost, true, rows);
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string k = argv[i];
        if (k == "--rounds")
            o.rounds = std::max(10, std::min(100000, atoi(argv[i + 1])));
        else if (k == "--idle-seconds")
            o.idleSeconds = std::max(1, std::min(600, atoi(argv[i + 1])));
        else if (k == "--data-kib")
            o.dataKiB = std::max(1, std::min(4096, atoi(argv[i + 1])));
        else if (k == "--sim-ready")
            o.simReady = argv[i + 1];
        else if (k == "--usb-data-only")
            o.usbDataOnly = std::string(argv[i + 1]) == "yes";
        else if (k == "--usb-serial")
            o.usbSerial = static_cast<uint32_t>(strtoul(argv[i + 1], nullptr, 16));
    }
    return o;
}

} // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    std::vector<Row> rows;
    if (!o.usbDataOnly) {
        idleTcp(o, rows);
        idlePty(o, rows);
        roundTrips(o, 0, rows);
        roundTrips(o, 2, rows);
        dataToSimulator(o, rows);
    }
    overUsb(o, rows);
    printf("%-44s %16s %16s\n", "figure", "plain program", "link");
    for (const Row& r : rows)
        printf("%-44s %16s %16s\n", r.what.c_str(), r.plain.c_str(), r.link.c_str());
    printf("(round trips: %d each; CPU is process CPU time, all threads; every packet sent is "
           "followed by a 1 ms pause in both programs)\n",
           o.rounds);
    return 0;
}
