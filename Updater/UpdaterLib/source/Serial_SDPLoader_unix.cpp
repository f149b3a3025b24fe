// The serial SDP transport on a POSIX tty.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "Log.h"
#include "Serial_SDPLoader.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kBitsPerByte = 10; // start, 8 data bits, stop
constexpr uint32_t kMaxIndex = 15;
constexpr size_t kWordOffset = 4;
constexpr size_t kMaxReadPerCall = 64 * 1024;
// One answer of the ROM: the HAB word and the status or data word.
constexpr size_t kAnswerBytes = 8;
// After the line time has passed, the driver's queue gets this long to empty.
constexpr auto kDrainGrace = std::chrono::milliseconds(1000);
constexpr auto kSettle = std::chrono::milliseconds(1000);

} // namespace

class PrivateSerial_SDPLoader {
  public:
    int fd = -1;
    std::string path;
    struct termios settings {};
    // When the bytes written so far will have left the line at BAUD_RATE.
    Clock::time_point lineFreeAt{};

    void account(size_t bytes) {
        Clock::time_point start = std::max(lineFreeAt, Clock::now());
        lineFreeAt = start + std::chrono::microseconds(bytes * kBitsPerByte * 1000000ull /
                                                       Serial_SDPLoader::BAUD_RATE);
    }

    // Bounded: the line time of what is queued, plus kDrainGrace.
    void waitLineIdle() {
        if (Clock::now() < lineFreeAt)
            std::this_thread::sleep_until(lineFreeAt);
        const Clock::time_point giveUp = Clock::now() + kDrainGrace;
        int queued = 0;
        while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0 && Clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

    void close() {
        if (fd < 0)
            return;
        tcflush(fd, TCIOFLUSH);
        ::close(fd);
        fd = -1;
    }
};

Serial_SDPLoader::Serial_SDPLoader(const char* path) : d(new PrivateSerial_SDPLoader) {
    d->path = path ? path : "";
}

Serial_SDPLoader::~Serial_SDPLoader() {
    d->close();
}

bool Serial_SDPLoader::init() {
    d->close();
    d->fd = open(d->path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (d->fd < 0) {
        Log::log(DEBUG_iMXSerial, "Error: cannot open %s: %s\n", d->path.c_str(), strerror(errno));
        return false;
    }
    if (!isatty(d->fd) || tcgetattr(d->fd, &d->settings) != 0) {
        Log::log(DEBUG_iMXSerial, "Error: %s is not a terminal\n", d->path.c_str());
        d->close();
        return false;
    }
    struct termios& t = d->settings;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    if (tcsetattr(d->fd, TCSAFLUSH, &t) != 0) {
        Log::log(DEBUG_iMXSerial, "Error: cannot set up %s: %s\n", d->path.c_str(),
                 strerror(errno));
        d->close();
        return false;
    }
    std::this_thread::sleep_for(kSettle);
    tcflush(d->fd, TCIOFLUSH);
    d->lineFreeAt = Clock::now();
    return true;
}

ssize_t Serial_SDPLoader::writeData(const std::vector<uint8_t>& data) {
    if (d->fd < 0)
        return -1;
    if (data.size() <= 1)
        return 0;
    const uint8_t* bytes = data.data() + 1;
    const size_t size = data.size() - 1;
    size_t done = 0;
    Clock::time_point progress = Clock::now();
    while (done < size) {
        ssize_t n = write(d->fd, bytes + done, size - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            d->account(static_cast<size_t>(n));
            progress = Clock::now();
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            Log::log(DEBUG_iMXSerial, "Error: write to %s failed: %s\n", d->path.c_str(),
                     strerror(errno));
            return -1;
        }
        if (Clock::now() - progress >= std::chrono::milliseconds(WRITE_STALL_MS)) {
            Log::log(DEBUG_iMXSerial, "Error: %s took no data for %u ms (%zu of %zu bytes sent)\n",
                     d->path.c_str(), WRITE_STALL_MS, done, size);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return static_cast<ssize_t>(done);
}

ssize_t Serial_SDPLoader::readData(std::vector<uint8_t>& out, uint32_t waitMs) {
    if (d->fd < 0)
        return 0;
    d->waitLineIdle();
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(waitMs);
    size_t total = 0;
    uint8_t buffer[256];
    for (;;) {
        while (total < kMaxReadPerCall) {
            ssize_t n = read(d->fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            out.insert(out.end(), buffer, buffer + n);
            total += static_cast<size_t>(n);
        }
        // A whole answer is in: the rest of the wait would pass in silence.
        const Clock::time_point now = Clock::now();
        if (total >= kAnswerBytes || total >= kMaxReadPerCall || now >= until)
            break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count();
        pollfd p{d->fd, POLLIN, 0};
        (void)poll(&p, 1, static_cast<int>(left > 0 ? left : 1));
    }
    return static_cast<ssize_t>(total);
}

bool Serial_SDPLoader::getDataFromBuffer(const std::vector<uint8_t>& in, uint32_t index,
                                         uint32_t& value) {
    if (index > kMaxIndex || in.size() < (static_cast<size_t>(index) + 2) * 4)
        return false;
    size_t at = kWordOffset + index;
    value |= static_cast<uint32_t>(in[at]) | static_cast<uint32_t>(in[at + 1]) << 8 |
             static_cast<uint32_t>(in[at + 2]) << 16 | static_cast<uint32_t>(in[at + 3]) << 24;
    return true;
}
