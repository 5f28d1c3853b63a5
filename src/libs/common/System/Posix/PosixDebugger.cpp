#include "System/Posix/PosixDebugger.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

namespace Common::Posix {

namespace {

int64_t MonotonicMs()
{
    timespec kNow{};
    clock_gettime(CLOCK_MONOTONIC, &kNow);
    return static_cast<int64_t>(kNow.tv_sec) * 1000 + kNow.tv_nsec / 1000000;
}

bool ReadTracerPid()
{
    // /proc/self/status is small; one read of a fixed buffer holds TracerPid.
    int iFd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (iFd < 0)
        return false;
    char acBuffer[4096];
    ssize_t iRead = read(iFd, acBuffer, sizeof(acBuffer) - 1);
    close(iFd);
    if (iRead <= 0)
        return false;
    acBuffer[iRead] = '\0';
    const char* pField = strstr(acBuffer, "TracerPid:");
    if (!pField)
        return false;
    return strtol(pField + strlen("TracerPid:"), nullptr, 10) != 0;
}

std::atomic<int64_t> s_iNextDebuggerCheckMs{0};
std::atomic<bool> s_bDebuggerPresent{false};

void DefaultChannel(const char* pText, void*)
{
    if (!IsDebuggerPresent())
        return;
    iovec akParts[2] = {{const_cast<char*>(pText), strlen(pText)}, {const_cast<char*>("\n"), 1}};
    ssize_t iIgnored = writev(STDERR_FILENO, akParts, 2);
    (void)iIgnored;
}

std::mutex s_kChannelLock;
DebuggerChannel s_pChannel = nullptr;
void* s_pChannelUser = nullptr;

}  // namespace

bool IsDebuggerPresent()
{
    const int64_t iNow = MonotonicMs();
    if (iNow >= s_iNextDebuggerCheckMs.load(std::memory_order_relaxed))
    {
        s_bDebuggerPresent.store(ReadTracerPid(), std::memory_order_relaxed);
        s_iNextDebuggerCheckMs.store(iNow + 250, std::memory_order_relaxed);
    }
    return s_bDebuggerPresent.load(std::memory_order_relaxed);
}

void BreakIntoDebugger()
{
    if (ReadTracerPid())
        raise(SIGTRAP);
}

void OutputDebugString(const char* pText)
{
    DebuggerChannel pChannel;
    void* pUser;
    {
        std::lock_guard<std::mutex> kGuard(s_kChannelLock);
        pChannel = s_pChannel;
        pUser = s_pChannelUser;
    }
    if (pChannel)
        pChannel(pText ? pText : "", pUser);
    else
        DefaultChannel(pText ? pText : "", nullptr);
}

DebuggerChannel SetDebuggerChannel(DebuggerChannel pChannel, void* pUserData, void** ppOldUserData)
{
    std::lock_guard<std::mutex> kGuard(s_kChannelLock);
    DebuggerChannel pOld = s_pChannel;
    if (ppOldUserData)
        *ppOldUserData = s_pChannelUser;
    s_pChannel = pChannel;
    s_pChannelUser = pChannel ? pUserData : nullptr;
    return pOld;
}

}  // namespace Common::Posix
