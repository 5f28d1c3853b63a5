#include "Plugins/PluginParam.h"

#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"

namespace TarnEngine {

void FillBuildStamp(PluginBuildStamp& kStamp)
{
#if defined(NDEBUG)
    kStamp.m_uiDebugBuild = 0;
#else
    kStamp.m_uiDebugBuild = 1;
#endif
    kStamp.m_ui64PointerSize = sizeof(void*);
#if defined(__clang__)
    kStamp.m_ui64ToolsetVersion =
        static_cast<uint64>(__clang_major__) * 10000u + __clang_minor__ * 100u + __clang_patchlevel__;
#elif defined(__GNUC__)
    kStamp.m_ui64ToolsetVersion = static_cast<uint64>(__GNUC__) * 10000u + __GNUC_MINOR__ * 100u + __GNUC_PATCHLEVEL__;
#else
    kStamp.m_ui64ToolsetVersion = 0;
#endif
}

bool IsSameBuildStamp(const PluginBuildStamp* pFirst, const PluginBuildStamp* pSecond)
{
    if (!pFirst || !pSecond)
        return false;
    return pFirst->m_uiDebugBuild == pSecond->m_uiDebugBuild &&
           pFirst->m_ui64PointerSize == pSecond->m_ui64PointerSize &&
           pFirst->m_ui64ToolsetVersion == pSecond->m_ui64ToolsetVersion;
}

PluginParam::PluginParam()
{
    m_pBuildStamp = TARN_NEW_TAGGED("TarnEngine::PluginParam::PluginParam", PluginBuildStamp);
    if (TARN_ASSERT(m_pBuildStamp, "PluginParam : no memory for the build stamp"))
        FillBuildStamp(*m_pBuildStamp);
}

PluginParam::~PluginParam()
{
    TARN_DELETE(m_pBuildStamp);
}

bool PluginParam::MatchesThisBuild() const
{
    PluginBuildStamp kOwn;
    FillBuildStamp(kOwn);
    return IsSameBuildStamp(m_pBuildStamp, &kOwn);
}

}  // namespace TarnEngine
