// TCP socket transport of qStream: non-blocking, reconnecting by itself.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
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
    std::atomic<unsigned> flags; // bit 0: connected; bit 1: connecting
    std::mutex lock;
    unsigned long connectDeadline; // while connecting: qTime_GetMSTicks() limit
    int changeFd;
    uint16_t tag;
};

constexpr unsigned kConnected = 1;
constexpr unsigned kConnecting = 2; // a connect is under way on fd

// How long a connect may take. The first one, made by create, waits for its
// outcome; one made again by a read or write that found the connection
// broken never blocks: reads answer qErrNotReady and the wait sleeps on the
// connect (and the caller's wake descriptor) until it completes.
constexpr unsigned long kConnectDeadlineMs = 5000;
// A write that could not send everything tries again after this long.
constexpr unsigned long kWriteRetryMs = 60;

bool sValid(const qSocketStream* ss) {
    return ss && ss->tag == qVALIDSS_TAG;
}

// Closes an open socket; caller holds the lock.
void sCloseLocked(qSocketStream* ss) {
    if (ss->fd < 0)
        return;
    ss->flags &= ~(kConnected | kConnecting);
    close(ss->fd);
    ss->fd = -1;
    unixStreamSignalChange(ss->changeFd);
    (void)qTime_MSSleep(10);
}

// The cause of a failed connect.
qErr sConnectError(int e) {
    switch (e) {
    case ETIMEDOUT:
        return qErrTimeout;
    case EAGAIN:
    case ECONNRESET:
    case ECONNREFUSED:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
        return qErrConnection;
    case EACCES:
    case EPERM:
        return qErrPermission; // refused by a firewall rule of this host
    default:
        return qErrIO;
    }
}

// Options of a connected socket; caller holds the lock.
qErr sConnectedLocked(qSocketStream* ss) {
    int one = 1;
    timeval tv{0, 0};
    linger lg{1, 0}; // closing resets the connection at once
    if (setsockopt(ss->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
        setsockopt(ss->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
        setsockopt(ss->fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0) {
        sCloseLocked(ss);
        return qErrIO;
    }
    ss->flags = kConnected; // a reader asleep on the connect saw it become writable
    return qErrNone;
}

// Starts a (re)connect without blocking; caller holds the lock. Returns
// qErrNone (connected at once), qErrNotReady (under way: sFinishLocked
// completes it) or the cause of a failure.
qErr sStartConnectLocked(qSocketStream* ss, unsigned long msDeadline) {
    sCloseLocked(ss);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return qErrResource;
    ss->fd = fd;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&ss->addr), sizeof ss->addr) == 0)
        return sConnectedLocked(ss);
    const int e = errno;
    if (e != EINPROGRESS && e != EINTR) {
        sCloseLocked(ss);
        return sConnectError(e);
    }
    ss->flags = kConnecting;
    ss->connectDeadline = qTime_GetMSTicks() + msDeadline;
    return qErrNotReady;
}

