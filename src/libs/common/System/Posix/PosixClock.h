#pragma once

#include "Core/Types.h"

// Clocks and sleeping of the POSIX platform layer. Every clock here is the
// monotonic clock: it never jumps when the wall time is changed.
namespace Common::Posix {

// Milliseconds since an arbitrary fixed point; wraps after about 49.7 days.
uint32 GetTickCount();

// Milliseconds since the same point, without wrapping.
uint64 GetTickCount64();

// High-resolution counter in nanoseconds. False (and nothing written) when
// pCounter is null or the clock cannot be read.
bool QueryPerformanceCounter(int64* pCounter);

// Ticks per second of QueryPerformanceCounter: always 1000000000.
bool QueryPerformanceFrequency(int64* pFrequency);

// Suspends the calling thread for uiMs milliseconds; 0 gives up the rest of
// the time slice, 0xFFFFFFFF sleeps forever. Signals do not cut the sleep
// short.
void SleepMs(uint32 uiMs);

// Nanoseconds of the monotonic clock (the counter above, without the checks).
int64 GetMonotonicNs();

}  // namespace Common::Posix
