#include "Commands/CommandQueue.h"

#include <sched.h>

#include <cstring>

#include <utility>

#include "System/MemoryManager/MemoryManager.h"
#include "System/Posix/PosixClock.h"
#include "System/Thread/Thread.h"
#include "Utils/assertion.h"

namespace TarnEngine {

JSonCommand::JSonCommand()
    : m_kJsonPool(m_acJsonChunk, sizeof(m_acJsonChunk), kJsonChunkBytes, &m_kJsonHeap),
      m_kDocument(&m_kJsonPool, kJsonStackBytes, &m_kParseStacks)
{
}

void* CParseStackAllocator::Malloc(size_t uiSize)
{
    if (uiSize == 0)
        return nullptr;
    const size_t uiRounded = Rounded(uiSize);
    SHeader* pHeader = nullptr;
    if (uiRounded <= sizeof(m_acInline) - m_uiUsed)
    {
        m_uiLast = m_uiUsed;
        m_uiUsed += uiRounded;
        ++m_uiLive;
        pHeader = reinterpret_cast<SHeader*>(m_acInline + m_uiLast);
        pHeader->pOwner = this;
    }
    else
    {
        pHeader = static_cast<SHeader*>(TARN_ALLOC(sizeof(SHeader) + uiSize));
        if (!pHeader)
            return nullptr;
        pHeader->pOwner = nullptr;
    }
    return pHeader + 1;
}

void* CParseStackAllocator::Realloc(void* pBlock, size_t uiOldSize, size_t uiNewSize)
{
    if (!pBlock)
        return Malloc(uiNewSize);
    if (uiNewSize == 0)
    {
        Free(pBlock);
        return nullptr;
    }
    SHeader* pHeader = HeaderOf(pBlock);
    if (!pHeader->pOwner)
    {
        SHeader* pNew = static_cast<SHeader*>(TARN_REALLOC(pHeader, sizeof(SHeader) + uiNewSize));
        return pNew ? pNew + 1 : nullptr;
    }
    const size_t uiAt = static_cast<size_t>(reinterpret_cast<char*>(pHeader) - m_acInline);
    if (pHeader->pOwner == this && uiAt == m_uiLast && Rounded(uiNewSize) <= sizeof(m_acInline) - uiAt)
    {
        m_uiUsed = uiAt + Rounded(uiNewSize);
        return pBlock;
    }
    void* pNew = Malloc(uiNewSize);
    if (!pNew)
        return nullptr;
    memcpy(pNew, pBlock, uiOldSize < uiNewSize ? uiOldSize : uiNewSize);
    Free(pBlock);
    return pNew;
}

void CParseStackAllocator::Free(void* pBlock)
{
    if (!pBlock)
        return;
    SHeader* pHeader = HeaderOf(pBlock);
    if (pHeader->pOwner)
        pHeader->pOwner->Release(pHeader);
    else
        TARN_FREE(pHeader);
}

void CParseStackAllocator::Release(SHeader* pHeader)
{
    const size_t uiAt = static_cast<size_t>(reinterpret_cast<char*>(pHeader) - m_acInline);
    if (--m_uiLive == 0)
    {
        m_uiUsed = 0;
        m_uiLast = kNone;
    }
    else if (uiAt == m_uiLast)
    {
        m_uiUsed = uiAt;
        m_uiLast = kNone;
    }
}

void JSonCommand::Settle()
{
    IRequestAccount* pAccount = m_pAccount;
    m_pAccount = nullptr;
    if (pAccount)
        pAccount->Refund(m_uiCharge);
    m_uiCharge = 0;
}

void JSonCommand::Reset()
{
    // The parsed request goes first: the charge paid for its memory.
    m_kDocument.SetNull();
    m_kJsonPool.Clear();
    // A usual result keeps its memory for the next request; a long one
    // gives it back.
    if (m_kResult.GetCapacity() <= kKeptResultBytes)
        m_kResult.Rewind();
    else
        m_kResult.Clear();
    m_pReply = nullptr;
    m_pClassName = nullptr;
    m_pMethodName = nullptr;
    m_uiInstanceID = 0;
    m_bWaitAck = false;
    m_bUseTcpThread = false;
    m_bDone.store(false, std::memory_order_relaxed);
    m_pBatch = nullptr;
    m_pCommand = nullptr;
    m_bOrphaned = false;
    Settle();
}

CommandQueue::CommandQueue()
{
    TARN_ASSERT(m_kWakeEvent.Create(false), "couldn't create the wake event of the command queue");
    SetEngineThread();
}

CommandQueue::~CommandQueue()
{
    TarnRenderer::TArray<JSonCommand*> kLeft;
    {
        Common::MT::CScopeLock<Common::CLockable> kGuard(this);
        kLeft = std::move(m_kPending);
    }
    for (JSonCommand* pCommand : kLeft)
    {
        if (pCommand->m_bWaitAck)
        {
            // Its pusher is still waiting: answer it rather than leave it
            // hanging; it deletes the command, since this queue is going.
            pCommand->m_bOrphaned = true;
            CReturnBuffer& kResult = ResultOf(pCommand);
            kResult.Rewind();
            JSonParamReader::WriteError(kResult, "the command queue was destroyed before the command ran");
            PublishDone(pCommand);
        }
        else
            TARN_DELETE(pCommand);
    }
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kSpareLock);
    for (JSonCommand* pSpare : m_kSpare)
        TARN_DELETE(pSpare);
    m_kSpare.Clear();
}

