#include "Data/GaitSerializer.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include <rapidjson/error/en.h>

#include "DataStatic/Mocap.h"
#include "Utils/JsonAllocator.h"
#include "Utils/JsonText.h"
#include "Utils/assertion.h"

namespace GaitPlugin {

namespace {

// Size of the parser's memory-pool chunks and initial stack: a gait
// document is a few kilobytes.
constexpr size_t kJsonChunkBytes = 16 * 1024;
constexpr size_t kJsonStackBytes = 1024;
// Deepest nesting of arrays and objects accepted in a text. The parser
// recurses once per level, so unbounded nesting could exhaust the stack; a
// gait document nests four levels deep.
constexpr uint32 kMaxNesting = Common::kMaxJsonNesting;

using JsonPool = rapidjson::MemoryPoolAllocator<Common::CJsonAllocator>;
using JsonDocument = rapidjson::GenericDocument<rapidjson::UTF8<>, JsonPool, Common::CJsonAllocator>;

using Common::CMemberPath;

// Checks a whole gait document, member by member in the order the loader
// reads them, and records every problem. The loader relies on it: a
// document without problems has every member it reads, with the JSON type
// it reads it as.
template <class ValueT> class CDocumentChecker
{
public:
    explicit CDocumentChecker(Common::CInputErrors& kErrors) : m_kErrors(kErrors) {}

    void CheckRoot(const ValueT& kRoot)
    {
        if (!CheckObject(kRoot))
            return;
        Required(kRoot, "Binds", &CDocumentChecker::CheckBinds);
        Required(kRoot, "Stables", &CDocumentChecker::CheckStables);
        Optional(kRoot, "FootOnFloor", &CDocumentChecker::CheckFootOnFloor);
        Required(kRoot, "Behaviors", &CDocumentChecker::CheckBehaviors);
        Optional(kRoot, "RuntimeParameters", &CDocumentChecker::CheckParameters);
        Optional(kRoot, "Steering", &CDocumentChecker::CheckSteering);
    }

private:
    using Check = void (CDocumentChecker::*)(const ValueT&);

    void Fail(const char* pProblem) { m_kErrors.Add(m_kPath.Get(), "%s", pProblem); }

    // A member that must be present / may be absent, checked at its path.
    void Required(const ValueT& kObject, const char* pName, Check pCheck)
    {
        CMemberPath::CScope kScope(m_kPath, pName);
        const auto kIt = kObject.FindMember(pName);
        if (kIt == kObject.MemberEnd())
            Fail("required member is missing");
        else
            (this->*pCheck)(kIt->value);
    }
    void Optional(const ValueT& kObject, const char* pName, Check pCheck)
    {
        CMemberPath::CScope kScope(m_kPath, pName);
        const auto kIt = kObject.FindMember(pName);
        if (kIt != kObject.MemberEnd())
            (this->*pCheck)(kIt->value);
    }
    // An array whose every element passes pCheck at "[index]".
    void ArrayOf(const ValueT& kValue, Check pCheck)
    {
        if (!kValue.IsArray())
        {
            Fail("expected an array");
            return;
        }
        for (rapidjson::SizeType uiIdx = 0; uiIdx < kValue.Size(); ++uiIdx)
        {
            CMemberPath::CScope kScope(m_kPath, uiIdx);
            (this->*pCheck)(kValue[uiIdx]);
        }
    }

    bool CheckObject(const ValueT& kValue)
    {
        if (kValue.IsObject())
            return true;
        Fail("expected an object");
        return false;
    }
    void CheckUint(const ValueT& kValue)
    {
        if (kValue.IsUint())
            return;
        if (kValue.IsUint64())
            Fail("unsigned integer out of range, at most 4294967295");
        else
            Fail("expected an unsigned integer");
    }
    // A cross-fade's length, kept in 16 bits: a minute at most.
    void CheckEase(const ValueT& kValue)
    {
        if (!kValue.IsUint())
            CheckUint(kValue);
        else if (kValue.GetUint() > 60000u)
            Fail("number out of range, from 0 to 60000");
    }
    void CheckBool(const ValueT& kValue)
    {
        if (!kValue.IsBool())
            Fail("expected a boolean");
    }
    void CheckName(const ValueT& kValue)
    {
        if (!kValue.IsString())
        {
            Fail("expected a string");
            return;
        }
        const uint32 uiLength = kValue.GetStringLength();
        char acProblem[96];
        if (uiLength >= GaitName::Capacity)
        {
            snprintf(acProblem, sizeof(acProblem), "name is %u bytes long, at most %u are allowed", uiLength,
                     GaitName::Capacity - 1);
            Fail(acProblem);
        }
        else if (strlen(kValue.GetString()) != uiLength)
            Fail("name contains a NUL character");
    }

    void CheckBinds(const ValueT& kValue) { ArrayOf(kValue, &CDocumentChecker::CheckBind); }
    void CheckStables(const ValueT& kValue) { ArrayOf(kValue, &CDocumentChecker::CheckFrameList); }
    void CheckFootOnFloor(const ValueT& kValue) { ArrayOf(kValue, &CDocumentChecker::CheckFrameList); }
    void CheckBehaviors(const ValueT& kValue) { ArrayOf(kValue, &CDocumentChecker::CheckBehavior); }
    void CheckFrames(const ValueT& kValue) { ArrayOf(kValue, &CDocumentChecker::CheckUint); }

    void CheckBind(const ValueT& kValue)
    {
        if (!CheckObject(kValue))
            return;
        Required(kValue, "NameKeySource", &CDocumentChecker::CheckName);
        Required(kValue, "NameKeyTarget", &CDocumentChecker::CheckName);
        Optional(kValue, "BlendMode", &CDocumentChecker::CheckUint);
        Optional(kValue, "Loop", &CDocumentChecker::CheckBool);
        Optional(kValue, "Accum", &CDocumentChecker::CheckBool);
    }
    // A "Stables" or "FootOnFloor" element.
    void CheckFrameList(const ValueT& kValue)
    {
        if (!CheckObject(kValue))
            return;
        Required(kValue, "NameKey", &CDocumentChecker::CheckName);
        Required(kValue, "StableFrames", &CDocumentChecker::CheckFrames);
    }
    void CheckBehavior(const ValueT& kValue)
    {
        if (!CheckObject(kValue))
            return;
        Required(kValue, "EaseMs", &CDocumentChecker::CheckEase);
        Required(kValue, "NameBehavior", &CDocumentChecker::CheckName);
        Required(kValue, "SynchroSource", &CDocumentChecker::CheckSynchro);
        Required(kValue, "SynchroTarget", &CDocumentChecker::CheckSynchro);
    }
    void CheckSynchro(const ValueT& kValue)
    {
        if (!CheckObject(kValue))
            return;
        Required(kValue, "NameKey", &CDocumentChecker::CheckName);
        Required(kValue, "FrameFirst", &CDocumentChecker::CheckUint);
        Required(kValue, "FrameLast", &CDocumentChecker::CheckUint);
    }
    // A number within [dMin, dMax].
    void CheckFloatIn(const ValueT& kValue, double dMin, double dMax)
    {
        if (!kValue.IsNumber())
        {
            Fail("expected a number");
            return;
        }
        const double dValue = kValue.GetDouble();
        if (!(dValue >= dMin && dValue <= dMax))
        {
            char acProblem[96];
            snprintf(acProblem, sizeof(acProblem), "number out of range, from %g to %g", dMin, dMax);
            Fail(acProblem);
        }
    }
    // The rectifier's tuning: a fraction of the way per frame and the bounds
    // of its weighting. An exponent far from 0 would make the fraction
    // vanish or explode for any weight but 1.
    void CheckFraction(const ValueT& kValue) { CheckFloatIn(kValue, 0.0, 1.0); }
    void CheckExponent(const ValueT& kValue) { CheckFloatIn(kValue, -8.0, 32.0); }
    void CheckParameters(const ValueT& kValue)
    {
        if (!CheckObject(kValue))
            return;
        Required(kValue, "RectificatorFactor", &CDocumentChecker::CheckFraction);
        Required(kValue, "RectificatorExp", &CDocumentChecker::CheckExponent);
        Required(kValue, "RectificatorMin", &CDocumentChecker::CheckFraction);
        Required(kValue, "RectificatorMinDelta", &CDocumentChecker::CheckFraction);
    }
    void CheckSteering(const ValueT& kValue)
    {
        if (!CheckObject(kValue))
            return;
        Optional(kValue, "ApplyRectifiedRotation", &CDocumentChecker::CheckBool);
    }

    Common::CInputErrors& m_kErrors;
    CMemberPath m_kPath;
};

// ---------------------------------------------------------------------------
// Reading a checked document

// Appends a default element; null when the array could not grow.
template <class T> T* Append(TarnRenderer::TArray<T>& kArray)
{
    const uint32 uiSize = kArray.GetSize();
    T& kElement = kArray.Add();
    return kArray.GetSize() == uiSize + 1 ? &kElement : nullptr;
}

// A member the checker has found present.
template <class ValueT> const ValueT& Member(const ValueT& kObject, const char* pName)
{
    return kObject.FindMember(pName)->value;
}

template <class ValueT> const ValueT* OptionalMember(const ValueT& kObject, const char* pName)
{
    const auto kIt = kObject.FindMember(pName);
    return kIt == kObject.MemberEnd() ? nullptr : &kIt->value;
}

template <class ValueT> void ReadName(const ValueT& kObject, const char* pName, GaitName& kOut)
{
    kOut.Set(Member(kObject, pName).GetString());
}

template <class ValueT> void ReadSynchro(const ValueT& kValue, GaitSynchro& kOut)
{
    ReadName(kValue, "NameKey", kOut.NameKey);
    kOut.FrameFirst = Member(kValue, "FrameFirst").GetUint();
    kOut.FrameLast = Member(kValue, "FrameLast").GetUint();
}

// Reads a document that passed the checker into kParam, whose four arrays
// are empty, in the order of the gait format. False only when memory ran out.
template <class ValueT> bool ReadCheckedDocument(const ValueT& kRoot, ParamGait& kParam)
{
    const ValueT& kBinds = Member(kRoot, "Binds");
    const ValueT& kStables = Member(kRoot, "Stables");
    const ValueT& kBehaviors = Member(kRoot, "Behaviors");

    kParam.Binds.Reserve(kBinds.Size());
    for (rapidjson::SizeType uiIdx = 0; uiIdx < kBinds.Size(); ++uiIdx)
    {
        const ValueT& kElement = kBinds[uiIdx];
        GaitBind* pBind = Append(kParam.Binds);
        if (!pBind)
            return false;
        pBind->BlendMode = 0;
        pBind->Loop = false;
        pBind->Accum = false;
        ReadName(kElement, "NameKeySource", pBind->NameKeySource);
        ReadName(kElement, "NameKeyTarget", pBind->NameKeyTarget);
        if (const ValueT* pValue = OptionalMember(kElement, "BlendMode"))
            pBind->BlendMode = pValue->GetUint();
        if (const ValueT* pValue = OptionalMember(kElement, "Loop"))
            pBind->Loop = pValue->GetBool();
        if (const ValueT* pValue = OptionalMember(kElement, "Accum"))
            pBind->Accum = pValue->GetBool();
    }

    kParam.Stables.Reserve(kStables.Size());
    for (rapidjson::SizeType uiIdx = 0; uiIdx < kStables.Size(); ++uiIdx)
    {
        const ValueT& kElement = kStables[uiIdx];
        GaitStable* pStable = Append(kParam.Stables);
        if (!pStable)
            return false;
        ReadName(kElement, "NameKey", pStable->NameKey);
        pStable->StableFrames.Empty();
        const ValueT& kFrames = Member(kElement, "StableFrames");
        pStable->StableFrames.Reserve(kFrames.Size());
        for (rapidjson::SizeType uiFrame = 0; uiFrame < kFrames.Size(); ++uiFrame)
        {
            float* pFrame = Append(pStable->StableFrames);
            if (!pFrame)
                return false;
            *pFrame = static_cast<float>(kFrames[uiFrame].GetUint());
        }
    }

    if (const ValueT* pFootOnFloor = OptionalMember(kRoot, "FootOnFloor"))
    {
        kParam.FootOnFloor.Reserve(pFootOnFloor->Size());
        for (rapidjson::SizeType uiIdx = 0; uiIdx < pFootOnFloor->Size(); ++uiIdx)
        {
            const ValueT& kElement = (*pFootOnFloor)[uiIdx];
            GaitFootOnFloor* pFoot = Append(kParam.FootOnFloor);
            if (!pFoot)
                return false;
            ReadName(kElement, "NameKey", pFoot->NameKey);
            pFoot->StableFrames.Empty();
            const ValueT& kFrames = Member(kElement, "StableFrames");
            pFoot->StableFrames.Reserve(kFrames.Size());
            for (rapidjson::SizeType uiFrame = 0; uiFrame < kFrames.Size(); ++uiFrame)
            {
                uint32* pFrame = Append(pFoot->StableFrames);
                if (!pFrame)
                    return false;
                *pFrame = kFrames[uiFrame].GetUint();
            }
        }
    }

    kParam.Behaviors.Reserve(kBehaviors.Size());
    for (rapidjson::SizeType uiIdx = 0; uiIdx < kBehaviors.Size(); ++uiIdx)
    {
        const ValueT& kElement = kBehaviors[uiIdx];
        GaitBehavior* pBehavior = Append(kParam.Behaviors);
        if (!pBehavior)
            return false;
        pBehavior->EaseMs = Member(kElement, "EaseMs").GetUint();
        ReadName(kElement, "NameBehavior", pBehavior->NameBehavior);
        ReadSynchro(Member(kElement, "SynchroSource"), pBehavior->SynchroSource);
        ReadSynchro(Member(kElement, "SynchroTarget"), pBehavior->SynchroTarget);
    }

    if (const ValueT* pParameters = OptionalMember(kRoot, "RuntimeParameters"))
    {
        GaitRuntimeParameters& kOut = kParam.RuntimeParameters;
        kOut.RectificatorFactor = static_cast<float>(Member(*pParameters, "RectificatorFactor").GetDouble());
        kOut.RectificatorExp = static_cast<float>(Member(*pParameters, "RectificatorExp").GetDouble());
        kOut.RectificatorMin = static_cast<float>(Member(*pParameters, "RectificatorMin").GetDouble());
        kOut.RectificatorMinDelta = static_cast<float>(Member(*pParameters, "RectificatorMinDelta").GetDouble());
    }

    // Absent, the steering options are off: the behaviour of documents
    // written before they existed.
    kParam.Steering = GaitSteering();
    if (const ValueT* pSteering = OptionalMember(kRoot, "Steering"))
    {
        if (const ValueT* pApply = OptionalMember(*pSteering, "ApplyRectifiedRotation"))
            kParam.Steering.ApplyRectifiedRotation = pApply->GetBool();
    }
    return true;
}

// The caller's record of the problems, or kOwn when there is none, reset
// for a gait document: a line per problem.
Common::CInputErrors& StartErrors(Common::CInputErrors* pErrors, Common::CInputErrors& kOwn)
{
    Common::CInputErrors& kErrors = pErrors ? *pErrors : kOwn;
    kErrors.Reset("document", Common::CInputErrors::EForm::ProblemLines, GaitSerializer::kErrorTextCapacity);
    return kErrors;
}

// Rejects a document: reports each problem its text lists as an assertion
// whose quoted expression is the member path, then the count of the others
// in one closing report, so that a huge broken document cannot flood the
// log. False.
bool Reject(const Common::CInputErrors& kErrors)
{
    const uint32 uiListed = kErrors.GetListedCount();
    for (uint32 uiIdx = 0; uiIdx < uiListed; ++uiIdx)
        TARN_ASSERT_TEXT(false, kErrors.GetPath(uiIdx), "%s", kErrors.GetProblem(uiIdx));
    char acRest[96];
    if (kErrors.FormatUnlisted(uiListed, acRest, sizeof(acRest)))
        TARN_ASSERT_TEXT(false, "document", "%s", acRest);
    return false;
}

// Checks, then loads. The document is read into a new ParamGait that
// replaces kParam only when it is complete, so a rejected document (or one
// that runs out of memory) leaves kParam as it was.
template <class ValueT> bool LoadRoot(const ValueT& kRoot, ParamGait& kParam, Common::CInputErrors& kErrors)
{
    // A repeated member would otherwise be read once and the other copy
    // ignored without a word; text that is not UTF-8 would reach names.
    Common::SJsonProblem kTextProblem;
    if (Common::FindJsonProblem(kRoot, kTextProblem))
    {
        kErrors.Add(kTextProblem.acPath, "%s", Common::DescribeJsonProblem(kTextProblem.eKind));
        return Reject(kErrors);
    }
    CDocumentChecker<ValueT> kChecker(kErrors);
    kChecker.CheckRoot(kRoot);
    if (kErrors.IsEmpty())
    {
        ParamGait kLoaded;
        kLoaded.RuntimeParameters = kParam.RuntimeParameters;
        if (ReadCheckedDocument(kRoot, kLoaded))
        {
            kParam = std::move(kLoaded);
            return true;
        }
        kErrors.Add("document", "out of memory");
    }
    return Reject(kErrors);
}

// Movement of a name, reported a second time (beyond GetEnumFromName's own
// report) when unknown.
uint32 ResolveMovement(const GaitName& kName)
{
    const uint32 eAnim = GetEnumFromName(kName.Get(), g_apAnimMovementNames, EAnimMovement::NB_TYPE);
    TARN_ASSERT_TEXT(eAnim < EAnimMovement::NB_TYPE, "eAnim<EAnimMovement::NB_TYPE", "Gait : Unknow Anim Movement");
    return eAnim;
}

void ResolveSynchro(const GaitSynchro& kSynchro, InfoSynchroPoint& kOut)
{
    kOut.m_eAnim = GetEnumFromName(kSynchro.NameKey.Get(), g_apAnimMovementNames, EAnimMovement::NB_TYPE);
    kOut.m_iFrameFirst = kSynchro.FrameFirst;
    kOut.m_iFrameLast = kSynchro.FrameLast;
}

}  // namespace

bool GaitSerializer::LoadFromText(const char* pText, size_t uiLength, ParamGait& kParam, Common::CInputErrors* pErrors)
{
    Common::CInputErrors kOwnErrors;
    Common::CInputErrors& kErrors = StartErrors(pErrors, kOwnErrors);
    if (!pText && uiLength != 0)
    {
        kErrors.Add("document", "no text");
        return Reject(kErrors);
    }
    if (!pText)
        pText = "";
    const size_t uiDeep = Common::FindExcessiveJsonNesting(pText, uiLength);
    if (uiDeep < uiLength)
    {
        kErrors.Add("document", "nested deeper than %u levels at offset %zu", kMaxNesting, uiDeep);
        return Reject(kErrors);
    }

    Common::CJsonAllocator kHeap;
    JsonPool kPool(kJsonChunkBytes, &kHeap);
    JsonDocument kDocument(&kPool, kJsonStackBytes, &kHeap);
    kDocument.Parse(pText, uiLength);
    if (kDocument.HasParseError())
    {
        kErrors.Add("document", "%s at offset %zu", rapidjson::GetParseError_En(kDocument.GetParseError()),
                    kDocument.GetErrorOffset());
        return Reject(kErrors);
    }
    return LoadRoot(static_cast<const JsonDocument::ValueType&>(kDocument), kParam, kErrors);
}

bool GaitSerializer::LoadFromDocument(const rapidjson::Value& kRoot, ParamGait& kParam, Common::CInputErrors* pErrors)
{
    Common::CInputErrors kOwnErrors;
    return LoadRoot(kRoot, kParam, StartErrors(pErrors, kOwnErrors));
}

bool GaitSerializer::LoadFromDocument(const ManagedJsonValue& kRoot, ParamGait& kParam, Common::CInputErrors* pErrors)
{
    Common::CInputErrors kOwnErrors;
    return LoadRoot(kRoot, kParam, StartErrors(pErrors, kOwnErrors));
}

void GaitSerializer::Serialize(const ParamGait* pParam, const TarnAnim::Mocap& kMocap, GaitRuntimeData& kData)
{
    if (!pParam)
        return;

    kData.m_kBindAnims.Empty();
    for (const GaitBind& kBind : pParam->Binds)
    {
        InfoBindAnim& kInfo = kData.m_kBindAnims.Add();
        kInfo.m_eAnim = ResolveMovement(kBind.NameKeySource);
        const int32 iSequence = kMocap.FindSequenceNoCase(kBind.NameKeyTarget.Get());
        kInfo.m_iAnimIdx = iSequence < 0 ? kInvalidIndex : static_cast<uint32>(iSequence);
        kInfo.m_eBlendMode = kBind.BlendMode;
        kInfo.m_bLoop = kBind.Loop ? 1 : 0;
        kInfo.m_bAccum = kBind.Accum ? 1 : 0;
    }

    kData.m_kStablePoints.Empty();
    for (const GaitStable& kStable : pParam->Stables)
    {
        const uint32 eAnim = ResolveMovement(kStable.NameKey);
        for (const float fFrame : kStable.StableFrames)
        {
            InfoStablePoint& kPoint = kData.m_kStablePoints.Add();
            kPoint.m_eAnim = eAnim;
            kPoint.m_fFrame = fFrame;
        }
    }

    kData.m_kSynchronizations.Empty();
    for (const GaitBehavior& kBehavior : pParam->Behaviors)
    {
        InfoSynchronization& kSync = kData.m_kSynchronizations.Add();
        kSync.m_eBehavior =
            GetEnumFromName(kBehavior.NameBehavior.Get(), g_apAnimBehaviorNames, EAnimBehavior::NB_TYPE);
        kSync.m_uiEaseMs = kBehavior.EaseMs;
        ResolveSynchro(kBehavior.SynchroSource, kSync.m_kSource);
        ResolveSynchro(kBehavior.SynchroTarget, kSync.m_kTarget);
    }

    kData.m_kFoFPoints.Empty();
    for (const GaitFootOnFloor& kFoot : pParam->FootOnFloor)
    {
        const uint32 eAnim = ResolveMovement(kFoot.NameKey);
        for (const uint32 uiFrame : kFoot.StableFrames)
        {
            InfoFoFPoint& kPoint = kData.m_kFoFPoints.Add();
            kPoint.m_eAnim = eAnim;
            kPoint.m_iFrame = uiFrame;
        }
    }

    kData.m_kParameters = pParam->RuntimeParameters;
    kData.m_kSteering = pParam->Steering;
}

}  // namespace GaitPlugin
