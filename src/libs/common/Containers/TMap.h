#pragma once

#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "Containers/ContainerMemory.h"
#include "Core/Types.h"
#include "Utils/assertion.h"

namespace TarnRenderer {

// One entry of a TMap.
template <class K, class V> struct TMapPair
{
    K Key;
    V Value;
};

// A map from K to V held as an array of pairs sorted by key.
//
// Ownership and invariants: the map owns its pair buffer (from the engine
// memory manager, 16-byte aligned); it does not own what pointer values point
// to. Keys are strictly increasing, so a key is present at most once. Keys and
// values are plain scalars (identifiers, pointers), moved as raw memory.
//
// Maps are filled while loading and then mostly searched: Find and Insert
// bisect, insertion moves the tail up by one pair, and the capacity grows by
// a quarter
// ((size + 1) * 5 / 4: 1, 2, 3, 5, 7, 10, 13, ...).
template <class K, class V, class SizeT = unsigned int> class TMap
{
    static_assert(std::is_unsigned_v<SizeT>, "TMap needs an unsigned size type");
    static_assert(std::is_trivially_copyable_v<K> && std::is_trivially_copyable_v<V>,
                  "TMap moves its pairs as raw memory: keys and values must be plain scalars");

public:
    using PairType = TMapPair<K, V>;
    static constexpr SizeT uiMaxValue = std::numeric_limits<SizeT>::max();
    static constexpr SizeT uiNotFound = uiMaxValue;

    TMap() = default;
    TMap(const TMap& kOther) { *this = kOther; }
    TMap(TMap&& kOther) noexcept : m_pData(kOther.m_pData), m_uiSize(kOther.m_uiSize), m_uiCapacity(kOther.m_uiCapacity)
    {
        kOther.m_pData = nullptr;
        kOther.m_uiSize = kOther.m_uiCapacity = 0;
    }
    ~TMap() { Detail::FreeBuffer(m_pData); }

    TMap& operator=(const TMap& kOther);
    TMap& operator=(TMap&& kOther) noexcept
    {
        if (this != &kOther)
        {
            Detail::FreeBuffer(m_pData);
            m_pData = kOther.m_pData;
            m_uiSize = kOther.m_uiSize;
            m_uiCapacity = kOther.m_uiCapacity;
            kOther.m_pData = nullptr;
            kOther.m_uiSize = kOther.m_uiCapacity = 0;
        }
        return *this;
    }

    // Sets the value of kKey (overwriting an existing one) and returns its
    // pair. When the map is full or memory is refused, reports and returns a
    // scratch pair that is not part of the map.
    PairType& Insert(const K& kKey, const V& kValue);

    // Index of the pair of kKey, or uiNotFound.
    SizeT Find(const K& kKey) const
    {
        SizeT uiLow = 0;
        SizeT uiHigh = m_uiSize;
        while (uiLow < uiHigh)
        {
            const SizeT uiMid = static_cast<SizeT>(uiLow + (uiHigh - uiLow) / 2);
            const K& kProbe = m_pData[uiMid].Key;
            if (kProbe == kKey)
                return uiMid;
            if (kProbe < kKey)
                uiLow = static_cast<SizeT>(uiMid + 1);
            else
                uiHigh = uiMid;
        }
        return uiNotFound;
    }

    // The value of kKey, or null when absent.
    V* Lookup(const K& kKey)
    {
        const SizeT uiIndex = Find(kKey);
        return uiIndex == uiNotFound ? nullptr : &m_pData[uiIndex].Value;
    }
    const V* Lookup(const K& kKey) const { return const_cast<TMap*>(this)->Lookup(kKey); }

    // Removes the pair of kKey; false when absent.
    bool Remove(const K& kKey)
    {
        const SizeT uiIndex = Find(kKey);
        if (uiIndex == uiNotFound)
            return false;
        RemoveAt(uiIndex);
        return true;
    }
    void RemoveAt(SizeT uiIndex)
    {
        if (!TARN_ASSERT(uiIndex < m_uiSize, "TMap index %llu is out of range (size %llu)",
                         static_cast<unsigned long long>(uiIndex), static_cast<unsigned long long>(m_uiSize)))
            return;
        memmove(static_cast<void*>(m_pData + uiIndex), m_pData + uiIndex + 1,
                static_cast<size_t>(m_uiSize - uiIndex - 1) * sizeof(PairType));
        --m_uiSize;
    }
    // Frees the buffer: size and capacity 0.
    void Clear()
    {
        Detail::FreeBuffer(m_pData);
        m_pData = nullptr;
        m_uiSize = m_uiCapacity = 0;
    }

    // Makes the capacity at least uiCount without changing the size.
    void Reserve(SizeT uiCount)
    {
        if (uiCount > m_uiCapacity)
            Reallocate(uiCount);
    }

    PairType& GetAt(SizeT uiIndex) { return m_pData[uiIndex]; }
    const PairType& GetAt(SizeT uiIndex) const { return m_pData[uiIndex]; }
    SizeT GetSize() const { return m_uiSize; }
    SizeT GetCapacity() const { return m_uiCapacity; }
    bool IsEmpty() const { return m_uiSize == 0; }

    PairType* begin() { return m_pData; }
    PairType* end() { return m_pData + m_uiSize; }
    const PairType* begin() const { return m_pData; }
    const PairType* end() const { return m_pData + m_uiSize; }

private:
    static PairType* CreateBuffer(SizeT uiCount)
    {
        void* pBlock = Detail::AllocateBuffer(static_cast<size_t>(uiCount) * sizeof(PairType), alignof(PairType),
                                              __FILE__, __LINE__);
        if (!pBlock)
            return nullptr;
        PairType* pData = static_cast<PairType*>(pBlock);
        for (SizeT i = 0; i < uiCount; ++i)
            ::new (static_cast<void*>(pData + i)) PairType();
        return pData;
    }
    bool Reallocate(SizeT uiCapacity)
    {
        PairType* pNew = CreateBuffer(uiCapacity);
        if (!pNew)
            return false;
        if (m_uiSize)
            memcpy(static_cast<void*>(pNew), m_pData, static_cast<size_t>(m_uiSize) * sizeof(PairType));
        Detail::FreeBuffer(m_pData);
        m_pData = pNew;
        m_uiCapacity = uiCapacity;
        return true;
    }
    static PairType& Scratch()
    {
        thread_local PairType tl_kScratch;
        tl_kScratch = PairType();
        return tl_kScratch;
    }

    PairType* m_pData = nullptr;
    SizeT m_uiSize = 0;
    SizeT m_uiCapacity = 0;
};

template <class K, class V, class SizeT>
typename TMap<K, V, SizeT>::PairType& TMap<K, V, SizeT>::Insert(const K& kKey, const V& kValue)
{
    // The position is the first pair whose key is not below kKey: found by
    // bisection, it is the same place a scan from the front would stop at.
    SizeT uiPos = 0;
    SizeT uiHigh = m_uiSize;
    while (uiPos < uiHigh)
    {
        const SizeT uiMid = static_cast<SizeT>(uiPos + (uiHigh - uiPos) / 2);
        if (m_pData[uiMid].Key < kKey)
            uiPos = static_cast<SizeT>(uiMid + 1);
        else
            uiHigh = uiMid;
    }
    if (uiPos < m_uiSize && m_pData[uiPos].Key == kKey)
    {
        m_pData[uiPos].Value = kValue;
        return m_pData[uiPos];
    }
    if (!TARN_ASSERT(m_uiSize < uiMaxValue, "TMap capacity is full already"))
        return Scratch();

    const SizeT uiNewSize = static_cast<SizeT>(m_uiSize + 1);
    if (uiNewSize > m_uiCapacity)
    {
        const uint64 ui64Grown = static_cast<uint64>(uiNewSize) * 5 / 4;
        const SizeT uiNewCapacity = ui64Grown > uiMaxValue ? uiMaxValue : static_cast<SizeT>(ui64Grown);
        PairType* pNew = CreateBuffer(uiNewCapacity);
        if (!pNew)
            return Scratch();
        // Copy around the gap at the insertion position.
        if (uiPos)
            memcpy(static_cast<void*>(pNew), m_pData, static_cast<size_t>(uiPos) * sizeof(PairType));
        if (m_uiSize > uiPos)
            memcpy(static_cast<void*>(pNew + uiPos + 1), m_pData + uiPos,
                   static_cast<size_t>(m_uiSize - uiPos) * sizeof(PairType));
        Detail::FreeBuffer(m_pData);
        m_pData = pNew;
        m_uiCapacity = uiNewCapacity;
    }
    else if (m_uiSize > uiPos)
    {
        memmove(static_cast<void*>(m_pData + uiPos + 1), m_pData + uiPos,
                static_cast<size_t>(m_uiSize - uiPos) * sizeof(PairType));
    }
    m_pData[uiPos].Key = kKey;
    m_pData[uiPos].Value = kValue;
    m_uiSize = uiNewSize;
    return m_pData[uiPos];
}

template <class K, class V, class SizeT> TMap<K, V, SizeT>& TMap<K, V, SizeT>::operator=(const TMap& kOther)
{
    if (this == &kOther)
        return *this;
    if (kOther.m_uiSize > m_uiCapacity)
    {
        PairType* pNew = CreateBuffer(kOther.m_uiSize);
        if (!pNew)
            return *this;
        Detail::FreeBuffer(m_pData);
        m_pData = pNew;
        m_uiCapacity = kOther.m_uiSize;
    }
    if (kOther.m_uiSize)
        memcpy(static_cast<void*>(m_pData), kOther.m_pData, static_cast<size_t>(kOther.m_uiSize) * sizeof(PairType));
    m_uiSize = kOther.m_uiSize;
    return *this;
}

}  // namespace TarnRenderer