void CommandQueue::ReleaseCaches()
{
    {
        Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kSpareLock);
        for (JSonCommand* pSpare : m_kSpare)
            TARN_DELETE(pSpare);
        m_kSpare.Clear();
    }
    {
        Common::MT::CScopeLock<Common::CLockable> kGuard(this);
        if (m_kPending.IsEmpty())
            m_kPending.Clear();
    }
    if (!m_bRunningTaken.exchange(true, std::memory_order_acquire))
    {
        m_kRunning.Clear();
        m_bRunningTaken.store(false, std::memory_order_release);
    }
}

JSonCommand* CommandQueue::AcquireCommand(CPendingReplies* pLocal)
{
    if (pLocal)
    {
        TarnRenderer::TArray<JSonCommand*>& kLocal = pLocal->m_kSpare;
        if (kLocal.IsEmpty())
        {
            // Refilled from the queue's spares a few at a time, under one
            // lock.
            Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kSpareLock);
            while (!m_kSpare.IsEmpty() && kLocal.GetSize() < kMaxConnectionSpares)
            {
                const uint32 uiBefore = kLocal.GetSize();
                kLocal.Add(m_kSpare[m_kSpare.GetSize() - 1]);
                if (kLocal.GetSize() == uiBefore)
                    break;
                m_kSpare.RemoveAt(m_kSpare.GetSize() - 1);
            }
        }
        if (!kLocal.IsEmpty())
        {
            JSonCommand* pCommand = kLocal[kLocal.GetSize() - 1];
            kLocal.RemoveAt(kLocal.GetSize() - 1);
            return pCommand;
        }
    }
    else
    {
        // A connection's refill above has looked at the queue's spares
        // already; other callers take one of them here.
        Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kSpareLock);
        if (!m_kSpare.IsEmpty())
        {
            JSonCommand* pCommand = m_kSpare[m_kSpare.GetSize() - 1];
            m_kSpare.RemoveAt(m_kSpare.GetSize() - 1);
            return pCommand;
        }
    }
    // Untagged: connection threads make commands, and a tag would take one
    // of the few per-thread tag lists for every connection (past them, each
    // allocation is reported).
    JSonCommand* pCommand = TARN_NEW(JSonCommand);
    TARN_ASSERT(pCommand, "no memory for a remote request");
    return pCommand;
}

void CommandQueue::ReturnSpares(JSonCommand* const* ppCommands, uint32 uiCount)
{
    uint32 uiKept = 0;
    {
        Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kSpareLock);
        while (uiKept < uiCount && m_kSpare.GetSize() < kMaxSpareCommands)
        {
            const uint32 uiBefore = m_kSpare.GetSize();
            m_kSpare.Add(ppCommands[uiKept]);
            if (m_kSpare.GetSize() == uiBefore)
                break;
            ++uiKept;
        }
    }
    for (uint32 uiCommand = uiKept; uiCommand < uiCount; ++uiCommand)
        TARN_DELETE(ppCommands[uiCommand]);
}

