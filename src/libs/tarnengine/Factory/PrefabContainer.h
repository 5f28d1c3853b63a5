#pragma once

#include "Core/Types.h"
#include "Factory/PluginDataContainer.h"
#include "Utils/InputErrors.h"

namespace TarnAnim {
class Skeleton;
}

namespace TarnEngine {

class IPluginManager;

// A prefab loaded from its file (*.prefab.json, see docs/formats.md): its
// name, the skeleton of its character (the AnimSet the file names) and the
// data objects of its add-ins, from which components are built on the links
// of its instances.
//
// Loading (LoadFile) checks the whole root object first and refuses the file
// at the first problem, with a message naming the file and the member ("<file>:
// <member>: <problem>", for example "/data/props/crate.prefab.json: AnimSet:
// expected a string"), when "Name", "AnimSet" or "AddInObjects" is wrong or
// the AnimSet cannot be loaded; nothing is kept then. One add-in object
// that is malformed (not an object, "Type" or "Json" not a string, "Json"
// not valid JSON text) is logged with the file and its index and skipped;
// the others load. The add-ins are handed to the plugin
// manager last, so its builders must be registered before the load.
//
// A container is loaded once: a second LoadFile is refused.
//
// Ownership: owns its skeleton (released and deleted with the container) and,
// through its base, the data objects of its add-ins. The instances of the
// container (their skeleton instances and anim actors) must all be gone
// before it is destroyed. The plugin manager is the engine's, not owned.
//
// Threads: engine thread.
class PrefabContainer : public PluginDataContainerImpl<PrefabContainer>
{
public:
    static constexpr uint32 kMaxNameLength = 127;
    static constexpr uint32 kMaxPathLength = 1024;
    // Room of the error text, cut to fit.
    static constexpr uint32 kErrorTextCapacity = 1024;

    explicit PrefabContainer(IPluginManager* _pPluginManager = nullptr);
    ~PrefabContainer();
    PrefabContainer(const PrefabContainer&) = delete;
    PrefabContainer& operator=(const PrefabContainer&) = delete;

    // Reads the prefab file at pPath (used as it is: the caller resolves data
    // paths). True when loaded; false with its one problem in kError (reset
    // first either way) otherwise.
    bool LoadFile(const char* pPath, Common::CInputErrors& kError);

    bool IsLoaded() const { return m_bLoaded; }
    // The path given to LoadFile, the prefab's "Name", and the resolved path
    // of its AnimSet ("" without a character).
    const char* GetPath() const { return m_acPath; }
    const char* GetName() const { return m_acName; }
    const char* GetAnimSetPath() const { return m_acAnimSetPath; }
    // The character's skeleton (one mocap: the AnimSet), or null for a prefab
    // without a character.
    TarnAnim::Skeleton* GetSkeleton() const { return m_pSkeleton; }
    // Add-in objects skipped at load because they were malformed.
    uint32 GetSkippedAddInCount() const { return m_uiSkippedAddIns; }

private:
    TarnAnim::Skeleton* m_pSkeleton = nullptr;
    uint32 m_uiSkippedAddIns = 0;
    bool m_bLoaded = false;
    char m_acPath[kMaxPathLength] = {};
    char m_acName[kMaxNameLength + 1] = {};
    char m_acAnimSetPath[kMaxPathLength] = {};
};

}  // namespace TarnEngine
