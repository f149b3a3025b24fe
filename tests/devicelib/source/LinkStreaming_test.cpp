// Stream keys, stream packet parsing, subscriptions with acknowledgement and
// roll-back, the stream table with its wildcards, and the worker thread that
// runs the callbacks (also while its Link goes away).
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "Link.h"
#include "bytes.h"
#include "objlayer_peer.h"
#include "qPacket.h"
#include "qTime.h"
#include "wait.h"

using namespace Quillmar::Keystrand;
using objtest::Bytes;
using objtest::FakeModule;
using objtest::RxPacket;
using objtest::wire;

namespace {

// Data bytes of a stream sample.
Bytes sampleData(uint8_t cmd, uint8_t opt, uint8_t idx, uint8_t type, uint8_t sub, uint64_t ts,
                 uint32_t value, uint8_t last = 0) {
    Bytes d{cmd, opt, uint8_t(idx | 0x40), type};
    if (type >= 5)
        d.push_back(sub);
    for (int i = 7; i >= 0; --i)
        d.push_back(uint8_t(ts >> (8 * i)));
    int width = (type == 1 || type == 5) ? 1 : (type == 2 || type == 6) ? 2 : 4;
    for (int i = width - 1; i >= 0; --i)
        d.push_back(uint8_t(value >> (8 * i)));
    d.push_back(last);
    return d;
}

qPacket* packetOf(const Bytes& data, uint8_t address = 4) {
    return qPacket_CreateWithData(address, uint8_t(data.size()), data.data());
}

// Acknowledges every stream request with `status` (0: plain acknowledgement,
// else an error reply with that code); answers the streaming-state query.
objtest::Responder streamModule(uint8_t status) {
    return [status](const RxPacket& p) -> Bytes {
        if (p.data.size() < 3 || p.data[0] != 93)
            return {};
        if (p.data[1] == 0x41)
            return wire(p.address, {93, 0x01, 0x00, 1});
        uint8_t ack = uint8_t(p.data[1] | 0xC0);
        if (status)
            return wire(p.address, {93, ack, 0x80, status});
        return wire(p.address, {93, ack, 0x00});
    };
}

bool waitFor(const std::function<bool()>& done, int ms) {
    return kstest::WaitUntil(done, ms);
}

// The module sends a plain packet after whatever it sent before, and the
// host's input thread handles bytes in order: once the marker is received,
// everything sent ahead of it has been through the stream filter.
bool markerArrives(FakeModule& peer, Link& link) {
    peer.inject(wire(4, {0x17, 0x42}));
    const uint8_t match[] = {0x17, 0x42};
    uint8_t length = sizeof match, data[28];
    return link.receivePacket(4, match, &length, data) == qErrNone;
}

struct StreamPeer : ::testing::Test {
    FakeModule peer{streamModule(0)};
    std::unique_ptr<Link> link{new Link("stream")};
    void SetUp() override {
        ASSERT_TRUE(peer.valid());
        ASSERT_EQ(link->setLinkSpecifier(peer.spec()), qErrNone);
        ASSERT_EQ(link->connect(), qErrNone);
    }
};

} // namespace

TEST(StreamKeys, PackFiveElementsAndSplitTimestamps) {
    uint64_t key = Link::createStreamKey(0x04, 0x03, 0x07, 0x01, 0x09);
    EXPECT_EQ(key, 0x0904030701ull);
    struct {
        Link::STREAM_KEY element;
        uint8_t value;
    } elements[] = {{Link::STREAM_KEY_MODULE, 4},
                    {Link::STREAM_KEY_COMMAND, 3},
                    {Link::STREAM_KEY_OPTION, 7},
                    {Link::STREAM_KEY_INDEX, 1},
                    {Link::STREAM_KEY_SUBINDEX, 9}};
    for (const auto& e : elements)
        EXPECT_EQ(Link::getStreamKeyElement(key, e.element), e.value) << int(e.element);
    EXPECT_EQ(Link::getStreamKeyElement(key, Link::STREAM_KEY(9)), 0);

    uint32_t high = 0, low = 0;
    Link::getTimestampParts(0x0102030405060708ull, &high, &low);
    EXPECT_EQ(high, 0x01020304u);
    EXPECT_EQ(low, 0x05060708u);
    Link::getTimestampParts(1, nullptr, &low);
    EXPECT_EQ(low, 1u);
}

