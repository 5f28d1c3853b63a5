#include "Simulation.h"

#include <cmath>

#include "Control/GaitActor.h"
#include "DataDynamic/AnimationControl.h"
#include "Engine/Engine.h"
#include "Math/SFMT/SFMT.h"
#include "Plugin/GaitComponent.h"
#include "Plugin/GaitComponentBuilder.h"
#include "Plugins/PluginManager.h"
#include "Plugins/PluginParam.h"
#include "System/MemoryManager/MemoryManager.h"
#include "World/PrefabInstance.h"

namespace GaitSim {

namespace {

using GaitPlugin::GaitComponent;
using GaitPlugin::GaitComponentBuilder;

double HeadingOf(const Math::Quaternion& q)
{
    return std::atan2(2.0 * (q.w * q.z + q.x * q.y), 1.0 - 2.0 * (q.y * q.y + q.z * q.z)) * 180.0 /
           3.14159265358979323846;
}

void ApplyCall(const SScenarioCall& kCall, GaitComponent& kComponent)
{
    switch (kCall.eKind)
    {
        case SScenarioCall::EKind::Activate:
            kComponent.Activate(kCall.bActive);
            break;
        case SScenarioCall::EKind::SetSpeed:
            kComponent.SetSpeed(kCall.fSpeed);
            break;
        case SScenarioCall::EKind::SetRotation:
            kComponent.SetRotation(kCall.kRotation);
            break;
        case SScenarioCall::EKind::Reset:
            kComponent.Reset();
            break;
        case SScenarioCall::EKind::ReloadFromJson:
            kComponent.ReloadFromJson(kCall.kDocument.c_str());
            break;
    }
}

void AddEvent(std::string& kEvents, const std::string& kEvent)
{
    if (!kEvents.empty())
        kEvents += ' ';
    kEvents += kEvent;
}

}  // namespace

bool RunScenario(const SScenario& kScenario, const std::string& kDataRoot, SRun& kRun, std::string& kError,
                 const std::function<void(double)>& kProgress)
{
    TarnEngine::SEngineStartup kStartup;
    kStartup.pDataRoot = kDataRoot.c_str();
    kStartup.uiRandomSeed = kScenario.uiSeed;
    kStartup.pStaticPluginHook = [](TarnEngine::IPluginManager* pManager) {
        pManager->RegisterStaticPlugin(&GaitComponentBuilder::InitBuilderOnly,
                                       &GaitComponentBuilder::ReleaseBuilderOnly);
    };
    TarnEngine::CEngine* pEngine = TarnEngine::CEngine::CreateInstance(kStartup);
    if (!pEngine || !GaitComponentBuilder::GetBuilderOnly())
    {
        kError = "the engine could not start";
        if (pEngine)
            TarnEngine::CEngine::DestroyInstance();
        return false;
    }

    bool bOk = true;
    std::vector<TarnEngine::PrefabInstance*> kInstances;
    std::vector<GaitComponent*> kComponents;
    TarnEngine::PrefabContainer* pPrefab = pEngine->LoadPrefab(kScenario.kPrefab.c_str());
    if (!pPrefab)
    {
        kError = "cannot load the prefab " + kScenario.kPrefab + " (see the log above)";
        bOk = false;
    }
    for (uint32 i = 0; bOk && i < kScenario.uiCharacters; ++i)
    {
        TarnEngine::PrefabInstance* pInstance =
            pEngine->InstancePrefab(pPrefab, Math::LocalVector3(0.0f, kScenario.fSpacing * static_cast<float>(i), 0.0f),
                                    Math::Quaternion::Identity());
        GaitComponent* pComponent = pInstance ? GaitComponentBuilder::GetComponent(pInstance->GetLink()) : nullptr;
        if (!pComponent)
        {
            kError = "the prefab " + kScenario.kPrefab + " has no Gait component";
            bOk = false;
            break;
        }
        kInstances.push_back(pInstance);
        kComponents.push_back(pComponent);
    }

    if (bOk)
    {
        kRun.uiCharacters = kScenario.uiCharacters;
        kRun.dDuration = kScenario.dDuration;
        const uint64 uiSteps = static_cast<uint64>(std::ceil(kScenario.dDuration * 1000.0 / kScenario.uiStepMs - 1e-9));
        kRun.kSamples.reserve(uiSteps * kScenario.uiCharacters);
        std::vector<uint32> kLastMovement(kScenario.uiCharacters, GaitPlugin::EAnimMovement::NB_TYPE);
        size_t uiNextCall = 0;
        const uint64 uiStepsPerReport = 1000 / kScenario.uiStepMs + 1;
        for (uint64 uiStep = 0; uiStep < uiSteps; ++uiStep)
        {
            const double dNow = static_cast<double>(uiStep) * kScenario.uiStepMs / 1000.0;
            std::vector<std::string> kEvents(kScenario.uiCharacters);
            // Calls due by now go in before the step.
            for (; uiNextCall < kScenario.kCalls.size() && kScenario.kCalls[uiNextCall].dAt <= dNow + 1e-9;
                 ++uiNextCall)
            {
                const SScenarioCall& kCall = kScenario.kCalls[uiNextCall];
                for (uint32 c = 0; c < kScenario.uiCharacters; ++c)
                    if (kCall.iCharacter < 0 || kCall.iCharacter == static_cast<int>(c))
                    {
                        ApplyCall(kCall, *kComponents[c]);
                        kRun.kCalls.push_back(SMadeCall{dNow, c, uiNextCall});
                        std::string kText = std::string("call:") + GetCallName(kCall.eKind);
                        if (kCall.eKind == SScenarioCall::EKind::SetRotation)
                        {
                            // (appended piecewise: g++ 12 warns wrongly on "(" + std::string)
                            kText += '(';
                            kText += std::to_string(static_cast<int>(std::lround(kCall.dHeadingDeg)));
                            kText += ')';
                        }
                        AddEvent(kEvents[c], kText);
                    }
            }
            pEngine->Step(kScenario.uiStepMs);
            const double dAfter = static_cast<double>(uiStep + 1) * kScenario.uiStepMs / 1000.0;
            for (uint32 c = 0; c < kScenario.uiCharacters; ++c)
            {
                SSample kSample;
                kSample.dTime = dAfter;
                kSample.uiCharacter = c;
                const TarnRenderer::Link* pLink = kInstances[c]->GetLink();
                kSample.afPosition[0] = pLink->GetWorldPosition().x;
                kSample.afPosition[1] = pLink->GetWorldPosition().y;
                kSample.afPosition[2] = pLink->GetWorldPosition().z;
                kSample.dHeadingDeg = HeadingOf(pLink->GetWorldRotation());
                kSample.dRequestedHeadingDeg = HeadingOf(kComponents[c]->GetRotation());
                kSample.fRequestedSpeed = kComponents[c]->GetSpeed();
                const GaitPlugin::GaitActor& kActor = kComponents[c]->GetActor();
                kSample.uiMovement = kActor.GetCurrentMovement();
                for (uint32 m = 0; m < GaitPlugin::EAnimMovement::NB_TYPE; ++m)
                    if (const TarnAnim::AnimationControl* pControl = kActor.GetMovementControl(m))
                        kSample.afWeights[m] = pControl->GetEffectiveWeight();
                kSample.kEvents = std::move(kEvents[c]);
                if (kSample.uiMovement != kLastMovement[c] && kSample.uiMovement < GaitPlugin::EAnimMovement::NB_TYPE)
                    AddEvent(kSample.kEvents,
                             std::string("enter:") + GaitPlugin::g_apAnimMovementNames[kSample.uiMovement]);
                kLastMovement[c] = kSample.uiMovement;
                kRun.kSamples.push_back(std::move(kSample));
            }
            if (kProgress && (uiStep + 1) % uiStepsPerReport == 0)
                kProgress(static_cast<double>(uiStep + 1) / static_cast<double>(uiSteps));
        }
    }

    TarnEngine::CEngine::DestroyInstance();
    return bOk;
}

}  // namespace GaitSim
