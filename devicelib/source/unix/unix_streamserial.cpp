// Serial line transport of qStream: a raw termios port that answers reads at
// once (VMIN 0, VTIME 0). The settings found at open are restored at close.
#include <errno.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>

#include "qStream.h"
#include "unix_streampoll.h"

namespace {

constexpr uint16_t qVALIDSS_TAG = 0xBEEF;
constexpr size_t kPortMax = 4096;

struct qUnixSerialStream {
    int baudIndex;
    char port[kPortMax + 1];
    int fd;
    termios saved;   // found at open, restored at close
    termios applied; // what this stream set
    bool haveSaved;
    uint16_t tag;
};

bool sValid(const qUnixSerialStream* ss) {
    return ss && ss->tag == qVALIDSS_TAG && ss->fd >= 0;
}

speed_t sSpeed(int baudIndex) {
    switch (qStream_SerialBaudRate(baudIndex)) {
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    default:
        return B0; // hang up
    }
}

qErr sOpen(qUnixSerialStream* ss, bool parity, qSerial_Bits bits, qSerial_Stop_bits stop) {
    ss->fd = open(ss->port, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (ss->fd < 0) {
        if (errno == ENOENT)
            return qErrNotFound;
        if (errno == EACCES)
            return qErrPermission;
        return qErrIO;
    }
    if (fcntl(ss->fd, F_SETFL, 0) != 0)
        return qErrIO;
    if (tcgetattr(ss->fd, &ss->saved) != 0)
        return qErrIO;
    ss->haveSaved = true;
    termios t = ss->saved;
    t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CLOCAL | CREAD | (parity ? PARENB : 0) | (bits == qSerial_8Bits ? CS8 : CS7) |
                (stop == qSerial_2StopBits ? CSTOPB : 0);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, sSpeed(ss->baudIndex)) != 0 || cfsetospeed(&t, sSpeed(ss->baudIndex)) != 0)
        return qErrIO;
    if (tcsetattr(ss->fd, TCSANOW, &t) != 0)
        return qErrIO;
    ss->applied = t;
    if (tcflush(ss->fd, TCIOFLUSH) != 0)
        return qErrIO;
    return qErrNone;
}

qErr sSerialGet(uint8_t* byte, void* ref) {
    auto* ss = static_cast<qUnixSerialStream*>(ref);
    if (!sValid(ss) || !byte)
        return qErrParam;
    ssize_t n = read(ss->fd, byte, 1);
    if (n == 1)
        return qErrNone;
    if (n == 0 || errno == EAGAIN || errno == EINTR)
        return qErrNotReady;
    return qErrIO;
}

// Whatever the line has delivered, in one read.
qErr sSerialRead(uint8_t* dst, size_t max, size_t* got, void* ref) {
    auto* ss = static_cast<qUnixSerialStream*>(ref);
    *got = 0;
    if (!sValid(ss))
        return qErrParam;
    ssize_t n = read(ss->fd, dst, max);
    if (n > 0) {
        *got = static_cast<size_t>(n);
        return qErrNone;
    }
    if (n == 0 || errno == EAGAIN || errno == EINTR)
        return qErrNotReady;
    return qErrIO;
}

qErr sSerialWait(int wakeFd, unsigned long msTimeout, void* ref) {
    auto* ss = static_cast<qUnixSerialStream*>(ref);
    if (!sValid(ss))
        return qErrParam;
    return unixStreamPoll(ss->fd, -1, wakeFd, msTimeout);
}

qErr sSerialWrite(const uint8_t* data, size_t count, void* ref) {
    auto* ss = static_cast<qUnixSerialStream*>(ref);
    if (!sValid(ss) || (!data && count))
        return qErrParam;
    ssize_t n = write(ss->fd, data, count);
    return n == static_cast<ssize_t>(count) ? qErrNone : qErrIO;
}

qErr sSerialPut(uint8_t byte, void* ref) {
    return sSerialWrite(&byte, 1, ref);
}

qErr sSerialDelete(void* ref) {
    auto* ss = static_cast<qUnixSerialStream*>(ref);
    if (!ss || ss->tag != qVALIDSS_TAG)
        return qErrParam;
    if (ss->fd >= 0) {
        if (ss->haveSaved)
            tcsetattr(ss->fd, TCSANOW, &ss->saved);
        close(ss->fd);
        ss->fd = -1;
    }
    ss->tag = 0;
    delete ss;
    return qErrNone;
}

} // namespace

qErr qStream_CreateSerial(const char* port, int baudIndex, bool parity, qSerial_Bits bits,
                          qSerial_Stop_bits stop, qStream** out) {
    if (out)
        *out = nullptr;
    if (!port || !out || static_cast<int>(bits) < 0 || static_cast<int>(bits) > 1 ||
        static_cast<int>(stop) < 0 || static_cast<int>(stop) > 1 || std::strlen(port) > kPortMax)
        return qErrParam;
    auto* ss = new (std::nothrow) qUnixSerialStream;
    if (!ss)
        return qErrMemory;
    std::memset(ss, 0, sizeof *ss);
    ss->baudIndex = baudIndex;
    std::snprintf(ss->port, sizeof ss->port, "%s", port);
    ss->fd = -1;
    ss->tag = qVALIDSS_TAG;
    qStream* s = qStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, ss);
    if (!s) {
        delete ss;
        return qErrResource;
    }
    (void)qStream_SetReceive(s, sSerialRead, sSerialWait);
    qErr e = sOpen(ss, parity, bits, stop);
    if (e != qErrNone) {
        (void)qStream_Destroy(&s);
        return e;
    }
    *out = s;
    return qErrNone;
}
