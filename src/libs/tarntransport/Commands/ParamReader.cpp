#include "Commands/ParamReader.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

namespace TarnEngine {

JSonParamReader::JSonParamReader(const Common::JsonValue& kRequest, RetWriter* pWriter)
    : m_kRequest(kRequest), m_pWriter(pWriter), m_kFailures(1)
{
    m_kFailures.Reset(kRequestSource, Common::CInputErrors::EForm::Assertion, kFailureTextSize);
}

const Common::JsonValue* JSonParamReader::NextArg(char (&acName)[16])
{
    snprintf(acName, sizeof(acName), "Arg%u", m_uiNextArg);
    ++m_uiNextArg;
    if (!m_kRequest.IsObject())
        return nullptr;
    const auto kIt = m_kRequest.FindMember(acName);
    return kIt != m_kRequest.MemberEnd() ? &kIt->value : nullptr;
}

namespace {
thread_local JSonParamReader* tl_pCurrentCall = nullptr;
}  // namespace

JSonParamReader* JSonParamReader::GetCurrentCall()
{
    return tl_pCurrentCall;
}

JSonParamReader::CCallScope::CCallScope(JSonParamReader& kReader) : m_pPrevious(tl_pCurrentCall)
{
    tl_pCurrentCall = &kReader;
}

JSonParamReader::CCallScope::~CCallScope()
{
    tl_pCurrentCall = m_pPrevious;
}

bool RefuseRemoteCall(const char* pFile, int iLine, const char* pExpression, const char* pFormat, ...)
{
    char acExplanation[JSonParamReader::kFailureTextSize];
    va_list kArgs;
    va_start(kArgs, pFormat);
    vsnprintf(acExplanation, sizeof(acExplanation), pFormat, kArgs);
    va_end(kArgs);
    Common::ReportAssertFailure(pFile, iLine, pExpression, "%s", acExplanation);
    if (JSonParamReader* pCall = JSonParamReader::GetCurrentCall())
        pCall->NoteFailure(pExpression, "%s", acExplanation);
    return false;
}

bool RefuseRemoteInput(const Common::CInputErrors& kErrors)
{
    if (JSonParamReader* pCall = JSonParamReader::GetCurrentCall())
        pCall->NoteInputFailure(kErrors);
    return false;
}

bool JSonParamReader::NoteInputFailure(const Common::CInputErrors& kErrors)
{
    if (kErrors.IsEmpty())
        return NoteFailure("kErrors", "an input was refused without a reason");
    if (m_kFailures.IsEmpty())
        m_kFailures = kErrors;
    else
        m_kFailures.Add(kErrors.GetPath(0), "%s", kErrors.GetProblem(0));
    return false;
}

bool JSonParamReader::NoteFailure(const char* pExpression, const char* pFormat, ...)
{
    va_list kArgs;
    va_start(kArgs, pFormat);
    m_kFailures.AddV(pExpression, pFormat, kArgs);
    va_end(kArgs);
    return false;
}

bool JSonParamReader::Reject(const char* pName, const char* pExpected)
{
    TARN_ASSERT_TEXT(false, pName, "argument %s must be %s", pName, pExpected);
    return NoteFailure(pName, "argument %s must be %s", pName, pExpected);
}

namespace {

// Whether a number read as a double is a finite float: anything larger
// would become an infinity on its way into the engine.
bool IsFloatNumber(double dValue)
{
    return std::isfinite(dValue) && std::fabs(dValue) <= static_cast<double>(std::numeric_limits<float>::max());
}

}  // namespace

bool JSonParamReader::ReadValue(const Common::JsonValue* pArg, const char* pName, double& dValue)
{
    if (!pArg || !pArg->IsNumber())
        return Reject(pName, "a number");
    dValue = pArg->GetDouble();
    if (!std::isfinite(dValue))
        return Reject(pName, "a finite number");
    return true;
}

bool JSonParamReader::ReadValue(const Common::JsonValue* pArg, const char* pName, float& fValue)
{
    double dValue = 0.0;
    if (!ReadValue(pArg, pName, dValue))
        return false;
    if (!IsFloatNumber(dValue))
        return Reject(pName, "a number between -3.4e38 and 3.4e38");
    fValue = static_cast<float>(dValue);
    return true;
}

bool JSonParamReader::ReadValue(const Common::JsonValue* pArg, const char* pName, bool& bValue)
{
    if (!pArg || !pArg->IsBool())
        return Reject(pName, "true or false");
    bValue = pArg->GetBool();
    return true;
}

bool JSonParamReader::ReadValue(const Common::JsonValue* pArg, const char* pName, int32& iValue)
{
    if (!pArg || !pArg->IsInt())
        return Reject(pName, "a signed 32-bit integer");
    iValue = pArg->GetInt();
    return true;
}

bool JSonParamReader::ReadValue(const Common::JsonValue* pArg, const char* pName, uint32& uiValue)
{
    if (!pArg || !pArg->IsUint())
        return Reject(pName, "an unsigned 32-bit integer");
    uiValue = pArg->GetUint();
    return true;
}

bool JSonParamReader::ReadValue(const Common::JsonValue* pArg, const char* pName, int64& iValue)
{
    if (!pArg || !pArg->IsInt64())
        return Reject(pName, "a signed 64-bit integer");
    iValue = pArg->GetInt64();
    return true;
}

bool JSonParamReader::ReadValue(const Common::JsonValue* pArg, const char* pName, uint64& uiValue)
{
    if (!pArg || !pArg->IsUint64())
        return Reject(pName, "an unsigned 64-bit integer");
    uiValue = pArg->GetUint64();
    return true;
}

bool JSonParamReader::ReadValue(const Common::JsonValue* pArg, const char* pName, const char*& pText)
{
    if (pArg && pArg->IsNull())
    {
        pText = "";
        return true;
    }
    if (!pArg || !pArg->IsString())
        return Reject(pName, "a string or null");
    // A NUL character would cut the text short of what the client sent.
    if (strnlen(pArg->GetString(), pArg->GetStringLength()) != pArg->GetStringLength())
        return Reject(pName, "a string without NUL characters");
    pText = pArg->GetString();
    return true;
}

namespace {

enum class EMembers
{
    Read,
    Missing,     // not an object, or a member missing or not a number
    OutOfRange,  // a member is not a finite float
};

// Reads the numbers named by apKeys from an object into adOut.
template <size_t N>
EMembers ReadNumberMembers(const Common::JsonValue* pArg, const char* const (&apKeys)[N], double (&adOut)[N])
{
    if (!pArg || !pArg->IsObject())
        return EMembers::Missing;
    bool bInRange = true;
    for (size_t uiIdx = 0; uiIdx < N; ++uiIdx)
    {
        const auto kIt = pArg->FindMember(apKeys[uiIdx]);
        if (kIt == pArg->MemberEnd() || !kIt->value.IsNumber())
            return EMembers::Missing;
        adOut[uiIdx] = kIt->value.GetDouble();
        bInRange = bInRange && IsFloatNumber(adOut[uiIdx]);
    }
    return bInRange ? EMembers::Read : EMembers::OutOfRange;
}

}  // namespace

bool JSonParamReader::ReadValue(const Common::JsonValue* pArg, const char* pName, Math::Quaternion& kValue)
{
    static const char* const s_apKeys[4] = {"x", "y", "z", "w"};
    double adValues[4];
    const EMembers eRead = ReadNumberMembers(pArg, s_apKeys, adValues);
    if (eRead == EMembers::Missing)
        return Reject(pName, "an object with the numbers \"x\", \"y\", \"z\" and \"w\"");
    // A rotation is normalised on its way in (in double precision, so that
    // large components do not overflow); one of no length has no direction.
    double dLengthSq = 0.0;
    for (double dValue : adValues)
        dLengthSq += dValue * dValue;
    const double dLength = std::sqrt(dLengthSq);
    if (eRead == EMembers::OutOfRange || !(dLength > 1e-12))
        return Reject(pName,
                      "a rotation: the numbers \"x\", \"y\", \"z\" and \"w\" between -3.4e38 and 3.4e38, not all zero");
    kValue = Math::Quaternion(static_cast<float>(adValues[0] / dLength), static_cast<float>(adValues[1] / dLength),
                              static_cast<float>(adValues[2] / dLength), static_cast<float>(adValues[3] / dLength));
    return true;
}

bool JSonParamReader::ReadValue(const Common::JsonValue* pArg, const char* pName, Math::LocalVector3& kValue)
{
    static const char* const s_apKeys[3] = {"x", "y", "z"};
    double adValues[3];
    const EMembers eRead = ReadNumberMembers(pArg, s_apKeys, adValues);
    if (eRead == EMembers::Missing)
        return Reject(pName, "an object with the numbers \"x\", \"y\" and \"z\"");
    if (eRead == EMembers::OutOfRange)
        return Reject(pName, "an object with the numbers \"x\", \"y\" and \"z\" between -3.4e38 and 3.4e38");
    kValue = Math::LocalVector3(static_cast<float>(adValues[0]), static_cast<float>(adValues[1]),
                                static_cast<float>(adValues[2]));
    return true;
}

bool JSonParamReader::ReadObjectReference(const Common::JsonValue* pArg, const char* pName, uint32& uiId, bool& bNull)
{
    bNull = false;
    if (pArg && pArg->IsNull())
    {
        bNull = true;
        return true;
    }
    if (pArg && pArg->IsObject())
    {
        const auto kIt = pArg->FindMember("InstanceID");
        if (kIt != pArg->MemberEnd() && kIt->value.IsInt())
        {
            uiId = static_cast<uint32>(kIt->value.GetInt());
            return true;
        }
    }
    return Reject(pName, "null or an object {\"InstanceID\": integer}");
}

void JSonParamReader::WriteVoidResult()
{
    if (!m_pWriter)
        return;
    m_pWriter->Put('{');
    m_pWriter->Put('}');
}

void JSonParamReader::WriteError(RetWriter& kOut, const char* pText)
{
    Common::CJsonAllocator kStackAllocator;
    ResultWriter kWriter(kOut, &kStackAllocator);
    kWriter.StartObject();
    kWriter.Key("Error");
    kWriter.String(pText ? pText : "");
    kWriter.EndObject();
}

void JSonParamReader::WriteValue(ResultWriter& kWriter, double dValue)
{
    // The writer refuses NaN and infinities (and would leave the text
    // unfinished): they cross as null.
    if (std::isfinite(dValue))
        kWriter.Double(dValue);
    else
        kWriter.Null();
}

void JSonParamReader::WriteValue(ResultWriter& kWriter, const char* pText)
{
    if (pText)
        kWriter.String(pText);
    else
        kWriter.Null();
}

void JSonParamReader::WriteValue(ResultWriter& kWriter, const Math::Quaternion& kValue)
{
    kWriter.StartObject();
    kWriter.Key("x");
    WriteValue(kWriter, kValue.x);
    kWriter.Key("y");
    WriteValue(kWriter, kValue.y);
    kWriter.Key("z");
    WriteValue(kWriter, kValue.z);
    kWriter.Key("w");
    WriteValue(kWriter, kValue.w);
    kWriter.EndObject();
}

void JSonParamReader::WriteValue(ResultWriter& kWriter, const Math::LocalVector3& kValue)
{
    kWriter.StartObject();
    kWriter.Key("x");
    WriteValue(kWriter, kValue.x);
    kWriter.Key("y");
    WriteValue(kWriter, kValue.y);
    kWriter.Key("z");
    WriteValue(kWriter, kValue.z);
    kWriter.EndObject();
}

}  // namespace TarnEngine
