#pragma once

#include <limits>
#include <new>
#include <type_traits>
#include <utility>

#include "Containers/ContainerMemory.h"
#include "Core/Types.h"
#include "Utils/assertion.h"

namespace TarnRenderer {

// A growable contiguous array of T, the engine's collection of choice.
//
// Ownership and invariants: the array owns its buffer and its elements. The
// buffer comes from the engine memory manager (16-byte aligned) and holds
// m_uiCapacity constructed elements; the first m_uiSize are live, the rest are
// kept default-valued so that Add can hand them out. m_uiSize never exceeds
// m_uiCapacity, and m_pData is null exactly while the capacity is 0.
//
// Growth: Add doubles the larger of the capacity and 8 (so 16, 32, 64, ...);
// past half the largest size it takes the largest size. Reserve grows to an
// exact capacity; Resize always reallocates to exactly the new size. Elements
// are moved and copied by assignment, never as raw memory.
//
// Failures (a full array, memory refused) are reported and leave the array as
// it was; Add then returns a scratch element that is not part of the array.
template <class T, class SizeT = unsigned int> class TArray
{
    static_assert(std::is_unsigned_v<SizeT>, "TArray needs an unsigned size type");

public:
    using ValueType = T;
    using SizeType = SizeT;
    static constexpr SizeT uiMaxValue = std::numeric_limits<SizeT>::max();

    TArray() = default;
    TArray(const TArray& kOther) { *this = kOther; }
    TArray(TArray&& kOther) noexcept
        : m_pData(kOther.m_pData), m_uiSize(kOther.m_uiSize), m_uiCapacity(kOther.m_uiCapacity)
    {
        kOther.m_pData = nullptr;
        kOther.m_uiSize = kOther.m_uiCapacity = 0;
    }
    ~TArray() { DestroyBuffer(m_pData, m_uiCapacity); }

    TArray& operator=(const TArray& kOther);
    TArray& operator=(TArray&& kOther) noexcept
    {
        if (this != &kOther)
        {
            DestroyBuffer(m_pData, m_uiCapacity);
            m_pData = kOther.m_pData;
            m_uiSize = kOther.m_uiSize;
            m_uiCapacity = kOther.m_uiCapacity;
            kOther.m_pData = nullptr;
            kOther.m_uiSize = kOther.m_uiCapacity = 0;
        }
        return *this;
    }

    // Appends a default-valued element and returns it.
    T& Add();
    // Appends a copy of kValue and returns the new element.
    T& Add(const T& kValue)
    {
        // kValue may live in this array's buffer, which Add may replace.
        T kCopy(kValue);
        T& kNew = Add();
        kNew = std::move(kCopy);
        return kNew;
    }

    // Makes the capacity at least uiCount without changing the size.
    void Reserve(SizeT uiCount);
    // Makes size and capacity exactly uiCount (always reallocates); elements
    // past the old size are default-valued.
    void Resize(SizeT uiCount);
    // Removes the element at uiIndex; later elements move down by one.
    void RemoveAt(SizeT uiIndex);
    // Frees the buffer: size and capacity 0.
    void Clear() { Resize(0); }
    // Size 0, keeping the buffer for reuse (working arrays refilled often).
    void Empty()
    {
        for (SizeT i = 0; i < m_uiSize; ++i)
            m_pData[i] = T();
        m_uiSize = 0;
    }
    // Index of the first element equal to kValue, or uiMaxValue.
    SizeT Find(const T& kValue) const
    {
        for (SizeT i = 0; i < m_uiSize; ++i)
            if (m_pData[i] == kValue)
                return i;
        return uiMaxValue;
    }
    // Index of the last element equal to kValue, or uiMaxValue: the quick
    // search for what was added last.
    SizeT FindLast(const T& kValue) const
    {
        for (SizeT i = m_uiSize; i-- > 0;)
            if (m_pData[i] == kValue)
                return i;
        return uiMaxValue;
    }

    SizeT GetSize() const { return m_uiSize; }
    SizeT GetCapacity() const { return m_uiCapacity; }
    bool IsEmpty() const { return m_uiSize == 0; }
    T* GetData() { return m_pData; }
    const T* GetData() const { return m_pData; }
    T& operator[](SizeT uiIndex) { return m_pData[uiIndex]; }
    const T& operator[](SizeT uiIndex) const { return m_pData[uiIndex]; }

    T* begin() { return m_pData; }
    T* end() { return m_pData + m_uiSize; }
    const T* begin() const { return m_pData; }
    const T* end() const { return m_pData + m_uiSize; }

private:
    static constexpr size_t kAlignment = alignof(T) > 16 ? alignof(T) : 16;

    // A buffer of uiCount default-constructed elements; null for 0 or when
    // the memory manager refuses.
    static T* CreateBuffer(SizeT uiCount)
    {
        if (uiCount == 0)
            return nullptr;
        void* pBlock = Detail::AllocateBuffer(static_cast<size_t>(uiCount) * sizeof(T), kAlignment, __FILE__, __LINE__);
        if (!pBlock)
            return nullptr;
        T* pData = static_cast<T*>(pBlock);
        for (SizeT i = 0; i < uiCount; ++i)
            ::new (static_cast<void*>(pData + i)) T();
        return pData;
    }
    static void DestroyBuffer(T* pData, SizeT uiCount)
    {
        if (!pData)
            return;
        for (SizeT i = 0; i < uiCount; ++i)
            pData[i].~T();
        Detail::FreeBuffer(pData);
    }
    // Replaces the buffer by one of uiCapacity elements holding the first
    // uiKeep live elements. False (nothing changed) when memory is refused.
    bool Reallocate(SizeT uiCapacity, SizeT uiKeep)
    {
        T* pNew = CreateBuffer(uiCapacity);
        if (uiCapacity != 0 && !pNew)
            return false;
        for (SizeT i = 0; i < uiKeep; ++i)
            pNew[i] = std::move(m_pData[i]);
        DestroyBuffer(m_pData, m_uiCapacity);
        m_pData = pNew;
        m_uiCapacity = uiCapacity;
        return true;
    }
    // Returned by a failed Add: never part of any array.
    static T& Scratch()
    {
        thread_local T tl_kScratch;
        tl_kScratch = T();
        return tl_kScratch;
    }

    T* m_pData = nullptr;
    SizeT m_uiSize = 0;
    SizeT m_uiCapacity = 0;
};

template <class T, class SizeT> T& TArray<T, SizeT>::Add()
{
    // The condition's text, as written, is part of the report.
    // clang-format off
    if (!TARN_ASSERT(m_uiSize<uiMaxValue, "TArray capacity is full already"))
        return Scratch();
    // clang-format on
    const SizeT uiNewSize = static_cast<SizeT>(m_uiSize + 1);
    if (uiNewSize > m_uiCapacity)
    {
        constexpr SizeT uiHalf = static_cast<SizeT>(uiMaxValue / 2 + 1);
        SizeT uiNewCapacity;
        if (m_uiCapacity < uiHalf)
        {
            const SizeT uiBase = m_uiCapacity > 8 ? m_uiCapacity : SizeT(8);
            uiNewCapacity = static_cast<SizeT>(uiBase * 2);
        }
        else
        {
            if (m_uiCapacity == uiMaxValue)
            {
                TARN_ASSERT(false, "TArray capacity is full already");
                return Scratch();
            }
            uiNewCapacity = uiMaxValue;
        }
        if (!Reallocate(uiNewCapacity, m_uiSize))
            return Scratch();
    }
    m_uiSize = uiNewSize;
    return m_pData[m_uiSize - 1];
}

template <class T, class SizeT> void TArray<T, SizeT>::Reserve(SizeT uiCount)
{
    if (uiCount <= m_uiCapacity)
        return;
    Reallocate(uiCount, m_uiSize);
}

template <class T, class SizeT> void TArray<T, SizeT>::Resize(SizeT uiCount)
{
    const SizeT uiKeep = uiCount < m_uiSize ? uiCount : m_uiSize;
    if (Reallocate(uiCount, uiKeep))
        m_uiSize = uiCount;
}

template <class T, class SizeT> void TArray<T, SizeT>::RemoveAt(SizeT uiIndex)
{
    if (!TARN_ASSERT(uiIndex < m_uiSize, "TArray index %llu is out of range (size %llu)",
                     static_cast<unsigned long long>(uiIndex), static_cast<unsigned long long>(m_uiSize)))
        return;
    for (SizeT i = uiIndex; i + 1 < m_uiSize; ++i)
        m_pData[i] = std::move(m_pData[i + 1]);
    m_pData[m_uiSize - 1] = T();
    --m_uiSize;
}

template <class T, class SizeT> TArray<T, SizeT>& TArray<T, SizeT>::operator=(const TArray& kOther)
{
    if (this == &kOther)
        return *this;
    const SizeT uiNewSize = kOther.m_uiSize;
    if (uiNewSize > m_uiCapacity)
    {
        // The old elements are overwritten anyway: nothing to keep.
        if (!Reallocate(uiNewSize, 0))
            return *this;
    }
    for (SizeT i = 0; i < uiNewSize; ++i)
        m_pData[i] = kOther.m_pData[i];
    // Slots past the size stay default-valued.
    for (SizeT i = uiNewSize; i < m_uiSize; ++i)
        m_pData[i] = T();
    m_uiSize = uiNewSize;
    return *this;
}

}  // namespace TarnRenderer
