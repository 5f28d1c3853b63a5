#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "Core/Types.h"

namespace Common {

// Parsing JSON with default options recurses once per level of nesting, so
// text from outside (files, the network) is checked before it is parsed.
inline constexpr uint32 kMaxJsonNesting = 256;

// Offset of the first place where arrays and objects nest deeper than
// uiMaxNesting, or uiLength when they never do. Strings are skipped, escapes
// included; the parser reports malformed text itself.
inline size_t FindExcessiveJsonNesting(const char* pText, size_t uiLength, uint32 uiMaxNesting = kMaxJsonNesting)
{
    uint32 uiDepth = 0;
    bool bInString = false;
    for (size_t uiIdx = 0; uiIdx < uiLength; ++uiIdx)
    {
        const char cChar = pText[uiIdx];
        if (bInString)
        {
            if (cChar == '\\')
                ++uiIdx;
            else if (cChar == '"')
                bInString = false;
        }
        else if (cChar == '"')
            bInString = true;
        else if (cChar == '[' || cChar == '{')
        {
            if (++uiDepth > uiMaxNesting)
                return uiIdx;
        }
        else if ((cChar == ']' || cChar == '}') && uiDepth > 0)
            --uiDepth;
    }
    return uiLength;
}

// Whether uiLength bytes are well-formed UTF-8: no stray continuation
// bytes, no overlong forms, no surrogates, nothing above U+10FFFF.
inline bool IsValidUtf8(const char* pText, size_t uiLength)
{
    const auto* pBytes = reinterpret_cast<const unsigned char*>(pText);
    size_t uiIdx = 0;
    while (uiIdx < uiLength)
    {
        const unsigned char cLead = pBytes[uiIdx];
        if (cLead < 0x80)
        {
            ++uiIdx;
            continue;
        }
        uint32 uiFollow = 0;
        uint32 uiCode = 0;
        uint32 uiMin = 0;
        if ((cLead & 0xE0) == 0xC0)
            uiFollow = 1, uiCode = cLead & 0x1F, uiMin = 0x80;
        else if ((cLead & 0xF0) == 0xE0)
            uiFollow = 2, uiCode = cLead & 0x0F, uiMin = 0x800;
        else if ((cLead & 0xF8) == 0xF0)
            uiFollow = 3, uiCode = cLead & 0x07, uiMin = 0x10000;
        else
            return false;
        if (uiLength - uiIdx <= uiFollow)
            return false;
        for (uint32 uiPart = 1; uiPart <= uiFollow; ++uiPart)
        {
            const unsigned char cNext = pBytes[uiIdx + uiPart];
            if ((cNext & 0xC0) != 0x80)
                return false;
            uiCode = (uiCode << 6) | (cNext & 0x3F);
        }
        if (uiCode < uiMin || uiCode > 0x10FFFF || (uiCode >= 0xD800 && uiCode <= 0xDFFF))
            return false;
        uiIdx += uiFollow + 1;
    }
    return true;
}

// What a parser that takes JSON as it comes lets through but a data file
// must not have.
enum class EJsonProblem
{
    None,
    DuplicateMember,  // a member name repeats an earlier one of its object
    InvalidUtf8,      // a string or member name is not UTF-8 text
};

inline const char* DescribeJsonProblem(EJsonProblem eProblem)
{
    switch (eProblem)
    {
        case EJsonProblem::DuplicateMember: return "repeats an earlier member of the same object";
        case EJsonProblem::InvalidUtf8: return "is not valid UTF-8 text";
        case EJsonProblem::None: break;
    }
    return "no problem";
}

// The first such problem of a parsed document, with the path of the value
// or member where it is ("Sequences[2].Name"; "document" for the root).
// Nesting is bounded by the check before parsing, so the walk's recursion
// is too.
struct SJsonProblem
{
    EJsonProblem eKind = EJsonProblem::None;
    char acPath[256] = {};
};

namespace JsonTextDetail {

inline void AppendPath(char* pPath, size_t uiCapacity, size_t uiAt, const char* pFormat, const char* pName, size_t uiIndex)
{
    if (uiAt < uiCapacity)
        snprintf(pPath + uiAt, uiCapacity - uiAt, pFormat, pName, uiIndex);
}

template <class TValue>
EJsonProblem Walk(const TValue& kValue, char* pPath, size_t uiCapacity)
{
    const size_t uiAt = strnlen(pPath, uiCapacity);
    if (kValue.IsString())
        return IsValidUtf8(kValue.GetString(), kValue.GetStringLength()) ? EJsonProblem::None
                                                                         : EJsonProblem::InvalidUtf8;
    if (kValue.IsArray())
    {
        for (size_t uiIdx = 0; uiIdx < kValue.Size(); ++uiIdx)
        {
            AppendPath(pPath, uiCapacity, uiAt, "%s[%zu]", "", uiIdx);
            const EJsonProblem eProblem = Walk(kValue[static_cast<unsigned>(uiIdx)], pPath, uiCapacity);
            if (eProblem != EJsonProblem::None)
                return eProblem;
            pPath[std::min(uiAt, uiCapacity - 1)] = '\0';
        }
        return EJsonProblem::None;
    }
    if (!kValue.IsObject())
        return EJsonProblem::None;
    std::vector<std::pair<std::string_view, size_t>> kNames;
    kNames.reserve(kValue.MemberCount());
    for (auto kIt = kValue.MemberBegin(); kIt != kValue.MemberEnd(); ++kIt)
    {
        const std::string_view kName(kIt->name.GetString(), kIt->name.GetStringLength());
        AppendPath(pPath, uiCapacity, uiAt, uiAt == 0 ? "%s" : ".%s", std::string(kName).c_str(), 0);
        if (!IsValidUtf8(kName.data(), kName.size()))
            return EJsonProblem::InvalidUtf8;
        kNames.emplace_back(kName, kNames.size());
        const EJsonProblem eProblem = Walk(kIt->value, pPath, uiCapacity);
        if (eProblem != EJsonProblem::None)
            return eProblem;
        pPath[std::min(uiAt, uiCapacity - 1)] = '\0';
    }
    // Sorted by name, then by position: the first repeat in document order
    // is the smallest position that follows an equal name.
    std::sort(kNames.begin(), kNames.end());
    size_t uiRepeat = kNames.size();
    for (size_t uiIdx = 1; uiIdx < kNames.size(); ++uiIdx)
        if (kNames[uiIdx].first == kNames[uiIdx - 1].first)
            uiRepeat = std::min(uiRepeat, kNames[uiIdx].second);
    if (uiRepeat == kNames.size())
        return EJsonProblem::None;
    const auto& kMember = *(kValue.MemberBegin() + static_cast<std::ptrdiff_t>(uiRepeat));
    AppendPath(pPath, uiCapacity, uiAt, uiAt == 0 ? "%s" : ".%s",
               std::string(kMember.name.GetString(), kMember.name.GetStringLength()).c_str(), 0);
    return EJsonProblem::DuplicateMember;
}

}  // namespace JsonTextDetail

// Looks through a parsed document for the problems above; true (and kOut
// filled) when there is one.
template <class TValue>
bool FindJsonProblem(const TValue& kRoot, SJsonProblem& kOut)
{
    kOut.acPath[0] = '\0';
    kOut.eKind = JsonTextDetail::Walk(kRoot, kOut.acPath, sizeof(kOut.acPath));
    if (kOut.eKind != EJsonProblem::None && kOut.acPath[0] == '\0')
        snprintf(kOut.acPath, sizeof(kOut.acPath), "document");
    return kOut.eKind != EJsonProblem::None;
}

}  // namespace Common
