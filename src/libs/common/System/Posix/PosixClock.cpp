#include "System/Posix/PosixClock.h"

#include <cerrno>
#include <ctime>

#include <sched.h>

namespace Common::Posix {

namespace {

constexpr int64 kNsPerSecond = 1000000000;
constexpr int64 kNsPerMs = 1000000;

}  // namespace

int64 GetMonotonicNs()
{
    timespec kNow{};
    clock_gettime(CLOCK_MONOTONIC, &kNow);
    return static_cast<int64>(kNow.tv_sec) * kNsPerSecond + kNow.tv_nsec;
}

uint32 GetTickCount()
{
    return static_cast<uint32>(GetTickCount64());
}

uint64 GetTickCount64()
{
    return static_cast<uint64>(GetMonotonicNs() / kNsPerMs);
}

bool QueryPerformanceCounter(int64* pCounter)
{
    if (!pCounter)
        return false;
    timespec kNow{};
    if (clock_gettime(CLOCK_MONOTONIC, &kNow) != 0)
        return false;
    *pCounter = static_cast<int64>(kNow.tv_sec) * kNsPerSecond + kNow.tv_nsec;
    return true;
}

bool QueryPerformanceFrequency(int64* pFrequency)
{
    if (!pFrequency)
        return false;
    *pFrequency = kNsPerSecond;
    return true;
}

void SleepMs(uint32 uiMs)
{
    if (uiMs == 0)
    {
        sched_yield();
        return;
    }
    if (uiMs == 0xFFFFFFFFu)
    {
        // Forever: a day at a time, so the deadline arithmetic never overflows.
        for (;;)
            SleepMs(24u * 3600u * 1000u);
    }
    // An absolute deadline: a sleep interrupted by a signal resumes for the
    // time that is left, not for the whole time again.
    timespec kDeadline{};
    clock_gettime(CLOCK_MONOTONIC, &kDeadline);
    kDeadline.tv_sec += static_cast<time_t>(uiMs / 1000u);
    kDeadline.tv_nsec += static_cast<long>(uiMs % 1000u) * kNsPerMs;
    if (kDeadline.tv_nsec >= kNsPerSecond)
    {
        kDeadline.tv_nsec -= kNsPerSecond;
        ++kDeadline.tv_sec;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &kDeadline, nullptr) == EINTR)
    {
    }
}

}  // namespace Common::Posix
