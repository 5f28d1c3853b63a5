#include "Host/RequestBudget.h"

#include <algorithm>

#include "Commands/CommandManager.h"

namespace TarnEngine {

uint64 CRequestBudget::CostOf(uint32 uiLength)
{
    // A parsed value takes 16 bytes in the document and as many again on
    // the parser's stack; every value but the first takes at least two
    // characters of text, and a request holds at most kMaxRequestValues.
    const uint64 uiValues = std::min<uint64>(CommandManager::kMaxRequestValues, uiLength / 2u + 1u);
    return 2ull * uiLength + 32ull * uiValues + sizeof(JSonCommand);
}

void CRequestBudget::SetLimits(const SLimits& kLimits)
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    m_kLimits = kLimits;
    m_kLimits.uiMaxPerConnection = std::max<uint32>(m_kLimits.uiMaxPerConnection, 1);
    m_kLimits.uiMaxRequests = std::max<uint32>(m_kLimits.uiMaxRequests, 1);
}

void CRequestBudget::Close()
{
    {
        std::lock_guard<std::mutex> kGuard(m_kLock);
        m_bClosed = true;
    }
    m_kRoom.notify_all();
}

void CRequestBudget::Open()
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    m_bClosed = false;
}

uint32 CRequestBudget::GetRequests()
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    return m_uiRequests;
}

uint32 CRequestBudget::GetPeakRequests()
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    return m_uiPeakRequests;
}

uint64 CRequestBudget::GetBytes()
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    return m_uiBytes;
}

uint64 CRequestBudget::GetPeakBytes()
{
    std::lock_guard<std::mutex> kGuard(m_kLock);
    return m_uiPeakBytes;
}

bool CRequestBudget::CAccount::Charge(uint64 uiBytes)
{
    std::unique_lock<std::mutex> kGuard(m_kBudget.m_kLock);
    return ChargeLocked(kGuard, uiBytes, true);
}

bool CRequestBudget::CAccount::TryCharge(uint64 uiBytes)
{
    std::unique_lock<std::mutex> kGuard(m_kBudget.m_kLock);
    return ChargeLocked(kGuard, uiBytes, false);
}

bool CRequestBudget::CAccount::ChargeLocked(std::unique_lock<std::mutex>& kGuard, uint64 uiBytes, bool bWait)
{
    CRequestBudget& kBudget = m_kBudget;
    const auto Fits = [&]() {
        // A request costing more than the whole budget goes when nothing
        // else is held.
        if (kBudget.m_uiRequests == 0)
            return true;
        return m_uiPending < kBudget.m_kLimits.uiMaxPerConnection &&
               kBudget.m_uiRequests < kBudget.m_kLimits.uiMaxRequests &&
               kBudget.m_uiBytes + uiBytes <= kBudget.m_kLimits.uiMaxBytes;
    };
    if (bWait)
        kBudget.m_kRoom.wait(kGuard, [&]() { return kBudget.m_bClosed || Fits(); });
    if (kBudget.m_bClosed || !Fits())
        return false;
    ++m_uiPending;
    m_uiBytes += uiBytes;
    ++kBudget.m_uiRequests;
    kBudget.m_uiBytes += uiBytes;
    kBudget.m_uiPeakBytes = std::max(kBudget.m_uiPeakBytes, kBudget.m_uiBytes);
    kBudget.m_uiPeakRequests = std::max(kBudget.m_uiPeakRequests, kBudget.m_uiRequests);
    return true;
}

void CRequestBudget::CAccount::Refund(uint64 uiBytes)
{
    RefundBatch(uiBytes, 1);
}

void CRequestBudget::CAccount::RefundBatch(uint64 uiBytes, uint32 uiRequests)
{
    CRequestBudget& kBudget = m_kBudget;
    {
        std::lock_guard<std::mutex> kGuard(kBudget.m_kLock);
        uiBytes = std::min(uiBytes, m_uiBytes);
        m_uiPending -= std::min(uiRequests, m_uiPending);
        m_uiBytes -= uiBytes;
        kBudget.m_uiRequests -= std::min(uiRequests, kBudget.m_uiRequests);
        kBudget.m_uiBytes -= std::min(uiBytes, kBudget.m_uiBytes);
    }
    // Every waiter looks again: a connection waits for its own share, the
    // others for the common one.
    kBudget.m_kRoom.notify_all();
}

void CRequestBudget::CAccount::WaitDrained()
{
    std::unique_lock<std::mutex> kGuard(m_kBudget.m_kLock);
    m_kBudget.m_kRoom.wait(kGuard, [&]() { return m_uiPending == 0; });
}

uint32 CRequestBudget::CAccount::GetPending()
{
    std::lock_guard<std::mutex> kGuard(m_kBudget.m_kLock);
    return m_uiPending;
}

}  // namespace TarnEngine
