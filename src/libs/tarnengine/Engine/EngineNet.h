#pragma once

#include "Core/Types.h"
#include "Host/NetOptions.h"

namespace RPC {
class CRoot;
}

namespace TarnEngine {

class CommandManager;
class CEngineHost;

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
