#pragma once

#include <pthread.h>

#include "Core/Types.h"

namespace Common::Posix {

struct SThreadControl;

// A thread of the POSIX platform layer.
//
// The object and the running thread share a small reference-counted control
// block (the thread's kernel id, its exit code, and a done flag with its
// condition variable). Either side may let go first: the object can be closed
// or destroyed while the thread keeps running, and the thread can end before
// anyone waits for it. Wait may be called from several threads at once and
// as often as wanted; IsRunning never blocks.
//
// Priorities are levels 0 (time critical) to 6 (idle), applied per thread
// as nice values -20, -10, -5, 0, 5, 10, 19.
class CThread
{
public:
    using EntryPoint = uint32 (*)(void* pParam);

    static constexpr uint32 kInfinite = 0xFFFFFFFFu;
    static constexpr uint32 kMaxPriorityLevel = 6;
    static constexpr uint32 kNormalPriorityLevel = 3;
    // Linux keeps 15 characters of a thread's name.
    static constexpr uint32 kMaxSystemNameLength = 15;

    CThread() = default;
    virtual ~CThread();

    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // Closes any thread still held, then starts a thread that names itself
    // pName (may be null: the name is left as inherited) and returns
    // pEntry(pParam) as its exit code. Returns once the new thread has
    // published its id. False when the system refused the thread.
    bool Create(EntryPoint pEntry, void* pParam, const char* pName);

    // Lets go of the thread without stopping it: a thread that has ended is
    // joined, a running one is detached and cleans up after itself.
    void Close();

    bool IsHeld() const { return m_pControl != nullptr; }
    // True while a held thread has not ended.
    bool IsRunning() const;
    // Waits for a held thread to end, its clean-up (thread-local
    // destructors) included. True when it has ended; false on time-out or
    // when no thread is held.
    bool Wait(uint32 uiTimeoutMs = kInfinite) const;
    // The exit code of a held thread that has ended.
    bool GetExitCode(uint32* pExitCode) const;
    // The kernel id of the held thread, 0 when none is held.
    uint32 GetId() const { return m_uiThreadId; }

    // Sets the held thread's priority level; false for a level above 6 or
    // when no running thread is held. A level the system refuses (raising priority
    // needs privileges) is remembered, reported by one debug line, and
    // counts as set: GetPriority returns it until the thread's nice value
    // changes by other means.
    bool SetPriority(uint32 uiLevel);
    // The held thread's level; 3 (normal) when no running thread is held.
    uint32 GetPriority() const;

    // Renames the held thread (truncated to 15 characters). False when no
    // thread is held or the system refused.
    bool SetName(const char* pName);

    static bool SetCurrentThreadPriority(uint32 uiLevel);
    static uint32 GetCurrentThreadPriority();
    static bool SetCurrentThreadName(const char* pName);

    // The level of a nice value: -20, -10, -5, 5, 10, 19 give 0, 1, 2, 4, 5, 6;
    // every other value gives 3.
    static uint32 LevelFromNice(int iNice);

private:
    static void* ThreadMain(void* pParam);
    // Joins a thread whose body has returned (once, whoever asks first).
    void JoinEnded() const;

    SThreadControl* m_pControl = nullptr;
    pthread_t m_kThread{};
    uint32 m_uiThreadId = 0;
};

}  // namespace Common::Posix
