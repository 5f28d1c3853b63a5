#!/usr/bin/env python3
"""Checks that the tests catch faults: applies one small change at a time to
a copy of the source tree (a comparison flipped, a check or a call removed),
builds the test programs of that copy and runs the tests that should notice.
A mutation that leaves every named test passing is a hole in the tests.

    scripts/mutate.py                 every mutation
    scripts/mutate.py -k budget       those whose name contains "budget"
                                      (-k again: those matching any)
    scripts/mutate.py --list          the mutations, without running them
    scripts/mutate.py --rev HEAD      a commit's sources instead of the working tree

The copy lives in build/mutate (sources copied fresh for each run, the build
folder kept between runs, so only what a mutation touches is rebuilt). The
working tree is never changed. Exit code 0 when every mutation was caught.
"""
import argparse
import os
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# (name, file, text to find (exactly once), replacement, ctest regex)
#
# Left out because no test can tell them apart from the code (the same
# behaviour follows either way): the connection loop's own stop check (the
# admission refuses every request once the host stops), and stilling the
# turns when a walk starts (a walk starts only once the turns have arrived
# and been stilled).
MUTATIONS = [
    ("each Gait actor draws from a random stream of its own",
     "src/plugins/gait/Control/GaitActor.cpp",
     "(NextRandom() >> 31) == 0 ?",
     "Math::RandomRange(0, 1) == 0 ?",
     "ParallelStep"),
    ("an instance's passes end when its controls have no time left",
     "src/libs/tarnanim/Process/FrameProcessor.cpp",
     "        bTimeLeft = Step(kSkeleton, uiInstance, kWorkspace);",
     "        Step(kSkeleton, uiInstance, kWorkspace);\n        bTimeLeft = false;",
     "AnimManagerTest"),
    ("an instance's events are those of its own controls",
     "src/libs/tarnanim/DataDynamic/Skeleton.cpp",
     "if (pControl && pControl->m_uiInstanceIndex != uiAnimated)",
     "if (pControl && pControl->m_uiInstanceIndex == uiAnimated)",
     "AnimManagerTest"),
    ("instances without an actor play too",
     "src/libs/tarnanimmanager/AnimManager/AnimManager.cpp",
     "if (!pProcessor->HasBegun(uiInstance) && pProcessor->StepInstance(*pSkeleton, uiInstance, kWorkspace))",
     "if (false && pProcessor->StepInstance(*pSkeleton, uiInstance, kWorkspace))",
     "AnimManagerTest.EachInstance"),
    ("an instance has one tick per tick",
     "src/libs/tarnanim/Process/FrameProcessor.cpp",
     "    if (std::atomic_ref<bool>(m_kInstances[uiInstance].bBegun).exchange(true, std::memory_order_relaxed))\n        return false;",
     "    m_kInstances[uiInstance].bBegun = true;",
     "AnimManagerTest|ParallelStep"),
    ("a parallel phase reserves the room it promises",
     "src/libs/tarnanim/DataDynamic/Skeleton.cpp",
     "        m_kControls.Reserve(uiWanted);",
     "        (void)uiWanted;",
     "AnimationControlTest.WhileInstances"),
    ("the worker pool hands out every chunk",
     "src/libs/common/System/Thread/WorkerPool.cpp",
     "if (uiFirst >= m_uiCount)",
     "if (uiFirst + m_uiChunk > m_uiCount)",
     "WorkerPool"),
    ("a loop inside a loop runs on its caller",
     "src/libs/common/System/Thread/WorkerPool.cpp",
     "if (m_kWorkers.IsEmpty() || t_bInLoop || uiCount <= uiChunk)",
     "if (m_kWorkers.IsEmpty() || uiCount <= uiChunk)",
     "WorkerPool"),
    ("a loop's path smoothed as a cycle",
     "src/apps/tarnimport/Importer.cpp",
     "kX = kSpec.bLoop ? SmoothCycle(kX, iHalf) : Smooth(kX, iHalf);",
     "kX = Smooth(kX, iHalf);",
     "TarnImportTake.LoopingClip"),
    ("control characters escaped in names",
     "src/apps/tarnimport/Writers.cpp",
     "if (static_cast<unsigned char>(c) < 0x20)",
     "if (false)",
     "TarnImportGltf.JointNames"),
    ("a foot is down only while slow",
     "src/apps/tarnimport/Importer.cpp",
     "&& dSpeed < m_kOptions.dContactSpeed",
     "&& dSpeed >= 0.0",
     "TarnImportTake.FootContacts"),
    ("the page's origin must match its host",
     "src/libs/tarnweb/Http/OriginPolicy.cpp",
     "kOrigin.substr(kScheme.size()) == kHost;",
     "true;",
     "OriginPolicyTest|WebServerTest.ThePagesRequests"),
    ("a host name is refused (rebinding)",
     "src/libs/tarnweb/Http/OriginPolicy.cpp",
     "    if (!IsAddressHost(kHost))\n        return false;",
     "",
     "OriginPolicyTest|WebServerTest.ThePagesRequests"),
    ("connections beyond the bound refused",
     "src/libs/tarnweb/Http/WebServer.cpp",
     "if (m_uiBusy + m_kTasks.size() < m_kThreads.size())",
     "if (true)",
     "WebServerTest.ConnectionsBeyondTheBound"),
    ("a view's active flag",
     "src/plugins/gait/RPC/GaitViewRpc.cpp",
     "(pComponent->GetActor().IsStandby() ? 0u : 2u)",
     "(pComponent->GetActor().IsStandby() ? 2u : 0u)",
     "GaitSubscriptionTest.AViewShows"),
    ("a view selects only placed prefabs",
     "src/plugins/gait/RPC/GaitViewRpc.cpp",
     "uiId == 0 || TarnEngine::CEngine::FindPlacedInstance(uiId)",
     "true",
     "GaitSubscriptionTest.AViewShows"),
    ("reply to unreadable text that waits",
     "src/libs/common/Utils/JsonText.h",
     "        if (uiLength - uiIdx >= 4 && memcmp(pText + uiIdx, \"true\", 4) == 0)\n            return true;",
     "        (void)uiIdx;",
     "CommandManagerTest.Malformed"),
    ("float range at the boundary",
     "src/libs/tarntransport/Commands/ParamReader.cpp",
     "    if (!IsFloatNumber(dValue))\n        return Reject(pName, \"a number between -3.4e38 and 3.4e38\");",
     "",
     "CommandManagerTest.FailureReportsHaveTheirTexts|GaitRpcTest.ArgumentsOutsideTheirRange"),
    ("quaternion of no length",
     "src/libs/tarntransport/Commands/ParamReader.cpp",
     "eRead == EMembers::OutOfRange || !(dLength > 1e-12)",
     "eRead == EMembers::OutOfRange",
     "CommandManagerTest.Malformed|GaitRpcTest.ArgumentsOutsideTheirRange"),
    ("NUL in a string argument",
     "src/libs/tarntransport/Commands/ParamReader.cpp",
     "if (strnlen(pArg->GetString(), pArg->GetStringLength()) != pArg->GetStringLength())",
     "if (false)",
     "CommandManagerTest.Malformed|CommandManagerTest.FailureReportsHaveTheirTexts"),
    ("NUL in a class name",
     "src/libs/tarntransport/Commands/CommandManager.cpp",
     "(kMember.eForm == EForm::String &&\n             !TARN_ASSERT_TEXT(!HasNulCharacter(*pValue)",
     "(false &&\n             !TARN_ASSERT_TEXT(!HasNulCharacter(*pValue)",
     "CommandManagerTest.Malformed|CommandManagerTest.FailureReportsHaveTheirTexts"),
    ("value count refused before parsing",
     "src/libs/tarntransport/Commands/CommandManager.cpp",
     "if (!TARN_ASSERT_TEXT(kScan.uiValues <= kMaxRequestValues,",
     "if (!TARN_ASSERT_TEXT(true,",
     "CommandManagerTest.Malformed"),
    ("a method's refusal fails the call",
     "src/libs/tarntransport/Commands/EngineCommand.h",
     "            Call(pObject, kArgs);\n            if (kReader.HasFailed())\n                return 0;",
     "            Call(pObject, kArgs);",
     "CommandManagerTest.Malformed|GaitRpcTest.ArgumentsOutsideTheirRange"),
    ("speed range of the Gait facade",
     "src/plugins/gait/RPC/GaitComponentRpc.cpp",
     "fSpeed >= 0.0f && fSpeed <= GaitPlugin::kMaxSpeed",
     "fSpeed >= 0.0f",
     "GaitRpcTest.ArgumentsOutsideTheirRange|Apps.HostAndClient"),
    ("removed prefab refused through the facade",
     "src/plugins/gait/RPC/GaitComponentRpc.cpp",
     "    if (!TARN_REMOTE_CHECK(pInstance, \"pInstance\", \"The prefab has been removed\"))\n        return nullptr;",
     "    if (!pInstance)\n        return nullptr;",
     "GaitRpcTest.FacadesOfARemovedPrefab|Apps.HostAndClient"),
    ("handle forgotten when the instance goes",
     "src/libs/tarnengine/World/World.cpp",
     "    m_kByHandle.Remove(pInstance->GetHandle());",
     "",
     "GaitRpcTest.FacadesOfARemovedPrefab"),
    ("position bound of Prefab.SetPosition",
     "src/libs/tarnengine/Engine/RPC/EngineRemoteClasses.cpp",
     "std::fabs(kPosition.x) <= fBound && ",
     "",
     "Apps.HostAndClient"),
    ("control speed held to its range",
     "src/libs/tarnanim/DataDynamic/AnimationControl.h",
     "fSpeed > kMaxSpeed ? kMaxSpeed : (fSpeed < -kMaxSpeed",
     "fSpeed > 1e30f ? kMaxSpeed : (fSpeed < -kMaxSpeed",
     "AnimManagerTest.NoSpeedOrTickLength"),
    ("steps of a tick bounded",
     "src/libs/tarnanim/Process/FrameProcessor.cpp",
     "const float fMaxAdvance = std::max(1.0f, k * kProgress.fMinStepMs);",
     "const float fMaxAdvance = 1.0f;",
     "AnimManagerTest.NoSpeedOrTickLength"),
    ("requests per connection bounded",
     "src/libs/tarntransport/Host/RequestBudget.cpp",
     "return m_uiPending < kBudget.m_kLimits.uiMaxPerConnection &&",
     "return m_uiPending <= kBudget.m_kLimits.uiMaxPerConnection &&",
     "Limits/EngineNetLimitTest"),
    ("cost of requests bounded",
     "src/libs/tarntransport/Host/RequestBudget.cpp",
     "kBudget.m_uiBytes + uiBytes <= kBudget.m_kLimits.uiMaxBytes",
     "true",
     "Limits/EngineNetLimitTest"),
    ("a frame begun must end in time",
     "src/libs/common/System/Net/TcpSocket.cpp",
     "        return m_uiFrameTimeoutMs ? Posix::GetMonotonicNs()",
     "        return false ? Posix::GetMonotonicNs()",
     "EngineNetTest.UnfinishedMessages"),
    ("replies must be taken in time",
     "src/libs/tarntransport/Host/EngineHost.cpp",
     "    m_kSocket.SetSendTimeout(m_pHost->GetSendTimeoutMs());",
     "",
     "EngineNetTest.AClientThatNever"),
    ("a charge that must wait first sees the connection's own requests run",
     "src/libs/tarntransport/Host/EngineHost.cpp",
     "            m_kQueue.WaitPending(m_kPending);",
     "            m_kQueue.SubmitPending(m_kPending);",
     "EngineNetTest.APipelineLongerThanTheLimits"),
    ("a batch's refund gives back every request of it",
     "src/libs/tarntransport/Host/RequestBudget.cpp",
     "        kBudget.m_uiRequests -= std::min(uiRequests, kBudget.m_uiRequests);",
     "        kBudget.m_uiRequests -= std::min(1u, kBudget.m_uiRequests);",
     "EngineNetTest.APipelineLongerThanTheLimits"),
    ("a batch is told before another's command runs",
     "src/libs/tarntransport/Commands/CommandQueue.cpp",
     "        if (pCommandBatch != pOpenBatch)\n            CloseBatch();",
     "        if (pCommandBatch && pCommandBatch != pOpenBatch)\n            CloseBatch();",
     "EngineNetTest.ARequestIsAnsweredBeforeWhatOthers"),
    ("stop lets what was read be answered",
     "src/libs/tarntransport/Host/EngineHost.cpp",
     "        pConnection->StopReading();",
     "        pConnection->CloseSocket();",
     "EngineNetTest.StopAnswersWhatWasRead"),
    ("a throttled thread's repeated lines counted",
     "src/libs/common/Utils/debuglog.cpp",
     "            ++kLine.uiRepeats;\n            return false;",
     "            ++kLine.uiRepeats;\n            return true;",
     "DebugLogThrottle"),
    ("tag lists for every connection",
     "src/libs/common/System/MemoryManager/MemoryManager.h",
     "static constexpr uint32 MAX_TAG_LISTS = 128;",
     "static constexpr uint32 MAX_TAG_LISTS = 16;",
     "EngineNetTest.ManyConnections"),
    # The Gait actor and the frame processor.
    ("speeds below 0 refused",
     "src/plugins/gait/Control/GaitActor.cpp",
     "if (!(fSpeed >= 0.0f && fSpeed <= kMaxRequestSpeed))",
     "if (!(fSpeed <= kMaxRequestSpeed))",
     "Locomotion.SpeedsThatCannotBeWalked"),
    ("speeds below the floor stop",
     "src/plugins/gait/Control/GaitActor.cpp",
     "return fSpeed < kMinSpeed ? 0.0f : fSpeed;",
     "return fSpeed;",
     "Locomotion.SpeedsThatCannotBeWalked"),
    ("a far heading while walking stops to turn",
     "src/plugins/gait/Control/GaitActor.cpp",
     "m_bStopPending = m_fRequestedSpeed == 0.0f || fAmplitude > kTurnAmplitudeThreshold;",
     "m_bStopPending = m_fRequestedSpeed == 0.0f;",
     "Locomotion.AHeadingChange"),
    ("the walk's decision holds",
     "src/plugins/gait/Control/GaitActor.cpp",
     "            if (m_bStopPending || fSpeed == 0.0f)",
     "            if (fSpeed == 0.0f)",
     "Locomotion.AHeadingChange"),
    ("contacts across the loop's wrap",
     "src/plugins/gait/Control/GaitActor.cpp",
     "bWrapped ? (fFrom < fPoint || fPoint <= fNow)",
     "bWrapped ? false",
     "Locomotion.EachFootContact|GaitActorTest.FootOnFloor"),
    ("contacts looked at before the hand-overs",
     "src/plugins/gait/Control/GaitActor.cpp",
     "    RaiseFootOnFloor();\n    // Every update acts",
     "    // Every update acts",
     "Locomotion.EachFootContact|GaitActorTest.FootOnFloor"),
    ("an entry on a contact frame counts it",
     "src/plugins/gait/Control/GaitActor.cpp",
     "m_fContactPosition = fPosition - 1e-3f;",
     "m_fContactPosition = fPosition;",
     "GaitActorTest.FootOnFloor"),
    ("a turn that is over starts again",
     "src/plugins/gait/Control/GaitActor.cpp",
     "if (pOn->GetEffectiveWeight() < 0.5f || pOn->GetFrame() >= pOn->GetFrameCount() - 1.0f)",
     "if (false)",
     "Locomotion.EveryTurnPlays"),
    ("the idle fades out under a turn",
     "src/plugins/gait/Control/GaitActor.cpp",
     "        pIdle->FadeOut(kTurnFadeMs);\n    AnimationControl* pOn",
     "        (void)pIdle;\n    AnimationControl* pOn",
     "Locomotion.EveryTurnPlays|Steps/LocomotionSweep.*/16ms"),
    ("a turn that ends before its goal plays again",
     "src/plugins/gait/Control/GaitActor.cpp",
     "    if (pTurn && pTurn->GetFrame() >= pTurn->GetFrameCount() - 1.0f)",
     "    if (false)",
     "Locomotion.|Steps/LocomotionSweep.*/16ms"),
    ("a turn arrives within a degree",
     "src/plugins/gait/Control/GaitActor.cpp",
     "const int32 iDirection = fWay <= fArrived ? 0 : TurnSign(kNearQuaternion);",
     "const int32 iDirection = fWay <= fArrived * 80.0f ? 0 : TurnSign(kNearQuaternion);",
     "Locomotion.EveryTurnPlays|GaitActorTest.AFarTarget|Steps/LocomotionSweep.*/16ms"),
    ("a turn past its goal stops",
     "src/plugins/gait/Control/GaitActor.cpp",
     "(bSameGoal && iDirection == -m_iTurnDirection)",
     "(bSameGoal && false)",
     "Locomotion.|Steps/LocomotionSweep.*/16ms|GaitActorTest"),
    ("right behind turns clockwise",
     "src/plugins/gait/Control/GaitActor.cpp",
     "return kCross.z > 1e-4f ? 1 : -1;",
     "return kCross.z >= -1e-4f ? 1 : -1;",
     "Steps/LocomotionSweep.*/16ms"),
    ("only a far target is turned to in place",
     "src/plugins/gait/Control/GaitActor.cpp",
     "if (fAmplitude <= kTurnAmplitudeThreshold || iDirection == 0)",
     "if (iDirection == 0)",
     "DemoCharacterTest|Locomotion."),
    ("the rectifier's rate bound",
     "src/plugins/gait/Control/GaitActor.cpp",
     "            if (u * fAngle > fMaxAngle)",
     "            if (false)",
     "Steps/LocomotionSweep.*/16ms"),
    ("the rectifier works per second",
     "src/plugins/gait/Control/GaitActor.cpp",
     "float u = 1.0f - std::pow(1.0f - t, fPassMs / fFrameMs);",
     "float u = t + 0.0f * fPassMs / fFrameMs;",
     "Locomotion.SteeringTakesTheSameTime"),
    ("a turn in place is not rectified",
     "src/plugins/gait/Control/GaitActor.cpp",
     "kActor.m_eCurrentMovement != EAnimMovement::Idle && !kActor.IsTurning();",
     "kActor.m_eCurrentMovement != EAnimMovement::Idle;",
     "Locomotion.PlantedFeet"),
    ("a hand-over keeps the gait's rate",
     "src/plugins/gait/Control/GaitActor.cpp",
     "        pTarget->SetSpeed(pSource->GetSpeed());",
     "        (void)0;",
     "Locomotion.PlantedFeet"),
    ("the start plays at the walk's rate",
     "src/plugins/gait/Control/GaitActor.cpp",
     "        pControl->SetSpeed(m_fRequestedSpeed * kWalkSpeedFactor);",
     "        pControl->SetSpeed(1.0f);",
     "Locomotion.PlantedFeet|Locomotion.RequestsAreTakenUp"),
    ("a stop from a slow walk goes at the usual pace",
     "src/plugins/gait/Control/GaitActor.cpp",
     "                if (pWalk && pWalk->GetSpeed() < kWalkSpeedFactor)",
     "                if (false)",
     "Locomotion.SpeedsThatCannotBeWalked"),
    ("standby holds the pose still",
     "src/plugins/gait/Control/GaitActor.cpp",
     "            pControl->SetSpeed(0.0f);\n            m_kHeldControls.Add",
     "            m_kHeldControls.Add",
     "Locomotion.StandbyKeepsThePose|GaitActorTest.StartCreates"),
    ("a started actor is not started again",
     "src/plugins/gait/Control/GaitActor.cpp",
     "    else if (m_bStandby)\n        Start();",
     "    else\n        Start();",
     "GaitActorTest.StartCreates|Locomotion.StandbyKeepsThePose"),
    ("held controls go at the next start",
     "src/plugins/gait/Control/GaitActor.cpp",
     "    ReleaseHeldControls();\n    EnableRootMotion(true);",
     "    EnableRootMotion(true);",
     "GaitActorTest.StartCreates"),
    ("a resting turn gives way to the idle",
     "src/plugins/gait/Control/GaitActor.cpp",
     "            m_eCurrentMovement = EAnimMovement::Idle;\n            m_iTurnDirection = 0;",
     "            m_iTurnDirection = 0;",
     "GaitActorTest.AFarTarget"),
    ("bad rotations are ignored",
     "src/plugins/gait/Control/GaitActor.cpp",
     "    if (fLengthSq > 1e-12f && std::isfinite(fLengthSq))\n        m_kTargetRotation = kTarget.Normalized();",
     "    (void)fLengthSq;\n    m_kTargetRotation = kTarget;",
     "GaitRpcTest.ExtremeValues|Locomotion.|GaitActorTest.ARotationWithout"),
    ("resting controls weigh in root motion",
     "src/libs/tarnanim/Process/FrameProcessor.cpp",
     "if (!pProgress || !pProgress->bInTick || !pSequence)",
     "if (!pProgress || !pProgress->bPending || !pSequence)",
     "Locomotion.PlantedFeet"),
    ("a pass's time is what the instance played",
     "src/libs/tarnanim/Process/FrameProcessor.cpp",
     "pTick->fRootMotionStepMs = std::max(0.0f, fPlayed - pTick->fPlayedMs);",
     "pTick->fRootMotionStepMs = fStepMs;",
     "Steps/LocomotionSweep.*/16ms|Locomotion.SteeringTakesTheSameTime"),
    ("backwards loops land on frame 0",
     "src/libs/tarnanim/DataDynamic/AnimationControl.cpp",
     "            if (m_fFrame + m_fFraction < 0.0f)",
     "            if (m_fFrame + m_fFraction <= 0.0f)",
     "AnimManagerTest.ALoopPlayedBackwards"),
    ("rectifier tuning ranges at load",
     "src/plugins/gait/Data/GaitSerializer.cpp",
     "void CheckExponent(const ValueT& kValue) { CheckFloatIn(kValue, -8.0, 32.0); }",
     "void CheckExponent(const ValueT& kValue) { CheckFloatIn(kValue, -1e9, 32.0); }",
     "GaitData"),
    ("a component refuses speeds it cannot walk",
     "src/plugins/gait/Plugin/GaitComponent.cpp",
     "    if (!TARN_ASSERT(fSpeed >= 0.0f && fSpeed <= kMaxSpeed,",
     "    if (!TARN_ASSERT(fSpeed <= kMaxSpeed,",
     "GaitRpcTest.ExtremeValues"),
    # The core library, the transport and the loaders.
    ("a map makes room when it inserts in place",
     "src/libs/common/Containers/TMap.h",
     "    else if (m_uiSize > uiPos)\n    {\n        memmove(",
     "    else if (false)\n    {\n        memmove(",
     "TMap"),
    ("an array closes the gap it removes",
     "src/libs/common/Containers/TArray.h",
     "    for (SizeT i = uiIndex; i + 1 < m_uiSize; ++i)\n        m_pData[i] = std::move(m_pData[i + 1]);",
     "",
     "TArray"),
    ("the identifier hash's last mix",
     "src/libs/common/Utils/idfromstring.cpp",
     "    uiHash ^= uiHash >> 15;",
     "    uiHash ^= uiHash >> 14;",
     "IdFromString|IdFromFile"),
    ("leaks counted at shutdown",
     "src/libs/common/System/MemoryManager/MemoryReports.cpp",
     "    if (uiCount == 0)\n    {\n        CDebugLog::Print(\"Memory Manager C++ Leak detected : 0 !!! \");",
     "    if (uiCount <= 1)\n    {\n        CDebugLog::Print(\"Memory Manager C++ Leak detected : 0 !!! \");",
     "MemoryManager"),
    ("frames longer than the limit refused",
     "src/libs/common/System/Net/TcpSocket.cpp",
     "    if (uiLength > m_uiMaxLength)\n        return EReceive::TooLong;",
     "",
     "TcpSocket|EngineNet"),
    ("a rotation needs all four members",
     "src/libs/tarntransport/Commands/ParamReader.cpp",
     "    if (eRead == EMembers::Missing)\n        return Reject(pName, \"an object with the numbers \\\"x\\\", \\\"y\\\", \\\"z\\\" and \\\"w\\\"\");",
     "",
     "CommandManager"),
    ("a channel's parent comes before it",
     "src/libs/tarnanim/DataStatic/AnimSetLoader.cpp",
     "            if (uiParent > uiIdx)",
     "            if (false)",
     "AnimSetLoader|BadDataFiles"),
    ("a sequence ends after it begins",
     "src/libs/tarnanim/DataStatic/AnimSetLoader.cpp",
     "    if (kSequence.m_uiLastFrame < kSequence.m_uiFirstFrame)",
     "    if (false)",
     "AnimSetLoader|BadDataFiles"),
    ("a gait document's required members",
     "src/plugins/gait/Data/GaitSerializer.cpp",
     "        if (kIt == kObject.MemberEnd())\n            Fail(\"required member is missing\");\n        else\n            (this->*pCheck)(kIt->value);",
     "        if (kIt != kObject.MemberEnd())\n            (this->*pCheck)(kIt->value);",
     "BadDataFiles|GaitData"),
    ("a prefab's name must not be empty",
     "src/libs/tarnengine/Factory/PrefabContainer.cpp",
     "    if (uiLength == 0)\n    {\n        FormatError(kError, pFile, pMember, \"must not be empty\");",
     "    if (false)\n    {\n        FormatError(kError, pFile, pMember, \"must not be empty\");",
     "BadDataFiles|PluginDataContainer"),
]