void CommandQueue::ReleaseCommand(JSonCommand* pCommand)
{
    if (!pCommand)
        return;
    pCommand->Reset();
    ReturnSpares(&pCommand, 1);
}

void CommandQueue::SetEngineThread()
{
    m_uiEngineThreadId.store(Common::CThread::GetCurrentThreadId(), std::memory_order_release);
}

bool CommandQueue::IsEngineThread() const
{
    return m_uiEngineThreadId.load(std::memory_order_acquire) == Common::CThread::GetCurrentThreadId();
}

uint32 CommandQueue::GetPendingCount()
{
    Common::MT::CScopeLock<Common::CLockable> kGuard(this);
    return m_kPending.GetSize();
}

int CommandQueue::RunCommand(JSonCommand* pCommand)
{
    CReturnBuffer* pResult = pCommand->m_bWaitAck ? &ResultOf(pCommand) : nullptr;
    if (pResult)
        pResult->Rewind();
    JSonParamReader kReader(pCommand->m_kDocument, pResult);
    const int iRet = pCommand->m_pCommand ? pCommand->m_pCommand->Execute(pCommand->m_uiInstanceID, kReader) : 0;
    if (iRet == 1)
        m_uiExecuted.fetch_add(1, std::memory_order_release);
    if (!TARN_ASSERT_TEXT(iRet == 1, "ret == 1", "engine command failed!") && pResult)
    {
        kReader.NoteFailure("ret == 1", "engine command failed!");
        pResult->Rewind();
        JSonParamReader::WriteError(*pResult, kReader.GetFailureText());
    }
    return iRet;
}

void CommandQueue::PublishDone(JSonCommand* pCommand)
{
    if (CPendingReplies* pBatch = pCommand->m_pBatch)
    {
        // Its connection waits for the whole batch: counted down, and the
        // batch releases the command.
        pCommand->m_bDone.store(true, std::memory_order_release);
        pBatch->Complete(1);
        return;
    }
    if (pCommand->m_kDoneEvent.IsCreated())
    {
        // The waiter wakes on the event only, and the event lets its setter
        // finish before the waiter goes on, so the waiter may delete the
        // command as soon as its wait ends.
        pCommand->m_bDone.store(true, std::memory_order_release);
        pCommand->m_kDoneEvent.Set();
    }
    else
    {
        // The waiter polls the flag: the store must be the last touch.
        pCommand->m_bDone.store(true, std::memory_order_release);
    }
}

void CommandQueue::WaitDone(JSonCommand* pCommand)
{
    if (pCommand->m_kDoneEvent.IsCreated())
    {
        while (!pCommand->m_kDoneEvent.WaitSpinning(m_uiWaitSpinMicroseconds, Common::CEvent::kInfinite))
        {
        }
    }
    else
    {
        while (!pCommand->m_bDone.load(std::memory_order_acquire))
            Common::CThread::SleepCurrent(0);
    }
    TARN_ASSERT(pCommand->m_bDone.load(std::memory_order_acquire), "a waited command was not done");
}

void CPendingReplies::Complete(uint32 uiCount)
{
    // Read before the count drops: from then on the connection may reuse
    // the batch or end.
    const bool bEvent = m_kDoneEvent.IsCreated();
    if (m_uiOutstanding.fetch_sub(uiCount, std::memory_order_acq_rel) == uiCount && bEvent)
    {
        // The connection let go of its hold before this: it sleeps on the
        // event, or is about to, and takes exactly this one signal. The
        // event lets its setter finish before the waiter goes on.
        m_kDoneEvent.Set();
    }
}

CPendingReplies::~CPendingReplies()
{
    // Deferred commands hold reply buffers and accounts of their connection:
    // they are waited for before it goes.
    if (m_pQueue && !m_kCommands.IsEmpty())
        m_pQueue->WaitPending(*this);
    for (JSonCommand* pCommand : m_kSpare)
        TARN_DELETE(pCommand);
}

