// Ctrl-C and SIGTERM during work that must not be cut off mid-step (a
// firmware transfer, an ISP write): while an InterruptScope lives, the first
// SIGINT, SIGTERM or SIGHUP only records the request; the work looks at
// StopRequested() at its safe points (a packet boundary, between two ISP
// commands), stops there, leaves the module in a known state and says where
// it stands. A connect or a link reset under way when the signal comes
// gives up at once (qStream_InterruptOpens), the work then sees the
// request. A second signal while the first is being handled gives up
// waiting: the handler that was installed before the scope (the removal of
// temporary files, or the default) runs, and the process ends.
//
// A signal that was ignored when the scope began (SIGHUP under nohup) stays
// ignored.
//
// Threads: the flag is an atomic; any thread may read it. Scopes may nest;
// only the outermost installs and restores the handlers.
#pragma once

class InterruptScope {
  public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;
};

// Whether a stop was requested since the process began (or since
// ClearStopRequest).
bool StopRequested();
// The signal that requested the stop, 0 when none did.
int StopSignal();
// The conventional exit status after that signal: 128 + its number; 0 when
// none came.
int StopExitStatus();

// Records a stop as a signal would (for tests and for a caller that stops on
// its own account); sig 0 clears it.
void RequestStop(int sig);
void ClearStopRequest();
