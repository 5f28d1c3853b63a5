// The AnimSet loader: the input is the text of an "*.animset.json" document.
// An accepted mocap is handed to a skeleton, as a prefab's character does.
#include <cstddef>
#include <cstdint>

#include "DataDynamic/Skeleton.h"
#include "DataStatic/AnimSetLoader.h"
#include "DataStatic/Mocap.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    TarnFuzz::QuietReports();
    return 0;
}

namespace {

void LoadAnimSet(const uint8_t* pData, size_t uiSize)
{
    Common::CInputErrors kError;
    TarnAnim::Mocap* pMocap =
        TarnAnim::AnimSetLoader::LoadText(reinterpret_cast<const char*>(pData), uiSize, "fuzz.animset.json", kError);
    if (!pMocap)
        return;
    TarnAnim::Skeleton kSkeleton;
    kSkeleton.Init(2, 2);
    // The skeleton takes the mocap, even when it refuses it.
    if (kSkeleton.AddMocap(pMocap) >= 0)
        kSkeleton.CreateAnimatedSkeleton();
    kSkeleton.Release();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t uiSize)
{
    TarnFuzz::RunTwiceCheckingEngineMemory([&] { LoadAnimSet(pData, uiSize); });
    return 0;
}
