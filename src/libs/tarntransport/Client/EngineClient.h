#pragma once

#include <cstddef>

#include "Containers/TArray.h"
#include "Core/Types.h"
#include "System/Net/TcpSocket.h"

namespace TarnEngine {

class CReturnBuffer;

// Called by a client while it waits for a reply.
class IClientIdleCallback
{
public:
    virtual ~IClientIdleCallback() = default;
    // Runs while no reply has arrived yet. Returning false abandons the
    // wait: the call fails and the client disconnects (a reply arriving
    // later would no longer match its request).
    virtual bool OnIdle() = 0;
};

// One connection of the engine to a remote interface (a tool, or another
// engine's host), with the framing of the engine's host: a 4-byte
// little-endian length, then that many bytes of JSON.
class CEngineClientRPC
{
public:
    static constexpr uint32 kDefaultMaxReplyBytes = 16u << 20;

    CEngineClientRPC() = default;
    ~CEngineClientRPC();
    CEngineClientRPC(const CEngineClientRPC&) = delete;
    CEngineClientRPC& operator=(const CEngineClientRPC&) = delete;

    // Connects to a dotted IPv4 address (null: 127.0.0.1) and port. A
    // connection held already is closed first. Failure is reported.
    bool Connect(const char* pAddress, uint16 uiPort);
    // The same without the report (for callers that try again).
    bool TryConnect(const char* pAddress, uint16 uiPort);

    // Sends one request (pRequest, uiLength bytes; the first form reads a
    // zero-terminated text). With pReply, waits for one reply frame and
    // stores its text there (an empty frame clears it); the request should
    // then ask for "WaitAck". While waiting, the idle callback (when set) is
    // called. False when not connected, when sending fails, when the peer
    // closes or abandons, or when the reply is longer than the limit; the
    // client is then disconnected.
    bool DoCall(const char* pRequest, CReturnBuffer* pReply);
    bool DoCall(const char* pRequest, size_t uiLength, CReturnBuffer* pReply);

    // Sends the close marker, then closes the connection.
    void Disconnect();
    bool IsConnected() const;

    void SetIdleCallback(IClientIdleCallback* pCallback) { m_pIdleCallback = pCallback; }
    // Longer replies are refused (the connection is closed) before anything
    // of that size is allocated.
    void SetMaxReplyBytes(uint32 uiBytes) { m_kReader.SetMaxLength(uiBytes); }
    // How long a wait for a reply polls before it sleeps (without an idle
    // callback): a load generator measuring the host's latency spends a
    // core on it so that its own wake-up does not count.
    void SetSpinMicroseconds(uint32 uiMicroseconds) { m_kReader.SetSpinMicroseconds(uiMicroseconds); }

private:
    // Drops the socket without sending the close marker.
    void DropConnection();

    Common::TcpSocket* m_pSocket = nullptr;
    IClientIdleCallback* m_pIdleCallback = nullptr;
    Common::MessageFraming::CReader m_kReader{kDefaultMaxReplyBytes};
};

// Calls the same method on several remote interfaces of one kind.
class CEngineClientBroadcast
{
public:
    // The connections to the interfaces of one kind.
    class IInterfaceSockets
    {
    public:
        IInterfaceSockets() = default;
        virtual ~IInterfaceSockets();
        IInterfaceSockets(const IInterfaceSockets&) = delete;
        IInterfaceSockets& operator=(const IInterfaceSockets&) = delete;

        // Tries to connect up to uiAttempts times, sleeping uiDelayMs between
        // failed attempts (not after the last). False (reported) when every
        // attempt failed; otherwise the connection joins the list.
        bool AddConnection(const char* pAddress, uint16 uiPort, uint32 uiAttempts, uint32 uiDelayMs);
        // Sends the request to every connection, in the order they were
        // added. With pReply, reads each one's reply; pReply ends up holding
        // the last one's. A connection that fails is reported, closed and
        // dropped from the list. True when every connection succeeded.
        bool CallMethod(const char* pRequest, CReturnBuffer* pReply);
        // Disconnects (close marker) and drops every connection.
        void DisconnectAll();
        uint32 GetConnectionCount() const { return m_kClients.GetSize(); }

    private:
        TarnRenderer::TArray<CEngineClientRPC*> m_kClients;
    };

    // The connections to the interfaces of type I.
    template <class I> class CInterfaceSockets : public IInterfaceSockets
    {
    };
};

}  // namespace TarnEngine
