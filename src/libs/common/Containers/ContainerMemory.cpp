#include "Containers/ContainerMemory.h"

#include "System/MemoryManager/MemoryManager.h"

namespace TarnRenderer::Detail {

void* AllocateBuffer(size_t uiBytes, size_t uiAlignment, const char* pFile, int iLine)
{
    return Common::Mem::Alloc(uiBytes, static_cast<uint32>(uiAlignment < 16 ? 16 : uiAlignment), pFile, iLine);
}

void FreeBuffer(void* pBuffer)
{
    Common::Mem::Free(pBuffer);
}

}  // namespace TarnRenderer::Detail
