#include "Push/StepPublishers.h"

#include "Utils/assertion.h"

namespace TarnEngine {

CStepPublishers::~CStepPublishers()
{
    TARN_ASSERT(m_kPublishers.IsEmpty(), "%u step publishers did not remove themselves", m_kPublishers.GetSize());
}

bool CStepPublishers::Add(IStepPublisher* pPublisher)
{
    if (!TARN_ASSERT(pPublisher && !m_bPublishing, "step publishers are added outside a step") ||
        !TARN_ASSERT(m_kPublishers.Find(pPublisher) == m_kPublishers.uiMaxValue, "step publisher added twice"))
        return false;
    const uint32 uiBefore = m_kPublishers.GetSize();
    m_kPublishers.Add(pPublisher);
    return m_kPublishers.GetSize() == uiBefore + 1;
}

void CStepPublishers::Remove(IStepPublisher* pPublisher)
{
    if (!TARN_ASSERT(!m_bPublishing, "step publishers are removed outside a step"))
        return;
    const uint32 uiIndex = m_kPublishers.Find(pPublisher);
    if (uiIndex != m_kPublishers.uiMaxValue)
        m_kPublishers.RemoveAt(uiIndex);
}

void CStepPublishers::Publish(uint32 uiElapsedMs)
{
    const uint64 uiStep = m_uiStep.load(std::memory_order_relaxed) + 1;
    m_uiStep.store(uiStep, std::memory_order_release);
    m_bPublishing = true;
    for (IStepPublisher* pPublisher : m_kPublishers)
        pPublisher->PublishStep(uiStep, uiElapsedMs);
    m_bPublishing = false;
}

}  // namespace TarnEngine
