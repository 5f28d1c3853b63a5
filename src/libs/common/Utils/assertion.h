#pragma once

#include <cstdarg>

#include "Core/Types.h"

// The assertion facility through which every failure of the system is
// reported.
//
// A report's text has one fixed form: the word Assertion, the tested
// expression in double quotes, the word failed and a full stop, then an
// explanation, for example
//   Assertion "m_pData" failed. Can't init component if data is not loaded once
// The default handler prints "<file>(<line>) : <text>" through the debug log
// at the error level and, when a debugger is attached, breaks into it; execution then continues
// and the caller takes its own fall-back path. Nothing is ever thrown.
//
// Tests replace the handler to check that a report was made and read its text.

namespace Common {

// Receives every report: the caller's file and line and the whole text.
using AssertHandler = void (*)(const char* pFile, int iLine, const char* pText, void* pUserData);

// Installs a handler (null restores the default). Returns the previous one
// (null for the default) and its user data in *ppOldUserData.
AssertHandler SetAssertHandler(AssertHandler pHandler, void* pUserData, void** ppOldUserData = nullptr);

// The default behaviour: print the report, break into an attached debugger.
void DefaultAssertHandler(const char* pFile, int iLine, const char* pText, void* pUserData);

// Reports "Assertion \"<expression>\" failed. <formatted explanation>".
void ReportAssertFailure(const char* pFile, int iLine, const char* pExpression, const char* pFormat, ...)
    TARN_PRINTF_FORMAT(4, 5);
void ReportAssertFailureV(const char* pFile, int iLine, const char* pExpression, const char* pFormat, va_list kArgs);

}  // namespace Common

// Tests a condition; when it is false, reports it with the condition's own
// text and the printf-style explanation. Evaluates to the condition's truth,
// so callers write: if (!TARN_ASSERT(pData, "No data")) return false;
#define TARN_ASSERT(cond, ...)                                                                                         \
    (static_cast<bool>(cond) ? true : (::Common::ReportAssertFailure(__FILE__, __LINE__, #cond, __VA_ARGS__), false))

// The same with the quoted expression given as text, for checks whose code
// does not read like the report (for example a check made in a helper).
#define TARN_ASSERT_TEXT(cond, exprText, ...)                                                                          \
    (static_cast<bool>(cond) ? true : (::Common::ReportAssertFailure(__FILE__, __LINE__, exprText, __VA_ARGS__), false))
