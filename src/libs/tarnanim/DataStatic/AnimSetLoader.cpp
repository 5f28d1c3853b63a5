#include "DataStatic/AnimSetLoader.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include "DataStatic/Mocap.h"
#include "Process/Sampler.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/FileText.h"
#include "Utils/JsonAllocator.h"
#include "Utils/JsonText.h"

namespace TarnAnim {

namespace {

// Largest file LoadFile reads: far beyond any real AnimSet, small enough to
// refuse a wrong path (a disk image, a video) before reading it.
constexpr uint64 kMaxFileBytes = 512ull * 1024ull * 1024ull;
// Deepest nesting of arrays and objects accepted. The parser recurses once
// per level, so unbounded nesting could exhaust the stack; a valid AnimSet
// nests six levels deep.
constexpr uint32 kMaxNesting = Common::kMaxJsonNesting;
// Frame numbers of the transition engine's frame table and its 16-bit
// fields (target frames, fade lengths): the table is indexed by global frame,
// so its frames are kept to this range.
constexpr uint32 kMaxTransitionFrame = 0xFFFE;
constexpr double kMaxFadeLength = 65535.0;
// Tune indices are stored in 8 bits, 255 meaning none.
constexpr uint32 kMaxTuneIndex = 254;
constexpr double kMaxPlayFactor = 65535.0;
constexpr uint32 kFloatsPerKey = 7;
// Size of the parser's memory-pool chunks and initial stack.
constexpr size_t kJsonChunkBytes = 64 * 1024;
constexpr size_t kJsonStackBytes = 1024;

using JsonPool = rapidjson::MemoryPoolAllocator<Common::CJsonAllocator>;
using JsonDocument = rapidjson::GenericDocument<rapidjson::UTF8<>, JsonPool, Common::CJsonAllocator>;
using JsonValue = rapidjson::GenericValue<rapidjson::UTF8<>, JsonPool>;

// Whether a number is finite as a 32-bit float (the conversion of a larger
// one is not even defined).
bool FitsFloat(double dValue)
{
    return std::fabs(dValue) <= static_cast<double>(std::numeric_limits<float>::max());
}

// A file's base name: what follows the last '/' or '\'.
const char* BaseName(const char* pPath)
{
    const char* pBase = pPath;
    for (const char* pChar = pPath; *pChar; ++pChar)
    {
        if (*pChar == '/' || *pChar == '\\')
            pBase = pChar + 1;
    }
    return pBase;
}

// A name with the document position it came from, for sorting.
struct SNamedIndex
{
    const char* pName = nullptr;
    uint32 uiIndex = 0;
};

bool NameLess(const SNamedIndex& kA, const SNamedIndex& kB)
{
    const int iOrder = strcmp(kA.pName, kB.pName);
    return iOrder < 0 || (iOrder == 0 && kA.uiIndex < kB.uiIndex);
}

// Names sorted for lookup and duplicate detection: neither may cost a pass
// over every other name, since a document may hold very many.
class CNameIndex
{
public:
    // False when memory for the index was refused.
    template <class GetName> bool Build(uint32 uiCount, GetName kGetName)
    {
        m_kEntries.Resize(uiCount);
        if (m_kEntries.GetSize() != uiCount)
            return false;
        for (uint32 uiIdx = 0; uiIdx < uiCount; ++uiIdx)
            m_kEntries[uiIdx] = {kGetName(uiIdx), uiIdx};
        std::sort(m_kEntries.begin(), m_kEntries.end(), NameLess);
        return true;
    }

    // The duplicate that comes first in the document (its index and that of
    // the first entry of the same name). False when all names differ.
    bool FindFirstDuplicate(uint32& uiDuplicate, uint32& uiOriginal) const
    {
        bool bFound = false;
        for (uint32 uiIdx = 1; uiIdx < m_kEntries.GetSize(); ++uiIdx)
        {
            const SNamedIndex& kPrevious = m_kEntries[uiIdx - 1];
            const SNamedIndex& kEntry = m_kEntries[uiIdx];
            if (strcmp(kPrevious.pName, kEntry.pName) != 0)
                continue;
            // Sorted by index within equal names: the run's first entry is
            // the original and only the second is its earliest duplicate.
            const bool bRunStart = uiIdx < 2 || strcmp(m_kEntries[uiIdx - 2].pName, kEntry.pName) != 0;
            if (bRunStart && (!bFound || kEntry.uiIndex < uiDuplicate))
            {
                bFound = true;
                uiDuplicate = kEntry.uiIndex;
                uiOriginal = kPrevious.uiIndex;
            }
        }
        return bFound;
    }

    // Index of the first entry with that name, or kInvalidIndex.
    uint32 Find(const char* pName) const
    {
        const SNamedIndex kProbe{pName, 0};
        const SNamedIndex* pFound = std::lower_bound(m_kEntries.begin(), m_kEntries.end(), kProbe, NameLess);
        return (pFound != m_kEntries.end() && strcmp(pFound->pName, pName) == 0) ? pFound->uiIndex : kInvalidIndex;
    }

private:
    TarnRenderer::TArray<SNamedIndex> m_kEntries;
};

// Reads a parsed AnimSet document into a mocap, checking every member on the
// way. Each problem is recorded with the member's path
// ("Sequences[2].Frames[14]"); a problem ends the reading of the member it
// is in, and of the whole document only where what follows depends on it
// (the channels). False when anything was wrong.
class CDocumentReader
{
public:
    explicit CDocumentReader(Common::CInputErrors& kErrors) : m_kErrors(kErrors) {}

