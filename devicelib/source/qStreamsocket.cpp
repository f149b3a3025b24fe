// TCP socket transport of qStream: non-blocking, reconnecting by itself.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "qStream.h"
#include "qTime.h"
#include "unix_streampoll.h"

namespace {

constexpr uint16_t qVALIDSS_TAG = 0xDEAD;

// One connection. The reader (get, read, wait) and the writer (write) may
// run on two threads: `lock` guards fd and every call on it, so that a
// reconnect made by one side never pulls the descriptor from under the
// other. Sleeps and the reader's wait happen outside the lock: the wait polls
// a copy of fd, and every close or reconnect signals changeFd (an eventfd
// made with the stream, fixed for its life), so that a reader asleep on a
// descriptor that the writer replaced wakes and looks again.
struct qSocketStream {
    int port;
    sockaddr_in addr;
    int fd;
    std::atomic<unsigned> flags; // bit 0: connected
    std::mutex lock;
    int changeFd;
    uint16_t tag;
};

constexpr unsigned kConnected = 1;

bool sValid(const qSocketStream* ss) {
    return ss && ss->tag == qVALIDSS_TAG;
}

// Closes an open socket; caller holds the lock.
void sCloseLocked(qSocketStream* ss) {
    if (ss->fd < 0)
        return;
    ss->flags &= ~kConnected;
    close(ss->fd);
    ss->fd = -1;
    unixStreamSignalChange(ss->changeFd);
    (void)qTime_MSSleep(10);
}

// (Re)connects; caller holds the lock.
qErr sConnectLocked(qSocketStream* ss) {
    sCloseLocked(ss);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return qErrIO;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&ss->addr), sizeof ss->addr) != 0) {
        const int e = errno;
        ss->fd = fd;
        sCloseLocked(ss);
        if (e == EAGAIN || e == ECONNRESET || e == ETIMEDOUT || e == ECONNREFUSED)
            return qErrConnection;
        return qErrIO;
    }
    ss->fd = fd;
    ss->flags |= kConnected;
    int one = 1;
    timeval tv{0, 0};
    linger lg{1, 0}; // closing resets the connection at once
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0 ||
        ioctl(fd, FIONBIO, &one) != 0) {
        // A socket left blocking could stall the poller: give it up.
        sCloseLocked(ss);
        return qErrIO;
    }
    return qErrNone; // a reconnect closed the old socket first, which told the reader
}

bool sBroken(int e) {
    return e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT;
}

