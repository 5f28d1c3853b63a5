#include "Utils/InputErrors.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace Common {

namespace {

// Copies pText into pOut, cut to fit uiCapacity with its NUL.
void CopyCut(char* pOut, size_t uiCapacity, const char* pText)
{
    const size_t uiLength = strnlen(pText, uiCapacity - 1);
    memcpy(pOut, pText, uiLength);
    pOut[uiLength] = '\0';
}

}  // namespace

CInputErrors::CInputErrors(uint32 uiLimit) : m_uiLimit(uiLimit ? uiLimit : 1)
{
    m_acSource[0] = '\0';
    m_acText[0] = '\0';
}

void CInputErrors::Reset(const char* pSource, EForm eForm, uint32 uiTextRoom)
{
    m_uiCount = 0;
    m_uiKept = 0;
    m_uiStoreLength = 0;
    m_eForm = eForm;
    m_uiTextRoom = std::clamp<uint32>(uiTextRoom, 1, kTextCapacity);
    CopyCut(m_acSource, sizeof(m_acSource), pSource ? pSource : "");
    m_bComposed = false;
}

bool CInputErrors::Add(const char* pPath, const char* pFormat, ...)
{
    va_list kArgs;
    va_start(kArgs, pFormat);
    const bool bKept = AddV(pPath, pFormat, kArgs);
    va_end(kArgs);
    return bKept;
}

bool CInputErrors::AddV(const char* pPath, const char* pFormat, va_list kArgs)
{
    ++m_uiCount;
    m_bComposed = false;
    // Only the first problems are kept: none after one that was not.
    if (m_uiKept + 1 != m_uiCount || m_uiKept >= m_uiLimit)
        return false;
    char acProblem[kProblemCapacity];
    if (vsnprintf(acProblem, sizeof(acProblem), pFormat, kArgs) < 0)
        acProblem[0] = '\0';
    const char* pMember = pPath ? pPath : "document";
    const size_t uiPath = strnlen(pMember, kPathCapacity - 1);
    const size_t uiProblem = strlen(acProblem);
    if (m_uiStoreLength + uiPath + uiProblem + 2 > sizeof(m_acStore))
        return false;
    char* pEntry = m_acStore + m_uiStoreLength;
    memcpy(pEntry, pMember, uiPath);
    pEntry[uiPath] = '\0';
    memcpy(pEntry + uiPath + 1, acProblem, uiProblem + 1);
    m_uiStoreLength += static_cast<uint32>(uiPath + uiProblem + 2);
    ++m_uiKept;
    return true;
}

const char* CInputErrors::FindEntry(uint32 uiIndex) const
{
    const char* pEntry = m_acStore;
    for (uint32 uiSkip = 0; uiSkip < uiIndex; ++uiSkip)
    {
        pEntry += strlen(pEntry) + 1;
        pEntry += strlen(pEntry) + 1;
    }
    return pEntry;
}

const char* CInputErrors::GetPath(uint32 uiIndex) const
{
    return uiIndex < m_uiKept ? FindEntry(uiIndex) : "";
}

const char* CInputErrors::GetProblem(uint32 uiIndex) const
{
    if (uiIndex >= m_uiKept)
        return "";
    const char* pPath = FindEntry(uiIndex);
    return pPath + strlen(pPath) + 1;
}

const char* CInputErrors::FormatProblem(uint32 uiIndex, char* pOut, size_t uiCapacity) const
{
    if (!pOut || uiCapacity == 0)
        return pOut;
    pOut[0] = '\0';
    if (uiIndex < m_uiKept &&
        snprintf(pOut, uiCapacity, "%s: %s: %s", m_acSource, GetPath(uiIndex), GetProblem(uiIndex)) < 0)
        pOut[0] = '\0';
    return pOut;
}

const char* CInputErrors::GetText() const
{
    if (!m_bComposed)
        Compose();
    return m_acText;
}

uint32 CInputErrors::GetListedCount() const
{
    if (!m_bComposed)
        Compose();
    return m_uiListed;
}

bool CInputErrors::FormatUnlisted(uint32 uiListed, char* pOut, size_t uiCapacity) const
{
    const uint32 uiRest = uiListed < m_uiCount ? m_uiCount - uiListed : 0;
    if (uiRest == 0 || !pOut || uiCapacity == 0)
        return false;
    snprintf(pOut, uiCapacity, "%u more %s not listed", uiRest, uiRest == 1 ? "problem" : "problems");
    return true;
}

void CInputErrors::Compose() const
{
    m_bComposed = true;
    m_acText[0] = '\0';
    m_uiListed = 0;
    if (m_uiKept == 0)
        return;
    switch (m_eForm)
    {
        case EForm::FirstProblem:
            FormatProblem(0, m_acText, m_uiTextRoom);
            m_uiListed = 1;
            return;
        case EForm::Assertion:
            if (snprintf(m_acText, m_uiTextRoom, "Assertion \"%s\" failed. %s", GetPath(0), GetProblem(0)) < 0)
                m_acText[0] = '\0';
            m_uiListed = 1;
            return;
        case EForm::ProblemLines:
            ComposeLines();
            return;
    }
}

// Whole lines only: a problem whose line does not fit, with the room for the
// closing line behind it, ends the listing, and it and every later problem
// are counted in the closing line instead.
void CInputErrors::ComposeLines() const
{
    size_t uiLength = 0;
    const auto Append = [&](const char* pPath, const char* pProblem, size_t uiKeep) {
        const size_t uiRoom = m_uiTextRoom - uiLength;
        const int iLength = snprintf(nullptr, 0, "%s: %s\n", pPath, pProblem);
        if (iLength < 0 || static_cast<size_t>(iLength) + uiKeep >= uiRoom)
            return false;
        snprintf(m_acText + uiLength, uiRoom, "%s: %s\n", pPath, pProblem);
        uiLength += static_cast<size_t>(iLength);
        return true;
    };
    const char* pPath = m_acStore;
    while (m_uiListed < m_uiKept)
    {
        const char* pProblem = pPath + strlen(pPath) + 1;
        if (!Append(pPath, pProblem, kClosingLineRoom))
            break;
        ++m_uiListed;
        pPath = pProblem + strlen(pProblem) + 1;
    }
    char acRest[96];
    if (FormatUnlisted(m_uiListed, acRest, sizeof(acRest)))
        Append("document", acRest, 0);
}

CMemberPath::CScope::CScope(CMemberPath& kPath, const char* pMember) : m_kPath(kPath), m_uiLength(kPath.m_uiLength)
{
    kPath.Append(m_uiLength ? ".%s" : "%s", pMember);
}

CMemberPath::CScope::CScope(CMemberPath& kPath, uint32 uiIndex) : m_kPath(kPath), m_uiLength(kPath.m_uiLength)
{
    kPath.Append("[%u]", uiIndex);
}

CMemberPath::CScope::~CScope()
{
    m_kPath.m_uiLength = m_uiLength;
    m_kPath.m_acText[m_uiLength] = '\0';
}

void CMemberPath::Append(const char* pFormat, ...)
{
    const uint32 uiRoom = sizeof(m_acText) - m_uiLength;
    va_list kArgs;
    va_start(kArgs, pFormat);
    const int iWritten = vsnprintf(m_acText + m_uiLength, uiRoom, pFormat, kArgs);
    va_end(kArgs);
    if (iWritten > 0)
        m_uiLength += std::min<uint32>(static_cast<uint32>(iWritten), uiRoom - 1);
}

}  // namespace Common
