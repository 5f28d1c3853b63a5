#include "Utils/debuglog.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// The most detailed level output (CDebugLog::ELevel).
std::atomic<uint8> s_uiLevel{static_cast<uint8>(CDebugLog::ELevel::Info)};

// Set while a CStandardErrorScope of the thread lives.
thread_local bool tl_bToStandardError = false;

// Nanoseconds of the boot-time clock: monotonic, and it goes on while the
// machine sleeps, as the process's start time in /proc does.
int64 BootClockNs()
{
    timespec kNow = {};
    clock_gettime(CLOCK_BOOTTIME, &kNow);
    return static_cast<int64>(kNow.tv_sec) * 1000000000 + kNow.tv_nsec;
}

// When the process started, on the boot-time clock, from the kernel's
// record of it (field 22 of /proc/self/stat, in clock ticks since boot).
// Read the same way by every copy of this code in the process, so that a
// plug-in module's lines share the host's time line. Without that record
// the time counts from the first line.
int64 ReadProcessStartNs()
{
    char acStat[1024];
    ssize_t iRead = -1;
    const int iFd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (iFd >= 0)
    {
        iRead = read(iFd, acStat, sizeof(acStat) - 1);
        close(iFd);
    }
    const long iTicksPerSecond = sysconf(_SC_CLK_TCK);
    if (iRead > 0 && iTicksPerSecond > 0)
    {
        acStat[iRead] = '\0';
        // The command name (field 2) is in parentheses and may hold spaces
        // and parentheses itself: the fields are counted from its end.
        const char* pField = strrchr(acStat, ')');
        for (int iField = 2; pField && iField < 22; ++iField)
            pField = strchr(pField + 1, ' ');
        if (pField)
        {
            char* pEnd = nullptr;
            const unsigned long long ullTicks = strtoull(pField + 1, &pEnd, 10);
            if (pEnd != pField + 1)
                return static_cast<int64>(ullTicks / static_cast<unsigned long long>(iTicksPerSecond)) * 1000000000 +
                       static_cast<int64>(ullTicks % static_cast<unsigned long long>(iTicksPerSecond)) * 1000000000 /
                           iTicksPerSecond;
        }
    }
    return BootClockNs();
}

double SecondsSinceProcessStart()
{
    static const int64 s_iStartNs = ReadProcessStartNs();
    const int64 iElapsedNs = BootClockNs() - s_iStartNs;
    return iElapsedNs > 0 ? static_cast<double>(iElapsedNs) / 1e9 : 0.0;
}

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
        CDebugLog::ELevel eLevel = CDebugLog::ELevel::Info;
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
        CDebugLog::Output(kLine.eLevel, acLine);
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
bool PassThrottle(SThrottle& kThrottle, CDebugLog::ELevel eLevel, const char* pText)
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
        kLine.eLevel = eLevel;
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

void WriteToFile(const char* pPrefix, const char* pText, size_t uiLength)
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
    iovec akParts[3] = {{const_cast<char*>(pPrefix), strlen(pPrefix)},
                        {const_cast<char*>(pText), uiLength},
                        {const_cast<char*>("\n"), 1}};
    ssize_t iIgnored = writev(iFd, akParts, 3);
    (void)iIgnored;
    close(iFd);
}

}  // namespace

void CDebugLog::Print(const char* pFormat, ...)
{
    va_list kArgs;
    va_start(kArgs, pFormat);
    PrintV(ELevel::Info, pFormat, kArgs);
    va_end(kArgs);
}

void CDebugLog::PrintV(const char* pFormat, va_list kArgs)
{
    PrintV(ELevel::Info, pFormat, kArgs);
}

void CDebugLog::Print(ELevel eLevel, const char* pFormat, ...)
{
    va_list kArgs;
    va_start(kArgs, pFormat);
    PrintV(eLevel, pFormat, kArgs);
    va_end(kArgs);
}

void CDebugLog::PrintV(ELevel eLevel, const char* pFormat, va_list kArgs)
{
    // A line that is not output is neither formatted nor throttled.
    if (!IsEnabled(eLevel))
        return;
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
    if (bOuter && tl_kThrottle.bOn && !tl_kSlot.bReleased && !PassThrottle(tl_kThrottle, eLevel, pBuffer))
        return;
    tl_kSlot.bPrinting = true;
    Output(eLevel, pBuffer);
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

void CDebugLog::SetLevel(ELevel eLevel)
{
    s_uiLevel.store(static_cast<uint8>(eLevel), std::memory_order_relaxed);
}

CDebugLog::ELevel CDebugLog::GetLevel()
{
    return static_cast<ELevel>(s_uiLevel.load(std::memory_order_relaxed));
}

namespace {
const char* const s_apLevelNames[] = {"error", "warn", "info", "debug"};
}  // namespace

const char* CDebugLog::GetLevelName(ELevel eLevel)
{
    const size_t uiIndex = static_cast<size_t>(eLevel);
    return uiIndex < sizeof(s_apLevelNames) / sizeof(s_apLevelNames[0]) ? s_apLevelNames[uiIndex] : "?";
}

bool CDebugLog::ParseLevel(const char* pName, ELevel& eLevel)
{
    for (size_t i = 0; pName && i < sizeof(s_apLevelNames) / sizeof(s_apLevelNames[0]); ++i)
    {
        if (strcmp(pName, s_apLevelNames[i]) == 0)
        {
            eLevel = static_cast<ELevel>(i);
            return true;
        }
    }
    return false;
}

const char* CDebugLog::FormatLinePrefix(ELevel eLevel, char* pOut, size_t uiCapacity)
{
    if (pOut && uiCapacity > 0)
        snprintf(pOut, uiCapacity, "%9.3f %-5s ", SecondsSinceProcessStart(), GetLevelName(eLevel));
    return pOut;
}

CDebugLog::CStandardErrorScope::CStandardErrorScope() : m_bPrevious(tl_bToStandardError)
{
    tl_bToStandardError = true;
}

CDebugLog::CStandardErrorScope::~CStandardErrorScope()
{
    tl_bToStandardError = m_bPrevious;
}

void CDebugLog::Output(const char* pText)
{
    Output(ELevel::Info, pText);
}

void CDebugLog::Output(ELevel eLevel, const char* pText)
{
    if (!IsEnabled(eLevel))
        return;
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

    char acPrefix[64];
    FormatLinePrefix(eLevel, acPrefix, sizeof(acPrefix));
    FILE* pStream = tl_bToStandardError ? stderr : stdout;
    flockfile(pStream);
    fputs(acPrefix, pStream);
    fwrite(pText, 1, uiLength, pStream);
    fputc('\n', pStream);
    fflush(pStream);
    funlockfile(pStream);

    WriteToFile(acPrefix, pText, uiLength);

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
