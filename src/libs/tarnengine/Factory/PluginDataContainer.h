#pragma once

#include <cstring>

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "Plugins/PluginComponentData.h"
#include "Plugins/PluginJson.h"
#include "Plugins/PluginManager.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/ClassName.h"
#include "Utils/assertion.h"

namespace TarnRenderer {
class Link;
}

namespace TarnEngine {

// The plug-in side of a container class T (a prefab container, for example):
// the data objects that the registered component builders make from the
// add-in objects of T's file, and the calls that turn them into components
// on the links of T's instances.
//
// A container file lists its add-ins under "AddInObjects": an array of
// objects {"Type": component type name, "Json": text of a whole JSON
// document}. LoadAddIns, run at the very end of the container's JSON load,
// offers each of them to the plugin manager under T's short class name
// ("PrefabContainer" for TarnEngine::PrefabContainer); the builders of that
// name and container type append their data objects to the data list.
//
// Ownership: the container owns the data objects in its list and deletes them
// with itself. A reload empties the list but keeps the previous objects
// alive until the container goes, because components built from them may
// still point to them; instances of a container are torn down before the
// container. The plugin manager is the engine's (not owned); it must be set,
// at construction or with SetPluginManager, before add-ins are loaded or
// components built.
//
// Threads: LoadAddIns runs where the container's JSON is processed and only
// reads the manager's registries; BuildComponent and DestroyComponent run on
// the engine thread.
template <class T> class PluginDataContainerImpl
{
public:
    using DataList = TarnRenderer::TArray<IPluginComponentData*, unsigned int>;

    explicit PluginDataContainerImpl(IPluginManager* _pPluginManager = nullptr) : m_pPluginManager(_pPluginManager) {}
    ~PluginDataContainerImpl()
    {
        DeleteAll(m_kPluginData);
        DeleteAll(m_kRetiredData);
    }
    PluginDataContainerImpl(const PluginDataContainerImpl&) = delete;
    PluginDataContainerImpl& operator=(const PluginDataContainerImpl&) = delete;

    void SetPluginManager(IPluginManager* _pPluginManager) { m_pPluginManager = _pPluginManager; }
    IPluginManager* GetPluginManager() const { return m_pPluginManager; }

    // The data objects of the last load, in add-in order.
    const DataList& GetPluginData() const { return m_kPluginData; }

    // Rebuilds the data list from the "AddInObjects" of the container's JSON
    // object. Each add-in is offered in file order while the previous ones
    // were accepted; after the first refusal the rest are skipped. True when
    // there is no "AddInObjects" or every offered add-in was accepted. An
    // "AddInObjects" that is not an array, or a JSON value that is not an
    // object, is reported and gives false with an empty list.
    bool LoadAddIns(const PluginJsonValue& kObject, void* pContextA, void* pContextB)
    {
        RetireData();
        const char* pShortName = GetShortContainerName();

        if (!TARN_ASSERT(kObject.IsObject(), "PluginDataContainerImpl : the %s JSON is not an object", pShortName))
            return false;
        const auto kAddInsIt = kObject.FindMember("AddInObjects");
        if (kAddInsIt == kObject.MemberEnd())
            return true;
        const PluginJsonValue& kAddIns = kAddInsIt->value;
        if (!TARN_ASSERT(kAddIns.IsArray(), "PluginDataContainerImpl : \"AddInObjects\" of a %s is not an array",
                         pShortName))
            return false;
        if (kAddIns.Empty())
            return true;

        bool bResult = true;
        for (auto kIt = kAddIns.Begin(); bResult && kIt != kAddIns.End(); ++kIt)
            bResult = OfferAddIn(pShortName, *kIt, pContextA, pContextB);
        return bResult;
    }

    // Offers one add-in object to the builders of its type and of this
    // container type, which append the data objects they make to the data
    // list; for a container that goes through its add-ins itself, after
    // RetireData. False when a builder refused it.
    bool LoadAddIn(const PluginJsonValue& kAddIn, void* pContextA, void* pContextB)
    {
        return OfferAddIn(GetShortContainerName(), kAddIn, pContextA, pContextB);
    }

    // Asks the manager for the component of the data's type on the link of
    // an instance. True when a component came back.
    bool BuildComponent(void* _pPrefabInstance, TarnRenderer::Link* _pLink, IPluginComponentData* _pData)
    {
        if (!TARN_ASSERT(_pData, "PluginDataContainerImpl : no data to build a component from"))
            return false;
        if (!TARN_ASSERT(m_pPluginManager, "PluginDataContainerImpl : no plugin manager to build components"))
            return false;
        return m_pPluginManager->BuildComponent(_pData->GetTypeID(), _pPrefabInstance, _pLink, _pData) != nullptr;
    }

    // Asks the manager to tear down the component of the data's type on the
    // link of an instance.
    void DestroyComponent(void* _pPrefabInstance, TarnRenderer::Link* _pLink, IPluginComponentData* _pData)
    {
        if (!TARN_ASSERT(_pData, "PluginDataContainerImpl : no data to destroy a component of"))
            return;
        if (!TARN_ASSERT(m_pPluginManager, "PluginDataContainerImpl : no plugin manager to destroy components"))
            return;
        m_pPluginManager->DestroyComponent(_pData->GetTypeID(), _pPrefabInstance, _pLink, _pData);
    }

    // The container type's short class name: the text after the last ':' of
    // its class name. A name that leaves fewer than two characters is
    // reported and used as it is.
    static const char* GetShortContainerName()
    {
        const char* pClassName = Common::GetClassName<T>();
        const int32 iStringLength = static_cast<int32>(std::strlen(pClassName));
        // Index of the first character after the last ':' (0 without one).
        const uint32 iLastPointInString = static_cast<uint32>(Common::GetShortTypeName(pClassName) - pClassName);
        // The condition's text, as written, is part of the report.
        // clang-format off
        TARN_ASSERT(iLastPointInString<(uint32)iStringLength-1, "PluginDataContainerImpl : Wrong type name");
        // clang-format on
        return pClassName + iLastPointInString;
    }

protected:
    // Empties the data list before a load. The previous objects stay alive
    // (see the class comment).
    void RetireData()
    {
        for (IPluginComponentData* pData : m_kPluginData)
            m_kRetiredData.Add(pData);
        m_kPluginData.Empty();
    }

private:
    bool OfferAddIn(const char* pShortName, const PluginJsonValue& kAddIn, void* pContextA, void* pContextB)
    {
        if (!TARN_ASSERT(m_pPluginManager, "PluginDataContainerImpl : no plugin manager to load the add-ins of a %s",
                         pShortName))
            return false;
        return m_pPluginManager->BuildComponentData(pShortName, kAddIn, pContextA, pContextB, m_kPluginData);
    }

    static void DeleteAll(DataList& kList)
    {
        for (IPluginComponentData* pData : kList)
            TARN_DELETE(pData);
        kList.Clear();
    }

    // First member: the data objects of the last load.
    DataList m_kPluginData;
    // Data objects of earlier loads, deleted with the container.
    DataList m_kRetiredData;
    IPluginManager* m_pPluginManager = nullptr;
};

}  // namespace TarnEngine
