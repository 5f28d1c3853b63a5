#pragma once

#include <atomic>

#include "Commands/ReturnBuffer.h"
#include "Containers/TArray.h"
#include "Core/Types.h"
#include "Host/NetOptions.h"
#include "Host/RequestBudget.h"
#include "Push/PushChannel.h"
#include "System/Mutex/Mutex.h"
#include "System/Net/TcpSocket.h"
#include "System/Thread/Thread.h"

namespace TarnEngine {

class CommandManager;

// The TCP endpoint of the engine: a listener thread that accepts remote
// tools and one thread per connection that reads framed JSON requests, runs
// them through the command manager and writes framed replies.
//
// Every message on a connection is a 4-byte little-endian length followed by
// that many bytes of JSON; the length 0xFFFFFFFF is the close marker, which
// the host echoes before it ends the connection. A request that asks for
// "WaitAck" gets exactly one reply; others get none.
//
// Safety of the endpoint:
// - it listens on the configured address (127.0.0.1 by default); any other
//   address logs a warning that remote calls are unauthenticated;
// - a message longer than uiMaxFrameBytes closes its connection (logged)
//   before anything of that size is allocated; an empty message is rejected
//   (logged) without reaching the command manager;
// - at most uiMaxConnections connections are served at once; one more is
//   closed at once (logged);
// - what the connections hold of requests is bounded (CRequestBudget): a
//   connection over its share is not read until the engine has run enough
//   of it, so a client that floods is held back by TCP and the memory the
//   host spends on requests stays bounded;
// - a message begun must arrive whole within uiFrameTimeoutMs, and replies
//   must be taken within uiSendTimeoutMs, or the connection is closed
//   (logged); a connection between messages may stay idle;
// - the lines a connection logs are throttled (CDebugLog::CThrottleScope);
// - frames pushed to a client unasked (subscriptions) wait in its
//   connection's CPushChannel, within uiMaxPushedFrames and
//   uiMaxPushedBytes; a client that lets more pile up is dropped (logged),
//   so the engine, which pushes, never waits for a client;
// - connection threads are tracked: Stop ends the reading of every
//   connection, lets the engine run what was read, sends those replies, then
//   closes the connections and waits for every thread.
//
// Each connection thread is the only writer of its socket, so a pushed frame
// never lands inside a reply and replies keep the order of the requests.
// When a request has run, the frames pushed meanwhile go out first, then the
// reply: whatever follows a reply was made after its request ran. Between
// requests it waits for the next one and for pushed frames at once (poll on
// the socket and the channel's wake descriptor).
//
// A connection thread that waits for an acknowledged command is released
// only by the engine thread running it. Stop therefore runs the command
// queue itself when it is called on the engine thread; called on another
// thread, it needs the engine thread to keep processing until it returns.
class CEngineHost
{
public:
    // Accepts connections and starts their threads. Owns the listening
    // socket.
    class HostThread : public Common::CThread
    {
    public:
        explicit HostThread(CEngineHost* pHost) : m_pHost(pHost) {}
        uint32 Run() override;

        Common::TcpSocket& GetSocket() { return m_kSocket; }

    private:
        CEngineHost* m_pHost;
        Common::TcpSocket m_kSocket;
    };

    // Serves one accepted connection until the peer closes it, sends the
    // close marker, breaks a rule of the endpoint, or the host stops.
    //
    // Requests the client sent ahead (pipelined) are queued together, up to
    // kMaxPipelined at a time, and their replies sent together, in order.
    class ConnectionThread : public Common::CThread
    {
    public:
        static constexpr uint32 kMaxPipelined = 64;

        ConnectionThread(CEngineHost* pHost, int iDescriptor, const char* pPeer);
        ~ConnectionThread() override;
        uint32 Run() override;

        // Ends a blocking receive or send from another thread; the thread
        // closes its socket itself when it returns.
        void CloseSocket() { m_kSocket.Shutdown(); }
        // Ends a blocking receive only: the thread still sends the replies
        // of what it has read, then ends.
        void StopReading() { m_kSocket.ShutdownReceive(); }
        // True once Run has left its loop and no longer touches the host.
        bool IsFinished() const { return m_bFinished.load(std::memory_order_acquire); }