    bool ReadMocap(const JsonValue& kRoot, Mocap& kMocap);

private:
    using CPathScope = Common::CMemberPath::CScope;

    bool Fail(const char* pFormat, ...) TARN_PRINTF_FORMAT(2, 3)
    {
        va_list kArgs;
        va_start(kArgs, pFormat);
        m_kErrors.AddV(m_kPath.Get(), pFormat, kArgs);
        va_end(kArgs);
        return false;
    }
    bool FailOutOfMemory() { return Fail("out of memory"); }

    // What a value is, for messages: "a string", "null", or a number as written.
    static const char* Describe(const JsonValue& kValue, char* pBuffer, size_t uiSize);
    bool FailType(const JsonValue& kValue, const char* pExpected)
    {
        char acFound[64];
        return Fail("expected %s, found %s", pExpected, Describe(kValue, acFound, sizeof(acFound)));
    }

    // Members of an object; the caller has put the member's name on the
    // path. Require fails for a missing member; Optional gives null for a
    // missing or null one.
    const JsonValue* Require(const JsonValue& kObject, const char* pMember)
    {
        const auto kIt = kObject.FindMember(pMember);
        if (kIt == kObject.MemberEnd())
        {
            Fail("required member is missing");
            return nullptr;
        }
        return &kIt->value;
    }
    static const JsonValue* Optional(const JsonValue& kObject, const char* pMember)
    {
        const auto kIt = kObject.FindMember(pMember);
        return (kIt == kObject.MemberEnd() || kIt->value.IsNull()) ? nullptr : &kIt->value;
    }

    // Values at the current path.
    bool ExpectObject(const JsonValue& kValue) { return kValue.IsObject() || FailType(kValue, "an object"); }
    bool ExpectArray(const JsonValue& kValue) { return kValue.IsArray() || FailType(kValue, "an array"); }
    bool ReadUintValue(const JsonValue& kValue, uint32& uiOut);
    bool ReadFloatValue(const JsonValue& kValue, float& fOut);
    bool ReadBoolValue(const JsonValue& kValue, bool& bOut);
    bool ReadNameValue(const JsonValue& kValue, FixedName& kOut);
    bool ReadFloatsValue(const JsonValue& kValue, float* pOut, uint32 uiCount);
    bool ReadRotationValue(const JsonValue& kValue, Math::Quaternion& kOut);

    template <class T> using ValueReader = bool (CDocumentReader::*)(const JsonValue&, T&);
    template <class T> bool ReadMember(const JsonValue& kObject, const char* pMember, ValueReader<T> pRead, T& kOut)
    {
        CPathScope kScope(m_kPath, pMember);
        const JsonValue* pValue = Require(kObject, pMember);
        return pValue && (this->*pRead)(*pValue, kOut);
    }
    bool ReadUint(const JsonValue& kObject, const char* pMember, uint32& uiOut)
    {
        return ReadMember(kObject, pMember, &CDocumentReader::ReadUintValue, uiOut);
    }
    bool ReadFloat(const JsonValue& kObject, const char* pMember, float& fOut)
    {
        return ReadMember(kObject, pMember, &CDocumentReader::ReadFloatValue, fOut);
    }
    bool ReadBool(const JsonValue& kObject, const char* pMember, bool& bOut)
    {
        return ReadMember(kObject, pMember, &CDocumentReader::ReadBoolValue, bOut);
    }
    bool ReadName(const JsonValue& kObject, const char* pMember, FixedName& kOut)
    {
        return ReadMember(kObject, pMember, &CDocumentReader::ReadNameValue, kOut);
    }
    bool ReadRotation(const JsonValue& kObject, const char* pMember, Math::Quaternion& kOut)
    {
        return ReadMember(kObject, pMember, &CDocumentReader::ReadRotationValue, kOut);
    }
    bool ReadVector(const JsonValue& kObject, const char* pMember, Math::LocalVector3& kOut)
    {
        CPathScope kScope(m_kPath, pMember);
        const JsonValue* pValue = Require(kObject, pMember);
        float afValues[3];
        if (!pValue || !ReadFloatsValue(*pValue, afValues, 3))
            return false;
        kOut = {afValues[0], afValues[1], afValues[2]};
        return true;
    }
    // A member that must be an array; pArray receives it.
    bool ReadArray(const JsonValue& kObject, const char* pMember, const JsonValue*& pArray)
    {
        CPathScope kScope(m_kPath, pMember);
        pArray = Require(kObject, pMember);
        return pArray && ExpectArray(*pArray);
    }

    bool ReadChannels(const JsonValue& kRoot, Mocap& kMocap);
    bool ReadChannelHierarchy(const JsonValue& kChannels, Mocap& kMocap);
    bool ReadAccumulationChannels(const JsonValue& kRoot, Mocap& kMocap);
    bool ReadSequences(const JsonValue& kRoot, Mocap& kMocap);
    bool ReadSequence(const JsonValue& kValue, uint32 uiChannelCount, Sequence& kSequence);
    bool ReadFrames(const JsonValue& kFrames, uint32 uiChannelCount, Sequence& kSequence);
    bool ReadTransition(const JsonValue& kValue, TransitionData& kData);
    bool ReadAnimationDesc(const JsonValue& kValue, AnimationDesc& kDesc);
    bool ReadExtraTrackDesc(const JsonValue& kValue, ExtraTrackDesc& kDesc);
    bool ReadFrameTransitionDesc(const JsonValue& kValue, uint32 uiNormalTuneCount, FrameTransitionDesc& kDesc);

