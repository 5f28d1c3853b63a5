#pragma once

#include "Core/Types.h"

namespace RPC {
class CRoot;
}

namespace TarnEngine {

class CommandManager;
class CEngineHost;

// Start-up options of the network endpoint.
struct SNetOptions
{
    uint16 uiPort = 27921;                    // 0: an ephemeral port (see GetPort)
    const char* pBindAddress = "127.0.0.1";   // listening on another address logs a warning
    uint32 uiMaxFrameBytes = 16u << 20;       // longer frames close their connection
    uint32 uiMaxConnections = 64;             // connections beyond it are closed at once
    // How long a connection thread looks for the next request, or for the
    // engine thread's answer, before it sleeps. Spinning only follows a
    // request, so an idle host costs nothing; 0 always sleeps at once.
    uint32 uiSpinMicroseconds = 50;
    // What the host holds of requests read and not yet seen through: per
    // connection, for all connections, and their cost in bytes (see
    // CRequestBudget). A connection over a limit is not read until the
    // engine has run enough of what it holds.
    uint32 uiMaxQueuedPerConnection = 1024;
    uint32 uiMaxQueuedRequests = 16384;
    uint64 uiMaxQueuedBytes = 256ull << 20;
    // A message whose first byte has arrived must arrive whole within this
    // time; replies must be taken by the client within this time. Either
    // failing closes the connection (logged). 0: no limit. A connection
    // between messages may stay idle for any time.
    uint32 uiFrameTimeoutMs = 10000;
    uint32 uiSendTimeoutMs = 10000;
};

// The engine's network endpoint: the command manager, the remote root
// object and the host that accepts connections.
//
// Owns all three. Init registers the engine's remote classes with the new
// command manager; plug-ins reach the command manager through this object.
class CEngineNet
{
public:
    CEngineNet();
    ~CEngineNet();
    CEngineNet(const CEngineNet&) = delete;
    CEngineNet& operator=(const CEngineNet&) = delete;

    // Creates the command manager and the root object, registers the remote
    // classes, then starts listening. False (reported) when the host could
    // not open its socket; the command manager is usable all the same.
    bool Init(const SNetOptions& kOptions);
    // Closes the listening socket and ends every connection; the command
    // manager stays, so that plug-ins can still leave its resolver.
    void Stop();
    // After Stop, on the engine thread: destroys the root object and every
    // remote object clients left referenced (logged with their number), while
    // what they point to still exists.
    void ReleaseRemoteObjects();
    // Stops, then destroys the root object and the command manager. Whatever
    // registered with the command manager must have left it before this.
    void Shutdown();

    CommandManager* GetCommandManager() const { return m_pCommandManager; }
    RPC::CRoot* GetRoot() const { return m_pRoot; }
    // The port listened on (the ephemeral one when 0 was asked for).
    uint16 GetPort() const;

private:
    RPC::CRoot* m_pRoot = nullptr;
    CommandManager* m_pCommandManager = nullptr;
    CEngineHost* m_pHost = nullptr;
};

}  // namespace TarnEngine
