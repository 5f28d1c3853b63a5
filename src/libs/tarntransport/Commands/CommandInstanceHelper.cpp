#include "Commands/CommandInstanceHelper.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "Utils/debuglog.h"

namespace TarnEngine {

std::atomic<CPointerResolver*> CPointerResolver::s_pInstance{nullptr};

int CClientRefCount::ReleaseRef()
{
    if (!TARN_ASSERT(m_uiRefCount > 0, "ReleaseRef of an object that holds no reference"))
        return 0;
    const uint32 uiCount = --m_uiRefCount;
    if (uiCount == 0)
        OnLastReference();  // may destroy the object: nothing of it is read after
    return static_cast<int>(uiCount);
}

CPointerResolver* GetPointerResolverChecked(const char* pFile, int iLine)
{
    CPointerResolver* pResolver = CPointerResolver::GetInstance();
    if (!pResolver)
        Common::ReportAssertFailure(pFile, iLine, "CPointerResolver::GetInstance()",
                                    "Instance ptr should be set (plugin?)");
    return pResolver;
}

CPointerResolver::~CPointerResolver()
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    for (auto& kPair : m_kIDToPtrMaps)
        TARN_DELETE(kPair.Value);
    for (auto& kPair : m_kPtrToIDMaps)
        TARN_DELETE(kPair.Value);
}

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

uint32 CPointerResolver::RegisterPtr(uint32 uiTypeKey, void* pObject)
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    IDToPtrMap** ppIDToPtr = m_kIDToPtrMaps.Lookup(uiTypeKey);
    if (!ppIDToPtr)
    {
        IDToPtrMap* pMap = TARN_NEW_TAGGED("TarnEngine::CPointerResolver::IDToPtrMap", IDToPtrMap);
        if (!TARN_ASSERT(pMap, "couldn't create the ID map of a remote type"))
            return kInvalidIndex;
        m_kIDToPtrMaps.Insert(uiTypeKey, pMap);
        ppIDToPtr = m_kIDToPtrMaps.Lookup(uiTypeKey);
    }
    PtrToIDMap** ppPtrToID = m_kPtrToIDMaps.Lookup(uiTypeKey);
    if (!ppPtrToID)
    {
        PtrToIDMap* pMap = TARN_NEW_TAGGED("TarnEngine::CPointerResolver::PtrToIDMap", PtrToIDMap);
        if (!TARN_ASSERT(pMap, "couldn't create the pointer map of a remote type"))
            return kInvalidIndex;
        m_kPtrToIDMaps.Insert(uiTypeKey, pMap);
        ppPtrToID = m_kPtrToIDMaps.Lookup(uiTypeKey);
    }
    if (!m_kNextIDs.Lookup(uiTypeKey))
        m_kNextIDs.Insert(uiTypeKey, 0u);
    unsigned int* pNext = m_kNextIDs.Lookup(uiTypeKey);
    const uint32 iIdx = (ppIDToPtr && ppPtrToID && pNext) ? 0u : (uint32)-1;
    if (!TARN_ASSERT(iIdx != (uint32)-1, "coudln't find ID in Map CPointerResolver"))
        return kInvalidIndex;
    if (!TARN_ASSERT(*pNext != kInvalidIndex, "no instance ID left for this remote type"))
        return kInvalidIndex;
    const uint32 uiId = (*pNext)++;
    (*ppIDToPtr)->Insert(uiId, pObject);
    (*ppPtrToID)->Insert(pObject, uiId);
    return uiId;
}

void CPointerResolver::UnregisterPtr(uint32 uiTypeKey, const void* pObject)
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    PtrToIDMap** ppPtrToID = m_kPtrToIDMaps.Lookup(uiTypeKey);
    if (!ppPtrToID)
        return;
    void* pKey = const_cast<void*>(pObject);
    const unsigned int* pId = (*ppPtrToID)->Lookup(pKey);
    if (!pId)
        return;
    const uint32 uiId = *pId;
    (*ppPtrToID)->Remove(pKey);
    if (IDToPtrMap** ppIDToPtr = m_kIDToPtrMaps.Lookup(uiTypeKey))
        (*ppIDToPtr)->Remove(uiId);
}

