// Pieces of the sleep implementation, exposed for the unit tests.
#pragma once

// Sleeps us microseconds (us < 1000000). Returns 0, or -1 on failure.
typedef int (*osMicroSleeper)(unsigned long us, void* ref);

// Longest single sleep, in microseconds.
constexpr unsigned long kMaxMicroSleep = 999999;

// Sleeps ms milliseconds through sleeper, in pieces of at most
// kMaxMicroSleep microseconds. Returns the number of pieces slept.
unsigned long osMSSleep(unsigned long ms, osMicroSleeper sleeper, void* ref);
