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
    // Where the connection that sent the request takes frames it did not ask
    // for (see CPushChannel); null when it takes none.
    virtual CPushChannel* GetPushChannel() { return nullptr; }

protected:
    ~IRequestAccount() = default;
};

// One request on its way from a network thread to the command that runs it.
//
// Owns the parsed request (the names and string arguments point into it) and
// the command's own result text; the reply buffer belongs to the requesting
// connection. Made by CommandManager::ExecuteJSon and handed to
// CommandQueue::Push, which decides who gives it back (see there). Commands
// are reused: CommandQueue::AcquireCommand hands out a spare one, Reset.
class JSonCommand : private Common::CNonCopyable
{
public:
    static constexpr size_t kJsonChunkBytes = 4 * 1024;
    static constexpr size_t kJsonStackBytes = 1024;

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
    // chunk, so that parsing it allocates nothing.
    alignas(16) char m_acJsonChunk[kJsonChunkBytes];
    Common::CJsonAllocator m_kJsonHeap;
    Common::JsonPool m_kJsonPool;
    Common::JsonDocument m_kDocument;

    CReturnBuffer* m_pReply = nullptr;
    CReturnBuffer m_kResult;
    const char* m_pClassName = nullptr;
    const char* m_pMethodName = nullptr;
    uint32 m_uiInstanceID = 0;
    bool m_bWaitAck = false;
    bool m_bUseTcpThread = false;
    // Set, with release ordering, once the result is in the reply buffer.
    std::atomic<bool> m_bDone{false};
    EngineCommand* m_pCommand = nullptr;
    // Answered by a queue being destroyed: its pusher deletes it.
    bool m_bOrphaned = false;
    // The account charged for the request, and the charge.
    IRequestAccount* m_pAccount = nullptr;
    uint64 m_uiCharge = 0;
    // Signalled after m_bDone for a pusher that waits ("WaitAck").
    Common::CEvent m_kDoneEvent;
};

// The acknowledged requests a connection has queued without waiting for
// them yet: a client that sends several requests at once has them all
// queued, then waits for their results together (CommandQueue::WaitPending),
// in the order they were pushed. Belongs to one connection thread.
class CPendingReplies
{
public:
    CPendingReplies() = default;
    ~CPendingReplies();
    CPendingReplies(const CPendingReplies&) = delete;
    CPendingReplies& operator=(const CPendingReplies&) = delete;

    bool IsEmpty() const { return m_kWaiting.IsEmpty(); }
    uint32 GetCount() const { return m_kWaiting.GetSize(); }

private:
    friend class CommandQueue;
    TarnRenderer::TArray<JSonCommand*> m_kWaiting;
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
    // With pDeferred (a connection thread's), an acknowledged command is
    // queued without waiting: its result reaches its reply buffer when it
    // has run, and WaitPending waits for it. A "UseTcpThread" command first
    // waits for those, so that requests still run in the order they came.
    void Push(JSonCommand* pCommand, CPendingReplies* pDeferred = nullptr);
    // Waits until every command deferred in kPending has run (their results
    // are then in their reply buffers), in push order, and empties it.
    void WaitPending(CPendingReplies& kPending);

    // A command to fill: a spare one when there is, else a new one. Null
    // (reported) when memory is refused.
    JSonCommand* AcquireCommand();
    // Gives a command back for reuse (or deletes it when enough are spare).
    // Null is accepted.
    void ReleaseCommand(JSonCommand* pCommand);

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
    // Commands run successfully so far, on any thread: what a client counts
    // to check that requests without acknowledgement all ran.
    uint64 GetExecutedCount() const { return m_uiExecuted.load(std::memory_order_acquire); }

    // Runs one command on the calling thread: executes it with a reader
    // whose writer is the command's result buffer when it waits for an
    // acknowledgment; a failure makes that result {"Error":"<report>"}.
    // Returns the command's result (1 on success).
    int RunCommand(JSonCommand* pCommand);

private:
    // Copies the result into the reply and marks the command done, waking
    // its waiter. The command must not be touched afterwards.
    static void PublishDone(JSonCommand* pCommand);
    // Blocks the pushing thread until the command is done.
    void WaitDone(JSonCommand* pCommand);

    static constexpr uint32 kMaxSpareCommands = 64;

    TarnRenderer::TArray<JSonCommand*> m_kPending;
    Common::CMutex m_kSpareLock;
    TarnRenderer::TArray<JSonCommand*> m_kSpare;
    Common::CEvent m_kWakeEvent;
    std::atomic<uint32> m_uiEngineThreadId{0};
    std::atomic<uint64> m_uiExecuted{0};
    uint32 m_uiWaitSpinMicroseconds = 0;
    IRequestAccount* m_pRunningAccount = nullptr;
};

}  // namespace TarnEngine
