// Bulk transfers of the USB driver through libusb: the writer's OUT chunks,
// the IN transfer kept submitted for the reader, and the reader's wait.
//
// Both threads of a link handle libusb's events: the writer while its OUT
// transfer is out, the reader while it waits for bytes; libusb lets one of
// them handle at a time, and whichever does completes the other's transfer
// too. A round of event handling that ends early having completed nothing
// means that the device's descriptor said "ready" with nothing to reap (an
// emulated bus's descriptor always does; usbfs never does). From then on the
// reader sleeps before each round, as one of libusb's event waiters, until
// the writer's event handling completes the IN transfer or a short pause
// passes: asking such a bus again and again while nothing comes would cost
// a core's share for nothing, and the writer, which handles events for each
// packet it sends, reaps the module's answer with it.
#include <libusb.h>

#include <cstring>

#include "ksusb_record.h"
#include "qStream.h"
#include "qTime.h"
#include "unix_streampoll.h"

namespace {

constexpr unsigned kWriteTimeoutMs = 50;
constexpr unsigned kReadTimeoutMs = 100;
constexpr int kWriteAttempts = 100;
// A libusb wait handles events in slices this long and looks at the wake
// descriptor between them: a stop is seen within this time.
constexpr unsigned long kWaitSliceMs = 20;
// After a round of event handling that found nothing, the reader sleeps at
// most this long before it asks the bus again.
constexpr unsigned long kIdleRoundPauseMs = 5;
constexpr int kCancelRounds = 100; // x 10 ms: the most a close waits for the IN transfer
// The most a write waits for its OUT transfer to end: its time-out cancels
// it after 50 ms; this bounds a cancel that never completes.
constexpr unsigned long kOutGiveUpMs = 2000;

// The state check shared by libusb reads and writes.
qErr sStateError(int32_t state) {
    if (state == ksusbStateClosed)
        return qErrConnection;
    if (state == ksusbStateCreated || state == ksusbStateOpening)
        return qErrNotReady;
    return state == ksusbStateReady ? qErrNone : qErrIO;
}

// outCompleted is libusb's wake-up flag (an int it reads under its own lock):
// this unit sets and reads it atomically, since the callback may run on the
// reader's thread while the writer looks at it.
void LIBUSB_CALL sOutDone(libusb_transfer* t) {
    auto* u = static_cast<ksusb*>(t->user_data);
    u->completions.fetch_add(1);
    __atomic_store_n(&u->outCompleted, 1, __ATOMIC_RELEASE);
}

int sOutCompleted(const ksusb* u) {
    return __atomic_load_n(&u->outCompleted, __ATOMIC_ACQUIRE);
}

// The libusb result of an ended transfer, as a synchronous transfer gives it.
int sTransferResult(const libusb_transfer* t) {
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
        return 0;
    case LIBUSB_TRANSFER_TIMED_OUT:
        return LIBUSB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_STALL:
        return LIBUSB_ERROR_PIPE;
    case LIBUSB_TRANSFER_OVERFLOW:
        return LIBUSB_ERROR_OVERFLOW;
    case LIBUSB_TRANSFER_NO_DEVICE:
        return LIBUSB_ERROR_NO_DEVICE;
    default:
        return LIBUSB_ERROR_IO;
    }
}

// One bulk OUT transfer of n (at most 64) bytes, copied into the zeroed
// buffer; handles events until it ends. Its 50 ms time-out is kept here (a
// cancel once it has passed), so that libusb arms no timer for every chunk.
// Returns a libusb result; *sent is what the device took.
int sBulkOut(ksusb* u, const uint8_t* data, size_t n, int* sent) {
    *sent = 0;
    if (sOutCompleted(u) < 0)
        return LIBUSB_ERROR_IO; // an earlier transfer never ended: the buffer is not ours
    std::memset(u->tx, 0, sizeof u->tx);
    std::memcpy(u->tx, data, n);
    libusb_transfer* t = u->outTransfer;
    libusb_fill_bulk_transfer(t, u->handle, u->outEndpoint, u->tx, static_cast<int>(n), sOutDone, u,
                              0);
    __atomic_store_n(&u->outCompleted, 0, __ATOMIC_RELAXED);
    int r = libusb_submit_transfer(t);
    if (r != 0)
        return r;
    const unsigned long start = qTime_GetMSTicks();
    bool timedOut = false;
    while (!sOutCompleted(u)) {
        const unsigned long waited = qTime_GetMSTicks() - start;
        if (!timedOut && waited >= kWriteTimeoutMs) {
            timedOut = true;
            libusb_cancel_transfer(t);
        }
        if (waited >= kOutGiveUpMs) {
            __atomic_store_n(&u->outCompleted, -1, __ATOMIC_RELAXED);
            return LIBUSB_ERROR_IO;
        }
        const unsigned long slice = timedOut ? kWaitSliceMs : kWriteTimeoutMs - waited;
        timeval tv = {0, static_cast<suseconds_t>(slice * 1000)};
        libusb_handle_events_timeout_completed(u->ctx, &tv, &u->outCompleted);
    }
    *sent = t->actual_length;
    if (timedOut && t->status == LIBUSB_TRANSFER_CANCELLED)
        return LIBUSB_ERROR_TIMEOUT;
    return sTransferResult(t);
}