void CommandQueue::SubmitPending(CPendingReplies& kPending)
{
    const uint32 uiCount = kPending.m_kCommands.GetSize();
    if (kPending.m_uiSubmitted >= uiCount)
        return;
    // The acknowledged ones are counted before the engine thread can see
    // them; the hold keeps the count above 0 until the connection waits.
    uint32 uiWaiting = 0;
    for (uint32 i = kPending.m_uiSubmitted; i < uiCount; ++i)
        uiWaiting += kPending.m_kCommands[i]->m_bWaitAck ? 1u : 0u;
    if (uiWaiting != 0)
    {
        const uint32 uiHold = kPending.m_bHeld ? 0u : 1u;
        kPending.m_bHeld = true;
        kPending.m_uiOutstanding.fetch_add(uiWaiting + uiHold, std::memory_order_relaxed);
    }
    bool bWasEmpty = false;
    {
        Common::MT::CScopeLock<Common::CLockable> kGuard(this);
        bWasEmpty = m_kPending.IsEmpty();
        m_kPending.Reserve(m_kPending.GetSize() + (uiCount - kPending.m_uiSubmitted));
        for (uint32 i = kPending.m_uiSubmitted; i < uiCount; ++i)
        {
            JSonCommand* pCommand = kPending.m_kCommands[i];
            const uint32 uiBefore = m_kPending.GetSize();
            m_kPending.Add(pCommand);
            if (m_kPending.GetSize() != uiBefore + 1)
            {
                // No memory to queue it (reported): it is answered as failed
                // rather than lost.
                if (pCommand->m_bWaitAck)
                {
                    CReturnBuffer& kResult = ResultOf(pCommand);
                    kResult.Rewind();
                    JSonParamReader::WriteError(kResult, "no memory to queue the command");
                    PublishDone(pCommand);
                    continue;
                }
                kPending.m_kCommands[i] = nullptr;
                ReleaseCommand(pCommand);
                continue;
            }
            // One without "WaitAck" belongs to the engine thread from here.
            if (!pCommand->m_bWaitAck)
                kPending.m_kCommands[i] = nullptr;
        }
        m_uiPendingHint.store(m_kPending.GetSize(), std::memory_order_seq_cst);
    }
    kPending.m_uiSubmitted = uiCount;
    // The engine thread empties the queue in one go, so a queue that held
    // commands already has a wake-up on its way or is being run now.
    if (bWasEmpty)
        WakeEngine();
}

void CommandQueue::WakeEngine()
{
    // Either the loop, which looks at the queue once more after it stops
    // watching, sees the command, or this sees that it stopped (both
    // orders are sequentially consistent).
    if (!m_bWatched.load(std::memory_order_seq_cst))
        m_kWakeEvent.Set();
}

void CommandQueue::WaitBatch(CPendingReplies& kPending)
{
    if (!kPending.m_bHeld)
        return;
    kPending.m_bHeld = false;
    std::atomic<uint32>& uiOutstanding = kPending.m_uiOutstanding;
    // A batch that comes back soon is seen without sleeping: only the hold
    // is left then. While the engine thread is seen running the batch (the
    // count drops), the look goes on: the rest follows as soon.
    uint32 uiLeft = uiOutstanding.load(std::memory_order_acquire);
    if (m_uiWaitSpinMicroseconds != 0 && uiLeft > 1)
    {
        const int64 iSpinNs = static_cast<int64>(m_uiWaitSpinMicroseconds) * 1000;
        int64 iSpinUntilNs = Common::Posix::GetMonotonicNs() + iSpinNs;
        for (;;)
        {
            sched_yield();  // the engine thread may be waiting for this core
            const uint32 uiNow = uiOutstanding.load(std::memory_order_acquire);
            if (uiNow <= 1)
                break;
            const int64 iNowNs = Common::Posix::GetMonotonicNs();
            if (uiNow != uiLeft)
            {
                uiLeft = uiNow;
                iSpinUntilNs = iNowNs + iSpinNs;
            }
            else if (iNowNs >= iSpinUntilNs)
                break;
        }
    }
    // Letting go of the hold: at 0 every command was done already and no
    // signal comes; otherwise the engine thread's last one brings the count
    // to 0 and sets the event, once.
    if (uiOutstanding.fetch_sub(1, std::memory_order_acq_rel) == 1)
        return;
    if (kPending.m_kDoneEvent.IsCreated())
    {
        while (!kPending.m_kDoneEvent.Wait(Common::CEvent::kInfinite))
        {
        }
    }
    else
    {
        while (uiOutstanding.load(std::memory_order_acquire) != 0)
            Common::CThread::SleepCurrent(0);
    }
    TARN_ASSERT(uiOutstanding.load(std::memory_order_acquire) == 0, "a waited batch was not done");
}

