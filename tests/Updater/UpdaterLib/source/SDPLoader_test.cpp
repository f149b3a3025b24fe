// The i.MX SDP client on a scripted transport (message layout, chunking,
// answer checks, results) and its two transports' own rules: the answer
// framing of HID and serial, and the serial line on real pseudo-terminals.
#include "SDPLoader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <thread>

#include "HID_SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "bytes.h"
#include "store_testutil.h"
#include "tempdir.h"

using kstest::Bytes;
using Clock = std::chrono::steady_clock;

namespace {

long msSince(Clock::time_point t) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

// Answers as the two transports deliver them: HAB word and status word.
Bytes serialAnswer(uint32_t word) {
    return {0x56,
            0x78,
            0x78,
            0x56,
            uint8_t(word),
            uint8_t(word >> 8),
            uint8_t(word >> 16),
            uint8_t(word >> 24)};
}

// A transport that records what the client sends and answers from a script.
// The answer framing is the serial one.
struct Script {
    std::vector<Bytes> written;
    std::vector<uint32_t> waits;
    std::deque<Bytes> reads; // one entry per readData call; empty: nothing
    ssize_t writeResult = 0; // 0: the whole message, else this
    bool initResult = true;
    int inits = 0;
    bool destroyed = false;
};

class ScriptedTransport : public SDPLoader_Interface {
  public:
    explicit ScriptedTransport(Script& s) : s_(s) {}
    ~ScriptedTransport() override { s_.destroyed = true; }
    bool init() override {
        ++s_.inits;
        return s_.initResult;
    }
    ssize_t writeData(const std::vector<uint8_t>& data) override {
        s_.written.push_back(data);
        return s_.writeResult ? s_.writeResult : ssize_t(data.size());
    }
    ssize_t readData(std::vector<uint8_t>& out, uint32_t waitMs) override {
        s_.waits.push_back(waitMs);
        if (s_.reads.empty())
            return 0;
        Bytes b = s_.reads.front();
        s_.reads.pop_front();
        out.insert(out.end(), b.begin(), b.end());
        return ssize_t(b.size());
    }
    bool getDataFromBuffer(const std::vector<uint8_t>& in, uint32_t index,
                           uint32_t& value) override {
        return framing_.getDataFromBuffer(in, index, value);
    }

  private:
    Script& s_;
    Serial_SDPLoader framing_{"/nonexistent"};
};

// Reads as the client makes them for one command: the stale-input check
// (nothing), then the answer.
void answerNext(Script& s, const Bytes& answer) {
    s.reads.push_back({});
    s.reads.push_back(answer);
}

std::unique_ptr<SDPLoader> clientOn(Script& s) {
    auto c = std::make_unique<SDPLoader>();
    EXPECT_TRUE(c->setLoader(new ScriptedTransport(s)));
    return c;
}

Bytes image(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 7 + 1);
    return b;
}

// A pseudo-terminal whose master side the test holds.
struct Pty {
    int master = -1;
    std::string slave;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            slave = ptsname(master);
        termios t{};
        int s = open(slave.c_str(), O_RDWR | O_NOCTTY);
        if (s >= 0 && tcgetattr(s, &t) == 0) {
            cfmakeraw(&t);
            tcsetattr(s, TCSANOW, &t);
        }
        if (s >= 0)
            close(s);
    }
    ~Pty() {
        if (master >= 0)
            close(master);
    }
};

} // namespace

