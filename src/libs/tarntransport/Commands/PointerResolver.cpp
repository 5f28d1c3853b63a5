#include "Commands/PointerResolver.h"

#include "Commands/ClientRefCount.h"
#include "System/MemoryManager/MemoryManager.h"

namespace TarnEngine {

CPointerResolver* GetPointerResolverChecked(const char* pFile, int iLine)
{
    CPointerResolver* pResolver = CPointerResolver::GetInstance();
    if (!pResolver)
        Common::ReportAssertFailure(pFile, iLine, "CPointerResolver::GetInstance()",
                                    "Instance ptr should be set (plugin?)");
    return pResolver;
}

CPointerResolver::~CPointerResolver()
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    for (auto& kPair : m_kIDToPtrMaps)
        TARN_DELETE(kPair.Value);
    for (auto& kPair : m_kPtrToIDMaps)
        TARN_DELETE(kPair.Value);
}

uint32 CPointerResolver::RegisterPtr(uint32 uiTypeKey, void* pObject)
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    IDToPtrMap** ppIDToPtr = m_kIDToPtrMaps.Lookup(uiTypeKey);
    if (!ppIDToPtr)
    {
        IDToPtrMap* pMap = TARN_NEW_TAGGED("TarnEngine::CPointerResolver::IDToPtrMap", IDToPtrMap);
        if (!TARN_ASSERT(pMap, "couldn't create the ID map of a remote type"))
            return kInvalidIndex;
        m_kIDToPtrMaps.Insert(uiTypeKey, pMap);
        ppIDToPtr = m_kIDToPtrMaps.Lookup(uiTypeKey);
    }
    PtrToIDMap** ppPtrToID = m_kPtrToIDMaps.Lookup(uiTypeKey);
    if (!ppPtrToID)
    {
        PtrToIDMap* pMap = TARN_NEW_TAGGED("TarnEngine::CPointerResolver::PtrToIDMap", PtrToIDMap);
        if (!TARN_ASSERT(pMap, "couldn't create the pointer map of a remote type"))
            return kInvalidIndex;
        m_kPtrToIDMaps.Insert(uiTypeKey, pMap);
        ppPtrToID = m_kPtrToIDMaps.Lookup(uiTypeKey);
    }
    if (!m_kNextIDs.Lookup(uiTypeKey))
        m_kNextIDs.Insert(uiTypeKey, 0u);
    unsigned int* pNext = m_kNextIDs.Lookup(uiTypeKey);
    const uint32 iIdx = (ppIDToPtr && ppPtrToID && pNext) ? 0u : (uint32)-1;
    if (!TARN_ASSERT(iIdx != (uint32)-1, "coudln't find ID in Map CPointerResolver"))
        return kInvalidIndex;
    if (!TARN_ASSERT(*pNext != kInvalidIndex, "no instance ID left for this remote type"))
        return kInvalidIndex;
    const uint32 uiId = (*pNext)++;
    (*ppIDToPtr)->Insert(uiId, pObject);
    (*ppPtrToID)->Insert(pObject, uiId);
    return uiId;
}

void CPointerResolver::UnregisterPtr(uint32 uiTypeKey, const void* pObject)
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    PtrToIDMap** ppPtrToID = m_kPtrToIDMaps.Lookup(uiTypeKey);
    if (!ppPtrToID)
        return;
    void* pKey = const_cast<void*>(pObject);
    const unsigned int* pId = (*ppPtrToID)->Lookup(pKey);
    if (!pId)
        return;
    const uint32 uiId = *pId;
    (*ppPtrToID)->Remove(pKey);
    if (IDToPtrMap** ppIDToPtr = m_kIDToPtrMaps.Lookup(uiTypeKey))
        (*ppIDToPtr)->Remove(uiId);
}

uint32 CPointerResolver::ReleaseAllInstances()
{
    uint32 uiReleased = 0;
    for (;;)
    {
        uint32 uiTypeKey = 0;
        void* pObject = nullptr;
        {
            Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
            for (auto& kPair : m_kIDToPtrMaps)
                if (!kPair.Value->IsEmpty())
                {
                    uiTypeKey = kPair.Key;
                    pObject = (*kPair.Value->begin()).Value;
                    break;
                }
        }
        if (!pObject)
            return uiReleased;
        CClientRefCount* pCounted = static_cast<CClientRefCount*>(pObject);
        // The last release deletes the object, which leaves the maps; an
        // object left with no count is deleted here.
        uint32 uiCount = pCounted->GetRefCount();
        if (uiCount == 0)
            TARN_DELETE(pCounted);
        while (uiCount-- > 0)
            pCounted->ReleaseRef();
        ++uiReleased;
        // Whatever happened, the entry must not be visited again.
        UnregisterPtr(uiTypeKey, pObject);
    }
}

void* CPointerResolver::FindPtr(uint32 uiTypeKey, uint32 uiId) const
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    IDToPtrMap* const* ppIDToPtr = m_kIDToPtrMaps.Lookup(uiTypeKey);
    if (!ppIDToPtr)
        return nullptr;
    void* const* ppObject = (*ppIDToPtr)->Lookup(uiId);
    return ppObject ? *ppObject : nullptr;
}

uint32 CPointerResolver::FindID(uint32 uiTypeKey, const void* pObject) const
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    PtrToIDMap* const* ppPtrToID = m_kPtrToIDMaps.Lookup(uiTypeKey);
    if (!ppPtrToID)
        return kInvalidIndex;
    const unsigned int* pId = (*ppPtrToID)->Lookup(const_cast<void*>(pObject));
    return pId ? *pId : kInvalidIndex;
}

void CPointerResolver::SetSingletonPtr(uint32 uiTypeKey, void* pObject)
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    if (void** ppObject = m_kSingletons.Lookup(uiTypeKey))
    {
        TARN_ASSERT(*ppObject == pObject, "a singleton of this remote type exists already; the new one replaces it");
        *ppObject = pObject;
        return;
    }
    m_kSingletons.Insert(uiTypeKey, pObject);
}

void CPointerResolver::ClearSingletonPtr(uint32 uiTypeKey, const void* pObject)
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    void** ppObject = m_kSingletons.Lookup(uiTypeKey);
    if (ppObject && *ppObject == pObject)
        m_kSingletons.Remove(uiTypeKey);
}

void* CPointerResolver::GetSingletonPtr(uint32 uiTypeKey) const
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    void* const* ppObject = m_kSingletons.Lookup(uiTypeKey);
    return ppObject ? *ppObject : nullptr;
}

uint32 CPointerResolver::GetNextID(uint32 uiTypeKey) const
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    const unsigned int* pNext = m_kNextIDs.Lookup(uiTypeKey);
    return pNext ? *pNext : 0u;
}

uint32 CPointerResolver::GetObjectCount(uint32 uiTypeKey) const
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    IDToPtrMap* const* ppIDToPtr = m_kIDToPtrMaps.Lookup(uiTypeKey);
    return ppIDToPtr ? (*ppIDToPtr)->GetSize() : 0u;
}

}  // namespace TarnEngine
