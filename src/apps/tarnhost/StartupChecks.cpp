#include "StartupChecks.h"

#include <unordered_set>

#include "Engine/Engine.h"
#include "Factory/PrefabContainer.h"
#include "Plugins/ModuleLoader.h"
#include "Plugins/PluginManager.h"
#include "Utils/idfromstring.h"
#include "World/PrefabInstance.h"
#include "shared/AppPaths.h"

namespace TarnHost {

std::vector<std::string> FindPluginProblems(const std::string& kFolder, uint32 uiStarted)
{
    std::vector<std::string> kProblems;
    TarnRenderer::TArray<TarnEngine::CModuleLoader::FileName> kFiles;
    TarnRenderer::TArray<TarnEngine::CModuleLoader::SkippedFile> kSkipped;
    if (!TarnApp::IsDirectory(kFolder))
        return {"the plug-in folder " + kFolder + " does not exist"};
    if (!TarnEngine::CModuleLoader::ListPluginFiles(kFolder.c_str(), kFiles, &kSkipped))
        return {"the plug-in folder " + kFolder + " cannot be read"};
    for (const TarnEngine::CModuleLoader::SkippedFile& kFile : kSkipped)
        kProblems.push_back(kFolder + "/" + kFile.m_acName + ": " + kFile.m_acReason);
    if (kFiles.IsEmpty() && kSkipped.IsEmpty())
    {
        char acPattern[128];
        TarnEngine::CModuleLoader::GetPluginFilePattern(acPattern, sizeof(acPattern));
        kProblems.push_back("no plug-in module (" + std::string(acPattern) + ") in " + kFolder);
    }
    // The plugin manager logs each module that did not start with its reason.
    if (uiStarted < kFiles.GetSize())
        kProblems.push_back(std::to_string(kFiles.GetSize() - uiStarted) + " of the " +
                            std::to_string(kFiles.GetSize()) + " plug-in modules in " + kFolder +
                            " did not start (the log names them: \"plugin ... loading : Failed\")");
    return kProblems;
}

std::vector<std::string> FindAddInProblems(const TarnEngine::PrefabContainer& kPrefab)
{
    std::vector<std::string> kProblems;
    const Common::CInputErrors& kErrors = kPrefab.GetAddInProblems();
    char acLine[Common::CInputErrors::kTextCapacity];
    for (uint32 i = 0; i < kErrors.GetKeptCount(); ++i)
        kProblems.emplace_back(kErrors.FormatProblem(i, acLine, sizeof(acLine)));
    if (kErrors.FormatUnlisted(kErrors.GetKeptCount(), acLine, sizeof(acLine)))
        kProblems.push_back(std::string(kErrors.GetSource()) + ": " + acLine);
    return kProblems;
}

uint32 CountCharacters(const TarnEngine::CEngine& kEngine, const TarnEngine::PrefabContainer& kPrefab,
                       const std::vector<TarnEngine::PrefabInstance*>& kPlaced)
{
    const uint32 uiComponentId = GenerateUIntIdFromString(kCharacterComponent);
    bool bUsableData = false;
    for (const TarnEngine::IPluginComponentData* pData : kPrefab.GetPluginData())
        bUsableData = bUsableData || (pData && pData->GetTypeID() == uiComponentId && kPrefab.IsDataUsable(pData));
    const TarnEngine::BasePluginManager* pManager = kEngine.GetPluginManager();
    TarnEngine::PluginComponentBuilder* const* ppBuilder =
        pManager ? pManager->GetComponentBuilders().Lookup(uiComponentId) : nullptr;
    if (!bUsableData || !ppBuilder || !*ppBuilder)
        return 0;
    // The builder lists the links it built a component on.
    const std::unordered_set<const TarnRenderer::Link*> kBuilt((*ppBuilder)->links.begin(), (*ppBuilder)->links.end());
    uint32 uiCharacters = 0;
    for (const TarnEngine::PrefabInstance* pInstance : kPlaced)
        uiCharacters += kBuilt.count(pInstance->GetLink()) ? 1u : 0u;
    return uiCharacters;
}

}  // namespace TarnHost
