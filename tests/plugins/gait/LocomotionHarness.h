#pragma once

// Demo characters on the whole animation runtime, stepped like the engine
// steps them (every actor's update, then the animation tick with root
// motion), with a log of what each did. The locomotion tests read their
// figures from these logs.

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "AnimManager/AnimManager.h"
#include "Control/GaitActor.h"
#include "Data/GaitSerializer.h"
#include "DataDynamic/AnimationControl.h"
#include "DataDynamic/Skeleton.h"
#include "Math/SFMT/SFMT.h"
#include "Process/Sampler.h"
#include "Scene/Link.h"
#include "World/WorldContext.h"
#include "support/TextFile.h"

namespace Locomotion {

namespace EAnimMovement = GaitPlugin::EAnimMovement;
using TarnAnim::AnimationControl;

constexpr float kPi = 3.14159265358979f;
constexpr float kDegrees = kPi / 180.0f;

inline Math::Quaternion Yaw(float fRadians)
{
    return Math::Quaternion::FromAxisAngle({0.0f, 0.0f, 1.0f}, fRadians);
}

inline float Heading(const Math::Quaternion& kRotation)
{
    const Math::LocalVector3 kForward = kRotation.Rotate({1.0f, 0.0f, 0.0f});
    return std::atan2(kForward.y, kForward.x);
}

// a - b folded into (-pi, pi].
inline float AngleDelta(float fA, float fB)
{
    float fDelta = std::fmod(fA - fB, 2.0f * kPi);
    if (fDelta > kPi)
        fDelta -= 2.0f * kPi;
    if (fDelta <= -kPi)
        fDelta += 2.0f * kPi;
    return fDelta;
}

inline float AngleBetween(float fA, float fB)
{
    return std::fabs(AngleDelta(fA, fB));
}

struct SSample
{
    float fTime = 0.0f;  // seconds since the run began
    uint32 eMovement = 0;
    Math::LocalVector3 kPosition;
    float fHeading = 0.0f;
    float fRequestedSpeed = 0.0f;
    float fWalkWeight = 0.0f;  // effective weights
    float fWalkSpeed = 0.0f;
    float fWalkFrame = -1.0f;  // position of the walk control
    float fTurnLeftWeight = 0.0f;
    float fTurnRightWeight = 0.0f;
    Math::LocalVector3 akAnkles[2];  // world positions, left and right
};

class CWorld;

// One character: its link, anim actor and Gait actor, what it is asked, and
// its log.
struct SCharacter
{
    TarnRenderer::Link kLink;
    TarnRenderer::AnimActor* pAnimActor = nullptr;
    std::unique_ptr<GaitPlugin::GaitActor> pActor;
    Math::Quaternion kTarget = Math::Quaternion::Identity();
    float fSpeed = 0.0f;
    std::vector<SSample> kLog;
    std::vector<float> kContacts;  // times of the foot-on-floor events
    // Walk frames at the updates that entered and left the walk.
    std::vector<float> kWalkEntries;
    std::vector<float> kWalkExits;
    // The rectifier's largest correction in radians per second, and over the
    // current engine step.
    float fMaxCorrectionRate = 0.0f;
    float fStepCorrection = 0.0f;
    CWorld* pWorld = nullptr;

    GaitPlugin::GaitActor& Actor() { return *pActor; }
    uint32 Movement() const { return pActor->GetCurrentMovement(); }
    const SSample& Last() const { return kLog.back(); }
    float HeadingNow() const { return Heading(kLink.GetWorldRotation()); }
};

// The demo AnimSet and gait document on one skeleton, an animation session,
// and the characters placed on it.
class CWorld
{
public:
    CWorld()
    {
        const std::string kFolder = std::string(TARN_DATA_DIR) + "/demo/";
        m_kSkeleton.Init(64, 64);
        m_bReady = m_kSkeleton.LoadAndStoreMocap((kFolder + "biped.animset.json").c_str()) == 0;
        const std::string kGait = TestSupport::ReadTextFile(kFolder + "biped.gait.json");
        m_bReady = m_bReady && GaitPlugin::GaitSerializer::LoadFromText(kGait.data(), kGait.size(), m_kParam);
        if (m_bReady)
            GaitPlugin::GaitSerializer::Serialize(&m_kParam, *m_kSkeleton.GetMocap(0), m_kData);
        m_bReady = m_bReady && GaitPlugin::IsDataValid(&m_kData);
        m_uiStorage = m_kManager.AddSession();
        m_kContext.pAnimManager = &m_kManager;
        m_kContext.uiWorldIndex = m_uiStorage;
        if (const TarnAnim::Mocap* pMocap = m_bReady ? m_kSkeleton.GetMocap(0) : nullptr)
        {
            for (uint32 i = 0; i < pMocap->GetChannelCount(); ++i)
            {
                const std::string kName = pMocap->m_kChannelNames[i].Get();
                if (kName == "LeftAnkle" || kName == "RightAnkle")
                    m_auiAnkles[kName == "LeftAnkle" ? 0 : 1] = i;
            }
            m_uiMotionChannel = m_kSkeleton.GetAccumChannel(1);
        }
        Math::SeedRandom(2024);
    }
    ~CWorld()
    {
        for (std::unique_ptr<SCharacter>& pCharacter : m_kCharacters)
        {
            pCharacter->pActor.reset();
            m_kManager.DestroyActor(pCharacter->pAnimActor);
        }
        m_kSkeleton.Release();
    }
    CWorld(const CWorld&) = delete;
    CWorld& operator=(const CWorld&) = delete;

