#include "Commands/CommandQueue.h"

#include "System/MemoryManager/MemoryManager.h"
#include "System/Thread/Thread.h"
#include "Utils/assertion.h"

namespace TarnEngine {

JSonCommand::JSonCommand()
    : m_kJsonPool(m_acJsonChunk, sizeof(m_acJsonChunk), kJsonChunkBytes, &m_kJsonHeap),
      m_kDocument(&m_kJsonPool, kJsonStackBytes, &m_kJsonHeap)
{
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
    m_kResult.Clear();
    m_pReply = nullptr;
    m_pClassName = nullptr;
    m_pMethodName = nullptr;
    m_uiInstanceID = 0;
    m_bWaitAck = false;
    m_bUseTcpThread = false;
    m_bDone.store(false, std::memory_order_relaxed);
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
            pCommand->m_kResult.Clear();
            JSonParamReader::WriteError(pCommand->m_kResult, "the command queue was destroyed before the command ran");
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

JSonCommand* CommandQueue::AcquireCommand()
{
    {
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

void CommandQueue::ReleaseCommand(JSonCommand* pCommand)
{
    if (!pCommand)
        return;
    pCommand->Reset();
    {
        Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kSpareLock);
        if (m_kSpare.GetSize() < kMaxSpareCommands)
        {
            const uint32 uiBefore = m_kSpare.GetSize();
            m_kSpare.Add(pCommand);
            if (m_kSpare.GetSize() != uiBefore)
                return;
        }
    }
    TARN_DELETE(pCommand);
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
    JSonParamReader kReader(pCommand->m_kDocument, pCommand->m_bWaitAck ? &pCommand->m_kResult : nullptr);
    const int iRet = pCommand->m_pCommand ? pCommand->m_pCommand->Execute(pCommand->m_uiInstanceID, kReader) : 0;
    if (iRet == 1)
        m_uiExecuted.fetch_add(1, std::memory_order_release);
    if (!TARN_ASSERT_TEXT(iRet == 1, "ret == 1", "engine command failed!") && pCommand->m_bWaitAck)
    {
        kReader.NoteFailure("ret == 1", "engine command failed!");
        pCommand->m_kResult.Clear();
        JSonParamReader::WriteError(pCommand->m_kResult, kReader.GetFailureText());
    }
    return iRet;
}

void CommandQueue::PublishDone(JSonCommand* pCommand)
{
    if (pCommand->m_pReply)
        *pCommand->m_pReply = pCommand->m_kResult;
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

CPendingReplies::~CPendingReplies()
{
    // Deferred commands hold reply buffers and accounts of their connection:
    // they are waited for before it goes.
    if (m_pQueue && !m_kWaiting.IsEmpty())
        m_pQueue->WaitPending(*this);
}

void CommandQueue::WaitPending(CPendingReplies& kPending)
{
    for (JSonCommand* pCommand : kPending.m_kWaiting)
    {
        WaitDone(pCommand);
        if (pCommand->m_bOrphaned)
            TARN_DELETE(pCommand);
        else
            ReleaseCommand(pCommand);
    }
    kPending.m_kWaiting.Clear();
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
        if (pCommand->m_bWaitAck && pCommand->m_pReply)
            *pCommand->m_pReply = pCommand->m_kResult;
        pCommand->m_bDone.store(true, std::memory_order_release);
        ReleaseCommand(pCommand);
        return;
    }

    const bool bWaitAck = pCommand->m_bWaitAck;
    if (bWaitAck)
        TARN_ASSERT(pCommand->m_kDoneEvent.IsCreated() || pCommand->m_kDoneEvent.Create(false),
                    "couldn't create the completion event of a command");
    bool bWasEmpty = false;
    {
        Common::MT::CScopeLock<Common::CLockable> kGuard(this);
        bWasEmpty = m_kPending.IsEmpty();
        m_kPending.Add(pCommand);
    }
    // The engine thread empties the queue in one go, so a queue that held
    // commands already has a wake-up on its way or is being run now.
    if (bWasEmpty)
        m_kWakeEvent.Set();
    if (!bWaitAck)
        return;  // the engine thread owns the command now
    if (pDeferred)
    {
        // Waited for, with the others of its connection, by WaitPending.
        pDeferred->m_pQueue = this;
        const uint32 uiBefore = pDeferred->m_kWaiting.GetSize();
        pDeferred->m_kWaiting.Add(pCommand);
        if (pDeferred->m_kWaiting.GetSize() == uiBefore + 1)
            return;
        // No memory to keep it: it is waited for at once instead.
        WaitPending(*pDeferred);
    }

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
    TarnRenderer::TArray<JSonCommand*> kBatch;
    {
        Common::MT::CScopeLock<Common::CLockable> kGuard(this);
        if (m_kPending.IsEmpty())
            return 0;
        kBatch = std::move(m_kPending);
    }
    // A command run while another runs (a waiting push from the engine
    // thread itself) gives the outer one its account back.
    IRequestAccount* const pOuterAccount = m_pRunningAccount;
    for (JSonCommand* pCommand : kBatch)
    {
        m_pRunningAccount = pCommand->m_pAccount;
        RunCommand(pCommand);
        m_pRunningAccount = pOuterAccount;
        if (pCommand->m_bWaitAck)
            PublishDone(pCommand);  // its pusher gives it back
        else
            ReleaseCommand(pCommand);
    }
    return kBatch.GetSize();
}

}  // namespace TarnEngine
