// The link engine against the module simulator: alignment lost at random
// moments while the module sends heartbeats every few milliseconds must come
// back within a few sync requests, every time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "link_peer.h"
#include "modsim/modsim_protocol.h"
#include "objlayer_peer.h"
#include "qLink.h"
#include "wait.h"

using kstest::NowMs;

namespace {

constexpr uint8_t kAddress = 4;

struct Echo {
    uint8_t sequence;
};

bool isEcho(const qPacket* p, const void* ref) {
    return p->address == kAddress && p->length == 2 && p->data[0] == modsim::cmdDEBUG &&
           p->data[1] == static_cast<const Echo*>(ref)->sequence;
}

// Sends DEBUG echoes until one comes back whole (the link is aligned and
// packets flow) or ms pass. While the link is syncing qLink_AwaitFirst
// returns at once, so each try is short.
bool echoesWithin(uint32_t id, uint8_t& sequence, int ms) {
    const double end = NowMs() + ms;
    while (NowMs() < end) {
        Echo echo = {++sequence};
        const uint8_t data[2] = {modsim::cmdDEBUG, echo.sequence};
        qPacket* out = qPacket_CreateWithData(kAddress, 2, data);
        if (!out)
            return false;
        (void)qLink_PutPacket(id, out); // repeated until an echo comes back
        (void)qPacket_Destroy(&out);
        if (qPacket* back = qLink_AwaitFirst(id, isEcho, &echo, 20)) {
            (void)qPacket_Destroy(&back);
            return true;
        }
        usleep(1000);
    }
    return false;
}

unsigned dropsOf(const modsim::ModuleState& s) {
    auto it = s.faultsFired.find("drop-out");
    return it == s.faultsFired.end() ? 0 : it->second;
}

// A few hundred resyncs, each forced by a byte of the module's output lost
// at a random moment: in the middle of a heartbeat, between two, or in a
// reply. Each must realign within a few sync requests (a resync that loops
// sends them without end).
TEST(LinkAgainstSimulator, ResyncsUnderHeartbeatsRealignWithinAFewRequests) {
    objtest::SimBench sim;
    std::string error;
    ASSERT_TRUE(sim.start(objtest::moduleLine("m", 0x40F50001, kAddress, "heartbeat-ms=2"), error))
        << error;
    const linkSpec spec = sim.tcpSpec("m");
    uint32_t id = qLink_CreateTCPIP(spec.link.tcpip.hostAddress, spec.link.tcpip.tcpPort);
    ASSERT_NE(id, 0u);
    uint8_t sequence = 0;
    ASSERT_TRUE(echoesWithin(id, sequence, 2000));

    constexpr int kRounds = 300;
    constexpr unsigned kMostRequests = 6;
    unsigned worst = 0, resyncs = 0;
    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const modsim::ModuleState before = sim.bench.state("m");
        modsim::Faults faults;
        faults.dropOutPerMille = 30;
        faults.seed = static_cast<uint32_t>(round + 1);
        sim.bench.setFaults("m", faults);
        ASSERT_TRUE(sim.bench.waitFor(
            "m", [&](const modsim::ModuleState& s) { return dropsOf(s) > dropsOf(before); }, 5000));
        sim.bench.setFaults("m", modsim::Faults{});
        const unsigned drops = dropsOf(sim.bench.state("m")) - dropsOf(before);
        ASSERT_TRUE(echoesWithin(id, sequence, 3000)) << "the link did not realign";
        const modsim::ModuleState after = sim.bench.state("m");
        const unsigned requests = after.syncs - before.syncs;
        resyncs += requests > 0;
        worst = std::max(worst, requests);
        ASSERT_LE(requests, kMostRequests * drops)
            << requests << " sync requests for " << drops << " dropped bytes";
    }
    EXPECT_GT(resyncs, kRounds / 2u) << "the dropped bytes should force resyncs";
    RecordProperty("most_sync_requests_in_a_round", static_cast<int>(worst));
    EXPECT_EQ(qLink_Destroy(&id), qErrNone);
}

} // namespace
