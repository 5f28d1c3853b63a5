#pragma once

#include "Core/Types.h"

// Element buffers of the engine's containers.
namespace TarnRenderer::Detail {

// Takes uiBytes from the engine memory manager, attributed to the container
// code at pFile/iLine, with at least 16-byte alignment. Null when the manager
// refuses (it has reported why).
void* AllocateBuffer(size_t uiBytes, size_t uiAlignment, const char* pFile, int iLine);
void FreeBuffer(void* pBuffer);

}  // namespace TarnRenderer::Detail
