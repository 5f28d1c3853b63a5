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
// Every message has a level (ELevel); Print without one logs at Info. A
// message above the log's level (SetLevel, Info until set) goes nowhere.
// On standard output and in the log file a line starts with the time since
// the process started, in seconds with milliseconds, and the level's name
// padded to five characters:
//     12.345 info  Connection accepted from 127.0.0.1:50112
// The debugger channel and the listener get the message's text alone. The
// time is read from the boot-time clock (monotonic) against the process's
// start, so a plug-in module, which carries a copy of this code, writes on
// the same time line as its host. The level and the log file are those of
// the copy that writes: a module's lines keep its own (Info, no file) unless
// the module sets them.
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

    // How much a message matters, most important first: a failure, something
    // left out or put right that the program went on without, an event of
    // the normal course, details for whoever looks into a problem.
    enum class ELevel : uint8
    {
        Error = 0,
        Warn = 1,
        Info = 2,
        Debug = 3,
    };

    // Formats and outputs one line at Info.
    static void Print(const char* pFormat, ...) TARN_PRINTF_FORMAT(1, 2);
    static void PrintV(const char* pFormat, va_list kArgs);
    // Formats and outputs one line at eLevel.
    static void Print(ELevel eLevel, const char* pFormat, ...) TARN_PRINTF_FORMAT(2, 3);
    static void PrintV(ELevel eLevel, const char* pFormat, va_list kArgs);

    // The most detailed level that is output; Info until set. Any thread.
    static void SetLevel(ELevel eLevel);
    static ELevel GetLevel();
    static bool IsEnabled(ELevel eLevel) { return eLevel <= GetLevel(); }
    // "error", "warn", "info", "debug".
    static const char* GetLevelName(ELevel eLevel);
    // The level of one of those names (exactly as written); false for
    // anything else, with eLevel left as it was.
    static bool ParseLevel(const char* pName, ELevel& eLevel);

    // Writes the head of a line written now at eLevel into pOut: the time
    // in seconds right-aligned in nine characters, a space, the level's name
    // padded to five characters and a space. Returns pOut.
    static const char* FormatLinePrefix(ELevel eLevel, char* pOut, size_t uiCapacity);

    // While it lives, the lines of the calling thread go to standard error
    // instead of standard output: a report that must not mix with what a
    // program prints as its result. Scopes nest.
    class CStandardErrorScope
    {
    public:
        CStandardErrorScope();
        ~CStandardErrorScope();
        CStandardErrorScope(const CStandardErrorScope&) = delete;
        CStandardErrorScope& operator=(const CStandardErrorScope&) = delete;

    private:
        bool m_bPrevious;
    };

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

    // Sends pText to the sinks without formatting and without a line buffer,
    // at Info or at eLevel (nothing when the level is not output). One
    // trailing newline of pText is dropped: each sink adds its own.
    static void Output(const char* pText);
    static void Output(ELevel eLevel, const char* pText);
};

}  // namespace Common
