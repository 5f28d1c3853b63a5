#pragma once

#include "Core/Types.h"

namespace Common {

namespace Posix {
class CThread;
}

// The root of the engine's threads: a body and a way to let go of the
// operating-system thread.
class CThreadBase
{
public:
    virtual ~CThreadBase() = default;
    // The thread's body; its result is the thread's exit code.
    virtual uint32 Run() { return 0; }
    // Releases the operating-system thread object.
    virtual void Close() {}
};

// A thread with a virtual body: derive, implement Run, call Start.
//
// The object must outlive the body: Close lets go of the operating-system
// thread without stopping it, and the destructor (which closes) does not
// wait. Call Wait before destroying an object whose thread may be running.
class CThread : public CThreadBase
{
public:
    static constexpr uint32 kMaxNameLength = 63;
    static constexpr uint32 kMaxPriorityLevel = 6;

    CThread();
    ~CThread() override;

    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    uint32 Run() override = 0;
    // Lets go of the thread without stopping it (see Posix::CThread::Close).
    void Close() override;
    // Starts a thread that runs Run, named pName (at most 63 characters are
    // kept; null names it "Thread"). A thread still held is let go first.
    // False when there is no platform object or the system refused.
    virtual bool Start(const char* pName);

    // True while the started thread has not ended.
    bool IsRunning() const;
    // Blocks until the started thread ends (returns at once when none).
    void Wait();
    // The name given to Start ("" before the first Start).
    const char* GetName() const { return m_acName; }
    // The kernel id of the started thread, 0 when none is held.
    uint32 GetThreadId() const;

    // Levels 0 (time critical) to 6 (idle), 3 is normal. A level above 6
    // returns false and changes nothing. bDisableBoost has no effect here.
    bool SetPriority(uint32 uiLevel, bool bDisableBoost = false);
    uint32 GetPriority() const;
    // Accepted and ignored: threads are not pinned to processors here.
    bool SetProcessor(uint32 uiProcessor);
    // Renames the started thread (the system keeps 15 characters).
    void SetName(const char* pName);

    // Sleep and Yield act on the calling thread.
    void Sleep(uint32 uiMs);
    void Yield();

    static uint32 GetCurrentThreadId();
    // The main thread is the one that initialised this library, unless a
    // host named another one with SetMainThread.
    static bool IsMainThread();
    static void SetMainThread();
    static bool SetCurrentThreadPriority(uint32 uiLevel);
    static uint32 GetCurrentThreadPriority();
    static void SleepCurrent(uint32 uiMs);
    static bool IsDebuggerPresent();

private:
    static uint32 ThreadEntry(void* pParam);

    Posix::CThread* m_pThread = nullptr;
    char m_acName[kMaxNameLength + 1] = {};
};

}  // namespace Common
