// Links over the library's own transports: TCP/IP links to a loopback peer
// (sharing by address, use counts, reset) and serial links on a
// pseudo-terminal (the baud rate table).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include "bytes.h"
#include "link_peer.h"
#include "qLink.h"
#include "qPacketDebug.h"
#include "wait.h"

using linktest::Bytes;
using linktest::Listener;
using linktest::PeerEnd;

namespace {

const Bytes kLinkStart = {0xAF, 0x01, 0x01};
const Bytes kLinkStop = {0xAF, 0x01, 0x00};

bool sendPacket(uint32_t id, const Bytes& wire) {
    qPacket* p = qPacket_CreateWithData(wire[0], wire[1], wire.data() + 2);
    bool ok = p && qLink_PutPacket(id, p) == qErrNone;
    (void)qPacket_Destroy(&p);
    return ok;
}

Bytes received(uint32_t id, unsigned long ms) {
    qPacket* p = qLink_AwaitPacket(id, ms);
    if (!p)
        return {};
    Bytes b;
    b.reserve(2 + p->length);
    b.push_back(p->address);
    b.push_back(p->length);
    b.insert(b.end(), p->data, p->data + p->length);
    (void)qPacket_Destroy(&p);
    return b;
}

class TcpLink : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(listener_.valid());
        id_ = qLink_CreateTCPIP(linktest::loopbackAddress(), listener_.port());
        ASSERT_NE(id_, 0u);
        conn_ = listener_.accept(2000);
        ASSERT_TRUE(conn_.valid());
        Bytes first = conn_.read(3, 1000);
        ASSERT_BYTES(kLinkStart, first);
    }
    void TearDown() override {
        if (id_)
            (void)qLink_Destroy(&id_);
    }
    Listener listener_;
    PeerEnd conn_;
    uint32_t id_ = 0;
};

TEST_F(TcpLink, SameAddressSharesOneLinkUntilItsLastUserLeaves) {
    uint32_t second = qLink_CreateTCPIP(linktest::loopbackAddress(), listener_.port());
    EXPECT_EQ(second, id_);
    EXPECT_FALSE(listener_.accept(150).valid()) << "a shared link opens no second connection";

    uint32_t first = id_;
    ASSERT_EQ(qLink_Destroy(&first), qErrNone);
    EXPECT_EQ(first, 0u);
    EXPECT_EQ(qLink_GetStatus(second), qLinkStatusRunning) << "one user is left";
    ASSERT_TRUE(sendPacket(second, {0x04, 0x01, 0x42}));
    EXPECT_EQ(conn_.read(3, 1000), Bytes({0x04, 0x01, 0x42}));
    ASSERT_TRUE(conn_.send({0x04, 0x01, 0x43}));
    EXPECT_EQ(received(second, 1000), Bytes({0x04, 0x01, 0x43}));

    ASSERT_EQ(qLink_Destroy(&second), qErrNone);
    EXPECT_EQ(conn_.read(3, 1000), kLinkStop);
    EXPECT_TRUE(conn_.closedWithin(1000));
    EXPECT_EQ(qLink_GetStatus(id_), qLinkStatusNoStream);
    EXPECT_EQ(qLink_Destroy(&id_), qErrParam) << "the id is gone with its last user";
}

TEST_F(TcpLink, ResetReconnectsWithFreshQueues) {
    ASSERT_TRUE(conn_.send({0x04, 0x01, 0x01}));
    ASSERT_EQ(received(id_, 1000), Bytes({0x04, 0x01, 0x01}));
    ASSERT_TRUE(conn_.send({0x04, 0x01, 0x02})); // left queued: a reset drops it
    ASSERT_EQ(qLink_PacketDebug_Enable(id_), qErrNone);
    usleep(50000);

    ASSERT_EQ(qLink_Reset(id_), qErrNone);
    EXPECT_EQ(conn_.read(3, 1000), kLinkStop);
    EXPECT_TRUE(conn_.closedWithin(1000));
    PeerEnd again = listener_.accept(2000);
    ASSERT_TRUE(again.valid()) << "the reset connects anew";
    EXPECT_EQ(again.read(3, 1000), kLinkStart);
    EXPECT_EQ(qLink_GetStatus(id_), qLinkStatusRunning);
    EXPECT_EQ(qLink_GetPacket(id_), nullptr) << "packets from before the reset are gone";
    int32_t type;
    uint8_t data[8];
    uint32_t length = sizeof data;
    EXPECT_EQ(qLink_PacketDebug_Read(id_, &type, &length, data), qErrNotReady)
        << "a reset drops the packet log";

    ASSERT_TRUE(again.send({0x06, 0x02, 0x00, 0x01}));
    EXPECT_EQ(again.read(4, 1000), Bytes({0x06, 0x02, 0x00, 0x03}));
    ASSERT_TRUE(sendPacket(id_, {0x08, 0x00}));
    EXPECT_EQ(again.read(2, 1000), Bytes({0x08, 0x00}));
}

