#include "Utils/assertion.h"

#include <cstdio>
#include <mutex>

#include "System/Posix/PosixDebugger.h"
#include "Utils/debuglog.h"

namespace Common {

namespace {

std::mutex s_kHandlerLock;
AssertHandler s_pHandler = nullptr;
void* s_pHandlerUser = nullptr;

}  // namespace

AssertHandler SetAssertHandler(AssertHandler pHandler, void* pUserData, void** ppOldUserData)
{
    std::lock_guard<std::mutex> kGuard(s_kHandlerLock);
    AssertHandler pOld = s_pHandler;
    if (ppOldUserData)
        *ppOldUserData = s_pHandlerUser;
    s_pHandler = pHandler;
    s_pHandlerUser = pHandler ? pUserData : nullptr;
    return pOld;
}

void DefaultAssertHandler(const char* pFile, int iLine, const char* pText, void*)
{
    CDebugLog::Print(CDebugLog::ELevel::Error, "%s(%d) : %s", pFile ? pFile : "?", iLine, pText ? pText : "");
    if (Posix::IsDebuggerPresent())
        Posix::BreakIntoDebugger();
}

void ReportAssertFailureV(const char* pFile, int iLine, const char* pExpression, const char* pFormat, va_list kArgs)
{
    char acText[CDebugLog::BufferSize];
    int iPrefix = snprintf(acText, sizeof(acText), "Assertion \"%s\" failed. ", pExpression ? pExpression : "");
    if (iPrefix < 0)
        iPrefix = 0;
    if (static_cast<size_t>(iPrefix) < sizeof(acText) - 1 && pFormat)
        vsnprintf(acText + iPrefix, sizeof(acText) - static_cast<size_t>(iPrefix), pFormat, kArgs);

    AssertHandler pHandler;
    void* pUser;
    {
        std::lock_guard<std::mutex> kGuard(s_kHandlerLock);
        pHandler = s_pHandler;
        pUser = s_pHandlerUser;
    }
    if (pHandler)
        pHandler(pFile, iLine, acText, pUser);
    else
        DefaultAssertHandler(pFile, iLine, acText, nullptr);
}

void ReportAssertFailure(const char* pFile, int iLine, const char* pExpression, const char* pFormat, ...)
{
    va_list kArgs;
    va_start(kArgs, pFormat);
    ReportAssertFailureV(pFile, iLine, pExpression, pFormat, kArgs);
    va_end(kArgs);
}

}  // namespace Common