void CommandQueue::WaitPending(CPendingReplies& kPending)
{
    SubmitPending(kPending);
    if (IsEngineThread() && kPending.m_bHeld)
        ProcessQueue();  // waiting for ourselves would never end
    WaitBatch(kPending);
    // The charges go back once per account, and the commands stay with the
    // connection (a few) or go back to the queue together: no lock per
    // command.
    IRequestAccount* pAccount = nullptr;
    uint64 uiBytes = 0;
    uint32 uiRequests = 0;
    JSonCommand* apSurplus[kMaxConnectionSpares];
    uint32 uiSurplus = 0;
    for (JSonCommand* pCommand : kPending.m_kCommands)
    {
        if (!pCommand)
            continue;
        TARN_ASSERT(pCommand->m_bDone.load(std::memory_order_acquire), "a waited command was not done");
        if (pCommand->m_bOrphaned)
        {
            TARN_DELETE(pCommand);
            continue;
        }
        if (pCommand->m_pAccount)
        {
            if (pCommand->m_pAccount != pAccount)
            {
                if (pAccount)
                    pAccount->RefundBatch(uiBytes, uiRequests);
                pAccount = pCommand->m_pAccount;
                uiBytes = 0;
                uiRequests = 0;
            }
            uiBytes += pCommand->m_uiCharge;
            ++uiRequests;
            pCommand->m_pAccount = nullptr;
        }
        pCommand->Reset();
        const uint32 uiBefore = kPending.m_kSpare.GetSize();
        if (uiBefore < kMaxConnectionSpares)
            kPending.m_kSpare.Add(pCommand);
        if (kPending.m_kSpare.GetSize() != uiBefore)
            continue;
        apSurplus[uiSurplus++] = pCommand;
        if (uiSurplus == kMaxConnectionSpares)
        {
            ReturnSpares(apSurplus, uiSurplus);
            uiSurplus = 0;
        }
    }
    ReturnSpares(apSurplus, uiSurplus);
    if (pAccount)
        pAccount->RefundBatch(uiBytes, uiRequests);
    // The list keeps its memory for the next batch.
    kPending.m_kCommands.Empty();
    kPending.m_uiSubmitted = 0;
}

