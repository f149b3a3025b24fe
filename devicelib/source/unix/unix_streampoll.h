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
