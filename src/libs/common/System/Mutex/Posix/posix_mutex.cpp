#include "System/Mutex/Posix/posix_mutex.h"

#include "Utils/assertion.h"

namespace Common::Posix {

CMutex::CMutex(uint32 uiSpinCount)
{
    (void)uiSpinCount;
    pthread_mutexattr_t kAttr;
    bool bInit = pthread_mutexattr_init(&kAttr) == 0;
    if (bInit)
    {
        bInit = pthread_mutexattr_settype(&kAttr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
                pthread_mutex_init(&m_kMutex, &kAttr) == 0;
        pthread_mutexattr_destroy(&kAttr);
    }
    m_bInit = bInit;
    if (!bInit)
        TARN_ASSERT(0, "Unable to initialize critical section");
}

CMutex::~CMutex()
{
    if (m_bInit)
        pthread_mutex_destroy(&m_kMutex);
}

void CMutex::Lock()
{
    if (m_bInit)
        pthread_mutex_lock(&m_kMutex);
}

void CMutex::Unlock()
{
    if (m_bInit)
        pthread_mutex_unlock(&m_kMutex);
}

}  // namespace Common::Posix
