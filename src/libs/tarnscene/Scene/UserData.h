#pragma once

#include "Containers/TArray.h"
#include "Core/Types.h"

namespace TarnRenderer {

class UserDataPool;

// One record of a link's user data: a block of payload bytes, chained to the
// link's next record.
//
// The payload's first four bytes are the record's tag (see UserDataHelper.h
// for the typed records built on it). The payload is a block of the engine
// memory manager owned by the record: whoever replaces it frees the old one,
// and the record's pool frees it when the record comes back.
//
// Records are made and owned by a UserDataPool; a link only chains the records
// it has been given (Link::AttachUserData).
struct UserData
{
    uint32 m_uiSize = 0;              // payload size in bytes
    void* m_pData = nullptr;          // payload bytes, null while m_uiSize is 0
    UserData* m_pNext = nullptr;      // next record of the link, or of the pool's free list
    UserDataPool* m_pPool = nullptr;  // the pool that made the record
    bool m_bInUse = false;            // handed out by its pool and not yet given back
};

// The user-data records of one scene.
//
// The scene owns its pool; the links of the scene take records from it and
// give them back through Link::ReleaseUserData (or RemoveUserData of
// UserDataHelper.h) before they go away. Records are made in blocks of
// kRecordsPerBlock from the engine memory manager and reused; they are freed
// only with the pool.
//
// Ownership: the pool owns every record it made. A record given back has its
// payload freed. At destruction the pool frees the payloads of records still
// handed out, reports how many there were, and frees all records: links that
// still chain them must not be used afterwards.
//
// Not locked: one thread at a time (the engine thread).
class UserDataPool
{
public:
    static constexpr uint32 kRecordsPerBlock = 32;

    UserDataPool() = default;
    ~UserDataPool();
    UserDataPool(const UserDataPool&) = delete;
    UserDataPool& operator=(const UserDataPool&) = delete;

    // A record with no payload and no successor. Null when memory is refused
    // (the memory manager has reported why).
    UserData* Acquire();
    // Gives a record back: frees its payload and keeps the record for reuse.
    // A record of another pool, or one given back already, is reported and
    // left alone. Null is accepted.
    void Release(UserData* pRecord);

    // Records made so far, and how many of them are handed out.
    uint32 GetRecordCount() const { return m_uiRecordCount; }
    uint32 GetUsedCount() const { return m_uiUsedCount; }

private:
    TArray<UserData*> m_kBlocks;       // blocks of kRecordsPerBlock records
    UserData* m_pFirstFree = nullptr;  // free records, chained by m_pNext
    uint32 m_uiRecordCount = 0;
    uint32 m_uiUsedCount = 0;
};

}  // namespace TarnRenderer
