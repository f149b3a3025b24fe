// Pieces of the packet queue, exposed for the unit tests.
#pragma once

#include <ctime>

// now + ms, with the nanoseconds carried into the seconds so that tv_nsec
// stays below 1000000000.
struct timespec fifoDeadline(struct timespec now, unsigned long ms);
