#pragma once

#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"
#include "Scene/UserData.h"
#include "Utils/assertion.h"

namespace TarnRenderer {

// A scene object: one placed thing of a world, with a world position and a
// world rotation. Root motion moves the link of an animated character.
//
// User data: a link heads a singly linked list of user-data records
// (m_pUserData, newest first), which plug-ins use to keep their per-link
// objects (UserDataHelper.h). The records come from the user-data pool of the
// link's scene, which owns them; the link only chains them. Before a link goes
// away, its owner gives the records back with ReleaseUserData and the scene's
// pool. A link therefore cannot be copied (two links would chain the same
// records); moving it moves its records.
class Link
{
public:
    Link() = default;
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;
    Link(Link&& kOther) noexcept
        : m_kPosition(kOther.m_kPosition), m_kRotation(kOther.m_kRotation), m_pUserData(kOther.m_pUserData)
    {
        kOther.m_pUserData = nullptr;
    }
    // The records of this link, if any, would be lost: they are reported and
    // stay handed out in their pool, which reclaims them when it goes.
    Link& operator=(Link&& kOther) noexcept
    {
        if (this == &kOther)
            return *this;
        TARN_ASSERT(!m_pUserData, "Link user data is overwritten: give it back to its pool first");
        m_kPosition = kOther.m_kPosition;
        m_kRotation = kOther.m_kRotation;
        m_pUserData = kOther.m_pUserData;
        kOther.m_pUserData = nullptr;
        return *this;
    }

    const Math::LocalVector3& GetWorldPosition() const { return m_kPosition; }
    const Math::Quaternion& GetWorldRotation() const { return m_kRotation; }
    void SetWorldPosition(const Math::LocalVector3& kPosition) { m_kPosition = kPosition; }
    void SetWorldRotation(const Math::Quaternion& kRotation) { m_kRotation = kRotation; }

    // Head of the user-data list, null when the link has none.
    UserData* GetFirstUserData() const { return m_pUserData; }

    // Pushes a record at the head of the list. The record must not be chained
    // anywhere (null m_pNext) and must not be in this list already; otherwise
    // the attachment is reported and not performed. Returns true when done.
    bool AttachUserData(UserData* _pNewData)
    {
        if (!TARN_ASSERT(_pNewData, "No UserData to add"))
            return false;
        if (!TARN_ASSERT(!_pNewData->m_pNext, "New UserData should have null next"))
            return false;
        if (!TARN_ASSERT(_pNewData != m_pUserData, "UserData already added"))
            return false;
        // The last record of the list also has a null successor.
        const bool bListed = HasUserData(_pNewData);
        if (!TARN_ASSERT(!bListed, "UserData already added"))
            return false;
        _pNewData->m_pNext = m_pUserData;
        m_pUserData = _pNewData;
        return true;
    }

    // Unchains one record (which keeps its payload and stays handed out by
    // its pool). False when the record is not in this link's list.
    bool DetachUserData(UserData* pData)
    {
        for (UserData** ppLink = &m_pUserData; *ppLink; ppLink = &(*ppLink)->m_pNext)
        {
            if (*ppLink == pData)
            {
                *ppLink = pData->m_pNext;
                pData->m_pNext = nullptr;
                return true;
            }
        }
        return false;
    }

    // Gives every record back to kPool, the pool of the link's scene, which
    // frees their payloads. Objects stored in the payloads are not destroyed:
    // whoever stored them releases them first.
    void ReleaseUserData(UserDataPool& kPool)
    {
        while (m_pUserData)
        {
            UserData* pRecord = m_pUserData;
            m_pUserData = pRecord->m_pNext;
            pRecord->m_pNext = nullptr;
            kPool.Release(pRecord);
        }
    }

    bool HasUserData(const UserData* pData) const
    {
        for (const UserData* pRecord = m_pUserData; pRecord; pRecord = pRecord->m_pNext)
            if (pRecord == pData)
                return true;
        return false;
    }

private:
    Math::LocalVector3 m_kPosition;
    Math::Quaternion m_kRotation;
    UserData* m_pUserData = nullptr;
};

}  // namespace TarnRenderer
