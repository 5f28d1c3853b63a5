#pragma once

#include "Core/Types.h"

namespace Common::Posix {

// The kernel's identifier of the calling thread (never 0). Cached per thread.
uint32 GetCurrentThreadId();

}  // namespace Common::Posix