    private:
        // Serves the requests until the connection ends (the peer closed it,
        // broke a rule, which is logged, or the host stops).
        void Serve();
        // Waits until the client sends something (or the connection ends):
        // true; or until frames were pushed: false. bSpin: a request was
        // just served, look for the next one a while before sleeping.
        bool WaitForRequest(bool bSpin);
        // Sends the frames pushed so far. False when the connection is to
        // end (logged): a send failed, or the client was dropped.
        bool SendPushedFrames();
        // Handles what Receive gave that is not a request (the close
        // marker, a message too long or empty, the end, a time-out): false
        // when the connection is to end (logged).
        bool HandleOtherReceive(Common::MessageFraming::EReceive eReceived, uint32 uiLength, uint32 uiMaxFrameBytes);
        // Sends the replies of a batch of requests, framed, with one send
        // (requests without "WaitAck" have none). False when the connection
        // is to end (logged).
        bool SendReplies(CReturnBuffer* pReplies, uint32 uiCount, CReturnBuffer& kOutgoing);
        // Logs the drop of a client that did not keep up with its pushed
        // frames; false when it was not dropped.
        bool ReportDrop();

        CEngineHost* m_pHost;
        Common::TcpSocket m_kSocket;
        // The frames pushed to this connection (null when the channel could
        // not be made: nothing can be pushed then). One reference, given
        // back when the thread object goes; closed before the socket is.
        CPushChannel* m_pChannel = nullptr;
        // What this connection's requests hold of the host's budget; every
        // command charged to it is done with before the thread ends.
        CRequestBudget::CAccount m_kAccount;
        char m_acPeer[64] = {};
        std::atomic<bool> m_bFinished{false};
    };

    CEngineHost() = default;
    ~CEngineHost();
    CEngineHost(const CEngineHost&) = delete;
    CEngineHost& operator=(const CEngineHost&) = delete;

    // Opens the listening socket on kOptions' address and port (0: an
    // ephemeral one, see GetPort) and starts the listener thread
    // "EngineNetListener". False (reported) when the socket could not be
    // opened or the host runs already. The command manager is not owned and
    // must outlive Stop.
    bool Start(CommandManager& kManager, const SNetOptions& kOptions);
    // Closes the listening socket, stops reading every connection, lets the
    // engine run what was read and sends those replies, then closes every
    // connection and waits for all their threads. Safe to call more than
    // once.
    void Stop();
    // True from the start of Stop: connections read no further request.
    bool IsStopping() const { return m_bStopping.load(std::memory_order_acquire); }

    bool IsRunning() const { return m_pHostThread != nullptr; }
    // The port listened on (0 when not started).
    uint16 GetPort() const { return m_uiPort; }
    // Connections being served now.
    uint32 GetConnectionCount();
    CommandManager* GetCommandManager() const { return m_pCommandManager; }
    uint32 GetMaxFrameBytes() const { return m_uiMaxFrameBytes; }
    uint32 GetSpinMicroseconds() const { return m_uiSpinMicroseconds; }
    uint32 GetFrameTimeoutMs() const { return m_uiFrameTimeoutMs; }
    uint32 GetSendTimeoutMs() const { return m_uiSendTimeoutMs; }
    const CPushChannel::SLimits& GetPushLimits() const { return m_kPushLimits; }
    CRequestBudget& GetBudget() { return m_kBudget; }

private:
    // Listener thread: waits for and deletes the connection threads that
    // have finished. Returns how many are still being served.
    uint32 ReapFinishedConnections();
    // Listener thread: serves a new connection unless the limit is reached.
    void AddConnection(int iDescriptor, const char* pPeer);

    HostThread* m_pHostThread = nullptr;
    CommandManager* m_pCommandManager = nullptr;

    Common::CMutex m_kConnectionsLock;
    TarnRenderer::TArray<ConnectionThread*> m_kConnections;
    CRequestBudget m_kBudget;
    CPushChannel::SLimits m_kPushLimits;
    std::atomic<bool> m_bStopping{false};
    uint32 m_uiMaxFrameBytes = 0;
    uint32 m_uiSpinMicroseconds = 0;
    uint32 m_uiFrameTimeoutMs = 0;
    uint32 m_uiSendTimeoutMs = 0;
    uint32 m_uiMaxConnections = 0;
    uint16 m_uiPort = 0;
};

}  // namespace TarnEngine
