#pragma once

#include <atomic>

#include "Containers/TMap.h"
#include "Core/Types.h"
#include "System/Mutex/Mutex.h"
#include "Utils/ClassName.h"
#include "Utils/assertion.h"

namespace TarnEngine {

// The bases remote objects are stored as (InstanceManager.h,
// SingletonManager.h). The typed forms below convert through them; they are
// complete wherever a typed form is used, since every stub interface derives
// from one of them.
template <class I> class CInstanceManager;
template <class I> class CSingletonManager;

// Maps instance IDs to objects, and the reverse, per remote interface; keeps
// the singletons. One per process: the host's command manager makes it, and a
// plug-in module installs the host's one before it makes remote objects.
//
// The maps are keyed by the interface's class identifier
// (Common::GetClassId, the identifier of "class RPC::IRPCStub_CThing"), so
// that a host and its plug-in modules agree on the keys. IDs start at 0 per
// interface and are never reused.
//
// The maps are guarded by the resolver's own lock, so that commands declared
// safe off the engine thread may resolve IDs while the engine thread creates
// or releases objects.
class CPointerResolver : private Common::CNonCopyable
{
public:
    CPointerResolver() = default;
    ~CPointerResolver();

    // The process-wide resolver, null until one is installed.
    static CPointerResolver* GetInstance() { return s_pInstance.load(std::memory_order_acquire); }
    // Installs pResolver. A second installation is refused with a debug line
    // ("<the slot's source, CommandInstanceHelper.cpp> : Instance has
    // already been set") and false; the first instance stays.
    static bool SetInstance(CPointerResolver* pResolver);
    // Clears the process-wide slot when it holds pResolver.
    static void ReleaseInstance(CPointerResolver* pResolver);

    // Typed forms (I is the stub interface). Objects are stored as their
    // CInstanceManager<I> / CSingletonManager<I> base, which the typed forms
    // convert from and to.
    //
    // The object of an ID; reports "pRes != 0" ("Cannot retreive instance
    // ptr") and gives null when the ID is not registered.
    template <class I> I* GetPtr(uint32 uiId) const;
    // The ID of an object; kInvalidIndex (reported) when not registered.
    template <class I> uint32 GetID(const I* pObject) const;
    // The singleton of I, or null.
    template <class I> I* GetSingleton() const;

    // Untyped forms, by type key. The objects are stored as the interface
    // pointers of the typed forms.
    uint32 RegisterPtr(uint32 uiTypeKey, void* pObject);
    void UnregisterPtr(uint32 uiTypeKey, const void* pObject);
    // Null / kInvalidIndex when absent; nothing is reported.
    void* FindPtr(uint32 uiTypeKey, uint32 uiId) const;
    uint32 FindID(uint32 uiTypeKey, const void* pObject) const;
    void SetSingletonPtr(uint32 uiTypeKey, void* pObject);
    // Removes the singleton record of the type when it is pObject.
    void ClearSingletonPtr(uint32 uiTypeKey, const void* pObject);
    void* GetSingletonPtr(uint32 uiTypeKey) const;
    // Drops every client reference still held on the objects with IDs, so
    // that each is deleted (clients that never called ReleaseRef leave them
    // behind). Objects are stored as CInstanceManager<I> addresses, which
    // are their CClientRefCount bases. Returns how many objects went. Run it
    // on the engine thread while no command runs, before what the objects
    // point to (the world, the plug-ins) is destroyed.
    uint32 ReleaseAllInstances();
    // The ID the next object of the type will get (0 for an unknown type).
    uint32 GetNextID(uint32 uiTypeKey) const;
    // Live objects of the type.
    uint32 GetObjectCount(uint32 uiTypeKey) const;

    // Most live objects of one remote interface: clients that take objects
    // and never give them back cannot make the engine grow without end.
    // Methods that make objects check HasRoomFor first.
    static constexpr uint32 kMaxObjectsPerType = 100000;
    template <class I> bool HasRoomFor() const { return GetObjectCount(Common::GetClassId<I>()) < kMaxObjectsPerType; }

private:
    using IDToPtrMap = TarnRenderer::TMap<unsigned int, void*>;
    using PtrToIDMap = TarnRenderer::TMap<void*, unsigned int>;

    static std::atomic<CPointerResolver*> s_pInstance;

    TarnRenderer::TMap<unsigned int, IDToPtrMap*> m_kIDToPtrMaps;
    TarnRenderer::TMap<unsigned int, PtrToIDMap*> m_kPtrToIDMaps;
    TarnRenderer::TMap<unsigned int, unsigned int> m_kNextIDs;
    TarnRenderer::TMap<unsigned int, void*> m_kSingletons;
    mutable Common::CLockable m_kLock;
};

// The process-wide resolver, reported when missing ("Instance ptr should be
// set (plugin?)").
CPointerResolver* GetPointerResolverChecked(const char* pFile, int iLine);

template <class I> I* CPointerResolver::GetPtr(uint32 uiId) const
{
    void* pStored = FindPtr(Common::GetClassId<I>(), uiId);
    I* pRes = pStored ? static_cast<I*>(static_cast<CInstanceManager<I>*>(pStored)) : nullptr;
    TARN_ASSERT(pRes != 0, "Cannot retreive instance ptr");
    return pRes;
}

template <class I> uint32 CPointerResolver::GetID(const I* pObject) const
{
    const CInstanceManager<I>* pStored = pObject;
    const uint32 uiId = FindID(Common::GetClassId<I>(), pStored);
    TARN_ASSERT(uiId != (uint32)-1, "coudln't find ID in Map CPointerResolver");
    return uiId;
}

template <class I> I* CPointerResolver::GetSingleton() const
{
    void* pStored = GetSingletonPtr(Common::GetClassId<I>());
    return pStored ? static_cast<I*>(static_cast<CSingletonManager<I>*>(pStored)) : nullptr;
}

}  // namespace TarnEngine
