#pragma once

#include <atomic>

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "System/Mutex/Mutex.h"

namespace Common {
class TcpSocket;
}

namespace TarnEngine {

class CommandQueue;

// The frames a connection sends its client without being asked ("pushed"),
// between the replies to its requests: a bounded queue that publishers on
// the engine thread fill without ever waiting, and that the connection's own
// thread empties onto the socket. Only that thread writes to the socket, so a
// pushed frame and a reply never mix within a frame.
//
// The queue holds at most SLimits::uiMaxFrames frames and uiMaxBytes bytes of
// text. A push that does not fit drops the connection rather than wait or
// grow: the queue is emptied and refuses every later push, the connection's
// socket is shut down (which also ends a send blocked on the slow client),
// and the connection's thread logs the drop as it ends.
//
// Reference counted: the connection holds one reference, every publisher
// that pushes to it one more; the last Release deletes it. Thread-safe; the
// wake descriptor and Pop belong to the connection's thread.
class CPushChannel
{
public:
    struct SLimits
    {
        uint32 uiMaxFrames = 64;
        uint64 uiMaxBytes = 1ull << 20;
    };
    enum class EPush
    {
        Queued,
        Dropped,  // it did not fit: the connection is dropped (this push too)
        Closed,   // the connection is gone (or was dropped before)
    };
    // One queued frame: its text (memory-manager memory).
    struct SFrame
    {
        char* pText = nullptr;
        uint32 uiLength = 0;
    };

    // A channel for one connection, with one reference; null (reported)
    // when memory or the wake descriptor is refused.
    static CPushChannel* Create(const SLimits& kLimits);
    void AddRef() { m_uiRefs.fetch_add(1, std::memory_order_relaxed); }
    void Release();

    // Publisher side (any thread; the engine thread in practice).
    //
    // Queues a copy of the uiLength bytes of pText (a JSON text, not empty)
    // for the client. Never waits for the client.
    EPush Push(const char* pText, uint32 uiLength);
    // False once the connection is gone or was dropped.
    bool IsOpen();

    // The channel of the connection whose request the engine thread is
    // running now through kQueue, or null: the request came from inside the
    // process, or the caller is not the engine thread. This is how a remote
    // method learns where to push.
    static CPushChannel* GetCaller(CommandQueue& kQueue);

    // Connection side.
    //
    // Binds the connection's socket, which a drop shuts down; the socket
    // must stay open until Close.
    void Attach(Common::TcpSocket* pSocket);
    // Readable from a push (or the drop) that follows ClearWake until the
    // next ClearWake; poll it beside the socket.
    int GetWakeDescriptor() const { return m_iWake; }
    // Makes the wake descriptor unreadable again; call it before taking the
    // frames, so that a frame pushed meanwhile wakes the thread once more.
    void ClearWake();
    // Takes the oldest frame; the caller sends it and gives its text back
    // with FreeFrame. False when none waits.
    bool Pop(SFrame& kFrame);
    static void FreeFrame(SFrame& kFrame);
    // Whether a push did not fit (the connection is to be dropped).
    bool HasOverflowed();
    // The connection ends: pushes are refused from now on, what is queued is
    // dropped and the socket is forgotten (before the connection closes it).
    void Close();

    // What is queued now, and the most queued at once since creation.
    uint32 GetQueuedFrames();
    uint64 GetQueuedBytes();
    uint32 GetPeakFrames();
    uint64 GetPeakBytes();
    const SLimits& GetLimits() const { return m_kLimits; }

private:
    CPushChannel(const SLimits& kLimits, int iWake);
    ~CPushChannel();
    CPushChannel(const CPushChannel&) = delete;
    CPushChannel& operator=(const CPushChannel&) = delete;

    // Makes the wake descriptor readable (lock held).
    void Wake();
    // Frees the frames queued (lock held).
    void DropQueued();

    Common::CMutex m_kLock;
    // A ring of uiMaxFrames slots: m_uiCount frames from m_uiHead.
    TarnRenderer::TArray<SFrame> m_kRing;
    uint32 m_uiHead = 0;
    uint32 m_uiCount = 0;
    uint64 m_uiBytes = 0;
    uint32 m_uiPeakFrames = 0;
    uint64 m_uiPeakBytes = 0;
    bool m_bOpen = true;
    bool m_bOverflowed = false;
    bool m_bWakeSignalled = false;
    Common::TcpSocket* m_pSocket = nullptr;
    const SLimits m_kLimits;
    const int m_iWake;
    std::atomic<uint32> m_uiRefs{1};
};

}  // namespace TarnEngine
