#pragma once

#include <pthread.h>

#include "Core/Types.h"

namespace Common::Posix {

// The POSIX mutual-exclusion lock: a recursive pthread mutex. The owning
// thread may take it again; every Lock needs its own Unlock. There is no
// try-lock and no timed lock: Lock blocks until the mutex is free.
class CMutex
{
public:
    // The spin count is accepted for the callers' sake and ignored: the
    // pthread mutex spins briefly on its own before it sleeps.
    explicit CMutex(uint32 uiSpinCount = 10);
    virtual ~CMutex();

    CMutex(const CMutex&) = delete;
    CMutex& operator=(const CMutex&) = delete;

    void Lock();
    void Unlock();

private:
    pthread_mutex_t m_kMutex;
    // False when the mutex could not be initialised (already reported);
    // Lock and Unlock then do nothing.
    bool m_bInit = false;
};

}  // namespace Common::Posix
