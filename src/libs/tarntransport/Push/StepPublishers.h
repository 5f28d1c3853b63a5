#pragma once

#include <atomic>

#include "Containers/TArray.h"
#include "Core/Types.h"

namespace TarnEngine {

// Something that sends its subscribers frames as the engine steps (see
// CPushChannel): called once at the end of every engine step.
class IStepPublisher
{
public:
    // uiStep counts the engine's steps from 1; uiElapsedMs is the step's time.
    virtual void PublishStep(uint64 uiStep, uint32 uiElapsedMs) = 0;

protected:
    ~IStepPublisher() = default;
};

// The publishers an engine calls at the end of each of its steps, in the
// order they were added, and the count of those steps.
//
// Does not own the publishers: each removes itself before it goes. Engine
// thread only, and a publisher must not add or remove publishers while it
// publishes; GetStep may be read from any thread.
class CStepPublishers
{
public:
    CStepPublishers() = default;
    ~CStepPublishers();
    CStepPublishers(const CStepPublishers&) = delete;
    CStepPublishers& operator=(const CStepPublishers&) = delete;

    // False (reported) for null, a publisher added already, or memory
    // refused.
    bool Add(IStepPublisher* pPublisher);
    void Remove(IStepPublisher* pPublisher);
    uint32 GetCount() const { return m_kPublishers.GetSize(); }

    // Counts one more step and calls every publisher with it.
    void Publish(uint32 uiElapsedMs);
    // The steps published so far.
    uint64 GetStep() const { return m_uiStep.load(std::memory_order_acquire); }

private:
    TarnRenderer::TArray<IStepPublisher*> m_kPublishers;
    std::atomic<uint64> m_uiStep{0};
    bool m_bPublishing = false;
};

}  // namespace TarnEngine
