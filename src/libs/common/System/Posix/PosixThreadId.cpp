#include "System/Posix/PosixThreadId.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace Common::Posix {

uint32 GetCurrentThreadId()
{
    thread_local uint32 tl_uiId = static_cast<uint32>(syscall(SYS_gettid));
    return tl_uiId;
}

}  // namespace Common::Posix