void CommandQueue::Push(JSonCommand* pCommand, CPendingReplies* pDeferred)
{
    if (!TARN_ASSERT(pCommand, "null command pushed"))
        return;
    // The engine thread never defers: nobody would run what it waits for.
    if (pDeferred && IsEngineThread())
    {
        WaitPending(*pDeferred);
        pDeferred = nullptr;
    }
    if (pCommand->m_bUseTcpThread)
    {
        // It runs now: what came before it first.
        if (pDeferred)
            WaitPending(*pDeferred);
        RunCommand(pCommand);
        pCommand->m_bDone.store(true, std::memory_order_release);
        ReleaseCommand(pCommand);
        return;
    }

    if (pDeferred)
    {
        // Collected with the others of its connection, queued with them by
        // SubmitPending and waited for by WaitPending.
        pDeferred->m_pQueue = this;
        if (pCommand->m_bWaitAck && !pDeferred->m_bEventTried)
        {
            // Without the event the connection polls for its batch.
            pDeferred->m_bEventTried = true;
            pDeferred->m_kDoneEvent.Create(false);
        }
        pCommand->m_pBatch = pCommand->m_bWaitAck ? pDeferred : nullptr;
        const uint32 uiBefore = pDeferred->m_kCommands.GetSize();
        pDeferred->m_kCommands.Add(pCommand);
        if (pDeferred->m_kCommands.GetSize() == uiBefore + 1)
            return;
        // No memory to keep it: what came before is seen through, and this
        // one is pushed alone.
        pCommand->m_pBatch = nullptr;
        WaitPending(*pDeferred);
    }

    const bool bWaitAck = pCommand->m_bWaitAck;
    if (bWaitAck)
        TARN_ASSERT(pCommand->m_kDoneEvent.IsCreated() || pCommand->m_kDoneEvent.Create(false),
                    "couldn't create the completion event of a command");
    bool bWasEmpty = false;
    {
        Common::MT::CScopeLock<Common::CLockable> kGuard(this);
        bWasEmpty = m_kPending.IsEmpty();
        const uint32 uiBefore = m_kPending.GetSize();
        m_kPending.Add(pCommand);
        if (m_kPending.GetSize() != uiBefore + 1)
        {
            // No memory to queue it (reported): answered as failed, not lost.
            if (bWaitAck)
            {
                CReturnBuffer& kResult = ResultOf(pCommand);
                kResult.Rewind();
                JSonParamReader::WriteError(kResult, "no memory to queue the command");
            }
            ReleaseCommand(pCommand);
            return;
        }
        m_uiPendingHint.store(m_kPending.GetSize(), std::memory_order_seq_cst);
    }
    // The engine thread empties the queue in one go, so a queue that held
    // commands already has a wake-up on its way or is being run now.
    if (bWasEmpty)
        WakeEngine();
    if (!bWaitAck)
        return;  // the engine thread owns the command now

    if (IsEngineThread())
        ProcessQueue();  // waiting for ourselves would never end
    WaitDone(pCommand);
    if (pCommand->m_bOrphaned)
        TARN_DELETE(pCommand);
    else
        ReleaseCommand(pCommand);
}

uint32 CommandQueue::ProcessQueue()
{
    // The list of the previous run is reused (its memory kept), unless a
    // run is under way already on this thread (a waiting push from a
    // command), which takes a list of its own.
    TarnRenderer::TArray<JSonCommand*> kOwn;
    const bool bShared = !m_bRunningTaken.exchange(true, std::memory_order_acquire);
    TarnRenderer::TArray<JSonCommand*>& kBatch = bShared ? m_kRunning : kOwn;
    {
        Common::MT::CScopeLock<Common::CLockable> kGuard(this);
        if (!m_kPending.IsEmpty())
        {
            std::swap(kBatch, m_kPending);
            m_uiPendingHint.store(0, std::memory_order_release);
        }
    }
    // A command run while another runs (a waiting push from the engine
    // thread itself) gives the outer one its account back.
    IRequestAccount* const pOuterAccount = m_pRunningAccount;
    // A connection's batch is counted down once for its commands that run
    // one after the other here, not once per command: its count is watched
    // by the connection, and each drop moves that line between the cores.
    // The count drops before the next command of anything else runs.
    CPendingReplies* pOpenBatch = nullptr;
    uint32 uiOpenDone = 0;
    const auto CloseBatch = [&]() {
        if (pOpenBatch)
            pOpenBatch->Complete(uiOpenDone);
        pOpenBatch = nullptr;
        uiOpenDone = 0;
    };
    for (JSonCommand* pCommand : kBatch)
    {
        // A batch is told before anything else runs: a command of another
        // connection (or one that takes long) must not hold its reply back.
        CPendingReplies* const pCommandBatch = pCommand->m_bWaitAck ? pCommand->m_pBatch : nullptr;
        if (pCommandBatch != pOpenBatch)
            CloseBatch();
        m_pRunningAccount = pCommand->m_pAccount;
        RunCommand(pCommand);
        m_pRunningAccount = pOuterAccount;
        if (pCommandBatch)
        {
            pOpenBatch = pCommandBatch;
            ++uiOpenDone;
            // Its connection releases it once the batch is told.
            pCommand->m_bDone.store(true, std::memory_order_release);
        }
        else if (pCommand->m_bWaitAck)
            PublishDone(pCommand);  // its pusher gives it back
        else
            ReleaseCommand(pCommand);
    }
    CloseBatch();
    const uint32 uiRan = kBatch.GetSize();
    kBatch.Empty();
    if (bShared)
        m_bRunningTaken.store(false, std::memory_order_release);
    return uiRan;
}

}  // namespace TarnEngine
