#include "Commands/CommandInstanceHelper.h"

#include "Commands/PointerResolver.h"
#include "Utils/debuglog.h"

namespace TarnEngine {

// The pointer resolver's process-wide slot. It stays in this source because
// the refusal of a second installation names the source it is made in
// ("<path of this file> : Instance has already been set"), and readers of
// the log (the Gait plug-in's own refusal line among them) know it by this
// name. The rest of the resolver is in PointerResolver.cpp.

std::atomic<CPointerResolver*> CPointerResolver::s_pInstance{nullptr};

bool CPointerResolver::SetInstance(CPointerResolver* pResolver)
{
    CPointerResolver* pExpected = nullptr;
    if (s_pInstance.compare_exchange_strong(pExpected, pResolver, std::memory_order_acq_rel))
        return true;
    if (pExpected != pResolver)
        Common::CDebugLog::Print("%s : Instance has already been set", __FILE__);
    return pExpected == pResolver;
}

void CPointerResolver::ReleaseInstance(CPointerResolver* pResolver)
{
    CPointerResolver* pExpected = pResolver;
    s_pInstance.compare_exchange_strong(pExpected, nullptr, std::memory_order_acq_rel);
}

}  // namespace TarnEngine
