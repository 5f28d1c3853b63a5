#pragma once

#include <atomic>

#include "Commands/EngineCommand.h"
#include "Commands/ReturnBuffer.h"
#include "Containers/TArray.h"
#include "System/Event/Event.h"
#include "System/Mutex/Mutex.h"
#include "Utils/JsonAllocator.h"
#include "Utils/JsonDocument.h"

namespace TarnEngine {

class CPushChannel;

// Who pays for a request while the engine holds it. The network endpoint
// charges a connection's account before it reads a request; the command
// that carries the request refunds the charge, exactly once, when it is done
// with: run, refused, or dropped with its queue.
class IRequestAccount
{
public:
    virtual void Refund(uint64 uiBytes) = 0;
    // The charges of uiRequests requests at once, uiBytes in all: what a
    // connection gives back for a batch it has seen through.
    virtual void RefundBatch(uint64 uiBytes, uint32 uiRequests)
    {
        for (uint32 uiRequest = 1; uiRequest < uiRequests; ++uiRequest)
            Refund(0);
        if (uiRequests)
            Refund(uiBytes);
    }
    // Where the connection that sent the request takes frames it did not ask
    // for (see CPushChannel); null when it takes none.
    virtual CPushChannel* GetPushChannel() { return nullptr; }

protected:
    ~IRequestAccount() = default;
};

// The parser's working stacks (the reader's and the document's) for one
// command, served from a block inside the allocator so that parsing a usual
// request allocates nothing; what does not fit comes from the memory
// manager. Pieces are handed out one after the other, the last one may grow
// in place, and the block is reused from its start once every piece was
// given back (the parser gives them all back at the end of each parse). One
// thread at a time.
//
// The parser gives pieces back through a static Free, so each piece starts
// with a header naming the allocator whose block holds it (none for a piece
// of the memory manager).
class CParseStackAllocator : private Common::CNonCopyable
{
public:
    static const bool kNeedFree = true;
    static constexpr size_t kInlineBytes = 2 * 1024;

    CParseStackAllocator() = default;

    void* Malloc(size_t uiSize);
    void* Realloc(void* pBlock, size_t uiOldSize, size_t uiNewSize);
    static void Free(void* pBlock);

private:
    struct alignas(16) SHeader
    {
        CParseStackAllocator* pOwner;
    };
    static constexpr size_t kNone = ~size_t(0);
    static size_t Rounded(size_t uiSize) { return (uiSize + sizeof(SHeader) + 15) & ~size_t(15); }
    static SHeader* HeaderOf(void* pBlock) { return static_cast<SHeader*>(pBlock) - 1; }
    // Gives back a piece of the block.
    void Release(SHeader* pHeader);

    alignas(16) char m_acInline[kInlineBytes];
    size_t m_uiUsed = 0;
    // Where the last piece handed out starts, kNone when it was given back.
    size_t m_uiLast = kNone;
    uint32 m_uiLive = 0;
};

// One request on its way from a network thread to the command that runs it.
//
// Owns the parsed request (the names and string arguments point into it) and
// the command's own result text, which takes the result of a command without
// a reply buffer; the reply buffer belongs to the requesting connection and
// the engine writes the result straight into it. Made by CommandManager::ExecuteJSon and handed to
// CommandQueue::Push, which decides who gives it back (see there). Commands
// are reused: CommandQueue::AcquireCommand hands out a spare one, Reset.
class JSonCommand : private Common::CNonCopyable
{
public:
    static constexpr size_t kJsonChunkBytes = 4 * 1024;
    static constexpr size_t kJsonStackBytes = 1024;
    // A result buffer up to this size is kept when the command is reused.
    static constexpr size_t kKeptResultBytes = 4 * 1024;
    using Document = rapidjson::GenericDocument<rapidjson::UTF8<>, Common::JsonPool, CParseStackAllocator>;

