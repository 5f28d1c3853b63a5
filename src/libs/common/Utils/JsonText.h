#pragma once

#include <cstddef>

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

}  // namespace Common
