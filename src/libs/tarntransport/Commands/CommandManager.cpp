#include "Commands/CommandManager.h"

#include <cstdarg>
#include <cstring>
#include <new>
#include <string>

#include <rapidjson/error/en.h>

#include "Utils/InputErrors.h"
#include "Utils/JsonText.h"
#include "Utils/debuglog.h"

namespace TarnEngine {

namespace {

// Writes the failure of a request that waits for an acknowledgment.
void ReplyError(CReturnBuffer* pReply, bool bWaitAck, const char* pText)
{
    if (!bWaitAck || !pReply)
        return;
    pReply->Rewind();
    JSonParamReader::WriteError(*pReply, pText);
}

// Whether a JSON string holds a NUL character (written \u0000), which
// would cut the name it carries short.
bool HasNulCharacter(const Common::JsonValue& kValue)
{
    return strnlen(kValue.GetString(), kValue.GetStringLength()) != kValue.GetStringLength();
}

// A refused request's failure as its reply words it, "Assertion
// \"<expression>\" failed. <explanation>": the text of the report made for
// it.
class CRefusal
{
public:
    CRefusal(const char* pExpression, const char* pFormat, ...) TARN_PRINTF_FORMAT(3, 4)
    {
        m_kFailure.Reset(JSonParamReader::kRequestSource, Common::CInputErrors::EForm::Assertion,
                         JSonParamReader::kFailureTextSize);
        va_list kArgs;
        va_start(kArgs, pFormat);
        m_kFailure.AddV(pExpression, pFormat, kArgs);
        va_end(kArgs);
    }
    const char* GetText() const { return m_kFailure.GetText(); }

private:
    Common::CInputErrors m_kFailure{1};
};

// Copies pText and pSuffix behind each other at pCursor, terminated, and
// moves the cursor past them; returns the copy.
const char* CopyText(char*& pCursor, const char* pText, const char* pSuffix = "")
{
    char* pCopy = pCursor;
    const size_t uiText = strlen(pText), uiSuffix = strlen(pSuffix);
    memcpy(pCursor, pText, uiText);
    memcpy(pCursor + uiText, pSuffix, uiSuffix);
    pCursor[uiText + uiSuffix] = 0;
    pCursor += uiText + uiSuffix + 1;
    return pCopy;
}

// Room for a type name as the catalogue keeps it: a remote object's is
// found when the list is made, an optional one ends with '?'.
size_t TypeTextSize(const SRemoteType& kType)
{
    return kType.pName ? strlen(kType.pName) + (kType.bOptional ? 2 : 1) : 0;
}

void CopyTypeText(char*& pCursor, SRemoteType& kType)
{
    if (kType.pName)
        kType.pName = CopyText(pCursor, kType.pName, kType.bOptional ? "?" : "");
}

}  // namespace

struct CommandManager::SCatalogueEntry
{
    EngineCommand* pCommand = nullptr;
    const char* pClassName = "";
    const char* pMethodName = "";
    // Its type names point into the entry's block.
    SCommandSignature kSignature;
};

CommandManager::~CommandManager()
{
    {
        Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kRegistryLock);
        for (auto& kPair : m_kRegistry)
            FreeCommand(kPair.Value);
        m_kRegistry.Clear();
        for (SCatalogueEntry* pEntry : m_kCatalogue)
        {
            pEntry->~SCatalogueEntry();
            TARN_FREE(pEntry);
        }
        m_kCatalogue.Clear();
    }
    if (m_pPointerResolver)
    {
        CPointerResolver::ReleaseInstance(m_pPointerResolver);
        TARN_DELETE(m_pPointerResolver);
        m_pPointerResolver = nullptr;
    }
}

bool CommandManager::Init()
{
    if (!m_pPointerResolver)
    {
        m_pPointerResolver = TARN_NEW_TAGGED("TarnEngine::CommandManager::Init", CPointerResolver);
        if (!TARN_ASSERT(m_pPointerResolver, "no memory for the pointer resolver"))
            return false;
    }
    return CPointerResolver::SetInstance(m_pPointerResolver);
}

void CommandManager::FreeCommand(EngineCommand* pCommand)
{
    // Plain storage: a command's code may live in a plug-in module, which is
    // not called into here.
    TARN_FREE(pCommand);
}

