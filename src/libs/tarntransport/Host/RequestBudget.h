#pragma once

#include <condition_variable>
#include <mutex>

#include "Commands/CommandQueue.h"
#include "Core/Types.h"

namespace TarnEngine {

// What the network endpoint may hold of requests from outside at once: how
// many requests each connection and all connections together have read and
// not yet seen through, and how many bytes they may cost (their text, its
// parsed form, the command that carries it).
//
// A connection charges its account before it reads a request's body and the
// command refunds the charge once it is done with (run, refused or dropped).
// A charge that does not fit waits: the connection stops reading, so its
// client is held back by TCP itself, until the engine thread has run enough
// of what is queued. A request always fits when nothing else is held, so
// that one costing more than the whole budget cannot wait for ever.
//
// Thread-safe. Owned by the endpoint; the accounts are owned by the
// connections and must outlive every command they charged (a connection
// waits for its account to drain before it goes).
class CRequestBudget
{
public:
    struct SLimits
    {
        uint32 uiMaxPerConnection = 1024;  // requests held per connection
        uint32 uiMaxRequests = 16384;      // requests held by all connections
        uint64 uiMaxBytes = 256ull << 20;  // their cost, all connections
    };

    // One connection's share.
    class CAccount final : public IRequestAccount
    {
    public:
        explicit CAccount(CRequestBudget& kBudget) : m_kBudget(kBudget) {}
        CAccount(const CAccount&) = delete;
        CAccount& operator=(const CAccount&) = delete;

        // Waits until a request costing uiBytes fits, then charges it. False
        // (nothing charged) once the budget is closed.
        bool Charge(uint64 uiBytes);
        // Charges uiBytes only when it fits now; false (nothing charged)
        // when it would have to wait or the budget is closed.
        bool TryCharge(uint64 uiBytes);
        void Refund(uint64 uiBytes) override;
        void RefundBatch(uint64 uiBytes, uint32 uiRequests) override;
        // The connection's push channel (not owned), which its requests'
        // remote methods reach through the account; set before the first
        // charge.
        CPushChannel* GetPushChannel() override { return m_pPushChannel; }
        void SetPushChannel(CPushChannel* pChannel) { m_pPushChannel = pChannel; }
        // Waits until everything charged has been refunded.
        void WaitDrained();
        uint32 GetPending();

    private:
        friend class CRequestBudget;
        // Charges uiBytes, waiting for room when bWait; the budget's lock
        // held.
        bool ChargeLocked(std::unique_lock<std::mutex>& kGuard, uint64 uiBytes, bool bWait);
        CRequestBudget& m_kBudget;
        CPushChannel* m_pPushChannel = nullptr;
        uint32 m_uiPending = 0;
        uint64 m_uiBytes = 0;
    };

    void SetLimits(const SLimits& kLimits);
    const SLimits& GetLimits() const { return m_kLimits; }
    // Wakes every waiting charge and refuses those to come (the endpoint
    // stops). Refunds are still taken.
    void Close();
    // Accepts charges again (the endpoint starts).
    void Open();

    // What is held now, and the most held at once since the start.
    uint32 GetRequests();
    uint32 GetPeakRequests();
    uint64 GetBytes();
    uint64 GetPeakBytes();

    // What a request of uiLength bytes of text is charged: the text, its
    // parsed copy and values, and its command.
    static uint64 CostOf(uint32 uiLength);

private:
    std::mutex m_kLock;
    std::condition_variable m_kRoom;
    SLimits m_kLimits;
    uint32 m_uiRequests = 0;
    uint32 m_uiPeakRequests = 0;
    uint64 m_uiBytes = 0;
    uint64 m_uiPeakBytes = 0;
    bool m_bClosed = false;
};

}  // namespace TarnEngine
