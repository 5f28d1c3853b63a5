#pragma once

#include "Core/Types.h"
#include "Factory/PluginDataContainer.h"
#include "Utils/InputErrors.h"

namespace TarnAnim {
class Skeleton;
}

namespace TarnEngine {

class IPluginManager;
struct SAddInLoadContext;

// A prefab loaded from its file (*.prefab.json, see docs/formats.md): its
// name, the skeleton of its character (the AnimSet the file names) and the
// data objects of its add-ins, from which components are built on the links
// of its instances.
//
// Loading (LoadFile) checks the whole root object first and refuses the file
// at the first problem, with a message naming the file and the member ("<file>:
// <member>: <problem>", for example "/data/props/crate.prefab.json: AnimSet:
// expected a string"), when "Name", "AnimSet" or "AddInObjects" is wrong or
// the AnimSet cannot be loaded; nothing is kept then.
//
// An add-in carries its component's document either as text ("Json") or as
// the path of a file that holds it ("JsonFile", absolute or relative to the
// data root, like "AnimSet"); a document read from its file is handed to
// the builders as if it were the add-in's text. One add-in object that is
// malformed (not an object, "Type" or "Json" not a string, "Json" not valid
// JSON text, "JsonFile" naming a file that cannot be read or is not valid
// JSON text) is logged with the file and its index and skipped; the others
// load. The add-ins are handed to the plugin manager last, so its builders
// must be registered before the load. A builder is given an
// SAddInLoadContext as load context A; the problems it records there about
// the document are logged a line each, "<file>: <member>: <problem>", where
// the file is the document's own file, or "<prefab file>:
// AddInObjects[i].Json" for a document written in the prefab.
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
    // False for a data object that its builder made from a document it
    // could not read (a builder may keep such data, to be loaded again
    // later); a component built from it does nothing. True for the others.
    bool IsDataUsable(const IPluginComponentData* pData) const;
    // One problem for each add-in that gave no usable data, about the add-in
    // ("AddInObjects[1]", "AddInObjects[0].JsonFile", ...): skipped as
    // malformed, a document its builder could not read (its first problem),
    // no builder of its type, refused by its builder. Source: the prefab
    // file; empty when every add-in gave usable data.
    const Common::CInputErrors& GetAddInProblems() const { return m_kAddInProblems; }

private:
    // Offers the add-ins at the indices kOffered of pAddIns to the builders,
    // one at a time, and notes their problems in kProblems.
    void OfferAddIns(const PluginJsonValue* pAddIns, const TarnRenderer::TArray<uint32>& kOffered,
                     Common::CInputErrors& kProblems);
    // Logs the problems a builder found in an add-in's document.
    void LogDocumentProblems(const SAddInLoadContext& kContext, const Common::CInputErrors& kErrors) const;

    TarnAnim::Skeleton* m_pSkeleton = nullptr;
    uint32 m_uiSkippedAddIns = 0;
    TarnRenderer::TArray<const IPluginComponentData*> m_kUnusableData;
    Common::CInputErrors m_kAddInProblems;
    bool m_bLoaded = false;
    char m_acPath[kMaxPathLength] = {};
    char m_acName[kMaxNameLength + 1] = {};
    char m_acAnimSetPath[kMaxPathLength] = {};
};

}  // namespace TarnEngine
