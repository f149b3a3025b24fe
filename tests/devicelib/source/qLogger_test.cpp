#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "qFile.h"
#include "qLogger.h"
#include "qPacketDebug.h"
#include "qTime.h"
#include "tempdir.h"
#include "wait.h"

namespace {

constexpr uint32_t kLink = 0x7200;

// Writes one record of the link's packet log per call, as
// "<length> <direction> <bytes>", and pauses briefly when there is none.
// The logger thread, as its writer last saw it.
std::atomic<pid_t> gWriterThread{0};

void writeRecord(void* file, uint32_t linkId) {
    gWriterThread = kstest::ThreadId();
    uint8_t data[64];
    int32_t type = 0;
    uint32_t length = sizeof data;
    qErr e = qLink_PacketDebug_Read(linkId, &type, &length, data);
    if (e != qErrNone) {
        (void)qTime_MSSleep(2);
        return;
    }
    qUnixFile* f = static_cast<qUnixFile*>(file);
    (void)qFile_Printf(f, "%u %s ", length, type == qPACKETLOG_SENT ? ">" : "<");
    for (uint32_t i = 0; i < length; ++i) {
        if (type == qPACKETLOG_TEXT) {
            (void)qFile_Printf(f, "%c", data[i]);
        } else {
            (void)qFile_Printf(f, "0x%X ", data[i]);
        }
    }
    (void)qFile_Printf(f, "\n");
}

// Waits (bounded) until the file has the expected content.
std::string waitForContent(const std::string& path, const std::string& expected) {
    std::string got;
    for (int i = 0; i < 500; ++i) {
        got = kstest::ReadFile(path);
        if (got == expected) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return got;
}

qErr recordPacket(uint8_t type, uint8_t address, std::initializer_list<uint8_t> data) {
    std::vector<uint8_t> v(data);
    qPacket* p = qPacket_CreateWithData(address, static_cast<uint8_t>(v.size()), v.data());
    qErr e = qPacketDebug_RecordPacket(kLink, type, p);
    (void)qPacket_Destroy(&p);
    return e;
}

TEST(Logger, ThreadDrainsThePacketLogIntoTheFile) {
    kstest::TempDir dir;
    std::string path = dir.write("packets.log", "earlier run\n");
    ASSERT_EQ(qPacketDebug_AttachLink(kLink, &dir), qErrNone);
    ASSERT_EQ(qLink_PacketDebug_Enable(kLink), qErrNone);

    qLogger* logger = qLogger_Create(kLink, writeRecord, path.c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(qLogger_Enable(logger), qErrNone);
    EXPECT_EQ(qLogger_Enable(logger), qErrNone); // already running
    const uint8_t start[] = "START";
    EXPECT_EQ(qLink_PacketDebug_Write(kLink, qPACKETLOG_TEXT, 5, start), qErrNone);
    EXPECT_EQ(recordPacket(qPACKETLOG_SENT, 0x04, {0x30, 0x01}), qErrNone);
    EXPECT_EQ(recordPacket(qPACKETLOG_RECEIVED, 0x04, {0xAB}), qErrNone);

    const std::string expected = "earlier run\n"
                                 "5 < START\n"
                                 "4 > 0x4 0x2 0x30 0x1 \n"
                                 "3 < 0x4 0x1 0xAB \n";
    EXPECT_EQ(waitForContent(path, expected), expected);
    EXPECT_EQ(qLogger_Disable(logger), qErrNone);
    EXPECT_EQ(qLogger_Disable(logger), qErrNone); // not running

    // Stopped (its thread gone): new records stay in the log.
    EXPECT_TRUE(kstest::WaitUntil([] { return kstest::ThreadGone(gWriterThread); }, 5000));
    EXPECT_EQ(recordPacket(qPACKETLOG_SENT, 0x06, {0x01}), qErrNone);
    EXPECT_EQ(kstest::ReadFile(path), expected);
    // Running again picks them up.
    EXPECT_EQ(qLogger_Enable(logger), qErrNone);
    EXPECT_EQ(waitForContent(path, expected + "3 > 0x6 0x1 0x1 \n"),
              expected + "3 > 0x6 0x1 0x1 \n");

    EXPECT_EQ(qLogger_Destroy(&logger), qErrNone);
    EXPECT_EQ(logger, nullptr);
    EXPECT_EQ(qLogger_Destroy(&logger), qErrNone);
    EXPECT_EQ(qPacketDebug_DetachLink(kLink), qErrNone);
}

void idle(void*, uint32_t) {
    (void)qTime_MSSleep(1);
}

TEST(Logger, RefusesWhatItCannotUse) {
    kstest::TempDir dir;
    EXPECT_EQ(qLogger_Create(1, idle, dir.sub("no/such/dir/log").c_str()), nullptr);
    EXPECT_EQ(qLogger_Create(1, nullptr, dir.sub("log").c_str()), nullptr);
    EXPECT_EQ(qLogger_Create(1, idle, nullptr), nullptr);
    EXPECT_EQ(qLogger_Enable(nullptr), qErrParam);
    EXPECT_EQ(qLogger_Disable(nullptr), qErrParam);
    EXPECT_EQ(qLogger_Destroy(nullptr), qErrNone);
    qLogger* none = nullptr;
    EXPECT_EQ(qLogger_Destroy(&none), qErrNone);

    // A logger created but never started is released cleanly and its file exists.
    qLogger* logger = qLogger_Create(1, idle, dir.sub("log").c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_TRUE(qFile_Exists(dir.sub("log").c_str()));
    EXPECT_EQ(qLogger_Destroy(&logger), qErrNone);
    EXPECT_EQ(logger, nullptr);
}

// A writer that tries to stop and release its own logger.
std::atomic<qLogger*> gSelf{nullptr};
std::atomic<int> gSelfDisable{-1}, gSelfDestroy{-1};
std::atomic<int> gCalls{0};

void selfStopping(void*, uint32_t) {
    gWriterThread = kstest::ThreadId();
    qLogger* me = gSelf.load();
    if (gCalls++ == 0 && me != nullptr) {
        gSelfDisable = qLogger_Disable(me);
        qLogger* copy = me;
        gSelfDestroy = qLogger_Destroy(&copy);
    }
    (void)qTime_MSSleep(1);
}

TEST(Logger, CannotStopOrFreeItselfFromItsOwnThread) {
    kstest::TempDir dir;
    qLogger* logger = qLogger_Create(2, selfStopping, dir.sub("log").c_str());
    ASSERT_NE(logger, nullptr);
    gSelf = logger;
    ASSERT_EQ(qLogger_Enable(logger), qErrNone);
    EXPECT_TRUE(kstest::WaitUntil([] { return gCalls >= 5; }, 10000));
    EXPECT_EQ(gSelfDisable.load(), qErrNone);
    EXPECT_EQ(gSelfDestroy.load(), qErrBusy);
    EXPECT_GE(gCalls.load(), 5); // still running after both attempts
    EXPECT_EQ(qLogger_Destroy(&logger), qErrNone);
    int after = gCalls.load();
    EXPECT_TRUE(kstest::WaitUntil([] { return kstest::ThreadGone(gWriterThread); }, 5000))
        << "the thread has stopped";
    EXPECT_EQ(gCalls.load(), after);
    gSelf = nullptr;
}

} // namespace
