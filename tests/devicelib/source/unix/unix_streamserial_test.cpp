// Serial transport on a pseudo-terminal: raw settings while open, the old
// ones back after close, bytes both ways.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "qStream.h"

namespace {

class Pty {
  public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master_, 0);
        grantpt(master_);
        unlockpt(master_);
        name_ = ptsname(master_);
        // Keep one slave descriptor open so that settings can be inspected.
        slave_ = open(name_.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(slave_, 0);
        termios t{};
        tcgetattr(slave_, &t);
        t.c_lflag |= ICANON | ECHO;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(slave_, TCSANOW, &t);
    }
    ~Pty() {
        close(slave_);
        close(master_);
    }
    const std::string& name() const { return name_; }
    termios settings() const {
        termios t{};
        tcgetattr(slave_, &t);
        return t;
    }
    std::string receive(size_t n, int timeoutMs = 2000) {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n && std::chrono::steady_clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) != 1)
                continue;
            char buf[256];
            ssize_t r = read(master_, buf, sizeof buf);
            if (r <= 0)
                break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }
    void send(const std::string& s) {
        ASSERT_EQ(write(master_, s.data(), s.size()), (ssize_t)s.size());
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
};

TEST(StreamSerial, OpenAppliesRawSettingsAndCloseRestoresTheOldOnes) {
    Pty pty;
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateSerial(pty.name().c_str(), qSerial_Baud115200, false, qSerial_8Bits,
                                   qSerial_1StopBit, &s),
              qErrNone);
    termios t = pty.settings();
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag, 0u);
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B115200));
    ASSERT_EQ(qStream_Destroy(&s), qErrNone);
    t = pty.settings();
    EXPECT_NE(t.c_lflag & ICANON, 0u);
    EXPECT_NE(t.c_lflag & ECHO, 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
}

TEST(StreamSerial, ParityAndTwoStopBitsAreApplied) {
    Pty pty;
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateSerial(pty.name().c_str(), qSerial_Baud2400, true, qSerial_7Bits,
                                   qSerial_2StopBits, &s),
              qErrNone);
    termios t = pty.settings();
    // A pseudo-terminal keeps eight data bits without parity whatever it is
    // told; the input flags, stop bits and speed show the settings applied.
    EXPECT_EQ(t.c_iflag, static_cast<tcflag_t>(IGNBRK | IGNPAR));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B2400));
    (void)qStream_Destroy(&s);
}

TEST(StreamSerial, BytesTravelBothWaysAndReadsNeverWait) {
    Pty pty;
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateSerial(pty.name().c_str(), qSerial_Baud57600, false, qSerial_8Bits,
                                   qSerial_1StopBit, &s),
              qErrNone);
    uint8_t b[3];
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(qStream_Read(s, b, 1), qErrNotReady);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(200));
    const std::string sync = "?\r\n";
    ASSERT_EQ(qStream_Write(s, reinterpret_cast<const uint8_t*>(sync.data()), sync.size()),
              qErrNone);
    ASSERT_EQ(qStream_Write(s, reinterpret_cast<const uint8_t*>("!"), 1), qErrNone);
    EXPECT_EQ(pty.receive(4), "?\r\n!") << "raw output: no newline translation";
    pty.send("OK\n");
    std::string got;
    for (int i = 0; i < 200 && got.size() < 3; ++i) {
        if (qStream_Read(s, b, 1) == qErrNone)
            got.push_back(static_cast<char>(b[0]));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(got, "OK\n");
    (void)qStream_Destroy(&s);
}

struct BadSerial {
    const char* name;
    const char* port;
    int bits;
    int stop;
    bool nullOut;
    qErr expect;
};

class StreamSerialRefuses : public ::testing::TestWithParam<BadSerial> {};

TEST_P(StreamSerialRefuses, WithTheRightError) {
    const BadSerial& c = GetParam();
    qStream* s = reinterpret_cast<qStream*>(0x1);
    EXPECT_EQ(
        qStream_CreateSerial(c.port, qSerial_Baud9600, false, static_cast<qSerial_Bits>(c.bits),
                             static_cast<qSerial_Stop_bits>(c.stop), c.nullOut ? nullptr : &s),
        c.expect);
    if (!c.nullOut) {
        EXPECT_EQ(s, nullptr);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamSerialRefuses,
    ::testing::Values(BadSerial{"bits_2", "/nonexistent/tty", 2, 0, false, qErrParam},
                      BadSerial{"stop_2", "/nonexistent/tty", 0, 2, false, qErrParam},
                      BadSerial{"null_port", nullptr, 0, 0, false, qErrParam},
                      BadSerial{"null_out", "/nonexistent/tty", 0, 0, true, qErrParam},
                      BadSerial{"missing_port", "/nonexistent/tty", 0, 0, false, qErrNotFound},
                      BadSerial{"not_a_terminal", "/dev/null", 0, 0, false, qErrIO}),
    [](const ::testing::TestParamInfo<BadSerial>& i) { return std::string(i.param.name); });

TEST(StreamSerialBaud, IndexTableMatchesTheRates) {
    const int rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(qStream_SerialBaudRate(i), rates[i]);
        EXPECT_EQ(qStream_SerialBaudIndex(rates[i]), i);
    }
    EXPECT_EQ(qStream_SerialBaudRate(8), 0);
    EXPECT_EQ(qStream_SerialBaudRate(-1), 0);
    EXPECT_EQ(qStream_SerialBaudIndex(14400), -1);
}

} // namespace