def run(kCommand, **kArgs):
    return subprocess.run(kCommand, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kArgs)


def Synchronise(kFrom, kTo):
    kWanted = set()
    for kDir, _, kFiles in os.walk(kFrom):
        for kFile in kFiles:
            kRelative = os.path.relpath(os.path.join(kDir, kFile), kFrom)
            kWanted.add(kRelative)
            kTarget = os.path.join(kTo, kRelative)
            with open(os.path.join(kFrom, kRelative), "rb") as kIn:
                kData = kIn.read()
            if os.path.isfile(kTarget):
                with open(kTarget, "rb") as kOld:
                    if kOld.read() == kData:
                        continue
            os.makedirs(os.path.dirname(kTarget), exist_ok=True)
            with open(kTarget, "wb") as kOut:
                kOut.write(kData)
            shutil.copymode(os.path.join(kFrom, kRelative), kTarget)
    for kDir, _, kFiles in os.walk(kTo):
        for kFile in kFiles:
            kPath = os.path.join(kDir, kFile)
            if os.path.relpath(kPath, kTo) not in kWanted:
                os.remove(kPath)


def main():
    kParser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    kParser.add_argument("-k", dest="patterns", action="append", default=[],
                         help="only mutations whose name contains this text (repeatable: any of them)")
    kParser.add_argument("--list", action="store_true", help="list the mutations and stop")
    kParser.add_argument("--rev", default="", help="mutate this commit's sources instead of the working tree")
    kParser.add_argument("-j", dest="jobs", default=str(os.cpu_count() or 1), help="build jobs")
    kOptions = kParser.parse_args()

    kChosen = [m for m in MUTATIONS if not kOptions.patterns or any(p in m[0] for p in kOptions.patterns)]
    if kOptions.list:
        for kMutation in kChosen:
            print(f"{kMutation[0]}: {kMutation[1]} -> tests {kMutation[4]}")
        return 0

    kWork = os.path.join(ROOT, "build", "mutate")
    kTree = os.path.join(kWork, "tree")
    kBuild = os.path.join(kWork, "build")
    os.makedirs(kWork, exist_ok=True)
    # The sources go to a staging folder first and are then synchronised into
    # the copy: a file whose content changed is written anew (so the build
    # sees it as newer than its objects, whatever its time stamp in the
    # source), an unchanged one is left alone (so it is not rebuilt), and
    # one the sources no longer have is removed.
    kStage = os.path.join(kWork, "stage")
    shutil.rmtree(kStage, ignore_errors=True)
    os.makedirs(kStage)
    kParts = ("CMakeLists.txt", "cmake", "src", "tests", "tools", "data")
    if kOptions.rev:
        kArchive = subprocess.run(["git", "-C", ROOT, "archive", kOptions.rev, *kParts], stdout=subprocess.PIPE)
        if kArchive.returncode != 0 or subprocess.run(["tar", "-x", "-C", kStage], input=kArchive.stdout).returncode:
            print(f"cannot take the sources of {kOptions.rev}")
            return 2
    else:
        for kPart in kParts:
            kSource = os.path.join(ROOT, kPart)
            if os.path.isdir(kSource):
                shutil.copytree(kSource, os.path.join(kStage, kPart))
            else:
                shutil.copy(kSource, os.path.join(kStage, kPart))
    Synchronise(kStage, kTree)
    shutil.rmtree(kStage, ignore_errors=True)
    # The copy lies elsewhere: the shared motion-capture takes are named
    # where they are beside this tree.
    kConfigure = run(["cmake", "-S", kTree, "-B", kBuild, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Debug",
                      "-DTARN_BUILD_BENCH=OFF", "-DTARN_BUILD_FUZZ=OFF",
                      "-DTARN_MOCAP_DIR=" + os.path.join(os.path.dirname(ROOT), "shared", "data", "mocap")])
    if kConfigure.returncode != 0:
        print(kConfigure.stdout)
        return 2

    kMissed = []
    kInvalid = []
    for kName, kFile, kFind, kReplace, kTests in kChosen:
        kPath = os.path.join(kTree, kFile)
        with open(kPath) as kIn:
            kText = kIn.read()
        if kText.count(kFind) != 1:
            print(f"[stale] {kName}: the text to change is not found exactly once in {kFile}")
            kMissed.append(kName)
            continue
        with open(kPath, "w") as kOut:
            kOut.write(kText.replace(kFind, kReplace))
        try:
            kBuilt = run(["cmake", "--build", kBuild, "-j", kOptions.jobs])
            if kBuilt.returncode != 0:
                # A mutant that does not build says nothing about the tests.
                print(f"[invalid] {kName}: the mutated code does not build")
                kInvalid.append(kName)
                continue
            kTested = run(["ctest", "--test-dir", kBuild, "-R", kTests, "--timeout", "120"])
            kRan = "No tests were found" not in kTested.stdout
            if kTested.returncode != 0 and kRan:
                print(f"[caught] {kName}")
            else:
                print(f"[MISSED] {kName}: {kTests} {'passed' if kRan else 'matched no test'}")
                kMissed.append(kName)
        finally:
            with open(kPath, "w") as kOut:
                kOut.write(kText)
    # Leave the copy's build matching the sources.
    run(["cmake", "--build", kBuild, "-j", kOptions.jobs])
    kValid = len(kChosen) - len(kInvalid)
    print(f"{kValid - len(kMissed)} of {kValid} mutations caught" +
          (f" ({len(kInvalid)} did not build: fix them)" if kInvalid else ""))
    return 1 if kMissed or kInvalid else 0


if __name__ == "__main__":
    sys.exit(main())
