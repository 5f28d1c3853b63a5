#pragma once

#include <string>
#include <vector>

#include "Client/EngineClient.h"
#include "Core/Types.h"

namespace TarnRpc {

// Exit codes of tarn-rpc.
enum EExit : int
{
    ExitOk = 0,
    ExitUsage = 1,       // a bad argument or file
    ExitConnection = 2,  // no connection, or it broke
    ExitErrorReply = 3,  // the engine answered {"Error":...}
};

// One client connection and the requests sent over it.
//
// Owns its connection; every call reports what went wrong on stderr and
// comes back as an exit code, never as an exception.
class CRpcSession
{
public:
    // Connects; ExitConnection (reported) when nobody listens there.
    int Connect(const std::string& kHost, uint16 uiPort);

    // Builds the request of a class, method, instance and arguments (each a
    // JSON value as text). ExitUsage (reported) when an argument is not one
    // JSON value.
    static int BuildRequest(const std::string& kClass, const std::string& kMethod, int iInstance, bool bWaitAck,
                            const std::vector<std::string>& kArgs, std::string& kOut);

    // Sends a whole request. With bWaitAck, the reply goes to kReply.
    // ExitErrorReply when the reply is an error.
    int Send(const std::string& kRequest, bool bWaitAck, std::string& kReply);

    // Whether a request text asks for "WaitAck" (false when it is not JSON).
    static bool AsksForReply(const std::string& kRequest);

    // Sends a request built from the parts and returns the reply's "Res"
    // member as JSON text in kResult.
    int Call(const std::string& kClass, const std::string& kMethod, int iInstance,
             const std::vector<std::string>& kArgs, std::string& kResult);

    void Disconnect() { m_kClient.Disconnect(); }

private:
    TarnEngine::CEngineClientRPC m_kClient;
};

// The typical road against a running host: the demo character's prefab, its
// Gait component, activated, turned and walking; prints position and
// heading every 250 ms for the given seconds.
int RunDemo(CRpcSession& kSession, double dSeconds);

}  // namespace TarnRpc
