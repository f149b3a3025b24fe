// Wall-clock milliseconds and sleeping.
#include <sys/time.h>

#include <cerrno>
#include <climits>
#include <ctime>

#include "qTime.h"
#include "unix_time_internal.h"

namespace {

// One piece of sleep; a signal does not cut it short.
int microSleep(unsigned long us, void*) {
    struct timespec want;
    want.tv_sec = static_cast<time_t>(us / 1000000);
    want.tv_nsec = static_cast<long>((us % 1000000) * 1000);
    struct timespec left;
    while (nanosleep(&want, &left) != 0) {
        if (errno != EINTR) {
            return -1;
        }
        want = left;
    }
    return 0;
}

} // namespace

unsigned long osMSSleep(unsigned long ms, osMicroSleeper sleeper, void* ref) {
    // Saturate rather than wrap for absurd requests.
    unsigned long us = ms > ULONG_MAX / 1000 ? ULONG_MAX : ms * 1000;
    unsigned long pieces = 0;
    while (us > 0) {
        unsigned long piece = us > kMaxMicroSleep ? kMaxMicroSleep : us;
        sleeper(piece, ref);
        us -= piece;
        ++pieces;
    }
    return pieces;
}

unsigned long qTime_GetMSTicks() {
    struct timeval tv;
    if (gettimeofday(&tv, nullptr) != 0) {
        return 0;
    }
    return static_cast<unsigned long>(tv.tv_sec) * 1000ul +
           static_cast<unsigned long>(tv.tv_usec) / 1000ul;
}

qErr qTime_MSSleep(unsigned long ms) {
    osMSSleep(ms, microSleep, nullptr);
    return qErrNone;
}
