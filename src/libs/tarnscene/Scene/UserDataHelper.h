#pragma once

#include <bit>
#include <cstring>
#include <new>
#include <type_traits>

#include "Core/Types.h"
#include "Scene/Link.h"
#include "Scene/UserData.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"

// Typed link user data: objects of one type kept by value on a link, in one
// record per link and tag.
//
// Payload of a typed record:
//
//   offset 0   4 bytes   tag: four ASCII characters ('G','A','I','T')
//   offset 4   4 bytes   count of elements, unsigned
//   offset 8   count x sizeof(T)   the elements, each a complete T
//
// so the payload size is always 8 + count x sizeof(T). A record's tag is the
// first four bytes of its payload; a payload shorter than four bytes has no
// tag and matches none.
//
// Elements are moved in and out of payloads as raw bytes: AddUserData copies
// the element's bytes in, and growing a record copies all of them to a new
// block. T must therefore be relocatable by a byte copy: no pointer or
// reference into the object itself (nor into another element), no member
// whose address is registered somewhere; pointers to the outside and virtual
// functions are fine. The compiler cannot check this; it checks what it can
// (an object type with an alignment of at most 8, since elements start 8 bytes
// into a 16-byte aligned block). A pointer to an element stays valid until the
// next element is added to the same record or the record is removed.
//
// Element lifetime: AddUserData copies bytes only, so the caller's original
// must not be destroyed as well as the copy (give up the original without its
// destructor, or make T own nothing). Nothing here runs a destructor: before
// a record is removed or its link's records are given back, whoever stored the
// elements releases them.