TEST(SDPCommands, LayoutIsReportOneAndSixteenBigEndianBytes) {
    struct Case {
        const char* name;
        Bytes message;
        const char* expected;
    } cases[] = {
        {"error status", SDPLoader::_createStatusPacket(),
         "01 05 05 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"write file", SDPLoader::_createWriteFilePacket(0x20000400, 0x12345),
         "01 04 04 20 00 04 00 20 00 01 23 45 00 00 00 00 00"},
        {"jump", SDPLoader::_createJumpPacket(0x80001234),
         "01 0B 0B 80 00 12 34 00 00 00 00 00 00 00 00 00 00"},
        {"read register", SDPLoader::_create4ByteReadRegisterPacket(0x401F4410),
         "01 01 01 40 1F 44 10 20 00 00 00 04 00 00 00 00 00"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(kstest::HexDump(c.message), c.expected) << c.name;
}

TEST(SDPAnswers, HidNeedsExactlySeventyBytesSerialAtLeastTheWord) {
    HID_SDPLoader hid(0x1FC9, 0x0130);
    Serial_SDPLoader serial("/nonexistent");
    auto hidAnswer = [](size_t size) {
        Bytes b(size, 0);
        for (size_t i = 6; i < 10 && i < size; ++i)
            b[i] = 0x88;
        if (size > 10)
            b[10] = 0x01;
        return b;
    };
    struct Case {
        const char* name;
        SDPLoader_Interface& t;
        Bytes in;
        uint32_t index;
        bool found;
        uint32_t value; // ORed into 0x00000100
    } cases[] = {
        {"HID 70 bytes", hid, hidAnswer(70), 0, true, 0x88888988},
        {"HID 69 bytes", hid, hidAnswer(69), 0, false, 0x100},
        {"HID 71 bytes", hid, hidAnswer(71), 0, false, 0x100},
        {"HID index 1", hid, hidAnswer(70), 1, true, 0x01888888 | 0x100},
        {"HID index 15", hid, hidAnswer(70), 15, true, 0x100},
        {"HID index 16", hid, hidAnswer(70), 16, false, 0x100},
        {"HID empty", hid, {}, 0, false, 0x100},
        {"serial 8 bytes",
         serial,
         {0x56, 0x78, 0x78, 0x56, 0x01, 0x02, 0x03, 0x04},
         0,
         true,
         0x04030201 | 0x100},
        {"serial 7 bytes", serial, {0x56, 0x78, 0x78, 0x56, 0x01, 0x02, 0x03}, 0, false, 0x100},
        {"serial empty", serial, {}, 0, false, 0x100},
        {"serial 12 bytes index 1", serial, Bytes{0, 0, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD, 0, 0, 0},
         1, true, 0xDDCCBBAA | 0x100},
        {"serial 11 bytes index 1", serial, Bytes(11, 0xFF), 1, false, 0x100},
        {"serial index 16", serial, Bytes(80, 0xFF), 16, false, 0x100},
        {"serial index 15", serial, Bytes(68, 0x11), 15, true, 0x11111111 | 0x100},
    };
    for (Case& c : cases) {
        uint32_t value = 0x100;
        EXPECT_EQ(c.t.getDataFromBuffer(c.in, c.index, value), c.found) << c.name;
        EXPECT_EQ(value, c.value) << c.name;
    }
}

TEST(SDPLoaderSetup, OneTransportInitResultsAndOwnership) {
    SDPLoader none;
    EXPECT_EQ(none.init(), SDP_NO_TRANSPORT);
    EXPECT_FALSE(none.setLoader(nullptr));
    uint64_t fp = 0;
    EXPECT_EQ(none.getFingerprint(fp), SDP_NO_TRANSPORT);
    EXPECT_EQ(none.writeLoader(image(4), 0), SDP_NO_TRANSPORT);

    Script first, second;
    {
        SDPLoader c;
        ASSERT_TRUE(c.setLoader(new ScriptedTransport(first)));
        ScriptedTransport* other = new ScriptedTransport(second);
        EXPECT_FALSE(c.setLoader(other)); // the first stays in place
        delete other;
        EXPECT_EQ(c.init(), SDP_OK);
        first.initResult = false;
        EXPECT_EQ(c.init(), SDP_INIT_FAILED);
        EXPECT_EQ(first.inits, 2);
        EXPECT_EQ(second.inits, 0);
        EXPECT_FALSE(first.destroyed);
    }
    EXPECT_TRUE(first.destroyed); // destroyed with the client
}

TEST(SDPLoaderWrite, ImageGoesInChunksOf1024AndSucceedsOnTheCompletionWord) {
    for (size_t size : {size_t(1), size_t(1024), size_t(1025), size_t(5000)}) {
        Script s;
        answerNext(s, serialAnswer(SDP_STATUS_ACK));
        s.reads.push_back({}); // stale input before the write-file command
        const size_t chunks = (size + 1023) / 1024;
        for (size_t i = 0; i < chunks; ++i)
            s.reads.push_back({}); // quiet ROM between chunks
        s.reads.push_back(serialAnswer(SDP_STATUS_COMPLETE));
        Bytes img = image(size);
        EXPECT_EQ(clientOn(s)->writeLoader(img, 0x20000400), SDP_OK) << size;

        ASSERT_EQ(s.written.size(), 2 + chunks) << size;
        EXPECT_BYTES(SDPLoader::_createStatusPacket(), s.written[0]);
        EXPECT_BYTES(SDPLoader::_createWriteFilePacket(0x20000400, uint32_t(size)), s.written[1]);
        Bytes sent;
        for (size_t i = 0; i < chunks; ++i) {
            const Bytes& m = s.written[2 + i];
            ASSERT_EQ(m[0], SDP_REPORT_DATA);
            EXPECT_EQ(m.size(), 1 + std::min<size_t>(1024, size - i * 1024)) << size;
            sent.insert(sent.end(), m.begin() + 1, m.end());
        }
        EXPECT_BYTES(img, sent);
        EXPECT_EQ(s.waits.back(), 100u) << "the completion read waits 100 ms";
    }
}

TEST(SDPLoaderWrite, FailuresGiveTheirResults) {
    struct Case {
        const char* name;
        std::function<void(Script&)> script;
        uint8_t result;
        size_t written; // messages sent
    } cases[] = {
        {"no answer in two attempts", [](Script&) {}, SDP_NO_ANSWER, 2},
        // A late answer (in the last of five waits of 100 ms) answers its command:
        // no second status command, nothing left over for the data phase.
        {"a late answer to the status command",
         [](Script& s) {
             for (int i = 0; i < 3; ++i)
                 answerNext(s, {});
             s.reads.back() = serialAnswer(SDP_STATUS_ACK);
             s.reads.push_back({});
             s.reads.push_back({});
             s.reads.push_back({});
             s.reads.push_back(serialAnswer(SDP_STATUS_COMPLETE));
         },
         SDP_OK, 1 + 1 + 2},
        {"ROM speaks during the data phase",
         [](Script& s) {
             answerNext(s, serialAnswer(SDP_STATUS_ACK));
             s.reads.push_back({});
             s.reads.push_back({});
             s.reads.push_back(serialAnswer(0x3C3C3C3C)); // before the second chunk
         },
         SDP_ROM_ABORTED, 1 + 1 + 1},
        {"no completion word", [](Script& s) { answerNext(s, serialAnswer(SDP_STATUS_ACK)); },
         SDP_NOT_COMPLETED, 1 + 1 + 2},
        {"another word instead of completion",
         [](Script& s) {
             answerNext(s, serialAnswer(SDP_STATUS_ACK));
             s.reads.push_back({});
             s.reads.push_back({});
             s.reads.push_back({});
             s.reads.push_back(serialAnswer(SDP_STATUS_ACK));
         },
         SDP_NOT_COMPLETED, 1 + 1 + 2},
        {"a data message that cannot be sent ends the data phase",
         [](Script& s) {
             answerNext(s, serialAnswer(SDP_STATUS_ACK));
             s.writeResult = -1;
         },
         SDP_NOT_COMPLETED, 1 + 1 + 1},
    };
    for (const Case& c : cases) {
        Script s;
        c.script(s);
        EXPECT_EQ(clientOn(s)->writeLoader(image(2000), 0x1000), c.result) << c.name;
        EXPECT_EQ(s.written.size(), c.written) << c.name;
    }
}

TEST(SDPLoaderFingerprint, RegistersOrIntoLowAndHighHalves) {
    Script s;
    answerNext(s, serialAnswer(SDP_STATUS_ACK));
    answerNext(s, serialAnswer(0x89ABCDEF));
    answerNext(s, serialAnswer(0x01234567));
    uint64_t fp = 0x1000000000000010ull;
    EXPECT_EQ(clientOn(s)->getFingerprint(fp), SDP_OK);
    EXPECT_EQ(fp, 0x1123456789ABCDFFull);
    ASSERT_EQ(s.written.size(), 3u);
    EXPECT_BYTES(SDPLoader::_create4ByteReadRegisterPacket(SDP_FINGERPRINT_LOW), s.written[1]);
    EXPECT_BYTES(SDPLoader::_create4ByteReadRegisterPacket(SDP_FINGERPRINT_HIGH), s.written[2]);

    Script silent;
    fp = 0;
    EXPECT_EQ(clientOn(silent)->getFingerprint(fp), SDP_NO_ANSWER);
    Script noWord;
    answerNext(noWord, serialAnswer(SDP_STATUS_ACK));
    answerNext(noWord, serialAnswer(1));
    answerNext(noWord, {1, 2, 3});
    EXPECT_EQ(clientOn(noWord)->getFingerprint(fp), SDP_NO_REGISTER);
    EXPECT_EQ(fp, 0u);
}

TEST(SDPLoaderWrite, StaleInputIsDiscardedBeforeEachCommandAndLogged) {
    storetest::LogCapture log(0x10000000);
    Script s;
    s.reads.push_back(serialAnswer(SDP_STATUS_ACK)); // a late answer from before
    s.reads.push_back(serialAnswer(SDP_STATUS_ACK));
    s.reads.push_back({});
    s.reads.push_back({});
    s.reads.push_back(serialAnswer(SDP_STATUS_COMPLETE));
    EXPECT_EQ(clientOn(s)->writeLoader(image(10), 0x1000), SDP_OK);
    std::string text = log.Text();
    EXPECT_NE(text.find("Discarding 8 unexpected bytes: 56 78 78 56 F0 F0 F0 F0 \n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Write Res: 11 , Total: 11, Loop: 0, tell: 10, size: 11\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("Loader Transfer Successful\n"), std::string::npos) << text;
}

TEST(SerialTransport, OpensOnlyTerminalsAndKeepsItsOwnCopyOfThePath) {
    kstest::TempDir dir;
    std::string file = dir.write("plain", "not a tty");
    for (const std::string& path : {file, dir.sub("missing")}) {
        SDPLoader c;
        c.setLoader(new Serial_SDPLoader(path.c_str()));
        EXPECT_EQ(c.init(), SDP_INIT_FAILED) << path;
    }

    Pty pty;
    ASSERT_FALSE(pty.slave.empty());
    std::string* path = new std::string(pty.slave);
    Serial_SDPLoader t(path->c_str());
    path->assign(path->size(), 'x'); // the caller's text changes and goes
    delete path;
    EXPECT_TRUE(t.init());
    EXPECT_EQ(t.writeData({1, 'a', 'b'}), 2);
    std::vector<uint8_t> got;
    EXPECT_EQ(t.readData(got, 50), 0);
    char buf[8] = {0};
    EXPECT_EQ(read(pty.master, buf, sizeof buf), 2);
    EXPECT_EQ(std::string(buf), "ab") << "the report number is not sent";
}

TEST(SerialTransport, AWriteThatMakesNoProgressFailsAfterAboutOneSecond) {
    Pty pty; // nobody reads the master: the line takes a few kB, then nothing
    Serial_SDPLoader t(pty.slave.c_str());
    ASSERT_TRUE(t.init());
    Bytes big(1 << 20, 0x55);
    auto t0 = Clock::now();
    EXPECT_EQ(t.writeData(big), -1);
    EXPECT_GE(msSince(t0), 900);
}

TEST(SerialTransport, AReadWaitsUntilWrittenBytesHaveLeftAtTheLineRate) {
    Pty pty;
    std::atomic<bool> stop{false};
    std::thread reader([&] { // the far end takes everything at once
        char b[4096];
        while (!stop) {
            if (read(pty.master, b, sizeof b) <= 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    Serial_SDPLoader t(pty.slave.c_str());
    ASSERT_TRUE(t.init());
    Bytes msg(1 + 5760, 0x11); // half a second at 115200 baud
    auto t0 = Clock::now();
    EXPECT_EQ(t.writeData(msg), 5760);
    std::vector<uint8_t> got;
    t.readData(got, 0);
    EXPECT_GE(msSince(t0), 480);
    stop = true;
    reader.join();
}
