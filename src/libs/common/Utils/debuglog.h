#pragma once

#include <cstdarg>
#include <cstddef>

#include "Core/Types.h"

namespace Common {

// The engine's debug log: every report and debug print of the system goes
// through it.
//
// A message is formatted into the calling thread's line buffer (MaxThread
// buffers of BufferSize characters, handed to threads on first use and given
// back when a thread ends) and written, one line per message, to the debugger
// output channel, to standard output (flushed at once) and, once a log
// location has been set up, appended to the log file (opened and closed for
// every line, so a crash never loses what was logged before it).
//
// When MaxThread other live threads own the buffers, the text
// "Increase CDebugLog MaxThread" goes to the debugger channel and the message
// is dropped. There are enough buffers for the network endpoint's
// connection threads (64 at most) beside the engine's own threads.
// Formatting is bounded: a longer message is cut at BufferSize - 1
// characters. Nothing here allocates memory.
//
// A thread that serves traffic from outside (a network connection) can
// have its lines throttled (CThrottleScope), so that a peer sending the same
// broken request over and over cannot flood the log.
class CDebugLog
{
public:
    static constexpr uint32 MaxThread = 128;
    static constexpr uint32 BufferSize = 2048;
    static constexpr uint32 MaxDirectoryLength = 512;
    static constexpr const char* DefaultFileName = "TarnEngine.log";

    // Formats and outputs one line.
    static void Print(const char* pFormat, ...) TARN_PRINTF_FORMAT(1, 2);
    static void PrintV(const char* pFormat, va_list kArgs);

    // Sets the log file's location: the directory starts with the user's
    // documents folder when bUseUserDocuments is set (else it starts empty,
    // meaning the working directory), pSubDirectory is appended, every '\'
    // becomes '/', a trailing '/' is ensured, and the directory is created.
    // pFileName (null: DefaultFileName) is the file inside it. Fails, leaving
    // the previous location, when the directory would exceed
    // MaxDirectoryLength characters, the documents folder is unknown, or the
    // directory cannot be created.
    static bool SetupLogLocation(bool bUseUserDocuments, const char* pSubDirectory, const char* pFileName);

    // Sets the log file by its full path (the part before the last '/' is the
    // directory, created when missing). Null or empty turns file output off.
    static bool SetLogFile(const char* pPath);

    // Writes the current log file path into pOut ("" when file output is off).
    static void GetLogFilePath(char* pOut, size_t uiCapacity);

    // Every output line is also handed to the listener (after the other
    // sinks). Used by tools and tests that read the log. Null removes it.
    using Listener = void (*)(const char* pLine, void* pUserData);
    static void SetListener(Listener pListener, void* pUserData);

    // Throttles the lines the calling thread prints while it lives. Within
    // one second, a line that the thread printed already is not printed
    // again but counted, and after kThrottleLinesPerSecond lines the others
    // are counted only. When the second is over (seen at the thread's next
    // print) or the scope ends, each counted line is printed once more
    // followed by "... repeated N times", and the uncounted rest as
    // "... N further lines suppressed". Scopes do not nest.
    class CThrottleScope
    {
    public:
        CThrottleScope();
        ~CThrottleScope();
        CThrottleScope(const CThrottleScope&) = delete;
        CThrottleScope& operator=(const CThrottleScope&) = delete;
    };
    static constexpr uint32 kThrottleLinesPerSecond = 20;

    // Sends pText to the sinks without formatting and without a line buffer.
    // One trailing newline of pText is dropped: each sink adds its own.
    static void Output(const char* pText);
};

}  // namespace Common