    JSonCommand();
    ~JSonCommand() { Settle(); }

    // Back to the state of a new command, keeping its memory: the parsed
    // request is dropped, the result emptied, the completion event kept,
    // the charge refunded.
    void Reset();
    // Refunds the request's charge to its account, once.
    void Settle();

    // The parser and its memory come first so that the document is made
    // with them and destroyed before them. A usual request fits the inline
    // chunk and the parser's stacks, so that parsing it allocates nothing.
    alignas(16) char m_acJsonChunk[kJsonChunkBytes];
    Common::CJsonAllocator m_kJsonHeap;
    CParseStackAllocator m_kParseStacks;
    Common::JsonPool m_kJsonPool;
    Document m_kDocument;

    CReturnBuffer* m_pReply = nullptr;
    CReturnBuffer m_kResult;
    const char* m_pClassName = nullptr;
    const char* m_pMethodName = nullptr;
    uint32 m_uiInstanceID = 0;
    bool m_bWaitAck = false;
    bool m_bUseTcpThread = false;
    // Set, with release ordering, once the result is in the reply buffer.
    std::atomic<bool> m_bDone{false};
    // The connection's batch that waits for it (an acknowledged command
    // deferred through CPendingReplies), or null: the batch is told once all
    // of its commands are done instead of each command's event being set.
    class CPendingReplies* m_pBatch = nullptr;
    EngineCommand* m_pCommand = nullptr;
    // Answered by a queue being destroyed: its pusher deletes it.
    bool m_bOrphaned = false;
    // The account charged for the request, and the charge.
    IRequestAccount* m_pAccount = nullptr;
    uint64 m_uiCharge = 0;
    // Signalled after m_bDone for a pusher that waits ("WaitAck").
    Common::CEvent m_kDoneEvent;
};

// The requests a connection has read in one go and not seen answered yet:
// a client that sends several requests at once has them all queued, then
// waits for their results together (CommandQueue::WaitPending), in the order
// they were pushed. Belongs to one connection thread.
//
// Deferred commands are collected here first and queued together, with one
// lock and at most one wake of the engine thread, when the connection waits
// for them (or sooner, see CommandQueue::SubmitPending). The engine thread
// does not signal each acknowledged command: it counts them down, and only
// the last of a batch wakes a connection that went to sleep, once.
class CPendingReplies
{
public:
    CPendingReplies() = default;
    ~CPendingReplies();
    CPendingReplies(const CPendingReplies&) = delete;
    CPendingReplies& operator=(const CPendingReplies&) = delete;

    bool IsEmpty() const { return m_kCommands.IsEmpty(); }
    // Commands collected or queued and not yet waited for.
    uint32 GetCount() const { return m_kCommands.GetSize(); }
    // Whether some collected commands are not queued yet.
    bool HasUnsubmitted() const { return m_uiSubmitted < m_kCommands.GetSize(); }

private:
    friend class CommandQueue;
    // Engine thread: uiCount acknowledged commands of the batch are done
    // (their results are in their reply buffers). The batch may be reused
    // or gone as soon as the count drops, so nothing of it is read after
    // that.
    void Complete(uint32 uiCount);