    bool IsReady() const { return m_bReady; }
    const GaitPlugin::GaitRuntimeData& GetData() const { return m_kData; }

    // A character at a place and heading, started. With bSteering it takes
    // the rectified rotation, as the gait document's steering extension asks.
    SCharacter& AddCharacter(bool bSteering, const Math::LocalVector3& kPosition = {}, float fHeading = 0.0f)
    {
        SCharacter& kCharacter = *m_kCharacters.emplace_back(std::make_unique<SCharacter>());
        kCharacter.pWorld = this;
        kCharacter.kLink.SetWorldPosition(kPosition);
        kCharacter.kLink.SetWorldRotation(Yaw(fHeading));
        kCharacter.kTarget = Yaw(fHeading);
        TarnAnim::AnimatedSkeleton* pInstance = m_kSkeleton.CreateAnimatedSkeleton();
        EXPECT_NE(pInstance, nullptr);
        kCharacter.pAnimActor =
            m_kManager.CreateActor(m_uiStorage, &m_kSkeleton, pInstance ? pInstance->GetIndex() : 0, &kCharacter.kLink);
        kCharacter.pActor = std::make_unique<GaitPlugin::GaitActor>();
        kCharacter.pActor->Init(&m_kData, &m_kContext, &kCharacter.kLink, kCharacter.pAnimActor, true, true);
        if (bSteering)
            kCharacter.pActor->SetRotationCallback(&CWorld::OnRotation, &kCharacter);
        kCharacter.pActor->SetFootOnFloorCallback(&CWorld::OnFootOnFloor, &kCharacter);
        kCharacter.pActor->SetStandby(false);
        return kCharacter;
    }

    // One engine step: every actor's update, then the animation tick.
    void Step(float fDtMs)
    {
        for (std::unique_ptr<SCharacter>& pCharacter : m_kCharacters)
        {
            SCharacter& kCharacter = *pCharacter;
            const uint32 eBefore = kCharacter.Movement();
            kCharacter.pActor->Update(kCharacter.kTarget, kCharacter.fSpeed, fDtMs);
            const bool bWalked = eBefore == EAnimMovement::Walk;
            if ((kCharacter.Movement() == EAnimMovement::Walk) != bWalked)
                if (const AnimationControl* pWalk = kCharacter.Actor().GetMovementControl(EAnimMovement::Walk))
                    (bWalked ? kCharacter.kWalkExits : kCharacter.kWalkEntries).push_back(pWalk->GetFrame());
            kCharacter.fStepCorrection = 0.0f;
        }
        m_kManager.Tick(m_uiStorage, fDtMs);
        m_fTime += fDtMs / 1000.0f;
        for (std::unique_ptr<SCharacter>& pCharacter : m_kCharacters)
        {
            pCharacter->fMaxCorrectionRate =
                std::max(pCharacter->fMaxCorrectionRate, pCharacter->fStepCorrection / (fDtMs / 1000.0f));
            Record(*pCharacter);
        }
    }
    // Steps for a time (whole steps, the last one not past the time).
    void RunFor(float fSeconds, float fDtMs)
    {
        const int iSteps = static_cast<int>(fSeconds * 1000.0f / fDtMs + 1e-3f);
        for (int i = 0; i < iSteps; ++i)
            Step(fDtMs);
    }

