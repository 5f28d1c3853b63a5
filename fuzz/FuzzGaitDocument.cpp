// The gait document loader and serializer: the input is the text of a gait
// document ("*.gait.json", or the "Json" text of a prefab's Gait add-in). An
// accepted document is resolved against the demo AnimSet's mocap, as the
// Gait builder does for a prefab.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Data/GaitSerializer.h"
#include "DataDynamic/Skeleton.h"
#include "FuzzSupport.h"

namespace {

TarnAnim::Skeleton* s_pSkeleton = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    TarnFuzz::QuietReports();
    const std::string kAnimSet = std::string(TARN_DATA_DIR) + "/demo/biped.animset.json";
    // Kept for the whole run: every input is resolved against it.
    s_pSkeleton = new TarnAnim::Skeleton;
    s_pSkeleton->Init(2, 2);
    if (s_pSkeleton->LoadAndStoreMocap(kAnimSet.c_str()) != 0)
    {
        fprintf(stderr, "fuzz_gait_document: cannot load %s\n", kAnimSet.c_str());
        abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize)
{
    TarnFuzz::RunTwiceCheckingEngineMemory([&] {
        GaitPlugin::ParamGait kParam;
        Common::CInputErrors kErrors;
        if (!GaitPlugin::GaitSerializer::LoadFromText(reinterpret_cast<const char*>(pData), uiSize, kParam, &kErrors))
            return;
        GaitPlugin::GaitRuntimeData kData;
        GaitPlugin::GaitSerializer::Serialize(&kParam, *s_pSkeleton->GetMocap(0), kData);
    });
    return 0;
}
