#include "Factory/PrefabContainer.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <rapidjson/error/en.h>

#include "DataDynamic/Skeleton.h"
#include "DataProvider/DataProvider.h"
#include "DataStatic/AnimSetLoader.h"
#include "Factory/AddInLoadContext.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/FileText.h"
#include "Utils/JsonAllocator.h"
#include "Utils/JsonText.h"
#include "Utils/debuglog.h"

namespace TarnEngine {

namespace {

// A prefab file lists a few add-ins of a few kilobytes each; anything far
// larger is a wrong path.
constexpr uint64 kMaxFileBytes = 16ull * 1024ull * 1024ull;
constexpr size_t kJsonChunkBytes = 16 * 1024;
constexpr size_t kJsonStackBytes = 1024;
// Display buffers per skeleton instance, and the skeleton's second count.
constexpr uint32 kSkeletonCursors = 2;
constexpr uint32 kSkeletonSecondCount = 2;

// Makes the problem of pMember in pFile the load's one problem.
void FormatError(Common::CInputErrors& kError, const char* pFile, const char* pMember, const char* pFormat, ...)
    TARN_PRINTF_FORMAT(4, 5);

void FormatError(Common::CInputErrors& kError, const char* pFile, const char* pMember, const char* pFormat, ...)
{
    kError.Reset(pFile, Common::CInputErrors::EForm::FirstProblem, PrefabContainer::kErrorTextCapacity);
    va_list kArgs;
    va_start(kArgs, pFormat);
    kError.AddV(pMember, pFormat, kArgs);
    va_end(kArgs);
}

// Checks a string member that names something: non-empty, no NUL, at most
// uiMaxLength bytes. The problem goes into kError.
bool CheckText(const PluginJsonValue& kValue, uint32 uiMaxLength, const char* pFile, const char* pMember,
               Common::CInputErrors& kError)
{
    if (!kValue.IsString())
    {
        FormatError(kError, pFile, pMember, "expected a string");
        return false;
    }
    const size_t uiLength = kValue.GetStringLength();
    if (uiLength == 0)
    {
        FormatError(kError, pFile, pMember, "must not be empty");
        return false;
    }
    if (std::memchr(kValue.GetString(), '\0', uiLength))
    {
        FormatError(kError, pFile, pMember, "contains a NUL character");
        return false;
    }
    if (uiLength > uiMaxLength)
    {
        FormatError(kError, pFile, pMember, "%zu bytes long, at most %u are allowed", uiLength, uiMaxLength);
        return false;
    }
    return true;
}

// Room of a problem text: a path of kMaxPathLength and its explanation.
constexpr size_t kProblemCapacity = PrefabContainer::kMaxPathLength + 256;

// Resolves a path the prefab file names into pOut: an absolute path as it
// is, a relative one against the data root. False with the problem in
// pProblem.
bool ResolveDataPath(const char* pPath, char* pOut, size_t uiCapacity, char* pProblem, size_t uiProblemCapacity)
{
    using DataProvider::DataPoviderInterface;
    const bool bAbsolute = DataPoviderInterface::IsAbsolutePath(pPath);
    if (!bAbsolute && !DataPoviderInterface::HasInstance())
    {
        snprintf(pProblem, uiProblemCapacity, "relative path \"%s\" needs a data root, and there is no data provider",
                 pPath);
        return false;
    }
    const DataPoviderInterface* pProvider = bAbsolute ? nullptr : DataPoviderInterface::GetInstance();
    // Checked here so that a path too long is the file's problem, not a
    // report of the data provider.
    const size_t uiLength = pProvider ? pProvider->GetResolvedLength(pPath) : std::strlen(pPath);
    if (uiLength >= uiCapacity)
    {
        snprintf(pProblem, uiProblemCapacity, "\"%s\" resolves to a path of %zu characters (at most %zu)", pPath,
                 uiLength, uiCapacity - 1);
        return false;
    }
    if (!pProvider)
    {
        std::memcpy(pOut, pPath, uiLength + 1);
        return true;
    }
    if (pProvider->ResolvePath(pPath, pOut, uiCapacity))
        return true;
    snprintf(pProblem, uiProblemCapacity, "\"%s\" could not be resolved against the data root", pPath);
    return false;
}

// Why a text cannot be an add-in's document, or null when it can: it must
// be a whole JSON document. pWhat names the text in the problem.
const char* CheckDocumentText(const char* pText, size_t uiLength, const char* pWhat, char* pProblem,
                              size_t uiProblemCapacity)
{
    const size_t uiDeep = Common::FindExcessiveJsonNesting(pText, uiLength);
    if (uiDeep < uiLength)
    {
        snprintf(pProblem, uiProblemCapacity, "%s nests deeper than %u levels at offset %zu", pWhat,
                 Common::kMaxJsonNesting, uiDeep);
        return pProblem;
    }
    CManagedJsonDocument kManaged(kJsonChunkBytes, kJsonStackBytes);
    PluginJsonDocument& kDocument = kManaged.Get();
    kDocument.Parse(pText, uiLength);
    if (kDocument.HasParseError())
    {
        snprintf(pProblem, uiProblemCapacity, "%s is not valid JSON text: %s at offset %zu", pWhat,
                 rapidjson::GetParseError_En(kDocument.GetParseError()), kDocument.GetErrorOffset());
        return pProblem;
    }
    return nullptr;
}

// Reads the document an add-in names with "JsonFile" and puts it into the
// add-in as its "Json" text, with the resolved path as its "JsonFile", so
// that the builders see the one form and messages can name the file. The
// problem, about the member "JsonFile", or null.
const char* ReadDocumentFile(PluginJsonValue& kAddIn, PluginJsonValue& kFileName, PluginJsonPool& kAllocator,
                             char* pProblem, size_t uiProblemCapacity)
{
    if (!kFileName.IsString())
        return "expected a string";
    const size_t uiNameLength = kFileName.GetStringLength();
    if (uiNameLength == 0)
        return "must not be empty";
    if (std::memchr(kFileName.GetString(), '\0', uiNameLength))
        return "contains a NUL character";
    char acResolved[PrefabContainer::kMaxPathLength];
    if (!ResolveDataPath(kFileName.GetString(), acResolved, sizeof(acResolved), pProblem, uiProblemCapacity))
        return pProblem;

    Common::CFileText kText;
    char acFileProblem[Common::CFileText::ProblemCapacity];
    if (!kText.Read(acResolved, kMaxFileBytes, acFileProblem))
    {
        snprintf(pProblem, uiProblemCapacity, "\"%s\" could not be read: %s", acResolved, acFileProblem);
        return pProblem;
    }
    char acWhat[PrefabContainer::kMaxPathLength + 2];
    snprintf(acWhat, sizeof(acWhat), "\"%s\"", acResolved);
    if (CheckDocumentText(kText.GetText(), kText.GetLength(), acWhat, pProblem, uiProblemCapacity))
        return pProblem;

    kFileName.SetString(acResolved, static_cast<rapidjson::SizeType>(std::strlen(acResolved)), kAllocator);
    PluginJsonValue kDocumentText(kText.GetText(), static_cast<rapidjson::SizeType>(kText.GetLength()), kAllocator);
    kAddIn.AddMember("Json", kDocumentText, kAllocator);
    return nullptr;
}

// Why an add-in object cannot be offered to the builders, or null when it
// can: an object with the string member "Type" and its document, either a
// string member "Json" holding a whole JSON document, or "JsonFile" naming
// the file that holds one (read into the add-in, see ReadDocumentFile).
// pMember is set to the member the problem is about, after the add-in's own
// path ("" for the add-in itself, ".JsonFile").
const char* CheckAddIn(PluginJsonValue& kAddIn, PluginJsonPool& kAllocator, const char*& pMember, char* pProblem,
                       size_t uiProblemCapacity)
{
    pMember = "";
    if (!kAddIn.IsObject())
        return "expected an object";
    const auto kTypeIt = kAddIn.FindMember("Type");
    if (kTypeIt == kAddIn.MemberEnd())
        return "\"Type\" is missing";
    if (!kTypeIt->value.IsString())
        return "\"Type\" is not a string";
    const auto kJsonIt = kAddIn.FindMember("Json");
    const auto kFileIt = kAddIn.FindMember("JsonFile");
    if (kFileIt != kAddIn.MemberEnd())
    {
        if (kJsonIt != kAddIn.MemberEnd())
            return "\"Json\" and \"JsonFile\" exclude each other";
        pMember = ".JsonFile";
        return ReadDocumentFile(kAddIn, kFileIt->value, kAllocator, pProblem, uiProblemCapacity);
    }
    if (kJsonIt == kAddIn.MemberEnd())
        return "\"Json\" is missing";
    if (!kJsonIt->value.IsString())
        return "\"Json\" is not a string";
    return CheckDocumentText(kJsonIt->value.GetString(), kJsonIt->value.GetStringLength(), "\"Json\"", pProblem,
                             uiProblemCapacity);
}

// Resolves the AnimSet path of the prefab file into pOut.
bool ResolveAnimSetPath(const char* pAnimSet, const char* pFile, char* pOut, size_t uiCapacity,
                        Common::CInputErrors& kError)
{
    char acProblem[kProblemCapacity];
    if (ResolveDataPath(pAnimSet, pOut, uiCapacity, acProblem, sizeof(acProblem)))
        return true;
    FormatError(kError, pFile, "AnimSet", "%s", acProblem);
    return false;
}

}  // namespace

PrefabContainer::PrefabContainer(IPluginManager* _pPluginManager) : PluginDataContainerImpl(_pPluginManager)
{
}

PrefabContainer::~PrefabContainer()
{
    if (m_pSkeleton)
    {
        m_pSkeleton->Release();
        TARN_DELETE(m_pSkeleton);
    }
}

bool PrefabContainer::LoadFile(const char* pPath, Common::CInputErrors& kError)
{
    kError.Reset(pPath, Common::CInputErrors::EForm::FirstProblem, kErrorTextCapacity);
    if (!pPath || !pPath[0])
    {
        FormatError(kError, "(no path)", "file", "no file name given");
        return false;
    }
    if (m_bLoaded)
    {
        FormatError(kError, pPath, "file", "the container holds \"%s\" already; a container is loaded once", m_acPath);
        return false;
    }
    const size_t uiPathLength = std::strlen(pPath);
    if (uiPathLength >= kMaxPathLength)
    {
        FormatError(kError, pPath, "file", "path of %zu characters is too long (at most %u)", uiPathLength,
                    kMaxPathLength - 1);
        return false;
    }

    Common::CFileText kText;
    char acProblem[Common::CFileText::ProblemCapacity];
    if (!kText.Read(pPath, kMaxFileBytes, acProblem))
    {
        FormatError(kError, pPath, "file", "%s", acProblem);
        return false;
    }
    const size_t uiDeep = Common::FindExcessiveJsonNesting(kText.GetText(), kText.GetLength());
    if (uiDeep < kText.GetLength())
    {
        FormatError(kError, pPath, "document", "nested deeper than %u levels at offset %zu", Common::kMaxJsonNesting,
                    uiDeep);
        return false;
    }
    CManagedJsonDocument kManaged(kJsonChunkBytes, kJsonStackBytes);
    PluginJsonDocument& kDocument = kManaged.Get();
    kDocument.Parse(kText.GetText(), kText.GetLength());
    if (kDocument.HasParseError())
    {
        FormatError(kError, pPath, "document", "invalid JSON: %s at offset %zu",
                    rapidjson::GetParseError_En(kDocument.GetParseError()), kDocument.GetErrorOffset());
        return false;
    }
    Common::SJsonProblem kTextProblem;
    if (Common::FindJsonProblem(kDocument, kTextProblem))
    {
        FormatError(kError, pPath, kTextProblem.acPath, "%s", Common::DescribeJsonProblem(kTextProblem.eKind));
        return false;
    }
    if (!kDocument.IsObject())
    {
        FormatError(kError, pPath, "document", "expected an object");
        return false;
    }

    // "Name": required.
    const auto kNameIt = kDocument.FindMember("Name");
    if (kNameIt == kDocument.MemberEnd())
    {
        FormatError(kError, pPath, "Name", "required member is missing");
        return false;
    }
    if (!CheckText(kNameIt->value, kMaxNameLength, pPath, "Name", kError))
        return false;

    // "AnimSet": optional; absent or null for a prefab without a character.
    char acAnimSetPath[kMaxPathLength] = {};
    const auto kAnimSetIt = kDocument.FindMember("AnimSet");
    const bool bHasCharacter = kAnimSetIt != kDocument.MemberEnd() && !kAnimSetIt->value.IsNull();
    if (bHasCharacter)
    {
        if (!CheckText(kAnimSetIt->value, kMaxPathLength - 1, pPath, "AnimSet", kError))
            return false;
        if (!ResolveAnimSetPath(kAnimSetIt->value.GetString(), pPath, acAnimSetPath, sizeof(acAnimSetPath), kError))
            return false;
    }

    // "AddInObjects": optional array. Malformed elements are left out, so
    // that the builders see only add-ins they can read; the others are
    // offered once the prefab is accepted.
    Common::CInputErrors kAddInProblems;
    kAddInProblems.Reset(pPath, Common::CInputErrors::EForm::FirstProblem, kErrorTextCapacity);
    TarnRenderer::TArray<uint32> kOffered;
    const PluginJsonValue* pAddIns = nullptr;
    const auto kAddInsIt = kDocument.FindMember("AddInObjects");
    if (kAddInsIt != kDocument.MemberEnd())
    {
        PluginJsonValue& kAddIns = kAddInsIt->value;
        if (!kAddIns.IsArray())
        {
            FormatError(kError, pPath, "AddInObjects", "expected an array");
            return false;
        }
        pAddIns = &kAddIns;
        for (uint32 uiIndex = 0; uiIndex < kAddIns.Size(); ++uiIndex)
        {
            char acAddInProblem[kProblemCapacity];
            const char* pMember = "";
            const char* pProblem =
                CheckAddIn(kAddIns[uiIndex], kDocument.GetAllocator(), pMember, acAddInProblem, sizeof(acAddInProblem));
            if (!pProblem)
            {
                kOffered.Add(uiIndex);
                continue;
            }
            Common::CDebugLog::Print(Common::CDebugLog::ELevel::Warn,
                                     "%s: AddInObjects[%u]%s: %s; the add-in is skipped", pPath, uiIndex, pMember,
                                     pProblem);
            char acMember[64];
            snprintf(acMember, sizeof(acMember), "AddInObjects[%u]%s", uiIndex, pMember);
            kAddInProblems.Add(acMember, "%s; the add-in is skipped", pProblem);
        }
    }

    // The character's skeleton.
    TarnAnim::Skeleton* pSkeleton = nullptr;
    if (bHasCharacter)
    {
        Common::CInputErrors kAnimSetError;
        TarnAnim::Mocap* pMocap = TarnAnim::AnimSetLoader::LoadFile(acAnimSetPath, kAnimSetError);
        if (!pMocap)
        {
            FormatError(kError, pPath, "AnimSet", "\"%s\" could not be loaded: %s", acAnimSetPath,
                        kAnimSetError.GetText());
            return false;
        }
        pSkeleton = TARN_NEW_TAGGED("TarnEngine::PrefabContainer::LoadFile", TarnAnim::Skeleton);
        if (!pSkeleton)
        {
            TARN_DELETE(pMocap);
            FormatError(kError, pPath, "AnimSet", "out of memory for the skeleton");
            return false;
        }
        pSkeleton->Init(kSkeletonCursors, kSkeletonSecondCount);
        // The skeleton takes the mocap even when it refuses it.
        if (pSkeleton->AddMocap(pMocap) < 0)
        {
            pSkeleton->Release();
            TARN_DELETE(pSkeleton);
            FormatError(kError, pPath, "AnimSet", "\"%s\" could not be added to the skeleton", acAnimSetPath);
            return false;
        }
    }

    // Accepted: keep what was read, then hand the add-ins over.
    std::memcpy(m_acPath, pPath, uiPathLength + 1);
    std::memcpy(m_acName, kNameIt->value.GetString(), kNameIt->value.GetStringLength());
    m_acName[kNameIt->value.GetStringLength()] = '\0';
    std::memcpy(m_acAnimSetPath, acAnimSetPath, sizeof(m_acAnimSetPath));
    m_pSkeleton = pSkeleton;
    m_uiSkippedAddIns = kAddInProblems.GetCount();
    m_bLoaded = true;

    OfferAddIns(pAddIns, kOffered, kAddInProblems);
    m_kAddInProblems = kAddInProblems;
    return true;
}

void PrefabContainer::OfferAddIns(const PluginJsonValue* pAddIns, const TarnRenderer::TArray<uint32>& kOffered,
                                  Common::CInputErrors& kProblems)
{
    RetireData();
    Common::CInputErrors kDocumentErrors;
    for (const uint32 uiIndex : kOffered)
    {
        const PluginJsonValue& kAddIn = (*pAddIns)[uiIndex];
        const char* pType = kAddIn["Type"].GetString();
        const auto kFileIt = kAddIn.FindMember("JsonFile");
        SAddInLoadContext kContext;
        kContext.pContainerFile = m_acPath;
        kContext.uiAddInIndex = uiIndex;
        kContext.pDocumentFile = kFileIt != kAddIn.MemberEnd() ? kFileIt->value.GetString() : nullptr;
        kContext.pDocumentErrors = &kDocumentErrors;
        kDocumentErrors.Reset("document");

        const uint32 uiBefore = GetPluginData().GetSize();
        const bool bAccepted = LoadAddIn(kAddIn, &kContext, nullptr);
        const uint32 uiAfter = GetPluginData().GetSize();
        char acMember[64];
        if (!kDocumentErrors.IsEmpty())
        {
            // The builder could not read the document: the data it kept, if
            // any, is not to be used.
            for (uint32 i = uiBefore; i < uiAfter; ++i)
                m_kUnusableData.Add(GetPluginData()[i]);
            LogDocumentProblems(kContext, kDocumentErrors);
            snprintf(acMember, sizeof(acMember), "AddInObjects[%u].%s", uiIndex,
                     kContext.pDocumentFile ? "JsonFile" : "Json");
            if (kContext.pDocumentFile)
                kProblems.Add(acMember, "%s: %s: %s", kContext.pDocumentFile, kDocumentErrors.GetPath(0),
                              kDocumentErrors.GetProblem(0));
            else
                kProblems.Add(acMember, "%s: %s", kDocumentErrors.GetPath(0), kDocumentErrors.GetProblem(0));
        }
        else if (bAccepted && uiAfter == uiBefore)
        {
            // No builder of that type for prefabs (its plug-in is not
            // loaded, say): the add-in gives no component.
            Common::CDebugLog::Print(Common::CDebugLog::ELevel::Warn,
                                     "%s: AddInObjects[%u]: no component builder made data of type \"%s\"", m_acPath,
                                     uiIndex, pType);
            snprintf(acMember, sizeof(acMember), "AddInObjects[%u]", uiIndex);
            kProblems.Add(acMember, "no component builder made data of type \"%s\"", pType);
        }
        if (!bAccepted)
        {
            // A builder that refuses an add-in stops the remaining ones; the
            // prefab itself is loaded all the same.
            Common::CDebugLog::Print(Common::CDebugLog::ELevel::Warn,
                                     "%s: AddInObjects: an add-in was refused; the add-ins after it are skipped",
                                     m_acPath);
            snprintf(acMember, sizeof(acMember), "AddInObjects[%u]", uiIndex);
            kProblems.Add(acMember, "refused by a component builder of type \"%s\"; the add-ins after it are skipped",
                          pType);
            break;
        }
    }
}

void PrefabContainer::LogDocumentProblems(const SAddInLoadContext& kContext, const Common::CInputErrors& kErrors) const
{
    // Each line names the file the document is in, then the member.
    char acSource[kMaxPathLength + 64];
    if (kContext.pDocumentFile)
        snprintf(acSource, sizeof(acSource), "%s", kContext.pDocumentFile);
    else
        snprintf(acSource, sizeof(acSource), "%s: AddInObjects[%u].Json", m_acPath, kContext.uiAddInIndex);
    for (uint32 i = 0; i < kErrors.GetKeptCount(); ++i)
        Common::CDebugLog::Print(Common::CDebugLog::ELevel::Warn, "%s: %s: %s", acSource, kErrors.GetPath(i),
                                 kErrors.GetProblem(i));
    char acUnlisted[128];
    if (kErrors.FormatUnlisted(kErrors.GetKeptCount(), acUnlisted, sizeof(acUnlisted)))
        Common::CDebugLog::Print(Common::CDebugLog::ELevel::Warn, "%s: document: %s", acSource, acUnlisted);
}

bool PrefabContainer::IsDataUsable(const IPluginComponentData* pData) const
{
    return pData && m_kUnusableData.Find(pData) == m_kUnusableData.uiMaxValue;
}

}  // namespace TarnEngine