    bool m_bRecordAnkles = false;

private:
    // The world position of a channel: the link's transform on top of the
    // channel's place below the motion channel (whose travel root motion has
    // moved to the link).
    void ChannelPosition(SCharacter& kCharacter, uint32 uiChannel, Math::LocalVector3& kOut)
    {
        const TarnAnim::Mocap* pMocap = m_kSkeleton.GetMocap(0);
        if (!pMocap || uiChannel >= pMocap->GetChannelCount() ||
            !TarnAnim::Sampler::SampleInstancePose(m_kSkeleton, kCharacter.pAnimActor->iAnimatedSkeletonIdx, m_kPose))
            return;
        Math::LocalVector3 kPosition;
        for (uint32 c = uiChannel; c != kInvalidIndex && c != m_uiMotionChannel; c = pMocap->m_kChannelParents[c])
            kPosition = m_kPose[c].kRotation.Rotate(kPosition) + m_kPose[c].kTranslation;
        kOut = kCharacter.kLink.GetWorldPosition() + kCharacter.kLink.GetWorldRotation().Rotate(kPosition);
    }

    void Record(SCharacter& kCharacter)
    {
        GaitPlugin::GaitActor& kActor = *kCharacter.pActor;
        SSample kSample;
        kSample.fTime = m_fTime;
        kSample.eMovement = kActor.GetCurrentMovement();
        kSample.kPosition = kCharacter.kLink.GetWorldPosition();
        kSample.fHeading = kCharacter.HeadingNow();
        kSample.fRequestedSpeed = kCharacter.fSpeed;
        if (!kActor.IsStandby() && kActor.GetTunes().GetSize() == EAnimMovement::NB_TYPE)
        {
            const AnimationControl* pWalk = kActor.GetMovementControl(EAnimMovement::Walk);
            const AnimationControl* pLeft = kActor.GetMovementControl(EAnimMovement::TurnLeft);
            const AnimationControl* pRight = kActor.GetMovementControl(EAnimMovement::TurnRight);
            kSample.fWalkWeight = pWalk ? pWalk->GetEffectiveWeight() : 0.0f;
            kSample.fWalkSpeed = pWalk ? pWalk->GetSpeed() : 0.0f;
            kSample.fWalkFrame = pWalk ? pWalk->GetPosition() : -1.0f;
            kSample.fTurnLeftWeight = pLeft ? pLeft->GetEffectiveWeight() : 0.0f;
            kSample.fTurnRightWeight = pRight ? pRight->GetEffectiveWeight() : 0.0f;
        }
        if (m_bRecordAnkles)
            for (uint32 i = 0; i < 2; ++i)
                ChannelPosition(kCharacter, m_auiAnkles[i], kSample.akAnkles[i]);
        kCharacter.kLog.push_back(kSample);
    }

    // Measures the rectifier's correction, then hands the rotation to the
    // link as a component does.
    static void OnRotation(TarnRenderer::Link* pSceneObject, Math::LocalVector3& kTranslation,
                           Math::Quaternion& kRotation, void* pContext)
    {
        // The angle of the rotation from the root motion's (which the link
        // holds) to the rectified one, from its vector part: exact for the
        // small corrections of one pass, as an arc cosine near 1 is not.
        const Math::Quaternion kRelative = pSceneObject->GetWorldRotation().Conjugate() * kRotation;
        const float fVector =
            std::sqrt(kRelative.x * kRelative.x + kRelative.y * kRelative.y + kRelative.z * kRelative.z);
        static_cast<SCharacter*>(pContext)->fStepCorrection += 2.0f * std::atan2(fVector, std::fabs(kRelative.w));
        GaitPlugin::GaitActor::ApplyRotationToLink(pSceneObject, kTranslation, kRotation, nullptr);
    }
    static void OnFootOnFloor(TarnRenderer::Link*, TarnRenderer::AnimActor*, void* pContext)
    {
        auto* pCharacter = static_cast<SCharacter*>(pContext);
        pCharacter->kContacts.push_back(pCharacter->pWorld->m_fTime);
    }

    TarnAnim::Skeleton m_kSkeleton;
    TarnRenderer::CAnimManager m_kManager;
    TarnEngine::WorldContext m_kContext;
    uint32 m_uiStorage = 0;
    GaitPlugin::ParamGait m_kParam;
    GaitPlugin::GaitRuntimeData m_kData;
    std::vector<std::unique_ptr<SCharacter>> m_kCharacters;
    TarnRenderer::TArray<TarnAnim::Transform> m_kPose;
    uint32 m_auiAnkles[2] = {kInvalidIndex, kInvalidIndex};
    uint32 m_uiMotionChannel = kInvalidIndex;
    float m_fTime = 0.0f;
    bool m_bReady = false;
};

}  // namespace Locomotion
