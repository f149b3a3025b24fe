// The wait of the descriptor-based transports (socket, serial line, kernel
// driver node): poll for input on the transport's descriptor, an optional
// change descriptor of the transport's own and the caller's wake descriptor.
#pragma once

#include "qError.h"

// Sleeps until fd has input, end of file or an error, changeFd (an eventfd
// of the transport, -1 for none) is signalled (it is reset, and the result is
// qErrNone: the transport changed under the reader, which reads again),
// wakeFd (-1 for none) is readable, or msTimeout passes
// (qSTREAM_WAIT_FOREVER: never). A negative fd alone never becomes ready.
// Returns qErrNone, qErrCancel (wakeFd, which wins over the others),
// qErrTimeout, qErrIO (poll failed).
qErr unixStreamPoll(int fd, int changeFd, int wakeFd, unsigned long msTimeout);

// Signals a change descriptor made with unixStreamChangeFd (-1 is ignored).
void unixStreamSignalChange(int changeFd);

// A new non-blocking eventfd for unixStreamPoll's changeFd, or -1.
int unixStreamChangeFd();

// The process-wide eventfd that qStream_InterruptOpens signals and
// qStream_ResumeOpens resets: opens that may take long (a TCP connect, a
// link reset's attempts) watch it beside their own wake descriptor. Made
// when the library is loaded; -1 when it could not be.
int unixStreamInterruptFd();

// Whether the interrupt descriptor is signalled now.
bool unixStreamOpensInterrupted();

// Sleeps up to ms, ending early when the interrupt descriptor or wakeFd (-1
// for none) is readable. Returns qErrCancel when either is, qErrTimeout
// otherwise.
qErr unixStreamPauseOpen(int wakeFd, unsigned long ms);