bool CommandManager::Insert(uint32 uiCommandId, EngineCommand* pCommand, const char* pClassName,
                            const char* pMethodName, const SCommandSignature& kSignature)
{
    // The names are copied: a plug-in's texts live in its module.
    const char* pClass = pClassName ? pClassName : "";
    const char* pMethod = pMethodName ? pMethodName : "";
    SCommandSignature kCopy = kSignature;
    kCopy.uiArgCount = kCopy.uiArgCount < kMaxCommandArgs ? kCopy.uiArgCount : kMaxCommandArgs;
    size_t uiTextSize = strlen(pClass) + strlen(pMethod) + 2 + TypeTextSize(kCopy.kResult);
    for (uint32 uiArg = 0; uiArg < kCopy.uiArgCount; ++uiArg)
        uiTextSize += TypeTextSize(kCopy.akArgs[uiArg]);
    void* pBlock = nullptr;
    {
        Common::Mem::CTagScope kTag("TarnEngine::CommandManager::Insert");
        pBlock = TARN_ALLOC(sizeof(SCatalogueEntry) + uiTextSize);
    }
    if (!TARN_ASSERT(pBlock, "no memory to list the command %s.%s", pClass, pMethod))
        return false;
    SCatalogueEntry* pEntry = ::new (pBlock) SCatalogueEntry();
    char* pCursor = static_cast<char*>(pBlock) + sizeof(SCatalogueEntry);
    pEntry->pCommand = pCommand;
    pEntry->pClassName = CopyText(pCursor, pClass);
    pEntry->pMethodName = CopyText(pCursor, pMethod);
    CopyTypeText(pCursor, kCopy.kResult);
    for (uint32 uiArg = 0; uiArg < kCopy.uiArgCount; ++uiArg)
        CopyTypeText(pCursor, kCopy.akArgs[uiArg]);
    pEntry->kSignature = kCopy;

    {
        Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kRegistryLock);
        if (!m_kRegistry.Lookup(uiCommandId))
        {
            m_kRegistry.Insert(uiCommandId, pCommand);
            if (m_kRegistry.Lookup(uiCommandId))
            {
                const uint32 uiListed = m_kCatalogue.GetSize();
                m_kCatalogue.Add(pEntry);
                if (m_kCatalogue.GetSize() == uiListed + 1)
                    return true;
                m_kRegistry.Remove(uiCommandId);
            }
        }
    }
    pEntry->~SCatalogueEntry();
    TARN_FREE(pBlock);
    return false;
}

const char* CommandManager::FindClassOfInterface(uint32 uiKey) const
{
    for (const SCatalogueEntry* pEntry : m_kCatalogue)
        if (pEntry->kSignature.uiTargetKey == uiKey)
            return pEntry->pClassName;
    return nullptr;
}

void CommandManager::ListCommands(TarnRenderer::TArray<SRemoteMethodInfo>& kOut) const
{
    kOut.Clear();
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kRegistryLock);
    kOut.Reserve(m_kCatalogue.GetSize());
    const auto Name = [this](const SRemoteType& kType) {
        const char* pClass = kType.pName ? kType.pName : FindClassOfInterface(kType.uiInterfaceKey);
        return pClass ? pClass : "object";
    };
    for (const SCatalogueEntry* pEntry : m_kCatalogue)
    {
        const SCommandSignature& kSignature = pEntry->kSignature;
        SRemoteMethodInfo& kInfo = kOut.Add();
        kInfo.pClassName = pEntry->pClassName;
        kInfo.pMethodName = pEntry->pMethodName;
        kInfo.pResultType = Name(kSignature.kResult);
        kInfo.uiArgCount = kSignature.uiArgCount;
        for (uint32 uiArg = 0; uiArg < kSignature.uiArgCount; ++uiArg)
            kInfo.apArgTypes[uiArg] = Name(kSignature.akArgs[uiArg]);
        kInfo.bSingletonClass = kSignature.bSingleton;
        kInfo.bSafeOffEngineThread = pEntry->pCommand->IsSafeOffEngineThread();
    }
}

EngineCommand* CommandManager::FindCommand(uint32 uiCommandId) const
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kRegistryLock);
    EngineCommand* const* ppCommand = m_kRegistry.Lookup(uiCommandId);
    return ppCommand ? *ppCommand : nullptr;
}

EngineCommand* CommandManager::FindCommand(const char* pClassName, const char* pMethodName) const
{
    return FindCommand(GetCommandId(pClassName, pMethodName));
}

uint32 CommandManager::GetCommandCount() const
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(&m_kRegistryLock);
    return m_kRegistry.GetSize();
}

bool CommandManager::ExecuteJSon(const char* pText, CReturnBuffer* pReply)
{
    return ExecuteJSon(pText, pText ? strlen(pText) : 0, pReply);
}

