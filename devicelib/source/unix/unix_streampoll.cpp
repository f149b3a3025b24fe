// The wait of the descriptor-based transports: one poll over the transport's
// descriptor, its change eventfd and the caller's wake descriptor.
#include "unix_streampoll.h"

#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "qStream.h"

namespace {

// Made at load time, so that a signal handler may signal it (write only).
const int g_interruptFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

int sPollTimeout(unsigned long ms) {
    if (ms == qSTREAM_WAIT_FOREVER)
        return -1;
    return ms > static_cast<unsigned long>(INT_MAX) ? INT_MAX : static_cast<int>(ms);
}

} // namespace

qErr unixStreamPoll(int fd, int changeFd, int wakeFd, unsigned long msTimeout) {
    pollfd p[3] = {{wakeFd, POLLIN, 0}, {fd, POLLIN, 0}, {changeFd, POLLIN, 0}};
    int n = poll(p, 3, sPollTimeout(msTimeout));
    if (n < 0)
        return errno == EINTR ? qErrNone : qErrIO; // a signal: the reader simply reads again
    if (n == 0)
        return qErrTimeout;
    if (wakeFd >= 0 && p[0].revents != 0)
        return qErrCancel;
    if (changeFd >= 0 && (p[2].revents & POLLIN)) {
        uint64_t count;
        ssize_t r = read(changeFd, &count, sizeof count); // resets it; nothing to do on failure
        (void)r;
    }
    return qErrNone;
}

void unixStreamSignalChange(int changeFd) {
    if (changeFd < 0)
        return;
    const uint64_t one = 1;
    ssize_t r =
        write(changeFd, &one, sizeof one); // fails only when the counter is full: set anyway
    (void)r;
}

int unixStreamChangeFd() {
    return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

int unixStreamInterruptFd() {
    return g_interruptFd;
}

bool unixStreamOpensInterrupted() {
    pollfd p = {g_interruptFd, POLLIN, 0};
    return g_interruptFd >= 0 && poll(&p, 1, 0) == 1;
}

qErr unixStreamPauseOpen(int wakeFd, unsigned long ms) {
    pollfd p[2] = {{g_interruptFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    int n = poll(p, 2, sPollTimeout(ms));
    return n > 0 ? qErrCancel : qErrTimeout;
}

bool qStream_OpensInterrupted() {
    return unixStreamOpensInterrupted();
}

void qStream_InterruptOpens() {
    unixStreamSignalChange(g_interruptFd); // write(2) alone: async-signal-safe
}

void qStream_ResumeOpens() {
    if (g_interruptFd < 0)
        return;
    uint64_t count;
    ssize_t r = read(g_interruptFd, &count, sizeof count); // resets it; EAGAIN when it was not set
    (void)r;
}