qErr sSocketGet(uint8_t* byte, void* ref) {
    auto* ss = static_cast<qSocketStream*>(ref);
    if (!sValid(ss) || !byte)
        return qErrParam;
    std::lock_guard<std::mutex> guard(ss->lock);
    if (!(ss->flags & kConnected))
        return qErrConnection;
    ssize_t n = recv(ss->fd, byte, 1, MSG_PEEK);
    if (n < 0 && sBroken(errno)) {
        qErr e = sConnectLocked(ss);
        if (e != qErrNone)
            return e;
        n = recv(ss->fd, byte, 1, MSG_PEEK);
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return qErrConnection;
    if (n == 0)
        return qErrConnection; // the peer closed its end: the module has gone
    if (n < 0)
        return qErrNotReady; // nothing yet
    n = recv(ss->fd, byte, 1, 0);
    if (n == 1)
        return qErrNone;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return qErrEOF;
    if (n < 0 && sBroken(errno))
        return qErrNotReady;
    return qErrIO;
}

// Whatever has arrived, in one recv; the same outcomes as get: a broken
// connection is made again once, a peer that closed in order is gone.
qErr sSocketRead(uint8_t* dst, size_t max, size_t* got, void* ref) {
    auto* ss = static_cast<qSocketStream*>(ref);
    *got = 0;
    if (!sValid(ss))
        return qErrParam;
    std::lock_guard<std::mutex> guard(ss->lock);
    if (!(ss->flags & kConnected))
        return qErrConnection;
    ssize_t n = recv(ss->fd, dst, max, 0);
    if (n < 0 && sBroken(errno)) {
        qErr e = sConnectLocked(ss);
        if (e != qErrNone)
            return e;
        n = recv(ss->fd, dst, max, 0);
    }
    if (n > 0) {
        *got = static_cast<size_t>(n);
        return qErrNone;
    }
    if (n == 0)
        return qErrConnection; // the peer closed its end: the module has gone
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return qErrNotReady;
    return qErrConnection;
}

qErr sSocketWait(int wakeFd, unsigned long msTimeout, void* ref) {
    auto* ss = static_cast<qSocketStream*>(ref);
    if (!sValid(ss))
        return qErrParam;
    int fd;
    {
        std::lock_guard<std::mutex> guard(ss->lock);
        if (!(ss->flags & kConnected))
            return qErrNone; // a read reports it at once
        fd = ss->fd;
    }
    return unixStreamPoll(fd, ss->changeFd, wakeFd, msTimeout);
}

qErr sSocketWrite(const uint8_t* data, size_t count, void* ref) {
    auto* ss = static_cast<qSocketStream*>(ref);
    if (!sValid(ss) || (!data && count))
        return qErrParam;
    if (!(ss->flags & kConnected))
        return qErrConnection;
    size_t done = 0;
    int attempts = 0;
    while (done < count) {
        if (attempts > 9)
            return qErrBusy;
        ssize_t n;
        int e;
        {
            std::lock_guard<std::mutex> guard(ss->lock);
            n = ss->fd < 0 ? -1 : send(ss->fd, data + done, count - done, MSG_NOSIGNAL);
            e = ss->fd < 0 ? ENOTCONN : errno;
            if (n < 0 && (e == EPIPE || e == ECONNRESET || e == ENOTCONN)) {
                ss->flags &= ~kConnected;
                qErr r = sConnectLocked(ss);
                if (r != qErrNone)
                    return r;
            } else if (n < 0 && e != EAGAIN && e != EWOULDBLOCK) {
                return qErrIO;
            }
        }
        if (n > 0) {
            done += static_cast<size_t>(n);
            if (done == count)
                break;
            attempts = 1;
        } else {
            ++attempts;
        }
        (void)qTime_MSSleep(60);
    }
    return qErrNone;
}

qErr sSocketPut(uint8_t byte, void* ref) {
    return sSocketWrite(&byte, 1, ref);
}

qErr sSocketDelete(void* ref) {
    auto* ss = static_cast<qSocketStream*>(ref);
    if (!sValid(ss))
        return qErrParam;
    {
        std::lock_guard<std::mutex> guard(ss->lock);
        sCloseLocked(ss);
        ss->tag = 0;
    }
    if (ss->changeFd >= 0)
        close(ss->changeFd);
    delete ss;
    return qErrNone;
}

} // namespace

qErr qStream_CreateSocket(uint32_t address, int port, qStream** out) {
    if (!out)
        return qErrResource;
    *out = nullptr;
    if (port <= 0 || port > 65535)
        return qErrResource;
    auto* ss = new (std::nothrow) qSocketStream;
    if (!ss)
        return qErrResource;
    ss->port = port;
    std::memset(&ss->addr, 0, sizeof ss->addr);
    ss->addr.sin_family = AF_INET;
    ss->addr.sin_port = htons(static_cast<uint16_t>(port));
    ss->addr.sin_addr.s_addr = address;
    ss->fd = -1;
    ss->flags = 0;
    ss->changeFd = unixStreamChangeFd();
    ss->tag = qVALIDSS_TAG;
    qErr e = ss->changeFd < 0 ? qErrResource : qErrNone;
    if (e == qErrNone) {
        std::lock_guard<std::mutex> guard(ss->lock);
        e = sConnectLocked(ss);
    }
    qStream* s = e == qErrNone
                     ? qStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, ss)
                     : nullptr;
    if (!s) {
        (void)sSocketDelete(ss);
        return qErrResource;
    }
    (void)qStream_SetReceive(s, sSocketRead, sSocketWait);
    *out = s;
    return qErrNone;
}
