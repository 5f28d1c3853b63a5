#pragma once

#include "Core/Types.h"

namespace Common {
class CInputErrors;
}

namespace TarnEngine {

// What a prefab container hands the component builders as load context A
// (PluginComponentBuilder::BuildComponentData) while it offers them one of
// its add-ins: where the add-in's document comes from, and where a builder
// that cannot read the document says why.
//
// A builder that refuses the document records its problems in
// pDocumentErrors, one per member ("Binds[3].NameKeySource: expected a
// string"); the container then logs each of them naming the file, and counts
// the data objects the builder made from it, if any, as not usable (see
// PrefabContainer::IsDataUsable). A builder that reads the document leaves
// the list empty.
//
// The container owns everything here; it lives for one offer.
struct SAddInLoadContext
{
    // The container's file, and the add-in's index in its "AddInObjects".
    const char* pContainerFile = nullptr;
    uint32 uiAddInIndex = 0;
    // The file the document was read from (the add-in's "JsonFile",
    // resolved), or null for a document written in the add-in ("Json").
    const char* pDocumentFile = nullptr;
    // Empty when the container offers the add-in.
    Common::CInputErrors* pDocumentErrors = nullptr;
};

}  // namespace TarnEngine
