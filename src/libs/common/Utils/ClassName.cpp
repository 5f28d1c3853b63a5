#include "Utils/ClassName.h"

#include <cstdlib>
#include <cstring>

#include <cxxabi.h>

#include "Utils/assertion.h"

namespace {

// The keyword that the run-time information alone supports.
const char* KeywordOfKind(const std::type_info& kType)
{
    if (dynamic_cast<const abi::__class_type_info*>(&kType))
        return "class ";
    if (dynamic_cast<const abi::__enum_type_info*>(&kType))
        return "enum ";
    return "";
}

// Appends pText to the name being written, dropping the space of every ", ".
// Returns false when the buffer is full (the name is then cut).
bool AppendName(const char* pText, char* pBuffer, uint32 uiBufferSize, uint32& uiLength)
{
    for (const char* pChar = pText; *pChar; ++pChar)
    {
        if (*pChar == ' ' && pChar != pText && pChar[-1] == ',')
            continue;
        if (uiLength + 1 >= uiBufferSize)
            return false;
        pBuffer[uiLength++] = *pChar;
    }
    return true;
}

}  // namespace

namespace Common {

uint32 GetClassName(const std::type_info& kType, char* pBuffer, uint32 uiBufferSize, const char* pKeyword)
{
    if (!TARN_ASSERT(pBuffer && uiBufferSize > 0, "No buffer to write the class name into"))
        return 0;

    // Types with internal linkage may carry a '*' in front of their mangled
    // name: it tells the run-time to compare type information by address.
    const char* pMangled = kType.name();
    if (*pMangled == '*')
        ++pMangled;
    int iStatus = 0;
    char* pDemangled = abi::__cxa_demangle(pMangled, nullptr, nullptr, &iStatus);
    const char* pQualified = (iStatus == 0 && pDemangled) ? pDemangled : pMangled;

    uint32 uiLength = 0;
    const bool bFits = AppendName(pKeyword ? pKeyword : KeywordOfKind(kType), pBuffer, uiBufferSize, uiLength) &&
                       AppendName(pQualified, pBuffer, uiBufferSize, uiLength);
    pBuffer[uiLength] = '\0';
    TARN_ASSERT(bFits, "Class name %s does not fit in %u characters", pQualified, uiBufferSize - 1);
    // The demangler's block comes from the C++ runtime's allocator.
    std::free(pDemangled);
    return uiLength;
}

const char* GetShortTypeName(const char* pName)
{
    if (!pName)
        return nullptr;
    const char* pLastColon = std::strrchr(pName, ':');
    return pLastColon ? pLastColon + 1 : pName;
}

}  // namespace Common
