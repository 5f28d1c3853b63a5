// The prefab loader: the input is the text of a "*.prefab.json" file. The
// loader reads files only, so each input is written to a file of this
// process first. The engine has the Gait builder registered, so that Gait
// add-ins reach their builder as in the host; its data root is fuzz/data,
// where "demo/biped.animset.json" is a lighter copy of the demo's (three
// channels), so that inputs naming it stay quick.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "Engine/Engine.h"
#include "Factory/PrefabContainer.h"
#include "FuzzSupport.h"
#include "Plugin/GaitComponentBuilder.h"
#include "Plugins/PluginManager.h"
#include "System/MemoryManager/MemoryManager.h"
#include "World/PrefabInstance.h"
#include "World/World.h"

namespace {

TarnEngine::CEngine* s_pEngine = nullptr;
std::string s_kPath;

void RemoveFile()
{
    if (!s_kPath.empty())
        unlink(s_kPath.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    TarnFuzz::QuietReports();
    static const std::string s_kDataDir = TARN_FUZZ_DATA_DIR;
    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = s_kDataDir.c_str();
    kStartup.pStaticPluginHook = [](TarnEngine::IPluginManager* pManager) {
        pManager->RegisterStaticPlugin(&GaitPlugin::GaitComponentBuilder::InitBuilderOnly,
                                       &GaitPlugin::GaitComponentBuilder::ReleaseBuilderOnly);
    };
    s_pEngine = TarnEngine::CEngine::CreateInstance(kStartup);
    if (!s_pEngine || !GaitPlugin::GaitComponentBuilder::GetBuilderOnly())
    {
        fprintf(stderr, "fuzz_prefab: the engine did not start with the Gait builder\n");
        abort();
    }
    const char* pTemp = getenv("TMPDIR");
    s_kPath =
        std::string(pTemp && pTemp[0] ? pTemp : "/tmp") + "/fuzz_prefab." + std::to_string(getpid()) + ".prefab.json";
    atexit(&RemoveFile);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize)
{
    FILE* pFile = fopen(s_kPath.c_str(), "wb");
    if (!pFile)
        abort();
    const bool bWritten = fwrite(pData, 1, uiSize, pFile) == uiSize;
    if (fclose(pFile) != 0 || !bWritten)
        abort();

    TarnFuzz::RunTwiceCheckingEngineMemory([] {
        TarnEngine::PrefabContainer* pContainer =
            TARN_NEW_TAGGED("TarnFuzz::Prefab", TarnEngine::PrefabContainer, s_pEngine->GetPluginManager());
        Common::CInputErrors kError;
        if (pContainer->LoadFile(s_kPath.c_str(), kError) && pContainer->GetSkeleton())
        {
            // A loaded prefab is placed and stepped once, then taken away
            // again: the add-ins' components are built and torn down as in
            // the host.
            TarnEngine::CWorld* pWorld = s_pEngine->GetWorld();
            TarnEngine::PrefabInstance* pInstance =
                pWorld->InstancePrefab(pContainer, Math::LocalVector3(), Math::Quaternion::Identity());
            if (pInstance)
            {
                s_pEngine->Step(16);
                pWorld->RemoveInstance(pInstance);
            }
        }
        TARN_DELETE(pContainer);
    });
    return 0;
}