namespace TarnRenderer {

// The header at the start of a typed record's payload.
struct UserDataHeader
{
    uint32 m_uiTag;    // MakeTag value: its bytes in memory are the four characters
    uint32 m_uiCount;  // number of elements following the header
};
static_assert(sizeof(UserDataHeader) == 8, "the elements start 8 bytes into the payload");

inline constexpr uint32 kUserDataHeaderSize = sizeof(UserDataHeader);

// The tag of four characters ("GAIT"), as the 32-bit value whose bytes in
// memory are those characters in order, whatever the host's byte order.
constexpr uint32 MakeTag(const char (&acTag)[5])
{
    const uint32 uiA = static_cast<uint8>(acTag[0]);
    const uint32 uiB = static_cast<uint8>(acTag[1]);
    const uint32 uiC = static_cast<uint8>(acTag[2]);
    const uint32 uiD = static_cast<uint8>(acTag[3]);
    if constexpr (std::endian::native == std::endian::little)
        return uiA | (uiB << 8) | (uiC << 16) | (uiD << 24);
    else
        return (uiA << 24) | (uiB << 16) | (uiC << 8) | uiD;
}

// The four characters of a tag, terminated, for reports.
struct UserDataTagText
{
    char m_acText[5];
};
inline UserDataTagText GetTagText(uint32 uiTag)
{
    UserDataTagText kText;
    std::memcpy(kText.m_acText, &uiTag, 4);
    kText.m_acText[4] = '\0';
    return kText;
}

// What a type must be to be kept as typed user data (see the rule above).
template <class T>
inline constexpr bool kIsUserDataElement = std::is_object_v<T> && !std::is_array_v<T> && !std::is_const_v<T> &&
                                           !std::is_volatile_v<T> && alignof(T) <= kUserDataHeaderSize;

// The first record of the link whose payload is at least four bytes long and
// starts with the tag; null when none does.
inline UserData* FindUserDataRecord(const Link* pLink, uint32 uiTag)
{
    if (!pLink)
        return nullptr;
    for (UserData* pRecord = pLink->GetFirstUserData(); pRecord; pRecord = pRecord->m_pNext)
    {
        if (pRecord->m_uiSize < sizeof(uint32) || !pRecord->m_pData)
            continue;
        uint32 uiRecordTag;
        std::memcpy(&uiRecordTag, pRecord->m_pData, sizeof(uiRecordTag));
        if (uiRecordTag == uiTag)
            return pRecord;
    }
    return nullptr;
}

// The header of the link's record with the tag, or null when the link has no
// such record (or no link is given).
template <class T> UserDataHeader* GetUserData(const Link* pLink, uint32 uiTag)
{
    static_assert(kIsUserDataElement<T>, "typed user data holds byte-relocatable objects aligned to at most 8");
    UserData* pRecord = FindUserDataRecord(pLink, uiTag);
    return pRecord ? static_cast<UserDataHeader*>(pRecord->m_pData) : nullptr;
}

// Number of elements of a record; 0 for null.
inline uint32 GetUserDataCount(const UserDataHeader* pHeader)
{
    return pHeader ? pHeader->m_uiCount : 0;
}

// Element uiIndex of a record. Null for a null header; an index past the
// count is reported and gives null.
template <class T> T* GetUserDataElement(UserDataHeader* pHeader, uint32 uiIndex)
{
    static_assert(kIsUserDataElement<T>, "typed user data holds byte-relocatable objects aligned to at most 8");
    if (!pHeader)
        return nullptr;
    if (!TARN_ASSERT(uiIndex < pHeader->m_uiCount, "User data element %u is out of range (count %u)", uiIndex,
                     pHeader->m_uiCount))
        return nullptr;
    uint8* pElements = reinterpret_cast<uint8*>(pHeader) + kUserDataHeaderSize;
    return reinterpret_cast<T*>(pElements + static_cast<size_t>(uiIndex) * sizeof(T));
}

// Appends a byte copy of kElement to the link's record with the tag and
// returns the record's header; the new element is element [count - 1].
//
// - Record found: its payload is replaced by a 16-byte aligned block of
//   (old size + sizeof(T)) bytes holding the old bytes, and the old block is
//   freed. A record whose size does not match its count and sizeof(T) is not
//   a record of T: reported, nothing changes, null.
// - No record: one is taken from kPool (the pool of the link's scene), given
//   a payload of 8 + sizeof(T) bytes with the header (tag, count 0), and
//   attached at the head of the link's list.
//
// Null, with nothing changed, when memory is refused (reported by the memory
// manager) or no link is given. kElement may be an element of the same
// record.
template <class T> UserDataHeader* AddUserData(UserDataPool& kPool, Link* pLink, uint32 uiTag, const T& kElement)
{
    static_assert(kIsUserDataElement<T>, "typed user data holds byte-relocatable objects aligned to at most 8");
    constexpr uint64 ui64ElementSize = sizeof(T);
    if (!TARN_ASSERT(pLink, "No link to add user data to"))
        return nullptr;
    Common::Mem::CTagScope kTagScope("TarnRenderer::AddUserData");

    UserData* pRecord = FindUserDataRecord(pLink, uiTag);
    if (pRecord)
    {
        const UserDataHeader* pOld = static_cast<const UserDataHeader*>(pRecord->m_pData);
        const bool bHoldsT =
            pRecord->m_uiSize >= kUserDataHeaderSize &&
            uint64(pRecord->m_uiSize) == kUserDataHeaderSize + uint64(pOld->m_uiCount) * ui64ElementSize;
        if (!TARN_ASSERT(bHoldsT, "User data record %s of %u bytes does not hold elements of %u bytes",
                         GetTagText(uiTag).m_acText, pRecord->m_uiSize, static_cast<uint32>(ui64ElementSize)))
            return nullptr;
        const uint64 ui64NewSize = uint64(pRecord->m_uiSize) + ui64ElementSize;
        if (!TARN_ASSERT(ui64NewSize <= 0xFFFFFFFFull, "User data record %s is full", GetTagText(uiTag).m_acText))
            return nullptr;
        void* pNewPayload = TARN_ALLOC_ALIGNED(static_cast<size_t>(ui64NewSize), 16);
        if (!pNewPayload)
            return nullptr;
        std::memcpy(pNewPayload, pRecord->m_pData, pRecord->m_uiSize);
        // Copied before the old block goes: kElement may live in it.
        std::memcpy(static_cast<uint8*>(pNewPayload) + pRecord->m_uiSize, static_cast<const void*>(&kElement),
                    sizeof(T));
        TARN_FREE(pRecord->m_pData);
        pRecord->m_pData = pNewPayload;
        pRecord->m_uiSize = static_cast<uint32>(ui64NewSize);
    }
    else
    {
        pRecord = kPool.Acquire();
        if (!pRecord)
            return nullptr;
        constexpr size_t uiSize = kUserDataHeaderSize + sizeof(T);
        static_assert(uiSize <= 0xFFFFFFFFull, "a user data element must fit a record");
        void* pPayload = TARN_ALLOC_ALIGNED(uiSize, 16);
        if (!pPayload)
        {
            kPool.Release(pRecord);
            return nullptr;
        }
        ::new (pPayload) UserDataHeader{uiTag, 0};
        std::memcpy(static_cast<uint8*>(pPayload) + kUserDataHeaderSize, static_cast<const void*>(&kElement),
                    sizeof(T));
        pRecord->m_pData = pPayload;
        pRecord->m_uiSize = static_cast<uint32>(uiSize);
        if (!pLink->AttachUserData(pRecord))
        {
            kPool.Release(pRecord);
            return nullptr;
        }
    }
    UserDataHeader* pHeader = static_cast<UserDataHeader*>(pRecord->m_pData);
    ++pHeader->m_uiCount;
    return pHeader;
}

// Removes the link's record with the tag and gives it back to kPool (its
// payload is freed). The elements' destructors are not run: the caller
// releases the elements first. False when the link has no such record; a
// record of another pool is reported and stays on the link.
inline bool RemoveUserData(UserDataPool& kPool, Link* pLink, uint32 uiTag)
{
    UserData* pRecord = FindUserDataRecord(pLink, uiTag);
    if (!pRecord)
        return false;
    if (!TARN_ASSERT(pRecord->m_pPool == &kPool, "User data record %s belongs to another pool",
                     GetTagText(uiTag).m_acText))
        return false;
    pLink->DetachUserData(pRecord);
    kPool.Release(pRecord);
    return true;
}

}  // namespace TarnRenderer
