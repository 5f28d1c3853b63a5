#pragma once

#include <string>

#include <gtest/gtest.h>

#include "Core/Types.h"

// Data files spoiled the ways files get spoiled, for the tests of the
// loaders.
namespace TestSupport {

// One way to spoil a document: the first occurrence of kFind becomes
// kReplace (or, with an empty kFind, the text is cut to half).
struct SSpoil
{
    const char* pLabel;
    std::string kFind;
    std::string kReplace;
    std::string kMember;  // what the message must name ("document" for the text as a whole)
};

inline std::string Spoil(const std::string& kText, const SSpoil& kSpoil)
{
    if (kSpoil.kFind.empty())
        return kText.substr(0, kText.size() / 2);
    const size_t uiAt = kText.find(kSpoil.kFind);
    EXPECT_NE(uiAt, std::string::npos) << "the demo file no longer has " << kSpoil.kFind;
    if (uiAt == std::string::npos)
        return kText;
    return kText.substr(0, uiAt) + kSpoil.kReplace + kText.substr(uiAt + kSpoil.kFind.size());
}

inline std::string Nested(uint32 uiLevels)
{
    return std::string(uiLevels, '[') + std::string(uiLevels, ']');
}

}  // namespace TestSupport