    // In push order. The first m_uiSubmitted are queued; of those, the ones
    // without "WaitAck" belong to the engine thread and are null here.
    TarnRenderer::TArray<JSonCommand*> m_kCommands;
    uint32 m_uiSubmitted = 0;
    // Acknowledged commands queued and not yet done, plus one while the
    // connection has not started waiting (m_bHeld): whoever brings it to 0
    // ends the batch. When that is the engine thread, the connection is
    // asleep or about to be, and the engine sets m_kDoneEvent, once.
    std::atomic<uint32> m_uiOutstanding{0};
    bool m_bHeld = false;
    // Commands of past batches, reset and ready for the connection's next
    // requests (CommandQueue::kMaxConnectionSpares at most): taken and
    // given back without the queue's lock, refilled from the queue's spares
    // a few at a time.
    TarnRenderer::TArray<JSonCommand*> m_kSpare;
    // Made on the first acknowledged command and kept across batches; when
    // it cannot be made, the connection polls the count instead.
    Common::CEvent m_kDoneEvent;
    bool m_bEventTried = false;
    class CommandQueue* m_pQueue = nullptr;
};

// The commands waiting for the engine thread.
//
// Network threads push; the engine thread runs the pending commands in push
// order with ProcessQueue, which takes the lock only to swap the pending list
// out. A push that finds the queue empty signals the wake event, on which the
// engine loop waits between its steps, so that a queued command runs as soon
// as the engine thread is woken rather than at its next step; pushes that
// find commands waiting already need not wake it again.
//
// Owns the pending commands and a few spare ones, kept for reuse so that a
// stream of requests does not allocate a command each.
//
// The engine thread is the thread that made the queue, unless
// SetEngineThread names another one.
class CommandQueue : public Common::CLockable
{
public:
    CommandQueue();
    ~CommandQueue() override;

    CommandQueue(const CommandQueue&) = delete;
    CommandQueue& operator=(const CommandQueue&) = delete;

    // Takes the command (its m_pCommand set):
    // - "UseTcpThread": runs it at once on the calling thread, copies its
    //   result into the reply buffer and deletes it;
    // - otherwise queues it and signals the wake event; with "WaitAck" the
    //   call blocks until the engine thread has run it (when the caller is
    //   the engine thread itself, the queue is processed right here), then
    //   deletes it; without, it returns at once and the engine thread
    //   deletes it after running it.
    //
    // With pDeferred (a connection thread's), the command is collected in
    // it without waiting, and queued with the others of the batch by
    // SubmitPending or WaitPending: an acknowledged one's result reaches its
    // reply buffer when it has run, and WaitPending waits for it. A
    // "UseTcpThread" command first waits for those, so that requests still
    // run in the order they came.
    void Push(JSonCommand* pCommand, CPendingReplies* pDeferred = nullptr);
    // Queues the commands collected in kPending and not queued yet, in
    // order, under one lock, waking the engine thread when the queue was
    // empty. A connection calls it before it may block for anything other
    // than those commands (room in its request budget, say), and may call
    // it as it goes, so that the engine runs the first requests of a batch
    // while the later ones are read.
    void SubmitPending(CPendingReplies& kPending);
    // Queues what is left of kPending, waits until every command deferred
    // in it has run (their results are then in their reply buffers), and
    // empties it. The commands' charges go back to their accounts together,
    // and the commands are kept in kPending for its next requests.
    void WaitPending(CPendingReplies& kPending);

    // A command to fill: a spare one of pLocal (a connection's batch) or
    // of the queue when there is, else a new one. Null (reported) when
    // memory is refused.
    JSonCommand* AcquireCommand(CPendingReplies* pLocal = nullptr);
    // Gives a command back for reuse (or deletes it when enough are spare).
    // Null is accepted.
    void ReleaseCommand(JSonCommand* pCommand);
    // Lets go of what the queue keeps for reuse: the spare commands and the
    // memory of its two run lists. How much that is follows how many
    // commands were in flight at once, not what they were, so a check that
    // counts memory blocks between runs lets it go first. Call it on the
    // engine thread, outside ProcessQueue.
    void ReleaseCaches();

    // Runs every command pending at the call, in push order, on the calling
    // thread (the engine thread). Commands pushed meanwhile wait for the
    // next call. Returns how many ran.
    uint32 ProcessQueue();

    // The event the engine loop waits on; signalled by a push to the empty
    // queue.
    Common::CEvent& GetWakeEvent() { return m_kWakeEvent; }