TEST(StreamPackets, AreRecognisedTypedAndParsed) {
    struct Case {
        const char* what;
        Bytes data;
        bool stream;
        int type;
        qErr parse;
        uint32_t value;
        uint8_t sub;
    } cases[] = {
        {"8-bit sample", sampleData(3, 7, 0, 1, 0, 0x1122334455667788ull, 0xAB), true, 1, qErrNone,
         0xAB, 0},
        {"16-bit sample", sampleData(3, 7, 0, 2, 0, 5, 0xBEEF), true, 2, qErrNone, 0xBEEF, 0},
        {"32-bit sample", sampleData(3, 7, 0, 3, 0, 5, 0xDEADBEEF), true, 3, qErrNone, 0xDEADBEEF,
         0},
        {"8-bit with subindex", sampleData(3, 39, 0, 5, 2, 5, 0x12), true, 5, qErrNone, 0x12, 2},
        {"16-bit with subindex", sampleData(3, 39, 0, 6, 3, 5, 0x1234), true, 6, qErrNone, 0x1234,
         3},
        {"32-bit with subindex", sampleData(3, 39, 0, 7, 1, 5, 0xA1B2C3D4), true, 7, qErrNone,
         0xA1B2C3D4, 1},
        {"last byte 1: part of a byte value", sampleData(3, 7, 0, 1, 0, 5, 0xAB, 1), true, 4,
         qErrSize, 0, 0},
        {"type 0", {3, 7, 0x40, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}, false, 0, qErrPacket, 0, 0},
        {"type 8", {3, 7, 0x40, 8, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}, false, 0, qErrPacket, 0, 0},
        {"command 8", sampleData(8, 7, 0, 1, 0, 5, 1), false, 0, qErrPacket, 0, 0},
        {"option with get flag", sampleData(3, 0x47, 0, 1, 0, 5, 1), false, 0, qErrPacket, 0, 0},
        {"no stream flag",
         {3, 7, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 5, 1, 0},
         false,
         0,
         qErrPacket,
         0,
         0},
        {"four data bytes", {3, 7, 0x40, 0}, false, 0, qErrPacket, 0, 0},
        {"type 1 one byte too long",
         {3, 7, 0x40, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 0},
         true,
         1,
         qErrPacket,
         0,
         0},
    };
    for (const Case& c : cases) {
        qPacket* p = packetOf(c.data);
        ASSERT_NE(p, nullptr) << c.what;
        Link::STREAM_PACKET type;
        EXPECT_EQ(Link::getStreamPacketType(p, &type), c.stream) << c.what;
        EXPECT_EQ(int(type), c.type) << c.what;
        EXPECT_EQ(Link::isStreamPacket(p), c.stream) << c.what;
        uint64_t ts = 0;
        uint32_t value = 0;
        uint8_t sub = 0xEE;
        EXPECT_EQ(Link::getStreamSample(p, &ts, &value, &sub), c.parse) << c.what;
        EXPECT_EQ(Link::isStreamSample(p), c.parse == qErrNone) << c.what;
        if (c.parse == qErrNone) {
            EXPECT_EQ(value, c.value) << c.what;
            EXPECT_EQ(sub, c.sub) << c.what;
        }
        (void)qPacket_Destroy(&p);
    }
    qPacket* p = packetOf(sampleData(3, 7, 0, 1, 0, 0x1122334455667788ull, 0xAB));
    uint64_t ts = 0;
    EXPECT_EQ(Link::getStreamSample(p, &ts, nullptr, nullptr), qErrNone)
        << "null outputs are skipped";
    EXPECT_EQ(ts, 0x1122334455667788ull);
    (void)qPacket_Destroy(&p);
    EXPECT_TRUE(Link::isSubindexType(Link::STREAM_PACKET_U8_SUBINDEX));
    EXPECT_FALSE(Link::isSubindexType(Link::STREAM_PACKET_U32));
    EXPECT_FALSE(Link::isStreamPacket(nullptr));
}

