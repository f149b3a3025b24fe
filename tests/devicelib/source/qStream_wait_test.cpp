// Waiting for input and taking whatever has arrived, on the socket, serial
// and file transports, and on a stream made by a caller (which cannot wait
// and is read through get).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "bytes.h"
#include "link_peer.h"
#include "qStream.h"
#include "stream_wait_check.h"
#include "tempdir.h"

namespace {

using streamwait::Bytes;

TEST(StreamWait, SocketKeepsTheWaitContract) {
    linktest::Listener listener;
    ASSERT_TRUE(listener.valid());
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateSocket(linktest::loopbackAddress(), listener.port(), &s), qErrNone);
    linktest::PeerEnd peer = listener.accept(2000);
    ASSERT_TRUE(peer.valid());
    streamwait::checkWaitContract(s, [&](const Bytes& b) { EXPECT_TRUE(peer.send(b)); });

    // A peer that closes in order: the wait ends at once, the bytes it sent
    // before come first, then the module is gone.
    ASSERT_TRUE(peer.send({7, 8}));
    peer.close();
    EXPECT_EQ(qStream_WaitReadable(s, -1, 10000), qErrNone);
    int reads = 0;
    EXPECT_BYTES(Bytes({7, 8}), streamwait::collect(s, 2, &reads));
    uint8_t buf[8];
    size_t got = 0;
    EXPECT_EQ(qStream_ReadAvailable(s, buf, sizeof buf, &got), qErrConnection);
    EXPECT_EQ(qStream_WaitReadable(s, -1, 10000), qErrNone) << "the end is readable";
    EXPECT_EQ(qStream_Destroy(&s), qErrNone);
}

TEST(StreamWait, SerialLineKeepsTheWaitContract) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateSerial(ptsname(master), qSerial_Baud115200, false, qSerial_8Bits,
                                   qSerial_1StopBit, &s),
              qErrNone);
    streamwait::checkWaitContract(s, [&](const Bytes& b) {
        EXPECT_EQ(write(master, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    });
    // The far end hangs up: the wait ends, and the read finds nothing, as a
    // serial line reports it (the link does not spin on that).
    close(master);
    EXPECT_EQ(qStream_WaitReadable(s, -1, 10000), qErrNone);
    uint8_t buf[8];
    size_t got = 0;
    EXPECT_EQ(qStream_ReadAvailable(s, buf, sizeof buf, &got), qErrNotReady);
    EXPECT_EQ(qStream_Destroy(&s), qErrNone);
}

TEST(StreamWait, FileIsAlwaysReadableAndReadInBlocks) {
    kstest::TempDir dir;
    const std::string text(1500, 'k');
    const std::string path = dir.write("in.bin", text);
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateFileInput(path.c_str(), &s), qErrNone);
    EXPECT_EQ(qStream_WaitReadable(s, -1, qSTREAM_WAIT_FOREVER), qErrNone);
    uint8_t buf[1024];
    size_t got = 0;
    ASSERT_EQ(qStream_ReadAvailable(s, buf, sizeof buf, &got), qErrNone);
    EXPECT_EQ(got, sizeof buf);
    ASSERT_EQ(qStream_ReadAvailable(s, buf, sizeof buf, &got), qErrNone);
    EXPECT_EQ(got, text.size() - sizeof buf);
    EXPECT_EQ(qStream_WaitReadable(s, -1, qSTREAM_WAIT_FOREVER), qErrNone) << "its end, too";
    EXPECT_EQ(qStream_ReadAvailable(s, buf, sizeof buf, &got), qErrEOF);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(qStream_Destroy(&s), qErrNone);

    ASSERT_EQ(qStream_CreateFileOutput(dir.sub("out.bin").c_str(), &s), qErrNone);
    EXPECT_EQ(qStream_ReadAvailable(s, buf, sizeof buf, &got), qErrMode) << "write-only";
    EXPECT_EQ(qStream_WaitReadable(s, -1, 10), qErrMode);
    EXPECT_EQ(qStream_Destroy(&s), qErrNone);
}

// A caller's stream: bytes from a script through get, then a failure.
struct Script {
    Bytes bytes;
    size_t at = 0;
    qErr after = qErrNotReady;
};

qErr scriptGet(uint8_t* byte, void* ref) {
    Script* s = static_cast<Script*>(ref);
    if (s->at == s->bytes.size())
        return s->after;
    *byte = s->bytes[s->at++];
    return qErrNone;
}

TEST(StreamWait, StreamWithoutReadOrWaitIsReadThroughGetAndCannotWait) {
    Script script{{1, 2, 3, 4, 5}, 0, qErrIO};
    qStream* s = qStream_Create(scriptGet, nullptr, nullptr, nullptr, &script);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(qStream_WaitReadable(s, -1, 10), qErrMode);
    uint8_t buf[4];
    size_t got = 0;
    ASSERT_EQ(qStream_ReadAvailable(s, buf, sizeof buf, &got), qErrNone);
    EXPECT_BYTES(Bytes({1, 2, 3, 4}), Bytes(buf, buf + got));
    ASSERT_EQ(qStream_ReadAvailable(s, buf, sizeof buf, &got), qErrNone)
        << "the bytes before a failure come first";
    EXPECT_BYTES(Bytes({5}), Bytes(buf, buf + got));
    EXPECT_EQ(qStream_ReadAvailable(s, buf, sizeof buf, &got), qErrIO);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(qStream_ReadAvailable(s, nullptr, 4, &got), qErrParam);
    EXPECT_EQ(qStream_ReadAvailable(s, buf, 0, &got), qErrParam);
    EXPECT_EQ(qStream_SetReceive(nullptr, nullptr, nullptr), qErrParam);
    EXPECT_EQ(qStream_Destroy(&s), qErrNone);
    EXPECT_EQ(qStream_WaitReadable(s, -1, 10), qErrParam);
}

} // namespace
