#include "Factory/PrefabContainer.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <rapidjson/error/en.h>

#include "DataDynamic/Skeleton.h"
#include "DataProvider/DataProvider.h"
#include "DataStatic/AnimSetLoader.h"
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

// Why an add-in object cannot be offered to the builders, or null when it
// can: an object with the string members "Type" and "Json", the latter
// holding a whole JSON document.
const char* CheckAddIn(const PluginJsonValue& kAddIn, char* pProblem, size_t uiProblemCapacity)
{
    if (!kAddIn.IsObject())
        return "expected an object";
    const auto kTypeIt = kAddIn.FindMember("Type");
    if (kTypeIt == kAddIn.MemberEnd())
        return "\"Type\" is missing";
    if (!kTypeIt->value.IsString())
        return "\"Type\" is not a string";
    const auto kJsonIt = kAddIn.FindMember("Json");
    if (kJsonIt == kAddIn.MemberEnd())
        return "\"Json\" is missing";
    if (!kJsonIt->value.IsString())
        return "\"Json\" is not a string";

    const char* pText = kJsonIt->value.GetString();
    const size_t uiLength = kJsonIt->value.GetStringLength();
    const size_t uiDeep = Common::FindExcessiveJsonNesting(pText, uiLength);
    if (uiDeep < uiLength)
    {
        snprintf(pProblem, uiProblemCapacity, "\"Json\" nests deeper than %u levels at offset %zu",
                 Common::kMaxJsonNesting, uiDeep);
        return pProblem;
    }
    CManagedJsonDocument kManaged(kJsonChunkBytes, kJsonStackBytes);
    PluginJsonDocument& kDocument = kManaged.Get();
    kDocument.Parse(pText, uiLength);
    if (kDocument.HasParseError())
    {
        snprintf(pProblem, uiProblemCapacity, "\"Json\" is not valid JSON text: %s at offset %zu",
                 rapidjson::GetParseError_En(kDocument.GetParseError()), kDocument.GetErrorOffset());
        return pProblem;
    }
    return nullptr;
}

// Resolves the AnimSet path of the prefab file into pOut: an absolute path
// as it is, a relative one against the data root.
bool ResolveAnimSetPath(const char* pAnimSet, const char* pFile, char* pOut, size_t uiCapacity,
                        Common::CInputErrors& kError)
{
    using DataProvider::DataPoviderInterface;
    const bool bAbsolute = DataPoviderInterface::IsAbsolutePath(pAnimSet);
    if (!bAbsolute && !DataPoviderInterface::HasInstance())
    {
        FormatError(kError, pFile, "AnimSet", "relative path \"%s\" needs a data root, and there is no data provider",
                    pAnimSet);
        return false;
    }
    const DataPoviderInterface* pProvider = bAbsolute ? nullptr : DataPoviderInterface::GetInstance();
    // Checked here so that a path too long is the file's problem, not a
    // report of the data provider.
    const size_t uiLength = pProvider ? pProvider->GetResolvedLength(pAnimSet) : std::strlen(pAnimSet);
    if (uiLength >= uiCapacity)
    {
        FormatError(kError, pFile, "AnimSet", "\"%s\" resolves to a path of %zu characters (at most %zu)", pAnimSet,
                    uiLength, uiCapacity - 1);
        return false;
    }
    if (!pProvider)
    {
        std::memcpy(pOut, pAnimSet, uiLength + 1);
        return true;
    }
    return pProvider->ResolvePath(pAnimSet, pOut, uiCapacity);
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

    // "AddInObjects": optional array. Malformed elements are taken out of
    // the document, so that the builders see only add-ins they can read.
    uint32 uiSkipped = 0;
    const auto kAddInsIt = kDocument.FindMember("AddInObjects");
    if (kAddInsIt != kDocument.MemberEnd())
    {
        PluginJsonValue& kAddIns = kAddInsIt->value;
        if (!kAddIns.IsArray())
        {
            FormatError(kError, pPath, "AddInObjects", "expected an array");
            return false;
        }
        uint32 uiFileIndex = 0;
        for (auto kIt = kAddIns.Begin(); kIt != kAddIns.End(); ++uiFileIndex)
        {
            char acProblem[256];
            const char* pProblem = CheckAddIn(*kIt, acProblem, sizeof(acProblem));
            if (!pProblem)
            {
                ++kIt;
                continue;
            }
            Common::CDebugLog::Print("%s: AddInObjects[%u]: %s; the add-in is skipped", pPath, uiFileIndex, pProblem);
            ++uiSkipped;
            kIt = kAddIns.Erase(kIt);
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
    m_uiSkippedAddIns = uiSkipped;
    m_bLoaded = true;

    // A builder that refuses an add-in stops the remaining ones; the prefab
    // itself is loaded all the same.
    if (!LoadAddIns(kDocument, this, nullptr))
        Common::CDebugLog::Print("%s: AddInObjects: an add-in was refused; the add-ins after it are skipped", pPath);
    return true;
}

}  // namespace TarnEngine