    // How long a pusher waiting for its command looks for the answer before
    // it sleeps (see Common::CEvent::WaitSpinning); 0 by default.
    void SetWaitSpinMicroseconds(uint32 uiMicroseconds) { m_uiWaitSpinMicroseconds = uiMicroseconds; }

    // Names the calling thread as the engine thread.
    void SetEngineThread();
    bool IsEngineThread() const;
    // The account of the request that ProcessQueue runs now, null between
    // requests or for one made inside the process: how a remote method learns
    // which connection called it. Engine thread only.
    IRequestAccount* GetRunningAccount() const { return m_pRunningAccount; }

    // Commands waiting now.
    uint32 GetPendingCount();
    // Whether commands wait now, without taking the lock: a hint for an
    // engine loop that looks for work before it sleeps (any thread).
    bool HasPending() const { return m_uiPendingHint.load(std::memory_order_seq_cst) != 0; }
    // The engine loop says that it looks at HasPending without sleeping, so
    // that pushes need not signal the wake event meanwhile. When it stops
    // watching it must look at HasPending once more before it sleeps on the
    // event: a push then either is seen there or signals the event.
    void SetWatched(bool bWatched) { m_bWatched.store(bWatched, std::memory_order_seq_cst); }
    // Commands run successfully so far, on any thread: what a client counts
    // to check that requests without acknowledgement all ran.
    uint64 GetExecutedCount() const { return m_uiExecuted.load(std::memory_order_acquire); }

    // Runs one command on the calling thread: executes it with a reader
    // whose writer, when it waits for an acknowledgment, is its reply buffer
    // (emptied first) or, without one, its own result buffer; a failure
    // makes that result {"Error":"<report>"}.
    // Returns the command's result (1 on success).
    int RunCommand(JSonCommand* pCommand);

private:
    // Marks the command done, its result written, waking its waiter (or
    // counting down its batch). The command must not be touched afterwards.
    static void PublishDone(JSonCommand* pCommand);
    // Blocks the pushing thread until the command is done.
    void WaitDone(JSonCommand* pCommand);
    // Signals the wake event after a push to an empty queue, unless the
    // engine loop is watching the queue.
    void WakeEngine();
    // Blocks the connection thread until the engine has run every
    // acknowledged command of kPending that it queued.
    void WaitBatch(CPendingReplies& kPending);
    // Where a command writes its result: its reply buffer when it has one
    // (written straight into, not copied), else its own.
    static CReturnBuffer& ResultOf(JSonCommand* pCommand)
    {
        return pCommand->m_pReply ? *pCommand->m_pReply : pCommand->m_kResult;
    }

    static constexpr uint32 kMaxSpareCommands = 64;
    // Spare commands a connection keeps for itself (see CPendingReplies).
    static constexpr uint32 kMaxConnectionSpares = 16;
    // Hands reset commands back to the spares under one lock, deleting
    // those beyond kMaxSpareCommands.
    void ReturnSpares(JSonCommand* const* ppCommands, uint32 uiCount);

    TarnRenderer::TArray<JSonCommand*> m_kPending;
    // m_kPending's size, kept beside it under the lock, read without it.
    std::atomic<uint32> m_uiPendingHint{0};
    std::atomic<bool> m_bWatched{false};
    // The list ProcessQueue runs, swapped with m_kPending so that neither
    // gives its memory back; taken by one ProcessQueue at a time (a nested
    // one runs from a list of its own).
    TarnRenderer::TArray<JSonCommand*> m_kRunning;
    std::atomic<bool> m_bRunningTaken{false};
    Common::CMutex m_kSpareLock;
    TarnRenderer::TArray<JSonCommand*> m_kSpare;
    Common::CEvent m_kWakeEvent;
    std::atomic<uint32> m_uiEngineThreadId{0};
    std::atomic<uint64> m_uiExecuted{0};
    uint32 m_uiWaitSpinMicroseconds = 0;
    IRequestAccount* m_pRunningAccount = nullptr;
};

}  // namespace TarnEngine
