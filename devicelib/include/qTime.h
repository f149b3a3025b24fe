// Millisecond wall-clock time and sleeping.
#pragma once

#include "qError.h"

// Wall clock in milliseconds (seconds * 1000 + microseconds / 1000); 0 when
// the clock cannot be read. Time-outs are measured as differences of this
// value (unsigned arithmetic, so wrapping is harmless).
unsigned long qTime_GetMSTicks();

// Sleeps ms milliseconds, in pieces of at most 999999 microseconds.
// Returns: qErrNone.
qErr qTime_MSSleep(unsigned long ms);