TEST_F(StreamPeer, SubscribesAndDeliversSamplesOnTheWorkerThread) {
    std::atomic<int> calls{0};
    std::atomic<bool> offThread{true};
    const std::thread::id caller = std::this_thread::get_id();
    int reference = 0;
    std::atomic<bool> referencePassed{true};
    auto callback = [&](const qPacket* p, void* ref) {
        offThread = offThread && std::this_thread::get_id() != caller;
        referencePassed = referencePassed && ref == &reference && Link::isStreamSample(p);
        ++calls;
        return qErrNone;
    };
    ASSERT_EQ(link->registerStreamCallback(4, 3, 7, 0, true, callback, &reference), qErrNone);
    std::vector<RxPacket> sent = peer.received();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(kstest::HexDump(sent.back().data), "5D 81 20 04 03 07 00")
        << "subscribe request carries the key";

    peer.inject(wire(4, sampleData(3, 7, 0, 3, 0, 100, 0x01020304)));
    ASSERT_TRUE(waitFor([&] { return calls.load() == 1; }, 1000));
    uint32_t value = 0;
    EXPECT_EQ(link->getStreamValue(4, 3, 7, 0, 0, &value), qErrNone);
    EXPECT_EQ(value, 0x01020304u);
    value = 0;
    EXPECT_EQ(link->getStreamValue(4, 3, 7, 0, 0, &value), qErrStreamStale) << "read once already";
    EXPECT_EQ(value, 0x01020304u);
    EXPECT_EQ(link->getStreamValue(4, 3, 8, 0, 0, &value), qErrNotFound);
    EXPECT_TRUE(offThread);
    EXPECT_TRUE(referencePassed);

    // A stream packet never reaches the receive queue.
    const uint8_t match[] = {3};
    uint8_t length = 1, data[28];
    EXPECT_EQ(link->receivePacket(4, match, &length, data), qErrTimeout);

    uint8_t streaming = 9;
    EXPECT_EQ(link->isLinkStreaming(4, &streaming), qErrNone);
    EXPECT_EQ(streaming, 1);
}

TEST_F(StreamPeer, WildcardSubscriptionBringsInEveryOptionAndIsListedApart) {
    std::atomic<int> calls{0};
    auto callback = [&](const qPacket*, void*) {
        ++calls;
        return qErrNone;
    };
    ASSERT_EQ(link->registerStreamCallback(4, 3, 255, 0, true, callback, nullptr), qErrNone);
    ASSERT_EQ(link->enableStream(4, 3, 9, 0, true), qErrNone);
    peer.inject(wire(4, sampleData(3, 7, 0, 1, 0, 1, 0x42)));
    peer.inject(wire(4, sampleData(3, 9, 0, 3, 0, 1, 0x99)));
    peer.inject(wire(4, sampleData(3, 39, 0, 7, 2, 1, 0x33333333)));
    ASSERT_TRUE(waitFor([&] { return calls.load() == 3; }, 1000));
    uint32_t value = 0;
    ASSERT_TRUE(
        waitFor([&] { return link->getStreamValue(4, 3, 39, 0, 2, &value) == qErrNone; }, 500));
    EXPECT_EQ(value, 0x33333333u) << "subindex samples get their own entry";
    EXPECT_EQ(link->getStreamValue(4, 3, 7, 0, 0, &value), qErrNone);
    EXPECT_EQ(value, 0x42u) << "an entry made by the wildcard match";

    EXPECT_EQ(link->filterActiveStreamKeys(255, 255, 255, 255, 255, true).size(), 5u)
        << "two subscriptions and three entries from samples";
    std::map<uint64_t, uint32_t> status;
    ASSERT_EQ(link->getStreamStatus(4, 3, 255, 0, 255, &status), qErrNone);
    EXPECT_EQ(status.size(), 3u) << "no entry with a wildcard element is listed";
    EXPECT_EQ(status[Link::createStreamKey(4, 3, 9, 0, 0)], 0x99u);
    EXPECT_EQ(link->getStreamStatus(4, 3, 255, 0, 255, nullptr), qErrParam);

    // Unsubscribing the wildcard removes what it brought in.
    ASSERT_EQ(link->enableStream(4, 3, 255, 0, false), qErrNone);
    EXPECT_TRUE(link->filterActiveStreamKeys(255, 255, 255, 255, 255, true).empty());
    EXPECT_EQ(kstest::HexDump(peer.received().back().data), "5D 82 20 04 03 FF 00");
}

