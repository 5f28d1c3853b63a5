#pragma once

#include "Core/Types.h"

namespace TarnEngine {

// A reference count handed to remote clients. Starts at 0. The base of
// CInstanceManager and CSingletonManager: what the last release does is
// theirs to decide (OnLastReference). Not copyable: a copy would share no
// client's references.
class CClientRefCount
{
public:
    CClientRefCount() = default;
    CClientRefCount(const CClientRefCount&) = delete;
    CClientRefCount& operator=(const CClientRefCount&) = delete;

    // Called when ReleaseRef brings the count to 0. Does nothing here.
    virtual void OnLastReference() {}
    virtual ~CClientRefCount() = default;

    // Adds one reference; returns the new count.
    int AddRef() { return static_cast<int>(++m_uiRefCount); }
    // Gives one back; at 0 calls OnLastReference (which may destroy the
    // object). Returns the new count. A release of a count already at 0 is
    // reported and changes nothing.
    int ReleaseRef();
    uint32 GetRefCount() const { return m_uiRefCount; }

private:
    uint32 m_uiRefCount = 0;
};

}  // namespace TarnEngine
