#pragma once

#include <pthread.h>

#include "Core/Types.h"

// Thread-local storage slots of the POSIX platform layer (pthread keys).
// A slot holds one pointer-sized value per thread, null until set.
namespace Common::Posix {

inline constexpr uint32 kTlsOutOfIndexes = 0xFFFFFFFFu;

// Allocates a slot; pDestructor, when given, is called at the exit of every
// thread whose value is not null. Returns kTlsOutOfIndexes on failure.
uint32 TlsAlloc(void (*pDestructor)(void*) = nullptr);
bool TlsFree(uint32 uiSlot);
// Inline: the memory manager reads its slots on every call.
inline void* TlsGetValue(uint32 uiSlot)
{
    return pthread_getspecific(static_cast<pthread_key_t>(uiSlot));
}
bool TlsSetValue(uint32 uiSlot, void* pValue);

}  // namespace Common::Posix