TEST_F(TcpLink, ResetThatCannotReconnectReportsItAndLeavesStatusSix) {
    listener_.close();
    double start = kstest::NowMs();
    qErr e = qLink_Reset(id_);
    double elapsed = kstest::NowMs() - start;
    EXPECT_NE(e, qErrNone) << "the reset could not re-make the stream";
    EXPECT_GE(elapsed, 1900) << "20 attempts, 100 ms apart";
    EXPECT_TRUE(conn_.closedWithin(1000));
    double until = kstest::NowMs() + 1000;
    while (qLink_GetStatus(id_) != qLinkStatusIOError && kstest::NowMs() < until)
        usleep(1000);
    EXPECT_EQ(qLink_GetStatus(id_), qLinkStatusIOError);
    EXPECT_EQ(qLink_Destroy(&id_), qErrNone);
}

TEST_F(TcpLink, ModuleThatClosesItsConnectionIsSeenGone) {
    ASSERT_EQ(qLink_GetStatus(id_), qLinkStatusRunning);
    ASSERT_TRUE(conn_.send({0x04, 0x01, 0x42}));
    conn_.close(); // in order, as a module's TCP stack does when it restarts
    EXPECT_EQ(received(id_, 1000), Bytes({0x04, 0x01, 0x42})) << "what it sent before arrives";
    double until = kstest::NowMs() + 1000;
    while (qLink_GetStatus(id_) == qLinkStatusRunning && kstest::NowMs() < until)
        usleep(1000);
    EXPECT_EQ(qLink_GetStatus(id_), qLinkStatusIOError) << "the link no longer runs";
}

TEST(TcpLinkCreate, FailsWhenNothingListens) {
    Listener l;
    ASSERT_TRUE(l.valid());
    uint16_t port = l.port();
    l.close();
    EXPECT_EQ(qLink_CreateTCPIP(linktest::loopbackAddress(), port), 0u);
}

// A pseudo-terminal: the link opens the slave, the test holds the master.
class Pty {
  public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        name_ = ptsname(master_);
        // Keep the slave open so that its settings can be read at any time.
        holder_ = open(name_.c_str(), O_RDWR | O_NOCTTY);
    }
    ~Pty() {
        if (holder_ >= 0)
            close(holder_);
        if (master_ >= 0)
            close(master_);
    }
    bool valid() const { return holder_ >= 0; }
    const char* name() const { return name_.c_str(); }
    bool settings(termios* t) const { return tcgetattr(holder_, t) == 0; }
    int master() const { return master_; }

  private:
    int master_ = -1;
    int holder_ = -1;
    std::string name_;
};

TEST(SerialLink, AcceptsOnlyTheRatesOfTheBaudTable) {
    Pty pty;
    ASSERT_TRUE(pty.valid());
    termios before;
    ASSERT_TRUE(pty.settings(&before));
    for (uint32_t rate : {14400u, 0u, 300u, 460800u, 115201u}) {
        SCOPED_TRACE(rate);
        EXPECT_EQ(qLink_CreateSerial(0x40F5849A, pty.name(), rate), 0u);
        termios after;
        ASSERT_TRUE(pty.settings(&after));
        EXPECT_EQ(after.c_lflag, before.c_lflag) << "the port must not have been opened";
        EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    }

    // Each rate of the table opens the port raw at that speed.
    const struct {
        uint32_t rate;
        speed_t speed;
    } table[] = {{2400, B2400},   {4800, B4800},   {9600, B9600},     {19200, B19200},
                 {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const auto& row : table) {
        SCOPED_TRACE(row.rate);
        uint32_t id = qLink_CreateSerial(0x40F5849A, pty.name(), row.rate);
        ASSERT_NE(id, 0u);
        termios now;
        ASSERT_TRUE(pty.settings(&now));
        EXPECT_EQ(cfgetospeed(&now), row.speed);
        EXPECT_EQ(now.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(now.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(now.c_cflag & (PARENB | CSTOPB), 0u);
        PeerEnd master(dup(pty.master()));
        EXPECT_EQ(master.read(3, 1000), kLinkStart);
        EXPECT_EQ(qLink_Destroy(&id), qErrNone);
        EXPECT_EQ(master.read(3, 1000), kLinkStop);
    }
}

} // namespace
