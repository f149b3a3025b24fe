#include "Interrupt.h"

#include <signal.h>

#include <atomic>
#include <cstring>

#include "qStream.h"

namespace {

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
const int kSignalCount = sizeof(kSignals) / sizeof(kSignals[0]);

std::atomic<int> g_stopSignal{0};
std::atomic<int> g_depth{0};

// The handlers in place before the outermost scope, restored when it ends
// and run on a second signal. Written only by the main thread while no
// handler of ours is installed.
struct sigaction g_previous[kSignalCount];
bool g_installed[kSignalCount];

int _index(int sig) {
    for (int i = 0; i < kSignalCount; ++i)
        if (kSignals[i] == sig)
            return i;
    return -1;
}

// Async-signal-safe: atomics, sigaction, raise and the write of
// qStream_InterruptOpens only.
void _on_signal(int sig) {
    int expected = 0;
    if (g_stopSignal.compare_exchange_strong(expected, sig)) {
        // The first: the work stops at its next safe point; a connect or a
        // link reset under way gives up at once.
        qStream_InterruptOpens();
        return;
    }
    int i = _index(sig);
    if (i >= 0)
        ::sigaction(sig, &g_previous[i], nullptr);
    ::raise(sig);
}

} // namespace

InterruptScope::InterruptScope() {
    if (g_depth.fetch_add(1) != 0)
        return;
    for (int i = 0; i < kSignalCount; ++i) {
        g_installed[i] = false;
        if (::sigaction(kSignals[i], nullptr, &g_previous[i]) != 0 ||
            g_previous[i].sa_handler == SIG_IGN)
            continue; // e.g. SIGHUP under nohup stays ignored
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = _on_signal;
        sigemptyset(&sa.sa_mask);
        // Interrupted system calls are restarted: a stop is looked at only
        // at the safe points, never as an EINTR deep inside a transfer.
        sa.sa_flags = SA_RESTART;
        g_installed[i] = ::sigaction(kSignals[i], &sa, nullptr) == 0;
    }
}

InterruptScope::~InterruptScope() {
    if (g_depth.fetch_sub(1) != 1)
        return;
    for (int i = 0; i < kSignalCount; ++i)
        if (g_installed[i])
            (void)::sigaction(kSignals[i], &g_previous[i], nullptr); // restoring what was there
}

bool StopRequested() {
    return g_stopSignal.load() != 0;
}

int StopSignal() {
    return g_stopSignal.load();
}

int StopExitStatus() {
    int sig = g_stopSignal.load();
    return sig == 0 ? 0 : 128 + sig;
}

void RequestStop(int sig) {
    g_stopSignal.store(sig);
    if (sig != 0)
        qStream_InterruptOpens();
    else
        qStream_ResumeOpens();
}

void ClearStopRequest() {
    RequestStop(0);
}
