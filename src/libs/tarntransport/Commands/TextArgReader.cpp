#include "Commands/TextArgReader.h"

namespace TarnEngine {

bool CTextArgReader::HasToken() const
{
    const char* pCursor = m_pCursor;
    while (pCursor && *pCursor == ' ')
        ++pCursor;
    return pCursor && *pCursor != 0;
}

const char* CTextArgReader::NextToken()
{
    if (!m_pCursor)
        return nullptr;
    while (*m_pCursor == ' ')
        ++m_pCursor;
    if (*m_pCursor == 0)
        return nullptr;
    char* pToken = m_pCursor;
    while (*m_pCursor != 0 && *m_pCursor != ' ')
        ++m_pCursor;
    if (*m_pCursor == ' ')
        *m_pCursor++ = 0;
    return pToken;
}

}  // namespace TarnEngine
