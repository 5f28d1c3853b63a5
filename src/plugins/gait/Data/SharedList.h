#pragma once

#include "Core/Types.h"
#include "System/MemoryManager/MemoryManager.h"

namespace GaitPlugin {

// Read-only values shared by every user whose value is equal: thousands of
// characters of one kind hold one copy. Each entry counts its users; an
// entry may also stay unlisted (the value of one user alone), and is freed
// with its last user either way. An intrusive list: the registry allocates
// nothing of its own, and is empty once the last user went. Engine thread
// only.
template <class T> class TSharedList
{
public:
    struct SEntry
    {
        T kValue;
        uint32 uiUsers = 1;
        bool bListed = false;
        SEntry* pNext = nullptr;
    };

    // The listed entry whose value kMatches accepts, counted for one more
    // user; null when there is none.
    template <class Match> SEntry* Share(Match kMatches)
    {
        for (SEntry* pEntry = m_pFirst; pEntry; pEntry = pEntry->pNext)
            if (kMatches(pEntry->kValue))
            {
                ++pEntry->uiUsers;
                return pEntry;
            }
        return nullptr;
    }
    // A new entry with one user, unlisted (null when memory is refused).
    SEntry* Make(const char* pTag) { return TARN_NEW_TAGGED(pTag, SEntry); }
    // Lists an entry, so that later equal values share it.
    void List(SEntry* pEntry)
    {
        if (!pEntry || pEntry->bListed)
            return;
        pEntry->bListed = true;
        pEntry->pNext = m_pFirst;
        m_pFirst = pEntry;
    }
    // One user fewer; the last one frees the entry. Null is accepted.
    void Release(SEntry* pEntry)
    {
        if (!pEntry || --pEntry->uiUsers != 0)
            return;
        if (pEntry->bListed)
            for (SEntry** ppLink = &m_pFirst; *ppLink; ppLink = &(*ppLink)->pNext)
                if (*ppLink == pEntry)
                {
                    *ppLink = pEntry->pNext;
                    break;
                }
        TARN_DELETE(pEntry);
    }
    bool IsEmpty() const { return m_pFirst == nullptr; }

private:
    SEntry* m_pFirst = nullptr;
};

}  // namespace GaitPlugin
