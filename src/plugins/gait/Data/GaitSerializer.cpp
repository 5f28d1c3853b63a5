#include "Data/GaitSerializer.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
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
// Problems reported and listed one by one; the rest are counted in one
// closing line, so that a huge broken document cannot flood the log.
constexpr uint32 kMaxListedProblems = 32;
// Room kept in the error text for that closing line.
constexpr uint32 kSummaryRoom = 64;

using JsonPool = rapidjson::MemoryPoolAllocator<Common::CJsonAllocator>;
using JsonDocument = rapidjson::GenericDocument<rapidjson::UTF8<>, JsonPool, Common::CJsonAllocator>;

// The problems of one document. Each is reported as an assertion whose
// quoted expression is the member path, and listed as "<path>: <problem>" on
// its own line of the caller's GaitLoadErrors.
class CProblemList
{
public:
    explicit CProblemList(GaitLoadErrors* pErrors) : m_pErrors(pErrors)
    {
        if (m_pErrors)
        {
            m_pErrors->m_acText[0] = '\0';
            m_pErrors->m_uiCount = 0;
        }
    }
    CProblemList(const CProblemList&) = delete;
    CProblemList& operator=(const CProblemList&) = delete;

    uint32 GetCount() const { return m_uiCount; }

    void Add(const char* pPath, const char* pFormat, ...) TARN_PRINTF_FORMAT(3, 4)
    {
        ++m_uiCount;
        if (m_pErrors)
            m_pErrors->m_uiCount = m_uiCount;
        if (m_uiListed + 1 != m_uiCount || m_uiListed >= kMaxListedProblems)
            return;
        char acProblem[512];
        va_list kArgs;
        va_start(kArgs, pFormat);
        vsnprintf(acProblem, sizeof(acProblem), pFormat, kArgs);
        va_end(kArgs);
        if (!Append(pPath, acProblem, kSummaryRoom))
            return;
        ++m_uiListed;
        TARN_ASSERT_TEXT(false, pPath, "%s", acProblem);
    }

    // Reports the problems that were not listed one by one, if any.
    void Finish()
    {
        if (m_uiListed == m_uiCount)
            return;
        char acProblem[96];
        const uint32 uiRest = m_uiCount - m_uiListed;
        snprintf(acProblem, sizeof(acProblem), "%u more %s not listed", uiRest, uiRest == 1 ? "problem" : "problems");
        Append("document", acProblem, 0);
        TARN_ASSERT_TEXT(false, "document", "%s", acProblem);
    }

private:
    // Adds the line "<path>: <problem>" when it fits whole with uiKeep
    // characters to spare (always true without an error text).
    bool Append(const char* pPath, const char* pProblem, uint32 uiKeep)
    {
        if (!m_pErrors)
            return true;
        const size_t uiRoom = sizeof(m_pErrors->m_acText) - m_uiTextLength;
        const int iLength = snprintf(nullptr, 0, "%s: %s\n", pPath, pProblem);
        if (iLength < 0 || static_cast<size_t>(iLength) + uiKeep >= uiRoom)
            return false;
        snprintf(m_pErrors->m_acText + m_uiTextLength, uiRoom, "%s: %s\n", pPath, pProblem);
        m_uiTextLength += static_cast<uint32>(iLength);
        return true;
    }

    GaitLoadErrors* m_pErrors;
    uint32 m_uiCount = 0;
    uint32 m_uiListed = 0;
    uint32 m_uiTextLength = 0;
};

// The path of the member being checked: "Binds[3].NameKeySource".
class CMemberPath
{
public:
    const char* Get() const { return m_uiLength ? m_acText : "document"; }

    // Appends ".Member" (or "Member" at the top) or "[index]" for its lifetime.
    class CScope
    {
    public:
        CScope(CMemberPath& kPath, const char* pMember) : m_kPath(kPath), m_uiLength(kPath.m_uiLength)
        {
            kPath.Append(m_uiLength ? ".%s" : "%s", pMember);
        }
        CScope(CMemberPath& kPath, uint32 uiIndex) : m_kPath(kPath), m_uiLength(kPath.m_uiLength)
        {
            kPath.Append("[%u]", uiIndex);
        }
        ~CScope()
        {
            m_kPath.m_uiLength = m_uiLength;
            m_kPath.m_acText[m_uiLength] = '\0';
        }
        CScope(const CScope&) = delete;
        CScope& operator=(const CScope&) = delete;

