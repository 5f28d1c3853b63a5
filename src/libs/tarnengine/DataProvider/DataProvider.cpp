#include "DataProvider/DataProvider.h"

#include <cstring>

#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"

namespace DataProvider {

std::atomic<DataPoviderInterface*> DataPoviderInterface::s_pInstance{nullptr};
std::atomic<bool> DataPoviderInterface::s_bOwnedInstance{false};

DataPoviderInterface* DataPoviderInterface::Create()
{
    DataPoviderInterface* pExisting = s_pInstance.load(std::memory_order_acquire);
    if (!TARN_ASSERT(!pExisting, "DataProvider is already instanciated"))
        return pExisting;
    DataPoviderInterface* pCreated =
        TARN_NEW_TAGGED("DataProvider::DataPoviderInterface::Create", DataPoviderInterface);
    if (!pCreated)
        return nullptr;
    s_pInstance.store(pCreated, std::memory_order_release);
    s_bOwnedInstance.store(true, std::memory_order_release);
    return pCreated;
}

DataPoviderInterface* DataPoviderInterface::GetInstance()
{
    DataPoviderInterface* pInstance = s_pInstance.load(std::memory_order_acquire);
    TARN_ASSERT_TEXT(pInstance, "m_pInstance != 0", "DataProvider is not instanciated !!!");
    return pInstance;
}

void DataPoviderInterface::SetInstance(DataPoviderInterface* pInstance)
{
    s_bOwnedInstance.store(false, std::memory_order_release);
    s_pInstance.store(pInstance, std::memory_order_release);
}

void DataPoviderInterface::Destroy()
{
    DataPoviderInterface* pInstance = s_pInstance.exchange(nullptr, std::memory_order_acq_rel);
    if (pInstance && s_bOwnedInstance.exchange(false, std::memory_order_acq_rel))
        TARN_DELETE(pInstance);
}

bool DataPoviderInterface::SetDataRoot(const char* pPath)
{
    if (!pPath)
        pPath = "";
    size_t uiLength = std::strlen(pPath);
    if (!TARN_ASSERT(uiLength < kMaxRootLength, "DataProvider : data root of %zu characters is too long (at most %u)",
                     uiLength, kMaxRootLength - 1))
        return false;
    while (uiLength > 1 && pPath[uiLength - 1] == '/')
        --uiLength;
    std::memcpy(m_acDataRoot, pPath, uiLength);
    m_acDataRoot[uiLength] = '\0';
    return true;
}

bool DataPoviderInterface::ResolvePath(const char* pPath, char* pOut, size_t uiCapacity) const
{
    if (pOut && uiCapacity > 0)
        pOut[0] = '\0';
    if (!TARN_ASSERT(pOut && uiCapacity > 0, "DataProvider : no buffer to resolve a path into"))
        return false;
    if (!TARN_ASSERT(pPath && pPath[0], "DataProvider : no path to resolve"))
        return false;

    const size_t uiNeeded = GetResolvedLength(pPath);
    if (!TARN_ASSERT(uiNeeded < uiCapacity,
                     "DataProvider : \"%s\" resolved against the data root \"%s\" needs %zu characters, the buffer "
                     "holds %zu",
                     pPath, m_acDataRoot, uiNeeded, uiCapacity - 1))
        return false;

    const size_t uiPathLength = std::strlen(pPath);
    const size_t uiRootLength = uiNeeded - uiPathLength;
    size_t uiAt = 0;
    if (uiRootLength > 0)
    {
        // The root and its separator: the copy takes the root's terminator
        // when a separator follows, which becomes the '/' (the root "/" is
        // its own separator).
        std::memcpy(pOut, m_acDataRoot, uiRootLength);
        pOut[uiRootLength - 1] = '/';
        uiAt = uiRootLength;
    }
    std::memcpy(pOut + uiAt, pPath, uiPathLength);
    pOut[uiAt + uiPathLength] = '\0';
    return true;
}

size_t DataPoviderInterface::GetResolvedLength(const char* pPath) const
{
    if (!pPath || !pPath[0])
        return 0;
    const size_t uiPathLength = std::strlen(pPath);
    const size_t uiRootLength = std::strlen(m_acDataRoot);
    if (IsAbsolutePath(pPath) || uiRootLength == 0)
        return uiPathLength;
    // The root "/" already ends with the separator.
    const size_t uiSeparator = m_acDataRoot[uiRootLength - 1] == '/' ? 0 : 1;
    return uiRootLength + uiSeparator + uiPathLength;
}

}  // namespace DataProvider
