#pragma once

// A crowd of demo characters on the real engine, walking, turning and
// stopping on a fixed script, and a fingerprint of where they all are: used
// by the tests that compare steps on one and several threads and by the
// engine-step benchmark.

#include <cstdint>
#include <cstring>
#include <vector>

#include "Engine/Engine.h"
#include "Plugin/GaitComponent.h"
#include "Plugin/GaitComponentBuilder.h"
#include "World/PrefabInstance.h"

namespace TestSupport {

struct SCrowd
{
    std::vector<TarnEngine::PrefabInstance*> kInstances;
    std::vector<GaitPlugin::GaitComponent*> kComponents;
};

// uiCount instances of the prefab on a grid 2 m apart, rows of 100, each
// with its Gait component activated. Stops at the first that cannot be made
// (the crowd is then smaller than asked).
inline SCrowd PlaceCrowd(TarnEngine::CEngine& kEngine, TarnEngine::PrefabContainer* pPrefab, uint32 uiCount)
{
    SCrowd kCrowd;
    for (uint32 i = 0; i < uiCount; ++i)
    {
        const Math::LocalVector3 kPlace{static_cast<float>(i % 100) * 2.0f, static_cast<float>(i / 100) * 2.0f, 0.0f};
        TarnEngine::PrefabInstance* pInstance = kEngine.InstancePrefab(pPrefab, kPlace, Math::Quaternion::Identity());
        GaitPlugin::GaitComponent* pComponent =
            pInstance ? GaitPlugin::GaitComponentBuilder::GetComponent(pInstance->GetLink()) : nullptr;
        if (!pComponent)
            break;
        pComponent->Activate(true);
        kCrowd.kInstances.push_back(pInstance);
        kCrowd.kComponents.push_back(pComponent);
    }
    return kCrowd;
}

// Steps of the script's phases: about two seconds at 16 ms.
constexpr uint32 kCrowdPhaseSteps = 120;

// The script, in four phases: walk toward a heading, turn to a new heading
// and walk on, turn again, stop. Each character runs it a little offset in
// time and heading; its requests are set at its first step and then at every
// phase boundary.
inline void ApplyCrowdScript(SCrowd& kCrowd, uint32 uiStep)
{
    const uint32 uiCount = static_cast<uint32>(kCrowd.kComponents.size());
    for (uint32 i = 0; i < uiCount; ++i)
    {
        const uint32 uiLocal = uiStep + (i % 13) * 5;
        if (uiStep != 0 && uiLocal % kCrowdPhaseSteps != 0)
            continue;
        const uint32 uiPhase = (uiLocal / kCrowdPhaseSteps) % 4;
        const float fHeading = 1.2f * static_cast<float>(uiPhase == 0 ? 0u : uiPhase - 1u) +
                               0.1f * static_cast<float>(i % 7) + (uiPhase == 1 ? 0.9f : 0.0f);
        kCrowd.kComponents[i]->SetRotation(Math::Quaternion::FromAxisAngle({0.0f, 0.0f, 1.0f}, fHeading));
        kCrowd.kComponents[i]->SetSpeed(uiPhase == 3 ? 0.0f : 1.0f);
    }
}

// A fingerprint (FNV-1a) of every character's position and rotation, bit for
// bit, and of the movement it plays.
inline uint64_t HashCrowd(const SCrowd& kCrowd)
{
    uint64_t ui64Hash = 1469598103934665603ull;
    const auto Mix = [&](const void* pData, size_t uiBytes) {
        const unsigned char* pBytes = static_cast<const unsigned char*>(pData);
        for (size_t i = 0; i < uiBytes; ++i)
            ui64Hash = (ui64Hash ^ pBytes[i]) * 1099511628211ull;
    };
    for (size_t i = 0; i < kCrowd.kInstances.size(); ++i)
    {
        const TarnRenderer::Link* pLink = kCrowd.kInstances[i]->GetLink();
        const Math::LocalVector3 kPosition = pLink->GetWorldPosition();
        const Math::Quaternion kRotation = pLink->GetWorldRotation();
        const float afValues[7] = {kPosition.x, kPosition.y, kPosition.z, kRotation.x,
                                   kRotation.y, kRotation.z, kRotation.w};
        Mix(afValues, sizeof(afValues));
        const uint32 uiMovement = kCrowd.kComponents[i]->GetActor().GetCurrentMovement();
        Mix(&uiMovement, sizeof(uiMovement));
    }
    return ui64Hash;
}

}  // namespace TestSupport