// Looks at a connect under way, waiting up to waitMs for its outcome; caller
// holds the lock. Returns qErrNone (connected, or no connect under way),
// qErrNotReady (still under way) or the cause of a failure (qErrTimeout
// once its deadline has passed).
qErr sFinishLocked(qSocketStream* ss, unsigned long waitMs) {
    if (!(ss->flags & kConnecting))
        return qErrNone;
    const long left = static_cast<long>(ss->connectDeadline - qTime_GetMSTicks());
    pollfd p = {ss->fd, POLLOUT, 0};
    const long wait = left <= 0 ? 0 : std::min(left, static_cast<long>(waitMs));
    int n = poll(&p, 1, static_cast<int>(wait));
    if (n > 0) {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(ss->fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
        if (err == 0)
            return sConnectedLocked(ss);
        sCloseLocked(ss);
        return sConnectError(err);
    }
    if (static_cast<long>(ss->connectDeadline - qTime_GetMSTicks()) > 0)
        return qErrNotReady;
    sCloseLocked(ss);
    return qErrTimeout;
}

bool sBroken(int e) {
    return e == ECONNRESET || e == ENOTCONN || e == ETIMEDOUT;
}

qErr sSocketGet(uint8_t* byte, void* ref) {
    auto* ss = static_cast<qSocketStream*>(ref);
    if (!sValid(ss) || !byte)
        return qErrParam;
    std::lock_guard<std::mutex> guard(ss->lock);
    if (qErr c = sFinishLocked(ss, 0))
        return c;
    if (!(ss->flags & kConnected))
        return qErrConnection;
    ssize_t n = recv(ss->fd, byte, 1, MSG_PEEK);
    if (n < 0 && sBroken(errno)) {
        qErr e = sStartConnectLocked(ss, kConnectDeadlineMs);
        if (e != qErrNone)
            return e; // qErrNotReady while the connect is under way
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
    if (qErr c = sFinishLocked(ss, 0))
        return c;
    if (!(ss->flags & kConnected))
        return qErrConnection;
    ssize_t n = recv(ss->fd, dst, max, 0);
    if (n < 0 && sBroken(errno)) {
        qErr e = sStartConnectLocked(ss, kConnectDeadlineMs);
        if (e != qErrNone)
            return e; // qErrNotReady while the connect is under way
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

// Sleeps until a connect under way completes or its deadline passes; the
// wake descriptor ends it at once.
qErr sAwaitConnect(int fd, int wakeFd, unsigned long msTimeout, unsigned long deadline) {
    const long left = static_cast<long>(deadline - qTime_GetMSTicks());
    long wait = left < 0 ? 0 : left;
    if (msTimeout != qSTREAM_WAIT_FOREVER && static_cast<unsigned long>(wait) > msTimeout)
        wait = static_cast<long>(msTimeout);
    pollfd p[2] = {{wakeFd, POLLIN, 0}, {fd, POLLOUT, 0}};
    int n = poll(p, 2, static_cast<int>(wait));
    if (n > 0 && wakeFd >= 0 && p[0].revents != 0)
        return qErrCancel;
    if (n == 0 && wait < left)
        return qErrTimeout;
    return qErrNone; // completed, failed or past its deadline: a read tells
}

qErr sSocketWait(int wakeFd, unsigned long msTimeout, void* ref) {
    auto* ss = static_cast<qSocketStream*>(ref);
    if (!sValid(ss))
        return qErrParam;
    int fd;
    unsigned flags;
    unsigned long deadline;
    {
        std::lock_guard<std::mutex> guard(ss->lock);
        qErr c = sFinishLocked(ss, 0); // a connect that completed: wait for bytes
        if (c != qErrNone && c != qErrNotReady)
            return qErrNone; // it failed: a read reports it at once
        flags = ss->flags;
        fd = ss->fd;
        deadline = ss->connectDeadline;
    }
    if (flags & kConnecting)
        return sAwaitConnect(fd, wakeFd, msTimeout, deadline);
    if (!(flags & kConnected))
        return qErrNone; // a read reports it at once
    return unixStreamPoll(fd, ss->changeFd, wakeFd, msTimeout);
}

qErr sSocketWrite(const uint8_t* data, size_t count, void* ref) {
    auto* ss = static_cast<qSocketStream*>(ref);
    if (!sValid(ss) || (!data && count))
        return qErrParam;
    if (!(ss->flags & (kConnected | kConnecting)))
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
            // A connect under way gets one slice to complete: the module
            // lost this connection, and the link's stop must not wait for
            // the new one.
            qErr c = sFinishLocked(ss, kWriteRetryMs);
            if (c == qErrNotReady)
                return qErrConnection;
            if (c != qErrNone)
                return c;
            const bool ready = c == qErrNone && ss->fd >= 0;
            n = ready ? send(ss->fd, data + done, count - done, MSG_NOSIGNAL) : -1;
            e = ready ? errno : (c == qErrNotReady ? EAGAIN : ENOTCONN);
            if (n < 0 && (e == EPIPE || e == ECONNRESET || e == ENOTCONN)) {
                qErr r = sStartConnectLocked(ss, kConnectDeadlineMs);
                if (r == qErrNotReady)
                    r = sFinishLocked(ss, kWriteRetryMs);
                if (r == qErrNotReady)
                    return qErrConnection; // the reader completes it later
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
        (void)qTime_MSSleep(kWriteRetryMs);
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

// The first connect, made by create: waits for its outcome up to its
// deadline, giving up (qErrCancel) when wakeFd or the open interrupt becomes
// readable; caller holds the lock.
qErr sFirstConnectLocked(qSocketStream* ss, int wakeFd) {
    qErr e = sStartConnectLocked(ss, kConnectDeadlineMs);
    while (e == qErrNotReady) {
        const long left = static_cast<long>(ss->connectDeadline - qTime_GetMSTicks());
        pollfd p[3] = {
            {ss->fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}, {unixStreamInterruptFd(), POLLIN, 0}};
        if (poll(p, 3, left > 0 ? static_cast<int>(left) : 0) > 0 &&
            (p[1].revents != 0 || p[2].revents != 0)) {
            sCloseLocked(ss);
            return qErrCancel;
        }
        e = sFinishLocked(ss, 0);
    }
    return e;
}

} // namespace

qErr qStream_CreateSocketWithWake(uint32_t address, int port, int wakeFd, qStream** out) {
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
        e = sFirstConnectLocked(ss, wakeFd);
    }
    qStream* s = e == qErrNone
                     ? qStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, ss)
                     : nullptr;
    if (!s) {
        (void)sSocketDelete(ss);
        return e == qErrNone ? qErrResource : e;
    }
    (void)qStream_SetReceive(s, sSocketRead, sSocketWait);
    *out = s;
    return qErrNone;
}

qErr qStream_CreateSocket(uint32_t address, int port, qStream** out) {
    return qStream_CreateSocketWithWake(address, port, -1, out);
}
