#include "System/Posix/PosixTls.h"

#include <pthread.h>

namespace Common::Posix {

uint32 TlsAlloc(void (*pDestructor)(void*))
{
    pthread_key_t kKey;
    if (pthread_key_create(&kKey, pDestructor) != 0)
        return kTlsOutOfIndexes;
    return static_cast<uint32>(kKey);
}

bool TlsFree(uint32 uiSlot)
{
    return uiSlot != kTlsOutOfIndexes && pthread_key_delete(static_cast<pthread_key_t>(uiSlot)) == 0;
}

bool TlsSetValue(uint32 uiSlot, void* pValue)
{
    return pthread_setspecific(static_cast<pthread_key_t>(uiSlot), pValue) == 0;
}

}  // namespace Common::Posix
