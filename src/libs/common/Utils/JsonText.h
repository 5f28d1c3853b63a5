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

// What a look over raw JSON text tells before it is parsed: where it nests
// too deep, and at most how many values parsing it would make. Each value of
// a parsed document takes a fixed record (and as much again on the parser's
// stack while its container is open), so the count bounds what parsing the
// text costs beyond the text itself.
struct SJsonTextScan
{
    size_t uiDeepAt = 0;  // offset of the first excessive nesting, or the length
    size_t uiValues = 0;  // upper bound of the values (member names included)
};

// One pass over the text: strings are skipped (escapes included); every
// value starts the text, follows a ',' or ':' or opens a container, so the
// count of those marks bounds the number of values.
inline SJsonTextScan ScanJsonText(const char* pText, size_t uiLength, uint32 uiMaxNesting = kMaxJsonNesting)
{
    SJsonTextScan kScan;
    kScan.uiDeepAt = uiLength;
    kScan.uiValues = uiLength > 0 ? 1 : 0;
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
        else if (cChar == ',' || cChar == ':')
            ++kScan.uiValues;
        else if (cChar == '[' || cChar == '{')
        {
            ++kScan.uiValues;
            if (++uiDepth > uiMaxNesting && kScan.uiDeepAt == uiLength)
                kScan.uiDeepAt = uiIdx;
        }
        else if ((cChar == ']' || cChar == '}') && uiDepth > 0)
            --uiDepth;
    }
    return kScan;
}

// Offset of the first place where arrays and objects nest deeper than
// uiMaxNesting, or uiLength when they never do. Strings are skipped, escapes
// included; the parser reports malformed text itself.
inline size_t FindExcessiveJsonNesting(const char* pText, size_t uiLength, uint32 uiMaxNesting = kMaxJsonNesting)
{
    return ScanJsonText(pText, uiLength, uiMaxNesting).uiDeepAt;
}

// Whether raw request text asks for a reply: the member name "WaitAck"
// followed, after blanks and a colon, by true. Decides whether a request
// that cannot be parsed is answered, so it reads the text as it is and never
// fails: a waiting client must never hang on text the parser refuses.
inline bool JsonTextAsksForReply(const char* pText, size_t uiLength)
{
    static constexpr char kName[] = "\"WaitAck\"";
    constexpr size_t uiName = sizeof(kName) - 1;
    const auto IsBlank = [](char cChar) { return cChar == ' ' || cChar == '\t' || cChar == '\n' || cChar == '\r'; };
    for (size_t uiAt = 0; uiAt + uiName <= uiLength; ++uiAt)
    {
        if (memcmp(pText + uiAt, kName, uiName) != 0)
            continue;
        size_t uiIdx = uiAt + uiName;
        while (uiIdx < uiLength && IsBlank(pText[uiIdx]))
            ++uiIdx;
        if (uiIdx >= uiLength || pText[uiIdx] != ':')
            continue;
        ++uiIdx;
        while (uiIdx < uiLength && IsBlank(pText[uiIdx]))
            ++uiIdx;
        if (uiLength - uiIdx >= 4 && memcmp(pText + uiIdx, "true", 4) == 0)
            return true;
    }
    return false;
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
        case EJsonProblem::DuplicateMember:
            return "repeats an earlier member of the same object";
        case EJsonProblem::InvalidUtf8:
            return "is not valid UTF-8 text";
        case EJsonProblem::None:
            break;
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

inline void AppendPath(char* pPath, size_t uiCapacity, size_t uiAt, const char* pFormat, const char* pName,
                       size_t uiIndex)
{
    if (uiAt < uiCapacity)
        snprintf(pPath + uiAt, uiCapacity - uiAt, pFormat, pName, uiIndex);
}

template <class TValue> EJsonProblem Walk(const TValue& kValue, char* pPath, size_t uiCapacity)
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
template <class TValue> bool FindJsonProblem(const TValue& kRoot, SJsonProblem& kOut)
{
    kOut.acPath[0] = '\0';
    kOut.eKind = JsonTextDetail::Walk(kRoot, kOut.acPath, sizeof(kOut.acPath));
    if (kOut.eKind != EJsonProblem::None && kOut.acPath[0] == '\0')
        snprintf(kOut.acPath, sizeof(kOut.acPath), "document");
    return kOut.eKind != EJsonProblem::None;
}

}  // namespace Common