void LIBUSB_CALL sInDone(libusb_transfer* t) {
    auto* u = static_cast<ksusb*>(t->user_data);
    u->completions.fetch_add(1);
    u->inCompleted = 1;
    u->inState.store(ksusbInDone);
}

// Takes the result of a completed IN transfer: its bytes become readable, a
// stalled endpoint is cleared, a vanished or failing device fails the record.
void sHarvestIn(ksusb* u) {
    if (u->inState.load() != ksusbInDone)
        return;
    u->inState.store(ksusbInIdle);
    libusb_transfer* t = u->inTransfer;
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
    case LIBUSB_TRANSFER_TIMED_OUT:
        if (t->actual_length > 0) {
            u->available = static_cast<uint32_t>(t->actual_length);
            u->readPos = u->rx;
        }
        break;
    case LIBUSB_TRANSFER_STALL:
        libusb_clear_halt(u->handle, u->inEndpoint);
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        break;
    default: // no device, error, overflow
        u->state = ksusbStateFailed;
        break;
    }
}

// Submits the IN transfer when none is out and no byte is left unread.
void sSubmitIn(ksusb* u) {
    if (u->inState.load() != ksusbInIdle || u->available != 0 || u->state != ksusbStateReady)
        return;
    libusb_fill_bulk_transfer(u->inTransfer, u->handle, u->inEndpoint, u->rx,
                              static_cast<int>(sizeof u->rx), sInDone, u, 0);
    u->inCompleted = 0;
    u->inState.store(ksusbInPending);
    if (libusb_submit_transfer(u->inTransfer) != 0) {
        u->inState.store(ksusbInIdle);
        u->state = ksusbStateFailed;
    }
}

// Sleeps up to ms while the IN transfer is pending and no other thread's
// event handling completes it (libusb wakes its event waiters at the end of
// every round), then looks at wakeFd: a stop is seen within ms.
qErr sSleepWhilePending(ksusb* u, int wakeFd, unsigned long ms) {
    const unsigned long start = qTime_GetMSTicks();
    libusb_lock_event_waiters(u->ctx);
    for (;;) {
        const unsigned long waited = qTime_GetMSTicks() - start;
        if (u->inState.load() != ksusbInPending || waited >= ms)
            break;
        timeval tv = {0, static_cast<suseconds_t>((ms - waited) * 1000)};
        if (libusb_wait_for_event(u->ctx, &tv) == 1)
            break; // the time is up
    }
    libusb_unlock_event_waiters(u->ctx);
    return unixStreamPoll(-1, -1, wakeFd, 0) == qErrCancel ? qErrCancel : qErrNone;
}

} // namespace