uint32 CPointerResolver::ReleaseAllInstances()
{
    uint32 uiReleased = 0;
    for (;;)
    {
        uint32 uiTypeKey = 0;
        void* pObject = nullptr;
        {
            Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
            for (auto& kPair : m_kIDToPtrMaps)
                if (!kPair.Value->IsEmpty())
                {
                    uiTypeKey = kPair.Key;
                    pObject = (*kPair.Value->begin()).Value;
                    break;
                }
        }
        if (!pObject)
            return uiReleased;
        CClientRefCount* pCounted = static_cast<CClientRefCount*>(pObject);
        // The last release deletes the object, which leaves the maps; an
        // object left with no count is deleted here.
        uint32 uiCount = pCounted->GetRefCount();
        if (uiCount == 0)
            TARN_DELETE(pCounted);
        while (uiCount-- > 0)
            pCounted->ReleaseRef();
        ++uiReleased;
        // Whatever happened, the entry must not be visited again.
        UnregisterPtr(uiTypeKey, pObject);
    }
}

void* CPointerResolver::FindPtr(uint32 uiTypeKey, uint32 uiId) const
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    IDToPtrMap* const* ppIDToPtr = m_kIDToPtrMaps.Lookup(uiTypeKey);
    if (!ppIDToPtr)
        return nullptr;
    void* const* ppObject = (*ppIDToPtr)->Lookup(uiId);
    return ppObject ? *ppObject : nullptr;
}

uint32 CPointerResolver::FindID(uint32 uiTypeKey, const void* pObject) const
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    PtrToIDMap* const* ppPtrToID = m_kPtrToIDMaps.Lookup(uiTypeKey);
    if (!ppPtrToID)
        return kInvalidIndex;
    const unsigned int* pId = (*ppPtrToID)->Lookup(const_cast<void*>(pObject));
    return pId ? *pId : kInvalidIndex;
}

void CPointerResolver::SetSingletonPtr(uint32 uiTypeKey, void* pObject)
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    if (void** ppObject = m_kSingletons.Lookup(uiTypeKey))
    {
        TARN_ASSERT(*ppObject == pObject, "a singleton of this remote type exists already; the new one replaces it");
        *ppObject = pObject;
        return;
    }
    m_kSingletons.Insert(uiTypeKey, pObject);
}

void CPointerResolver::ClearSingletonPtr(uint32 uiTypeKey, const void* pObject)
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    void** ppObject = m_kSingletons.Lookup(uiTypeKey);
    if (ppObject && *ppObject == pObject)
        m_kSingletons.Remove(uiTypeKey);
}

void* CPointerResolver::GetSingletonPtr(uint32 uiTypeKey) const
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    void* const* ppObject = m_kSingletons.Lookup(uiTypeKey);
    return ppObject ? *ppObject : nullptr;
}

uint32 CPointerResolver::GetNextID(uint32 uiTypeKey) const
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    const unsigned int* pNext = m_kNextIDs.Lookup(uiTypeKey);
    return pNext ? *pNext : 0u;
}

uint32 CPointerResolver::GetObjectCount(uint32 uiTypeKey) const
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kLock);
    IDToPtrMap* const* ppIDToPtr = m_kIDToPtrMaps.Lookup(uiTypeKey);
    return ppIDToPtr ? (*ppIDToPtr)->GetSize() : 0u;
}

// ---------------------------------------------------------------------------

JSonParamReader::JSonParamReader(const Common::JsonValue& kRequest, RetWriter* pWriter)
    : m_kRequest(kRequest), m_pWriter(pWriter)
{
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

bool JSonParamReader::NoteFailure(const char* pExpression, const char* pFormat, ...)
{
    if (m_acFailure[0] != 0)
        return false;
    const int iPrefix = snprintf(m_acFailure, sizeof(m_acFailure), "Assertion \"%s\" failed. ", pExpression);
    if (iPrefix > 0 && static_cast<size_t>(iPrefix) < sizeof(m_acFailure) - 1)
    {
        va_list kArgs;
        va_start(kArgs, pFormat);
        vsnprintf(m_acFailure + iPrefix, sizeof(m_acFailure) - static_cast<size_t>(iPrefix), pFormat, kArgs);
        va_end(kArgs);
    }
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
        return Reject(pName, "a rotation: the numbers \"x\", \"y\", \"z\" and \"w\" between -3.4e38 and 3.4e38, not all zero");
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
    ResultWriter kWriter(*m_pWriter, &m_kStackAllocator);
    kWriter.StartObject();
    kWriter.EndObject();
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

// ---------------------------------------------------------------------------

const char* CTextArgReader::NextToken()
{
    if (!m_pCursor)
        return nullptr;
    while (*m_pCursor == ' ')
        ++m_pCursor;
    if (*m_pCursor == 0)
        return nullptr;
    char* pToken = m_pCursor;
    while (*m_pCursor != 0 && *m_pCursor != ' ')
        ++m_pCursor;
    if (*m_pCursor == ' ')
        *m_pCursor++ = 0;
    return pToken;
}

}  // namespace TarnEngine
