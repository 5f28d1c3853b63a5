#include "Utils/debuglog.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "System/Posix/PosixClock.h"
#include "System/Posix/PosixDebugger.h"
#include "System/Posix/PosixFileSystem.h"
#include "System/Posix/PosixThreadId.h"

namespace Common {

namespace {

// Line buffers and their owners (thread id, 0 while free).
char s_aacBuffers[CDebugLog::MaxThread][CDebugLog::BufferSize];
std::atomic<uint32> s_auiOwners[CDebugLog::MaxThread];

// The calling thread's buffer; gives it back when the thread ends, so that
// threads that come and go (one per network connection) never use up the
// buffers for good.
// The state is plain data, so that it stays readable after the releaser
// has run at thread exit.
struct SThreadSlot
{
    int iSlot = -1;
    bool bReleased = false;  // the thread is ending: its buffer is gone
    bool bPrinting = false;  // a print of this thread is being output
};
thread_local SThreadSlot tl_kSlot;

struct SThreadSlotReleaser
{
    ~SThreadSlotReleaser()
    {
        if (tl_kSlot.iSlot >= 0)
            s_auiOwners[tl_kSlot.iSlot].store(0, std::memory_order_release);
        tl_kSlot.iSlot = -1;
        tl_kSlot.bReleased = true;
    }
};
thread_local SThreadSlotReleaser tl_kReleaser;

// The calling thread's line buffer, or null when all are owned by others.
// A thread that prints while it is ending (from another thread-local
// destructor) or from inside its own print (a listener or channel sink that
// prints) gets pScratch instead, so no buffer is ever written twice at once.
char* AcquireBuffer(char* pScratch)
{
    if (tl_kSlot.bReleased || tl_kSlot.bPrinting)
        return pScratch;
    if (tl_kSlot.iSlot >= 0)
        return s_aacBuffers[tl_kSlot.iSlot];
    const uint32 uiSelf = Posix::GetCurrentThreadId();
    for (uint32 i = 0; i < CDebugLog::MaxThread; ++i)
    {
        uint32 uiExpected = 0;
        if (s_auiOwners[i].compare_exchange_strong(uiExpected, uiSelf, std::memory_order_acq_rel))
        {
            (void)&tl_kReleaser;  // registers the release at thread exit
            tl_kSlot.iSlot = static_cast<int>(i);
            return s_aacBuffers[i];
        }
    }
    return nullptr;
}

// Throttling of one thread's lines (CDebugLog::CThrottleScope): the lines
// printed in the current one-second window, by hash, with how often each
// came again, and how many lines beyond the window's allowance were left
// out. Plain data in thread-local storage: nothing is allocated.
struct SThrottle
{
    static constexpr uint32 kTracked = 8;
    static constexpr size_t kTextSize = 192;
    static constexpr int64 kWindowNs = 1000000000;

    struct SLine
    {
        uint32 uiHash = 0;
        uint32 uiRepeats = 0;
        char acText[kTextSize] = {};
    };

