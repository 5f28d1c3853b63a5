#pragma once

// Debugger facilities of the POSIX platform layer.
//
// Detection reads TracerPid from /proc/self/status: a process is under a
// debugger exactly while some tracer is attached to it. The debugger's output
// channel is a replaceable sink; by default it writes each text as one line to
// standard error, and only while a debugger is attached (a debugger shows the
// inferior's standard error in its console).

namespace Common::Posix {

// True while a tracer (gdb, lldb, strace...) is attached to this process.
// The answer is cached for a quarter of a second, so asking is cheap.
bool IsDebuggerPresent();

// Stops in the attached debugger (SIGTRAP). Does nothing when no debugger is
// attached, so that a report never kills an undebugged process.
void BreakIntoDebugger();

// Sink of the debugger output channel. pText has no trailing newline.
using DebuggerChannel = void (*)(const char* pText, void* pUserData);

// Sends one line to the debugger output channel.
void OutputDebugString(const char* pText);

// Replaces the channel's sink; null restores the default. Returns the previous
// sink (null when the default was installed) and its user data in *ppOldUser.
DebuggerChannel SetDebuggerChannel(DebuggerChannel pChannel, void* pUserData, void** ppOldUserData = nullptr);

}  // namespace Common::Posix