namespace ksusb_libusb {

bool init(ksusb* u) {
    u->ctx = nullptr;
    u->inTransfer = u->outTransfer = nullptr;
    u->inState.store(ksusbInIdle);
    u->inCompleted = u->outCompleted = 0;
    u->completions.store(0);
    u->idleRoundsSeen = false;
    std::memset(u->tx, 0, sizeof u->tx);
    if (libusb_init(&u->ctx) == 0 && (u->inTransfer = libusb_alloc_transfer(0)) &&
        (u->outTransfer = libusb_alloc_transfer(0)))
        return true;
    release(u);
    return false;
}

void cancelIn(ksusb* u) {
    if (!u->inTransfer || u->inState.load() != ksusbInPending)
        return;
    libusb_cancel_transfer(u->inTransfer);
    for (int i = 0; i < kCancelRounds && u->inState.load() == ksusbInPending; ++i) {
        timeval tv = {0, 10000};
        libusb_handle_events_timeout_completed(u->ctx, &tv, &u->inCompleted);
    }
    u->inState.store(ksusbInIdle);
}

void release(ksusb* u) {
    if (u->inTransfer)
        libusb_free_transfer(u->inTransfer);
    if (u->outTransfer && sOutCompleted(u) >= 0)
        libusb_free_transfer(u->outTransfer); // (one that never ended stays: libusb may touch it)
    u->inTransfer = u->outTransfer = nullptr;
    if (u->ctx)
        libusb_exit(u->ctx);
    u->ctx = nullptr;
}

qErr write(ksusb* u, const uint8_t* data, size_t len) {
    qErr e = sStateError(u->state);
    if (e != qErrNone)
        return e;
    qErr result = qErrNone;
    size_t done = 0; // bytes of data acknowledged by the device
    for (int attempt = 0; attempt < kWriteAttempts && done < len; ++attempt) {
        const size_t n = len - done < ksusbChunkSize ? len - done : ksusbChunkSize;
        int sent = 0;
        int r = sBulkOut(u, data + done, n, &sent);
        if (r == 0 && static_cast<size_t>(sent) >= n) {
            done += n;
            continue;
        }
        if (r == LIBUSB_ERROR_PIPE) {
            if (libusb_clear_halt(u->handle, u->outEndpoint) != 0) {
                u->state = ksusbStateFailed;
                result = qErrIO;
            }
            continue; // the chunk again, next attempt
        }
        // Part of the chunk may have gone out: send only the rest, once more.
        // (Resending bytes the device took would put them twice on the wire.)
        const size_t part = sent > 0 ? static_cast<size_t>(sent) : 0;
        int sent2 = 0;
        r = sBulkOut(u, data + done + part, n - part, &sent2);
        if (r == 0 && part + static_cast<size_t>(sent2) >= n) {
            done += n;
            continue;
        }
        done += part + (sent2 > 0 ? static_cast<size_t>(sent2) : 0);
        u->state = ksusbStateFailed;
        result = qErrIO;
    }
    return done < len ? qErrWrite : result;
}

qErr read(ksusb* u, uint8_t* dst, size_t max, size_t* got) {
    if (u->available == 0) {
        qErr e = sStateError(u->state);
        if (e != qErrNone)
            return e;
        sHarvestIn(u);
        if (u->available == 0) {
            sSubmitIn(u);
            return u->state == ksusbStateFailed ? qErrIO : qErrNotReady;
        }
    }
    const size_t n = u->available < max ? u->available : max;
    std::memcpy(dst, u->readPos, n);
    u->readPos += n;
    u->available -= static_cast<uint32_t>(n);
    *got = n;
    if (u->available == 0)
        sSubmitIn(u); // the next bytes are on their way while these are handled
    return qErrNone;
}

// Handles libusb's events until the IN transfer completes, wakeFd is readable
// or msTimeout passes. A record that is not ready has nothing to wait for:
// the read reports its state at once. On a bus whose descriptor has said
// "ready" with nothing to reap, each round of event handling comes after a
// sleep (see the top of this file).
qErr wait(ksusb* u, int wakeFd, unsigned long msTimeout) {
    if (u->available > 0 || u->state != ksusbStateReady)
        return qErrNone;
    sSubmitIn(u);
    const unsigned long start = qTime_GetMSTicks();
    bool sleepFirst = u->idleRoundsSeen;
    bool wakeSeen = false; // wakeFd looked at since the last round
    for (;;) {
        if (u->inState.load() != ksusbInPending)
            return qErrNone;
        // One round of event handling may end early (any event ends it):
        // the time is taken from the clock.
        const unsigned long waited = qTime_GetMSTicks() - start;
        if (msTimeout != qSTREAM_WAIT_FOREVER && waited >= msTimeout)
            return qErrTimeout;
        unsigned long slice = kWaitSliceMs;
        if (msTimeout != qSTREAM_WAIT_FOREVER && msTimeout - waited < slice)
            slice = msTimeout - waited;
        if (sleepFirst) {
            sleepFirst = false;
            wakeSeen = true;
            const unsigned long pause = slice < kIdleRoundPauseMs ? slice : kIdleRoundPauseMs;
            if (sSleepWhilePending(u, wakeFd, pause) == qErrCancel)
                return qErrCancel;
            continue;
        }
        if (!wakeSeen && unixStreamPoll(-1, -1, wakeFd, 0) == qErrCancel)
            return qErrCancel;
        wakeSeen = false;
        const unsigned before = u->completions.load();
        const unsigned long roundStart = qTime_GetMSTicks();
        timeval tv = {0, static_cast<suseconds_t>(slice * 1000)};
        libusb_handle_events_timeout_completed(u->ctx, &tv, &u->inCompleted);
        if (u->inState.load() == ksusbInPending && u->completions.load() == before &&
            qTime_GetMSTicks() - roundStart < slice)
            sleepFirst = u->idleRoundsSeen = true; // ended early with nothing done
    }
}

// One byte: what the IN transfer brought, else a wait of at most 100 ms.
qErr get(ksusb* u, uint8_t* byte) {
    size_t got = 0;
    qErr e = read(u, byte, 1, &got);
    if (e != qErrNotReady)
        return e;
    (void)wait(u, -1, kReadTimeoutMs);
    return read(u, byte, 1, &got);
}

} // namespace ksusb_libusb