TEST_F(StreamPeer, RefusedOrUnansweredSubscriptionIsRolledBack) {
    struct Case {
        const char* what;
        objtest::Responder responder;
        qErr result;
    } cases[] = {
        {"error reply", streamModule(qErrInvalidOption), qErrInvalidOption},
        {"no acknowledgement", nullptr, qErrTimeout},
    };
    for (const Case& c : cases) {
        peer.setResponder(c.responder);
        EXPECT_EQ(link->enableStream(4, 3, 7, 0, true), c.result) << c.what;
        EXPECT_TRUE(link->filterActiveStreamKeys(255, 255, 255, 255, 255, true).empty()) << c.what;
        peer.inject(wire(4, sampleData(3, 7, 0, 1, 0, 1, 0x42)));
        ASSERT_TRUE(markerArrives(peer, *link)) << c.what;
        uint32_t value;
        EXPECT_EQ(link->getStreamValue(4, 3, 7, 0, 0, &value), qErrNotFound) << c.what;
    }
}

TEST_F(StreamPeer, RefusesAddressesThatAreNoModulesAndSendsNothing) {
    peer.clear();
    for (uint8_t address : {0, 1, 255})
        EXPECT_EQ(link->enableStream(address, 3, 7, 0, true), qErrParam) << int(address);
    // Packets leave in the order queued: once a later one has arrived, any
    // request queued before it would have arrived first.
    const uint8_t marker[] = {0x42};
    ASSERT_EQ(link->sendPacket(4, 0x17, sizeof marker, marker), qErrNone);
    ASSERT_TRUE(peer.waitReceived(1, 2000));
    std::vector<RxPacket> sent = peer.received();
    ASSERT_EQ(sent.size(), 1u) << "only the marker";
    EXPECT_EQ(kstest::HexDump(sent[0].data), "17 42");
    EXPECT_TRUE(link->filterActiveStreamKeys(255, 255, 255, 255, 255, true).empty());
    EXPECT_EQ(link->getStreamValue(4, 3, 7, 0, 0, nullptr), qErrParam);
}

TEST_F(StreamPeer, DestroyingTheLinkWhileItsWorkerRunsCallbacksIsSafe) {
    // The counter outlives the Link; the callback is slow so that the worker
    // is inside a callback or has a full queue when the Link goes.
    auto calls = std::make_shared<std::atomic<int>>(0);
    auto callback = [calls](const qPacket* p, void*) {
        if (p && p->length > 0)
            ++*calls;
        (void)qTime_MSSleep(2);
        return qErrNone;
    };
    ASSERT_EQ(link->registerStreamCallback(4, 3, 7, 0, true, callback, nullptr), qErrNone);
    std::atomic<bool> flooding{true};
    std::thread flood([&] {
        for (int i = 0; i < 400 && flooding; ++i)
            peer.inject(wire(4, sampleData(3, 7, 0, 1, 0, uint64_t(i), uint8_t(i))));
    });
    ASSERT_TRUE(waitFor([&] { return calls->load() >= 3; }, 2000));
    link.reset(); // the Link goes while samples keep coming
    int atDestruction = calls->load();
    // Samples keep coming until the module sees the connection closed.
    EXPECT_TRUE(waitFor([&] { return !peer.connected(); }, 5000));
    flooding = false;
    flood.join();
    EXPECT_EQ(calls->load(), atDestruction) << "no callback runs once the Link is gone";
}

TEST_F(StreamPeer, ACallbackMayEndItsOwnSubscription) {
    std::atomic<int> calls{0};
    std::atomic<bool> stopped{false};
    Link* l = link.get();
    auto callback = [&, l](const qPacket*, void*) {
        if (++calls == 1) {
            // Disabling on the worker thread switches the machinery off and
            // must not wait for the thread it runs on.
            EXPECT_EQ(qErrNone, l->enableStream(4, 3, 7, 0, false));
            stopped = true;
        }
        return qErrNone;
    };
    ASSERT_EQ(link->registerStreamCallback(4, 3, 7, 0, true, callback, nullptr), qErrNone);
    peer.inject(wire(4, sampleData(3, 7, 0, 1, 0, 1, 1)));
    ASSERT_TRUE(waitFor([&] { return stopped.load(); }, 3000));
    EXPECT_TRUE(link->filterActiveStreamKeys(255, 255, 255, 255, 255, true).empty());
    // Subscribing again starts a new worker.
    ASSERT_EQ(link->registerStreamCallback(4, 3, 7, 0, true, callback, nullptr), qErrNone);
    peer.inject(wire(4, sampleData(3, 7, 0, 1, 0, 2, 2)));
    EXPECT_TRUE(waitFor([&] { return calls.load() >= 2; }, 1000));
}