    private:
        CMemberPath& m_kPath;
        uint32 m_uiLength;
    };

private:
    template <class Arg> void Append(const char* pFormat, Arg kArg)
    {
        const uint32 uiRoom = sizeof(m_acText) - m_uiLength;
        const int iWritten = snprintf(m_acText + m_uiLength, uiRoom, pFormat, kArg);
        if (iWritten > 0)
            m_uiLength += std::min<uint32>(static_cast<uint32>(iWritten), uiRoom - 1);
    }

    char m_acText[256] = {};
    uint32 m_uiLength = 0;
};

// Checks a whole gait document, member by member in the order the loader
// reads them, and records every problem. The loader relies on it: a
// document without problems has every member it reads, with the JSON type
// it reads it as.
template <class ValueT> class CDocumentChecker
{
public:
    explicit CDocumentChecker(CProblemList& kProblems) : m_kProblems(kProblems) {}

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

    void Fail(const char* pProblem) { m_kProblems.Add(m_kPath.Get(), "%s", pProblem); }

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

    CProblemList& m_kProblems;
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

// Checks, then loads. The document is read into a new ParamGait that
// replaces kParam only when it is complete, so a rejected document (or one
// that runs out of memory) leaves kParam as it was.
template <class ValueT> bool LoadRoot(const ValueT& kRoot, ParamGait& kParam, CProblemList& kProblems)
{
    // A repeated member would otherwise be read once and the other copy
    // ignored without a word; text that is not UTF-8 would reach names.
    Common::SJsonProblem kTextProblem;
    if (Common::FindJsonProblem(kRoot, kTextProblem))
    {
        kProblems.Add(kTextProblem.acPath, "%s", Common::DescribeJsonProblem(kTextProblem.eKind));
        kProblems.Finish();
        return false;
    }
    CDocumentChecker<ValueT> kChecker(kProblems);
    kChecker.CheckRoot(kRoot);
    if (kProblems.GetCount() == 0)
    {
        ParamGait kLoaded;
        kLoaded.RuntimeParameters = kParam.RuntimeParameters;
        if (ReadCheckedDocument(kRoot, kLoaded))
        {
            kParam = std::move(kLoaded);
            return true;
        }
        kProblems.Add("document", "out of memory");
    }
    kProblems.Finish();
    return false;
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

bool GaitSerializer::LoadFromText(const char* pText, size_t uiLength, ParamGait& kParam, GaitLoadErrors* pErrors)
{
    CProblemList kProblems(pErrors);
    if (!pText && uiLength != 0)
    {
        kProblems.Add("document", "no text");
        kProblems.Finish();
        return false;
    }
    if (!pText)
        pText = "";
    const size_t uiDeep = Common::FindExcessiveJsonNesting(pText, uiLength);
    if (uiDeep < uiLength)
    {
        kProblems.Add("document", "nested deeper than %u levels at offset %zu", kMaxNesting, uiDeep);
        kProblems.Finish();
        return false;
    }

    Common::CJsonAllocator kHeap;
    JsonPool kPool(kJsonChunkBytes, &kHeap);
    JsonDocument kDocument(&kPool, kJsonStackBytes, &kHeap);
    kDocument.Parse(pText, uiLength);
    if (kDocument.HasParseError())
    {
        kProblems.Add("document", "%s at offset %zu", rapidjson::GetParseError_En(kDocument.GetParseError()),
                      kDocument.GetErrorOffset());
        kProblems.Finish();
        return false;
    }
    return LoadRoot(static_cast<const JsonDocument::ValueType&>(kDocument), kParam, kProblems);
}

bool GaitSerializer::LoadFromDocument(const rapidjson::Value& kRoot, ParamGait& kParam, GaitLoadErrors* pErrors)
{
    CProblemList kProblems(pErrors);
    return LoadRoot(kRoot, kParam, kProblems);
}

bool GaitSerializer::LoadFromDocument(const ManagedJsonValue& kRoot, ParamGait& kParam, GaitLoadErrors* pErrors)
{
    CProblemList kProblems(pErrors);
    return LoadRoot(kRoot, kParam, kProblems);
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
