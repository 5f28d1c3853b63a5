#pragma once

#include "Core/Types.h"
#include "Plugins/PluginJson.h"

namespace TarnEngine {

// Data loaded from a container file for one component type (an add-in
// object), stamped with the component ID of the builder that made it.
//
// The destructor is virtual and declared after the two slots, so the slots
// keep their places and the container that owns data objects can delete
// them through this interface (TARN_DELETE).
class IPluginComponentData
{
public:
    virtual IPluginComponentData* SetTypeID(uint32 uiTypeId) = 0;
    virtual uint32 GetTypeID() const = 0;
    virtual ~IPluginComponentData() = default;
};

// Data of one component type: a parameter record T and the type ID. The
// ready-made IPluginComponentData of a builder's data class, which only
// adds Load.
template <class T> class PluginData : public IPluginComponentData
{
public:
    IPluginComponentData* SetTypeID(uint32 uiTypeId) override
    {
        m_uiTypeId = uiTypeId;
        return this;
    }
    uint32 GetTypeID() const override { return m_uiTypeId; }
    // Reads the parameters from the add-in's document.
    virtual bool Load(const PluginJsonValue& kDocument, void* _pContextA, void* _pContextB) = 0;

    T& GetParam() { return m_kParam; }
    const T& GetParam() const { return m_kParam; }

protected:
    T m_kParam{};
    uint32 m_uiTypeId = kInvalidIndex;
};

}  // namespace TarnEngine