    Common::CInputErrors& m_kErrors;
    Common::CMemberPath m_kPath;
    CNameIndex m_kChannelIndex;
};

const char* CDocumentReader::Describe(const JsonValue& kValue, char* pBuffer, size_t uiSize)
{
    if (kValue.IsNull())
        return "null";
    if (kValue.IsBool())
        return "a boolean";
    if (kValue.IsString())
        return "a string";
    if (kValue.IsArray())
        return "an array";
    if (kValue.IsObject())
        return "an object";
    if (kValue.IsUint64())
        snprintf(pBuffer, uiSize, "%llu", static_cast<unsigned long long>(kValue.GetUint64()));
    else if (kValue.IsInt64())
        snprintf(pBuffer, uiSize, "%lld", static_cast<long long>(kValue.GetInt64()));
    else
    {
        // Written as a fraction or with an exponent: keep it recognisable as
        // such ("3.0", not "3").
        snprintf(pBuffer, uiSize, "%.9g", kValue.GetDouble());
        if (!strpbrk(pBuffer, ".eEn"))
            strncat(pBuffer, ".0", uiSize - strlen(pBuffer) - 1);
    }
    return pBuffer;
}

bool CDocumentReader::ReadUintValue(const JsonValue& kValue, uint32& uiOut)
{
    if (!kValue.IsUint())
        return FailType(kValue, "an unsigned 32-bit integer");
    uiOut = kValue.GetUint();
    return true;
}

bool CDocumentReader::ReadFloatValue(const JsonValue& kValue, float& fOut)
{
    if (!kValue.IsNumber())
        return FailType(kValue, "a number");
    const double dValue = kValue.GetDouble();
    if (!FitsFloat(dValue))
    {
        char acFound[64];
        return Fail("number %s is out of range", Describe(kValue, acFound, sizeof(acFound)));
    }
    fOut = static_cast<float>(dValue);
    return true;
}

bool CDocumentReader::ReadBoolValue(const JsonValue& kValue, bool& bOut)
{
    if (!kValue.IsBool())
        return FailType(kValue, "a boolean");
    bOut = kValue.GetBool();
    return true;
}

bool CDocumentReader::ReadNameValue(const JsonValue& kValue, FixedName& kOut)
{
    if (!kValue.IsString())
        return FailType(kValue, "a string");
    const uint32 uiLength = kValue.GetStringLength();
    if (uiLength == 0)
        return Fail("name is empty");
    if (uiLength >= FixedName::Capacity)
        return Fail("name is %u characters long, at most %u are allowed", uiLength, FixedName::Capacity - 1);
    if (strlen(kValue.GetString()) != uiLength)
        return Fail("name contains a NUL character");
    kOut.Set(kValue.GetString());
    return true;
}

bool CDocumentReader::ReadFloatsValue(const JsonValue& kValue, float* pOut, uint32 uiCount)
{
    if (!ExpectArray(kValue))
        return false;
    if (kValue.Size() != uiCount)
        return Fail("expected %u numbers, found %u", uiCount, kValue.Size());
    for (uint32 uiIdx = 0; uiIdx < uiCount; ++uiIdx)
    {
        CPathScope kScope(m_kPath, uiIdx);
        if (!ReadFloatValue(kValue[uiIdx], pOut[uiIdx]))
            return false;
    }
    return true;
}

// Normalises q into kOut; false for a zero quaternion. Computed in double so
// that large components cannot overflow the length.
bool NormalizeRotation(const float* pXyzw, Math::Quaternion& kOut)
{
    double dSquares = 0.0;
    for (uint32 uiIdx = 0; uiIdx < 4; ++uiIdx)
        dSquares += static_cast<double>(pXyzw[uiIdx]) * static_cast<double>(pXyzw[uiIdx]);
    if (!(dSquares > 0.0))
        return false;
    const double dInverse = 1.0 / std::sqrt(dSquares);
    kOut = Math::Quaternion(static_cast<float>(pXyzw[0] * dInverse), static_cast<float>(pXyzw[1] * dInverse),
                            static_cast<float>(pXyzw[2] * dInverse), static_cast<float>(pXyzw[3] * dInverse));
    return true;
}

bool CDocumentReader::ReadRotationValue(const JsonValue& kValue, Math::Quaternion& kOut)
{
    float afXyzw[4];
    if (!ReadFloatsValue(kValue, afXyzw, 4))
        return false;
    return NormalizeRotation(afXyzw, kOut) || Fail("rotation has zero length");
}

bool CDocumentReader::ReadMocap(const JsonValue& kRoot, Mocap& kMocap)
{
    if (!ExpectObject(kRoot))
        return false;
    // The accumulation channels and the sequences are read against the
    // channels, and the other members stand alone: only a problem in the
    // channels ends the reading.
    bool bRead = ReadName(kRoot, "Name", kMocap.m_kName);
    if (!ReadChannels(kRoot, kMocap))
        return false;
    bRead = ReadAccumulationChannels(kRoot, kMocap) && bRead;
    bRead = ReadSequences(kRoot, kMocap) && bRead;

    const JsonValue* pTransition = Optional(kRoot, "Transition");
    if (!pTransition)
        return bRead;
    CPathScope kScope(m_kPath, "Transition");
    kMocap.m_pTransitionData = TARN_NEW(TransitionData);
    if (!kMocap.m_pTransitionData)
        return FailOutOfMemory();
    return ReadTransition(*pTransition, *kMocap.m_pTransitionData) && bRead;
}

bool CDocumentReader::ReadChannels(const JsonValue& kRoot, Mocap& kMocap)
{
    const JsonValue* pChannels = nullptr;
    if (!ReadArray(kRoot, "Channels", pChannels))
        return false;
    CPathScope kScope(m_kPath, "Channels");
    const uint32 uiCount = pChannels->Size();
    if (uiCount == 0)
        return Fail("expected at least one channel");
    // A pose is sampled into a fixed set of channels.
    if (uiCount > Sampler::MaxChannels)
        return Fail("%u channels, more than the %u a skeleton can sample", uiCount, Sampler::MaxChannels);

    kMocap.m_kChannelNames.Reserve(uiCount);
    for (uint32 uiIdx = 0; uiIdx < uiCount; ++uiIdx)
    {
        CPathScope kIndexScope(m_kPath, uiIdx);
        const JsonValue& kChannel = (*pChannels)[uiIdx];
        if (!ExpectObject(kChannel))
            return false;
        FixedName& kName = kMocap.m_kChannelNames.Add();
        if (!ReadName(kChannel, "Name", kName))
            return false;
        // The parent is checked once every name is known.
        CPathScope kParentScope(m_kPath, "Parent");
        const JsonValue* pParent = Require(kChannel, "Parent");
        if (!pParent)
            return false;
        if (!pParent->IsNull() && !pParent->IsString())
            return FailType(*pParent, "a channel name or null");
    }
    if (kMocap.m_kChannelNames.GetSize() != uiCount)
        return FailOutOfMemory();

    if (!m_kChannelIndex.Build(uiCount, [&kMocap](uint32 uiIdx) { return kMocap.m_kChannelNames[uiIdx].Get(); }))
        return FailOutOfMemory();
    uint32 uiDuplicate = 0;
    uint32 uiOriginal = 0;
    if (m_kChannelIndex.FindFirstDuplicate(uiDuplicate, uiOriginal))
    {
        CPathScope kIndexScope(m_kPath, uiDuplicate);
        CPathScope kNameScope(m_kPath, "Name");
        return Fail("duplicate channel name \"%s\" (also Channels[%u])", kMocap.m_kChannelNames[uiDuplicate].Get(),
                    uiOriginal);
    }
    return ReadChannelHierarchy(*pChannels, kMocap);
}

// Parents, levels and the channel-range table. Channels must be ordered by
// hierarchy level: every parent before its children, levels never falling.
bool CDocumentReader::ReadChannelHierarchy(const JsonValue& kChannels, Mocap& kMocap)
{
    const uint32 uiCount = kChannels.Size();
    TarnRenderer::TArray<uint32> kLevels;
    kLevels.Resize(uiCount);
    kMocap.m_kChannelParents.Resize(uiCount);
    if (kLevels.GetSize() != uiCount || kMocap.m_kChannelParents.GetSize() != uiCount)
        return FailOutOfMemory();

    for (uint32 uiIdx = 0; uiIdx < uiCount; ++uiIdx)
    {
        CPathScope kIndexScope(m_kPath, uiIdx);
        uint32 uiLevel = 0;
        uint32 uiParent = kInvalidIndex;
        const JsonValue* pParent = Optional(kChannels[uiIdx], "Parent");
        if (pParent)
        {
            CPathScope kParentScope(m_kPath, "Parent");
            // A name too long for a channel matches none.
            const bool bFits = pParent->GetStringLength() < FixedName::Capacity;
            uiParent = bFits ? m_kChannelIndex.Find(pParent->GetString()) : kInvalidIndex;
            if (uiParent == kInvalidIndex)
                return Fail("unknown channel \"%.*s\"", static_cast<int>(FixedName::Capacity), pParent->GetString());
            if (uiParent == uiIdx)
                return Fail("a channel cannot be its own parent");
            if (uiParent > uiIdx)
                return Fail("parent \"%s\" must come before its child (it is Channels[%u])",
                            kMocap.m_kChannelNames[uiParent].Get(), uiParent);
            uiLevel = kLevels[uiParent] + 1;
        }
        if (uiIdx > 0 && uiLevel < kLevels[uiIdx - 1])
            return Fail("hierarchy level %u after level %u: channels must be ordered by level", uiLevel,
                        kLevels[uiIdx - 1]);
        kLevels[uiIdx] = uiLevel;
        kMocap.m_kChannelParents[uiIdx] = uiParent;
    }

    // Levels start at 0 and rise by at most one from channel to channel (a
    // channel's parent is on the level below and comes earlier), so every
    // level up to the last one's has a first channel.
    kMocap.m_uiLevelCount = kLevels[uiCount - 1] + 1;
    kMocap.m_kChannelRanges.Reserve(kMocap.m_uiLevelCount + 1);
    for (uint32 uiIdx = 0; uiIdx < uiCount; ++uiIdx)
    {
        if (uiIdx == 0 || kLevels[uiIdx] != kLevels[uiIdx - 1])
            kMocap.m_kChannelRanges.Add(uiIdx);
    }
    kMocap.m_kChannelRanges.Add(uiCount);
    if (kMocap.m_kChannelRanges.GetSize() != kMocap.m_uiLevelCount + 1)
        return FailOutOfMemory();
    return true;
}

bool CDocumentReader::ReadAccumulationChannels(const JsonValue& kRoot, Mocap& kMocap)
{
    const JsonValue* pAccum = nullptr;
    if (!ReadArray(kRoot, "AccumulationChannels", pAccum))
        return false;
    CPathScope kScope(m_kPath, "AccumulationChannels");
    if (pAccum->Size() != 3)
        return Fail("expected 3 entries (root, motion, pelvis), found %u", pAccum->Size());
    // Each entry names a channel of its own.
    bool bRead = true;
    for (uint32 uiIdx = 0; uiIdx < 3; ++uiIdx)
    {
        CPathScope kIndexScope(m_kPath, uiIdx);
        const JsonValue& kEntry = (*pAccum)[uiIdx];
        kMocap.m_auiAccumChannels[uiIdx] = kInvalidIndex;
        if (kEntry.IsNull())
            continue;
        if (!kEntry.IsString())
        {
            bRead = FailType(kEntry, "a channel name or null");
            continue;
        }
        const bool bFits = kEntry.GetStringLength() < FixedName::Capacity;
        const uint32 uiChannel = bFits ? m_kChannelIndex.Find(kEntry.GetString()) : kInvalidIndex;
        if (uiChannel == kInvalidIndex)
            bRead = Fail("unknown channel \"%.*s\"", static_cast<int>(FixedName::Capacity), kEntry.GetString());
        else
            kMocap.m_auiAccumChannels[uiIdx] = uiChannel;
    }
    return bRead;
}

bool CDocumentReader::ReadSequences(const JsonValue& kRoot, Mocap& kMocap)
{
    const JsonValue* pSequences = nullptr;
    if (!ReadArray(kRoot, "Sequences", pSequences))
        return false;
    CPathScope kScope(m_kPath, "Sequences");
    const uint32 uiCount = pSequences->Size();
    kMocap.m_kSequences.Reserve(uiCount);
    // A bad sequence does not stop the next one. The names are compared
    // once every sequence has one (a name is never empty once read).
    bool bRead = true;
    bool bNamed = true;
    for (uint32 uiIdx = 0; uiIdx < uiCount; ++uiIdx)
    {
        CPathScope kIndexScope(m_kPath, uiIdx);
        // Owned by the mocap from the start, so a failure frees it with it.
        Sequence* pSequence = TARN_NEW(Sequence);
        if (!pSequence)
            return FailOutOfMemory();
        const uint32 uiSizeBefore = kMocap.m_kSequences.GetSize();
        kMocap.m_kSequences.Add(pSequence);
        if (kMocap.m_kSequences.GetSize() == uiSizeBefore)
        {
            TARN_DELETE(pSequence);
            return FailOutOfMemory();
        }
        if (!ReadSequence((*pSequences)[uiIdx], kMocap.GetChannelCount(), *pSequence))
        {
            bRead = false;
            bNamed = bNamed && pSequence->m_kName.Get()[0] != '\0';
        }
    }
    if (!bNamed)
        return false;

    CNameIndex kNames;
    if (!kNames.Build(uiCount, [&kMocap](uint32 uiIdx) { return kMocap.m_kSequences[uiIdx]->m_kName.Get(); }))
        return FailOutOfMemory();
    uint32 uiDuplicate = 0;
    uint32 uiOriginal = 0;
    if (kNames.FindFirstDuplicate(uiDuplicate, uiOriginal))
    {
        CPathScope kIndexScope(m_kPath, uiDuplicate);
        CPathScope kNameScope(m_kPath, "Name");
        return Fail("duplicate sequence name \"%s\" (also Sequences[%u])",
                    kMocap.m_kSequences[uiDuplicate]->m_kName.Get(), uiOriginal);
    }
    return bRead;
}

bool CDocumentReader::ReadSequence(const JsonValue& kValue, uint32 uiChannelCount, Sequence& kSequence)
{
    if (!ExpectObject(kValue))
        return false;
    if (!ReadName(kValue, "Name", kSequence.m_kName) || !ReadUint(kValue, "FirstFrame", kSequence.m_uiFirstFrame) ||
        !ReadUint(kValue, "LastFrame", kSequence.m_uiLastFrame))
        return false;
    if (kSequence.m_uiLastFrame < kSequence.m_uiFirstFrame)
    {
        CPathScope kScope(m_kPath, "LastFrame");
        return Fail("LastFrame %u is before FirstFrame %u", kSequence.m_uiLastFrame, kSequence.m_uiFirstFrame);
    }
    if (!ReadFloat(kValue, "FrameRate", kSequence.m_fFrameRate))
        return false;
    {
        CPathScope kScope(m_kPath, "FrameRate");
        if (!(kSequence.m_fFrameRate > 0.0f))
            return Fail("expected a frame rate above 0, found %g", static_cast<double>(kSequence.m_fFrameRate));
        // The runtime works in milliseconds: a frame's length and the
        // sequence's duration must stay finite there too.
        const double dFrames = static_cast<double>(kSequence.m_uiLastFrame - kSequence.m_uiFirstFrame);
        const double dRate = static_cast<double>(kSequence.m_fFrameRate);
        if (!FitsFloat(1000.0 / dRate) || !FitsFloat(dFrames / dRate * 1000.0))
            return Fail("frame rate %g is too low: the sequence's duration is out of range", dRate);
        kSequence.m_fDuration = static_cast<float>(dFrames / dRate);
    }
    if (!ReadBool(kValue, "Loop", kSequence.m_bLoop) || !ReadUint(kValue, "BlendMode", kSequence.m_uiBlendMode))
        return false;
    if (kSequence.m_uiBlendMode > 1)
    {
        CPathScope kScope(m_kPath, "BlendMode");
        return Fail("expected 0 or 1, found %u", kSequence.m_uiBlendMode);
    }
    if (!ReadUint(kValue, "Interpolation", kSequence.m_uiInterpolation))
        return false;
    if (kSequence.m_uiInterpolation > kInterpolationHigh)
    {
        CPathScope kScope(m_kPath, "Interpolation");
        return Fail("expected 0, 1 or 2, found %u", kSequence.m_uiInterpolation);
    }

    const JsonValue* pFrames = nullptr;
    if (!ReadArray(kValue, "Frames", pFrames))
        return false;
    CPathScope kScope(m_kPath, "Frames");
    return ReadFrames(*pFrames, uiChannelCount, kSequence);
}

bool CDocumentReader::ReadFrames(const JsonValue& kFrames, uint32 uiChannelCount, Sequence& kSequence)
{
    // 64 bits: LastFrame 4294967295 with FirstFrame 0 is 2^32 frames.
    const uint64 ui64Expected = static_cast<uint64>(kSequence.m_uiLastFrame) - kSequence.m_uiFirstFrame + 1;
    if (kFrames.Size() != ui64Expected)
        return Fail("expected %llu frames (FirstFrame %u to LastFrame %u), found %u",
                    static_cast<unsigned long long>(ui64Expected), kSequence.m_uiFirstFrame, kSequence.m_uiLastFrame,
                    kFrames.Size());
    const uint32 uiFrameCount = kFrames.Size();

    // The shape first: the key array is then sized by what the document
    // really holds.
    for (uint32 uiFrame = 0; uiFrame < uiFrameCount; ++uiFrame)
    {
        CPathScope kFrameScope(m_kPath, uiFrame);
        const JsonValue& kFrame = kFrames[uiFrame];
        if (!ExpectArray(kFrame))
            return false;
        if (kFrame.Size() != uiChannelCount)
            return Fail("expected %u channels, found %u", uiChannelCount, kFrame.Size());
        for (uint32 uiChannel = 0; uiChannel < uiChannelCount; ++uiChannel)
        {
            CPathScope kChannelScope(m_kPath, uiChannel);
            const JsonValue& kKey = kFrame[uiChannel];
            if (!ExpectArray(kKey))
                return false;
            if (kKey.Size() != kFloatsPerKey)
                return Fail("expected %u numbers [qx, qy, qz, qw, tx, ty, tz], found %u", kFloatsPerKey, kKey.Size());
        }
    }

    const uint64 ui64Keys = static_cast<uint64>(uiFrameCount) * uiChannelCount;
    if (ui64Keys >= TarnRenderer::TArray<Transform>::uiMaxValue)
        return Fail("%llu keys are too many", static_cast<unsigned long long>(ui64Keys));
    kSequence.m_kKeys.Reserve(static_cast<uint32>(ui64Keys));
    if (kSequence.m_kKeys.GetCapacity() < ui64Keys)
        return FailOutOfMemory();
    for (uint32 uiFrame = 0; uiFrame < uiFrameCount; ++uiFrame)
    {
        CPathScope kFrameScope(m_kPath, uiFrame);
        const JsonValue& kFrame = kFrames[uiFrame];
        for (uint32 uiChannel = 0; uiChannel < uiChannelCount; ++uiChannel)
        {
            CPathScope kChannelScope(m_kPath, uiChannel);
            float afKey[kFloatsPerKey];
            if (!ReadFloatsValue(kFrame[uiChannel], afKey, kFloatsPerKey))
                return false;
            Transform& kKey = kSequence.m_kKeys.Add();
            if (!NormalizeRotation(afKey, kKey.kRotation))
                return Fail("rotation has zero length");
            kKey.kTranslation = {afKey[4], afKey[5], afKey[6]};
        }
    }
    return true;
}

bool CDocumentReader::ReadTransition(const JsonValue& kValue, TransitionData& kData)
{
    if (!ExpectObject(kValue))
        return false;
    if (!ReadUint(kValue, "FirstActiveFrame", kData.m_uiFirstActiveFrame) ||
        !ReadRotation(kValue, "InitialRotation", kData.m_kInitialRotation) ||
        !ReadVector(kValue, "InitialPosition", kData.m_kInitialPosition))
        return false;

    // A bad entry of a list does not stop the next one. The frame
    // transitions name tunes by counting the non-additive animations, so
    // they are read only when every animation was.
    const JsonValue* pArray = nullptr;
    if (!ReadArray(kValue, "Animations", pArray))
        return false;
    bool bRead = true;
    uint32 uiNormalTuneCount = 0;
    {
        CPathScope kScope(m_kPath, "Animations");
        kData.m_kAnimations.Reserve(pArray->Size());
        for (uint32 uiIdx = 0; uiIdx < pArray->Size(); ++uiIdx)
        {
            CPathScope kIndexScope(m_kPath, uiIdx);
            AnimationDesc& kDesc = kData.m_kAnimations.Add();
            if (!ReadAnimationDesc((*pArray)[uiIdx], kDesc))
                bRead = false;
            else if (!kDesc.m_bAdditive)
                ++uiNormalTuneCount;
        }
        if (kData.m_kAnimations.GetSize() != pArray->Size())
            return FailOutOfMemory();
    }
    const bool bTunesKnown = bRead;

    if (!ReadArray(kValue, "ExtraTracks", pArray))
        bRead = false;
    else
    {
        CPathScope kScope(m_kPath, "ExtraTracks");
        kData.m_kExtraTracks.Reserve(pArray->Size());
        for (uint32 uiIdx = 0; uiIdx < pArray->Size(); ++uiIdx)
        {
            CPathScope kIndexScope(m_kPath, uiIdx);
            if (!ReadExtraTrackDesc((*pArray)[uiIdx], kData.m_kExtraTracks.Add()))
                bRead = false;
        }
        if (kData.m_kExtraTracks.GetSize() != pArray->Size())
            return FailOutOfMemory();
    }

    if (!bTunesKnown || !ReadArray(kValue, "FrameTransitions", pArray))
        return false;
    CPathScope kScope(m_kPath, "FrameTransitions");
    kData.m_kFrameTransitions.Reserve(pArray->Size());
    for (uint32 uiIdx = 0; uiIdx < pArray->Size(); ++uiIdx)
    {
        CPathScope kIndexScope(m_kPath, uiIdx);
        if (!ReadFrameTransitionDesc((*pArray)[uiIdx], uiNormalTuneCount, kData.m_kFrameTransitions.Add()))
            bRead = false;
    }
    if (kData.m_kFrameTransitions.GetSize() != pArray->Size())
        return FailOutOfMemory();
    return bRead;
}

bool CDocumentReader::ReadAnimationDesc(const JsonValue& kValue, AnimationDesc& kDesc)
{
    if (!ExpectObject(kValue))
        return false;
    if (!ReadName(kValue, "AnimSet", kDesc.m_kAnimSetName) || !ReadName(kValue, "Sequence", kDesc.m_kSequenceName))
        return false;
    if (const JsonValue* pIndex = Optional(kValue, "SequenceIndex"))
    {
        CPathScope kScope(m_kPath, "SequenceIndex");
        if (!ReadUintValue(*pIndex, kDesc.m_uiSequenceIndex))
            return false;
    }

    const JsonValue* pAccum = nullptr;
    {
        CPathScope kScope(m_kPath, "Accumulation");
        pAccum = Require(kValue, "Accumulation");
        if (!pAccum || !ExpectObject(*pAccum))
            return false;
        AccumModificatorData& kModificator = kDesc.m_kAccumModificator;
        if (!ReadVector(*pAccum, "Vector1", kModificator.kVector1) ||
            !ReadVector(*pAccum, "Vector2", kModificator.kVector2) ||
            !ReadRotation(*pAccum, "Rotation", kModificator.kRotation) ||
            !ReadVector(*pAccum, "Vector3", kModificator.kVector3))
            return false;
    }

    if (const JsonValue* pHold = Optional(kValue, "HoldLength"))
    {
        CPathScope kScope(m_kPath, "HoldLength");
        if (!ReadUintValue(*pHold, kDesc.m_uiHoldLength))
            return false;
        // The hold lengthens the frame-table entries of its tune.
        if (kDesc.m_uiHoldLength > kMaxTransitionFrame)
            return Fail("expected at most %u frames, found %u", kMaxTransitionFrame, kDesc.m_uiHoldLength);
    }
    if (!ReadUint(kValue, "StartOffset", kDesc.m_uiStartOffset) ||
        !ReadFloat(kValue, "PlayFactor", kDesc.m_fPlayFactor))
        return false;
    {
        CPathScope kScope(m_kPath, "PlayFactor");
        if (!(kDesc.m_fPlayFactor >= 0.0f && kDesc.m_fPlayFactor <= kMaxPlayFactor))
            return Fail("expected a number from 0 to %g, found %g", kMaxPlayFactor,
                        static_cast<double>(kDesc.m_fPlayFactor));
    }
    return ReadBool(kValue, "Additive", kDesc.m_bAdditive);
}

bool CDocumentReader::ReadExtraTrackDesc(const JsonValue& kValue, ExtraTrackDesc& kDesc)
{
    if (!ExpectObject(kValue))
        return false;
    if (!ReadName(kValue, "AnimSet", kDesc.m_kAnimSetName) ||
        !ReadUint(kValue, "SequenceIndex", kDesc.m_uiSequenceIndex))
        return false;
    static constexpr struct
    {
        const char* pMember;
        uint32 uiFlag;
    } s_akFlags[] = {
        {"RootTrack", ExtraTrackDesc::kRootTrack},
        {"SecondaryTrack", ExtraTrackDesc::kSecondaryTrack},
        {"EventTrack", ExtraTrackDesc::kEventTrack},
        {"Fourth", ExtraTrackDesc::kFourth},
    };
    kDesc.m_uiFlags = 0;
    for (const auto& kFlag : s_akFlags)
    {
        bool bSet = false;
        if (!ReadBool(kValue, kFlag.pMember, bSet))
            return false;
        if (bSet)
            kDesc.m_uiFlags |= kFlag.uiFlag;
    }
    return true;
}

bool CDocumentReader::ReadFrameTransitionDesc(const JsonValue& kValue, uint32 uiNormalTuneCount,
                                              FrameTransitionDesc& kDesc)
{
    if (!ExpectObject(kValue))
        return false;

    // Tune indices count the non-additive Animations in order.
    auto CheckTune = [&](const char* pMember, uint32& uiTune) {
        if (!ReadUint(kValue, pMember, uiTune))
            return false;
        CPathScope kScope(m_kPath, pMember);
        if (uiTune >= uiNormalTuneCount || uiTune > kMaxTuneIndex)
            return Fail("tune %u does not exist (normal tunes: %u)", uiTune, uiNormalTuneCount);
        return true;
    };
    auto CheckFrame = [&](const char* pMember, uint32& uiFrame) {
        if (!ReadUint(kValue, pMember, uiFrame))
            return false;
        CPathScope kScope(m_kPath, pMember);
        if (uiFrame > kMaxTransitionFrame)
            return Fail("expected a frame from 0 to %u, found %u", kMaxTransitionFrame, uiFrame);
        return true;
    };

    if (!CheckTune("SourceTune", kDesc.m_uiSourceTune) || !CheckFrame("FirstFrame", kDesc.m_uiFirstFrame) ||
        !CheckFrame("LastFrame", kDesc.m_uiLastFrame))
        return false;
    if (kDesc.m_uiLastFrame < kDesc.m_uiFirstFrame)
    {
        CPathScope kScope(m_kPath, "LastFrame");
        return Fail("LastFrame %u is before FirstFrame %u", kDesc.m_uiLastFrame, kDesc.m_uiFirstFrame);
    }
    if (!ReadFloat(kValue, "FadeLength", kDesc.m_fFadeLength))
        return false;
    {
        CPathScope kScope(m_kPath, "FadeLength");
        if (!(kDesc.m_fFadeLength >= 0.0f && kDesc.m_fFadeLength <= kMaxFadeLength))
            return Fail("expected milliseconds from 0 to %g, found %g", kMaxFadeLength,
                        static_cast<double>(kDesc.m_fFadeLength));
    }
    return CheckTune("TargetTune", kDesc.m_uiTargetTune) &&
           CheckFrame("TargetFirstFrame", kDesc.m_uiTargetFirstFrame) &&
           CheckFrame("TargetFrameLimit", kDesc.m_uiTargetFrameLimit);
}

}  // namespace

Mocap* AnimSetLoader::LoadText(const char* pText, size_t uiLength, const char* pSourceName,
                               Common::CInputErrors& kErrors)
{
    const char* pSource = (pSourceName && *pSourceName) ? pSourceName : "(text)";
    kErrors.Reset(pSource, Common::CInputErrors::EForm::FirstProblem, kErrorTextCapacity);
    if (!pText && uiLength != 0)
    {
        kErrors.Add("document", "no text");
        return nullptr;
    }
    const size_t uiDeep = pText ? Common::FindExcessiveJsonNesting(pText, uiLength) : uiLength;
    if (uiDeep < uiLength)
    {
        kErrors.Add("document", "invalid JSON at offset %zu: nested deeper than %u levels", uiDeep, kMaxNesting);
        return nullptr;
    }

    Common::CJsonAllocator kHeap;
    JsonPool kPool(kJsonChunkBytes, &kHeap);
    JsonDocument kDocument(&kPool, kJsonStackBytes, &kHeap);
    kDocument.Parse(pText ? pText : "", uiLength);
    if (kDocument.HasParseError())
    {
        kErrors.Add("document", "invalid JSON at offset %zu: %s", kDocument.GetErrorOffset(),
                    rapidjson::GetParseError_En(kDocument.GetParseError()));
        return nullptr;
    }
    Common::SJsonProblem kTextProblem;
    if (Common::FindJsonProblem(kDocument, kTextProblem))
    {
        kErrors.Add(kTextProblem.acPath, "%s", Common::DescribeJsonProblem(kTextProblem.eKind));
        return nullptr;
    }

    Mocap* pMocap = TARN_NEW(Mocap);
    if (!pMocap)
    {
        kErrors.Add("document", "out of memory");
        return nullptr;
    }
    CDocumentReader kReader(kErrors);
    if (!kReader.ReadMocap(kDocument, *pMocap))
    {
        TARN_DELETE(pMocap);
        return nullptr;
    }
    return pMocap;
}

Mocap* AnimSetLoader::LoadFile(const char* pPath, Common::CInputErrors& kErrors)
{
    if (!pPath || !*pPath)
    {
        kErrors.Reset("(no path)", Common::CInputErrors::EForm::FirstProblem, kErrorTextCapacity);
        kErrors.Add("file", "no file name given");
        return nullptr;
    }
    const char* pSource = BaseName(pPath);
    if (!*pSource)
        pSource = pPath;

    Common::CFileText kFile;
    char acProblem[Common::CFileText::ProblemCapacity];
    if (!kFile.Read(pPath, kMaxFileBytes, acProblem))
    {
        kErrors.Reset(pSource, Common::CInputErrors::EForm::FirstProblem, kErrorTextCapacity);
        kErrors.Add("file", "%s", acProblem);
        return nullptr;
    }
    return LoadText(kFile.GetText(), kFile.GetLength(), pSource, kErrors);
}

}  // namespace TarnAnim