bool CommandManager::ExecuteJSon(const char* pText, size_t uiLength, CReturnBuffer* pReply, IRequestAccount* pAccount,
                                 uint64 uiCharge, CPendingReplies* pDeferred)
{
    // Refused before it has a command: the charge goes back here. Text
    // that cannot be read is answered when it asks for a reply, so that a
    // waiting client never hangs.
    const auto RefuseText = [&](const CRefusal& kRefusal) {
        if (pAccount)
            pAccount->Refund(uiCharge);
        if (pText && Common::JsonTextAsksForReply(pText, uiLength))
            ReplyError(pReply, true, kRefusal.GetText());
        return false;
    };
    if (!TARN_ASSERT(pText && uiLength > 0, "empty remote request"))
        return RefuseText(CRefusal("pText && uiLength > 0", "empty remote request"));
    // A text no longer than the nesting bound can neither nest deeper than
    // it nor hold more values than it has characters, and one more: only
    // longer ones need the scan.
    static_assert(Common::kMaxJsonNesting + 1 <= kMaxRequestValues, "short requests are within every bound");
    if (uiLength > Common::kMaxJsonNesting)
    {
        const Common::SJsonTextScan kScan = Common::ScanJsonText(pText, uiLength);
        if (!TARN_ASSERT_TEXT(kScan.uiDeepAt == uiLength, "uiDeep == uiLength",
                              "remote request nests deeper than %u levels", Common::kMaxJsonNesting))
            return RefuseText(
                CRefusal("uiDeep == uiLength", "remote request nests deeper than %u levels", Common::kMaxJsonNesting));
        if (!TARN_ASSERT_TEXT(kScan.uiValues <= kMaxRequestValues, "uiValues <= kMaxRequestValues",
                              "remote request holds more than %u values", kMaxRequestValues))
            return RefuseText(CRefusal("uiValues <= kMaxRequestValues", "remote request holds more than %u values",
                                       kMaxRequestValues));
    }

    JSonCommand* pCommand = m_kQueue.AcquireCommand(pDeferred);
    if (!pCommand)
        return RefuseText(CRefusal("pCommand", "no memory for a remote request"));
    // From here the command carries the charge, and refunds it when it is
    // released.
    pCommand->m_pAccount = pAccount;
    pCommand->m_uiCharge = uiCharge;
    JSonCommand::Document& kDocument = pCommand->m_kDocument;
    kDocument.Parse(pText, uiLength);
    if (kDocument.HasParseError() || !kDocument.IsObject())
    {
        // The report names what the parser found, and where.
        char acDetail[160] = "";
        if (kDocument.HasParseError())
            snprintf(acDetail, sizeof(acDetail), ": %s (at offset %zu)",
                     rapidjson::GetParseError_En(kDocument.GetParseError()), kDocument.GetErrorOffset());
        static const char* const s_pExpression = "!kDocument.HasParseError() && kDocument.IsObject()";
        TARN_ASSERT_TEXT(false, s_pExpression, "remote request is not a JSON object%s", acDetail);
        // Whether it waits is read from the raw text.
        if (Common::JsonTextAsksForReply(pText, uiLength))
        {
            const CRefusal kRefusal(s_pExpression, "remote request is not a JSON object%s", acDetail);
            ReplyError(pReply, true, kRefusal.GetText());
        }
        m_kQueue.ReleaseCommand(pCommand);
        return false;
    }

    enum class EForm
    {
        String,
        Int32,
        Bool,
    };
    enum EEnvelope : uint32
    {
        kClassName,
        kMethodName,
        kInstanceID,
        kWaitAck,
        kUseTcpThread,
        kEnvelopeMembers,
    };
    struct SEnvelopeMember
    {
        const char* pName;
        uint32 uiNameLength;
        EForm eForm;
        const char* pExpected;
    };
    static constexpr SEnvelopeMember s_akEnvelope[kEnvelopeMembers] = {
        {"ClassName", 9, EForm::String, "a string"},
        {"MethodName", 10, EForm::String, "a string"},
        {"InstanceID", 10, EForm::Int32, "a signed 32-bit integer"},
        {"WaitAck", 7, EForm::Bool, "a bool"},
        {"UseTcpThread", 12, EForm::Bool, "a bool"},
    };
    static_assert(
        [] {
            for (const SEnvelopeMember& kMember : s_akEnvelope)
                if (std::char_traits<char>::length(kMember.pName) != kMember.uiNameLength)
                    return false;
            return true;
        }(),
        "the envelope's name lengths match their names");
    // The envelope's members in one pass over the request, the first of
    // each name as a lookup by name would find it.
    const Common::JsonValue* apEnvelope[kEnvelopeMembers] = {};
    for (auto kIt = kDocument.MemberBegin(); kIt != kDocument.MemberEnd(); ++kIt)
    {
        const uint32 uiNameLength = kIt->name.GetStringLength();
        for (uint32 uiMember = 0; uiMember < kEnvelopeMembers; ++uiMember)
        {
            if (!apEnvelope[uiMember] && s_akEnvelope[uiMember].uiNameLength == uiNameLength &&
                memcmp(kIt->name.GetString(), s_akEnvelope[uiMember].pName, uiNameLength) == 0)
            {
                apEnvelope[uiMember] = &kIt->value;
                break;
            }
        }
    }

    // "WaitAck" first, so that every later failure can be answered.
    const bool bWaitAck = apEnvelope[kWaitAck] && apEnvelope[kWaitAck]->IsBool() && apEnvelope[kWaitAck]->GetBool();

    for (uint32 uiMember = 0; uiMember < kEnvelopeMembers; ++uiMember)
    {
        const auto& kMember = s_akEnvelope[uiMember];
        const Common::JsonValue* pValue = apEnvelope[uiMember];
        bool bValid = pValue != nullptr;
        if (bValid)
        {
            switch (kMember.eForm)
            {
                case EForm::String:
                    bValid = pValue->IsString();
                    break;
                case EForm::Int32:
                    bValid = pValue->IsInt();
                    break;
                case EForm::Bool:
                    bValid = pValue->IsBool();
                    break;
            }
        }
        if (!TARN_ASSERT_TEXT(bValid, kMember.pName, "remote request member %s must be %s", kMember.pName,
                              kMember.pExpected) ||
            (kMember.eForm == EForm::String &&
             !TARN_ASSERT_TEXT(!HasNulCharacter(*pValue), kMember.pName, "remote request member %s must be %s",
                               kMember.pName, "a string without NUL characters")))
        {
            const CRefusal kRefusal(kMember.pName, "remote request member %s must be %s", kMember.pName,
                                    bValid ? "a string without NUL characters" : kMember.pExpected);
            ReplyError(pReply, bWaitAck, kRefusal.GetText());
            m_kQueue.ReleaseCommand(pCommand);
            return false;
        }
    }

    pCommand->m_pClassName = apEnvelope[kClassName]->GetString();
    pCommand->m_pMethodName = apEnvelope[kMethodName]->GetString();
    pCommand->m_uiInstanceID = static_cast<uint32>(apEnvelope[kInstanceID]->GetInt());
    pCommand->m_bWaitAck = bWaitAck;
    pCommand->m_bUseTcpThread = apEnvelope[kUseTcpThread]->GetBool();
    pCommand->m_pReply = pReply;
    pCommand->m_bDone.store(false, std::memory_order_relaxed);

    EngineCommand* pEngineCommand = FindCommand(pCommand->m_pClassName, pCommand->m_pMethodName);
    if (!TARN_ASSERT_TEXT(pEngineCommand, "false", "%s", kNotRegisteredText))
    {
        Common::CDebugLog::Print("Remote request for %s.%s: no such command", pCommand->m_pClassName,
                                 pCommand->m_pMethodName);
        ReplyError(pReply, bWaitAck, CRefusal("false", "%s", kNotRegisteredText).GetText());
        m_kQueue.ReleaseCommand(pCommand);
        return false;
    }
    pCommand->m_pCommand = pEngineCommand;
    // Only commands declared safe may run on the network thread.
    if (pCommand->m_bUseTcpThread && !pEngineCommand->IsSafeOffEngineThread())
        pCommand->m_bUseTcpThread = false;

    m_kQueue.Push(pCommand, pDeferred);
    return true;
}

bool CommandManager::ExecuteDirect(const char* pClassName, const char* pMethodName, const char* pArguments)
{
    EngineCommand* pCommand = FindCommand(pClassName, pMethodName);
    if (!TARN_ASSERT_TEXT(pCommand, "false", "%s", kNotRegisteredText))
        return false;
    const char* pText = pArguments ? pArguments : "";
    const size_t uiLength = strnlen(pText, kDirectArgumentsSize);
    if (!TARN_ASSERT(uiLength < kDirectArgumentsSize, "argument text of %s.%s is longer than %zu characters",
                     pClassName, pMethodName, kDirectArgumentsSize - 1))
        return false;
    char acBlock[kDirectArgumentsSize];
    memcpy(acBlock, pText, uiLength);
    acBlock[uiLength] = 0;
    const int ret = pCommand->ExecuteText(0, acBlock);
    return TARN_ASSERT(ret == 1, "engine command failed!");
}

}  // namespace TarnEngine