    bool bOn = false;
    int64 iWindowStartNs = 0;
    uint32 uiPrinted = 0;
    uint32 uiLeftOut = 0;
    uint32 uiTracked = 0;
    SLine akLines[kTracked];
};
thread_local SThrottle tl_kThrottle;

uint32 HashLine(const char* pText)
{
    // FNV-1a: lines only need telling apart within one thread's second.
    uint32 uiHash = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(pText); *p; ++p)
        uiHash = (uiHash ^ *p) * 16777619u;
    return uiHash;
}

// Prints the counts of the window that ends and starts a new one at iNowNs.
void FlushThrottle(SThrottle& kThrottle, int64 iNowNs)
{
    char acLine[CDebugLog::BufferSize];
    for (uint32 i = 0; i < kThrottle.uiTracked; ++i)
    {
        const SThrottle::SLine& kLine = kThrottle.akLines[i];
        if (kLine.uiRepeats == 0)
            continue;
        snprintf(acLine, sizeof(acLine), "%s ... repeated %u times", kLine.acText, kLine.uiRepeats);
        CDebugLog::Output(acLine);
    }
    if (kThrottle.uiLeftOut > 0)
    {
        snprintf(acLine, sizeof(acLine), "... %u further lines suppressed", kThrottle.uiLeftOut);
        CDebugLog::Output(acLine);
    }
    kThrottle.iWindowStartNs = iNowNs;
    kThrottle.uiPrinted = 0;
    kThrottle.uiLeftOut = 0;
    kThrottle.uiTracked = 0;
}

// Whether a throttled thread prints pText now; counts it when not.
bool PassThrottle(SThrottle& kThrottle, const char* pText)
{
    const int64 iNowNs = Posix::GetMonotonicNs();
    if (iNowNs - kThrottle.iWindowStartNs >= SThrottle::kWindowNs)
        FlushThrottle(kThrottle, iNowNs);
    const uint32 uiHash = HashLine(pText);
    for (uint32 i = 0; i < kThrottle.uiTracked; ++i)
    {
        SThrottle::SLine& kLine = kThrottle.akLines[i];
        if (kLine.uiHash == uiHash && strncmp(kLine.acText, pText, sizeof(kLine.acText) - 1) == 0)
        {
            ++kLine.uiRepeats;
            return false;
        }
    }
    if (kThrottle.uiPrinted >= CDebugLog::kThrottleLinesPerSecond)
    {
        ++kThrottle.uiLeftOut;
        return false;
    }
    ++kThrottle.uiPrinted;
    if (kThrottle.uiTracked < SThrottle::kTracked)
    {
        SThrottle::SLine& kLine = kThrottle.akLines[kThrottle.uiTracked++];
        kLine.uiHash = uiHash;
        kLine.uiRepeats = 0;
        // The start of the line is enough to name it in the summary.
        const size_t uiKept = strnlen(pText, sizeof(kLine.acText) - 1);
        memcpy(kLine.acText, pText, uiKept);
        kLine.acText[uiKept] = '\0';
    }
    return true;
}

// Log file location. The directory keeps its trailing '/' (or is empty for
// the working directory); file output is off until a location is set.
std::mutex s_kLocationLock;
char s_acDirectory[CDebugLog::MaxDirectoryLength + 1];
char s_acFileName[256];
bool s_bFileEnabled = false;

// Held while the listener runs, so that SetListener waits for calls in
// flight; recursive, as a listener may print.
std::recursive_mutex s_kListenerLock;
CDebugLog::Listener s_pListener = nullptr;
void* s_pListenerUser = nullptr;

void WriteToFile(const char* pText, size_t uiLength)
{
    char acPath[CDebugLog::MaxDirectoryLength + sizeof(s_acFileName) + 1];
    {
        std::lock_guard<std::mutex> kGuard(s_kLocationLock);
        if (!s_bFileEnabled)
            return;
        snprintf(acPath, sizeof(acPath), "%s%s", s_acDirectory, s_acFileName);
    }
    int iFd = open(acPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (iFd < 0)
        return;
    // One write per line: appends of concurrent threads never interleave.
    iovec akParts[2] = {{const_cast<char*>(pText), uiLength}, {const_cast<char*>("\n"), 1}};
    ssize_t iIgnored = writev(iFd, akParts, 2);
    (void)iIgnored;
    close(iFd);
}

}  // namespace

void CDebugLog::Print(const char* pFormat, ...)
{
    va_list kArgs;
    va_start(kArgs, pFormat);
    PrintV(pFormat, kArgs);
    va_end(kArgs);
}

void CDebugLog::PrintV(const char* pFormat, va_list kArgs)
{
    char acScratch[BufferSize];
    char* pBuffer = AcquireBuffer(acScratch);
    if (!pBuffer)
    {
        Posix::OutputDebugString("Increase CDebugLog MaxThread");
        return;
    }
    vsnprintf(pBuffer, BufferSize, pFormat ? pFormat : "", kArgs);
    const bool bOuter = !tl_kSlot.bPrinting;
    // Lines printed by a sink while it outputs are never held back.
    if (bOuter && tl_kThrottle.bOn && !tl_kSlot.bReleased && !PassThrottle(tl_kThrottle, pBuffer))
        return;
    tl_kSlot.bPrinting = true;
    Output(pBuffer);
    if (bOuter)
        tl_kSlot.bPrinting = false;
}

CDebugLog::CThrottleScope::CThrottleScope()
{
    tl_kThrottle = SThrottle();
    tl_kThrottle.bOn = true;
    tl_kThrottle.iWindowStartNs = Posix::GetMonotonicNs();
}

CDebugLog::CThrottleScope::~CThrottleScope()
{
    FlushThrottle(tl_kThrottle, 0);
    tl_kThrottle.bOn = false;
}

void CDebugLog::Output(const char* pText)
{
    if (!pText)
        pText = "";
    size_t uiLength = strlen(pText);
    // Each sink ends the line itself; a text that already ends with a newline
    // must not produce an empty line after it.
    char acLine[BufferSize];
    if (uiLength > 0 && pText[uiLength - 1] == '\n')
    {
        --uiLength;
        if (uiLength >= sizeof(acLine))
            uiLength = sizeof(acLine) - 1;
        memcpy(acLine, pText, uiLength);
        acLine[uiLength] = '\0';
        pText = acLine;
    }

    Posix::OutputDebugString(pText);

    flockfile(stdout);
    fwrite(pText, 1, uiLength, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    funlockfile(stdout);

    WriteToFile(pText, uiLength);

    std::lock_guard<std::recursive_mutex> kGuard(s_kListenerLock);
    if (s_pListener)
        s_pListener(pText, s_pListenerUser);
}

bool CDebugLog::SetupLogLocation(bool bUseUserDocuments, const char* pSubDirectory, const char* pFileName)
{
    char acDirectory[4096] = "";
    if (bUseUserDocuments && !Posix::GetUserDocumentsFolder(acDirectory, sizeof(acDirectory)))
        return false;
    size_t uiLength = strlen(acDirectory);
    if (uiLength > 0 && acDirectory[uiLength - 1] != '/')
        acDirectory[uiLength++] = '/';
    const char* pSub = pSubDirectory ? pSubDirectory : "";
    for (; *pSub; ++pSub)
    {
        if (uiLength + 1 >= sizeof(acDirectory))
            return false;
        acDirectory[uiLength++] = (*pSub == '\\') ? '/' : *pSub;
    }
    // An empty directory stays empty (the working directory) rather than
    // becoming the file-system root.
    if (uiLength > 0 && acDirectory[uiLength - 1] != '/')
        acDirectory[uiLength++] = '/';
    acDirectory[uiLength] = '\0';
    if (uiLength > MaxDirectoryLength)
        return false;
    if (uiLength > 0 && !Posix::CreateDirectories(acDirectory))
        return false;

    const char* pName = (pFileName && pFileName[0]) ? pFileName : DefaultFileName;
    if (strlen(pName) >= sizeof(s_acFileName))
        return false;

    std::lock_guard<std::mutex> kGuard(s_kLocationLock);
    memcpy(s_acDirectory, acDirectory, uiLength + 1);
    snprintf(s_acFileName, sizeof(s_acFileName), "%s", pName);
    s_bFileEnabled = true;
    return true;
}

bool CDebugLog::SetLogFile(const char* pPath)
{
    if (!pPath || !pPath[0])
    {
        std::lock_guard<std::mutex> kGuard(s_kLocationLock);
        s_bFileEnabled = false;
        return true;
    }
    const char* pSlash = strrchr(pPath, '/');
    const size_t uiDirectoryLength = pSlash ? static_cast<size_t>(pSlash - pPath) + 1 : 0;
    const char* pName = pPath + uiDirectoryLength;
    if (uiDirectoryLength > MaxDirectoryLength || !pName[0] || strlen(pName) >= sizeof(s_acFileName))
        return false;
    char acDirectory[MaxDirectoryLength + 1];
    memcpy(acDirectory, pPath, uiDirectoryLength);
    acDirectory[uiDirectoryLength] = '\0';
    if (uiDirectoryLength > 1 && !Posix::CreateDirectories(acDirectory))
        return false;

    std::lock_guard<std::mutex> kGuard(s_kLocationLock);
    memcpy(s_acDirectory, acDirectory, uiDirectoryLength + 1);
    snprintf(s_acFileName, sizeof(s_acFileName), "%s", pName);
    s_bFileEnabled = true;
    return true;
}

void CDebugLog::GetLogFilePath(char* pOut, size_t uiCapacity)
{
    if (!pOut || uiCapacity == 0)
        return;
    std::lock_guard<std::mutex> kGuard(s_kLocationLock);
    if (s_bFileEnabled)
        snprintf(pOut, uiCapacity, "%s%s", s_acDirectory, s_acFileName);
    else
        pOut[0] = '\0';
}

void CDebugLog::SetListener(Listener pListener, void* pUserData)
{
    std::lock_guard<std::recursive_mutex> kGuard(s_kListenerLock);
    s_pListener = pListener;
    s_pListenerUser = pListener ? pUserData : nullptr;
}

}  // namespace Common
