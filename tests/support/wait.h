// Waiting on conditions instead of sleeping: every wait has a deadline, and
// the caller asserts on its result, so a condition that never comes fails the
// test rather than hanging it or passing by luck.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>

namespace kstest {

using Clock = std::chrono::steady_clock;

// Milliseconds since t.
long MsSince(Clock::time_point t);
// Milliseconds on a monotonic clock (for differences only).
double NowMs();

// Polls condition every pollMs until it holds (true) or ms have passed
// (false, after one last look).
bool WaitUntil(const std::function<bool()>& condition, int ms, int pollMs = 2);

// The kernel id of the calling thread (for WaitUntilBlocked).
pid_t ThreadId();

// True once the thread tid of this process has been seen asleep in the
// kernel on a futex (a condition variable or mutex wait) twice in a row,
// 20 ms apart; false when that did not happen within ms. For tests that must
// know a waiter is really waiting before they wake it.
bool WaitUntilBlocked(pid_t tid, int ms);
// The same for a sleep in any system call (poll, read, a futex...).
bool WaitUntilAsleep(pid_t tid, int ms);

// True when the thread tid of this process has ended (it is gone from
// /proc/self/task).
bool ThreadGone(pid_t tid);

} // namespace kstest
