#pragma once

#include <type_traits>
#include <utility>

#include "Core/Types.h"
#include "System/Mutex/Posix/posix_mutex.h"

// Locks and the guards that pair a lock with the data it protects.
namespace Common {

// The portable mutual-exclusion lock: re-entrant for its owning thread, no
// time-out. The platform base holds the operating-system object.
class CMutex : public Posix::CMutex
{
public:
    using Posix::CMutex::CMutex;
    ~CMutex() override = default;
};

// Base for classes whose objects must not be copied.
class CNonCopyable
{
protected:
    CNonCopyable() = default;
    ~CNonCopyable() = default;

public:
    CNonCopyable(const CNonCopyable&) = delete;
    CNonCopyable& operator=(const CNonCopyable&) = delete;
};

// A lock that objects carry (or derive from) to protect themselves.
class CLockable
{
public:
    CLockable() = default;
    virtual ~CLockable() = default;

    void Lock() { m_mutex.Lock(); }
    void Unlock() { m_mutex.Unlock(); }

protected:
    CMutex m_mutex;
    // Free for the owner's use; the lock operations never read it.
    bool m_bUserFlag = false;
};

namespace MT {

// Holds a lock for the guard's lifetime. A null lock is accepted: the guard
// then does nothing, so callers can lock conditionally with one code path.
template <class L> class CScopeLock : private CNonCopyable
{
public:
    explicit CScopeLock(L* pLock) : m_pLock(pLock)
    {
        if (m_pLock)
            m_pLock->Lock();
    }
    virtual ~CScopeLock()
    {
        if (m_pLock)
            m_pLock->Unlock();
    }

private:
    L* m_pLock;
};

}  // namespace MT

// A guard that holds an object's lock and gives access to the object for
// exactly its own lifetime. Neither copyable nor movable: SelfLocked::Lock
// hands it out by value through guaranteed copy elision, so callers write
//   auto kGuard = kShared.Lock();
//   kGuard->Add(...);
template <class T> class CScopeLock : private MT::CScopeLock<CLockable>
{
public:
    CScopeLock(T* pObject, CLockable* pLockable) : MT::CScopeLock<CLockable>(pLockable), m_pObject(pObject) {}
    ~CScopeLock() override = default;

    virtual T* operator->() const { return m_pObject; }
    virtual T& operator*() const { return *m_pObject; }
    virtual T* Get() const { return m_pObject; }

private:
    T* m_pObject;
};

// An object together with the lock that protects it. The object is reached
// only through the guard that Lock returns, so every access holds the lock.
// Destruction destroys the lockable first, then the object.
template <class T> class SelfLocked
{
public:
    template <class... Args>
    requires std::is_constructible_v<T, Args&&...>
    explicit SelfLocked(Args&&... kArgs) : m_object(std::forward<Args>(kArgs)...) {}
    virtual ~SelfLocked() = default;

    SelfLocked(const SelfLocked&) = delete;
    SelfLocked& operator=(const SelfLocked&) = delete;

    // Both variants lock and give full access: taking the lock of a const
    // object is what makes touching it from several threads safe.
    virtual CScopeLock<T> Lock() { return CScopeLock<T>(&m_object, &m_lockable); }
    virtual CScopeLock<T> Lock() const { return CScopeLock<T>(&m_object, &m_lockable); }

private:
    mutable T m_object;
    mutable CLockable m_lockable;
};

}  // namespace Common
