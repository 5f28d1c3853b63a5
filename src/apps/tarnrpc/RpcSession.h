#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Client/EngineClient.h"
#include "Core/Types.h"

namespace TarnRpc {

// Exit codes of tarn-rpc (gait-sim, tarn-demogen and tarn-host keep the
// same meanings).
enum EExit : int
{
    ExitOk = 0,
    ExitUsage = 1,       // a bad argument or file
    ExitConnection = 2,  // no connection, or it broke
    ExitErrorReply = 3,  // the engine answered {"Error":...}
    ExitTimeout = 4,     // no reply within the time allowed
};

// The most arguments a request carries ("Arg0" to "Arg5").
constexpr size_t kMaxRequestArgs = 6;

// Empty when kText is one JSON object; otherwise why it is not (the
// parser's message, or what kind of value it is), for a report.
std::string WhyNotAnObject(const std::string& kText);

// The rotation of a heading in degrees about Z (up), positive to the left,
// as the JSON of a quaternion argument.
std::string HeadingToRotation(double dDegrees);

// The dotted IPv4 address of a host name or address, into kAddress.
// ExitConnection (reported) when the name has no IPv4 address.
int ResolveHost(const std::string& kHost, std::string& kAddress);

// One client connection and the requests sent over it.
//
// Owns its connection; every call reports what went wrong on stderr and
// comes back as an exit code, never as an exception. Each reply is awaited
// for at most the session's time-out; when it expires the call is abandoned
// and the connection closed (a late reply would answer the wrong request).
class CRpcSession
{
public:
    static constexpr double kDefaultTimeoutSeconds = 5.0;

    explicit CRpcSession(double dTimeoutSeconds = kDefaultTimeoutSeconds);
    CRpcSession(const CRpcSession&) = delete;
    CRpcSession& operator=(const CRpcSession&) = delete;

    // Connects to a dotted IPv4 address; ExitConnection (reported, naming
    // pShownAs when given, else the address) when nobody listens there.
    int Connect(const std::string& kAddress, uint16 uiPort, const char* pShownAs = nullptr);

    // Builds the request of a class, method, instance and arguments (each a
    // JSON value as text). ExitUsage (reported) when there are more than
    // kMaxRequestArgs arguments or one is not a JSON value.
    static int BuildRequest(const std::string& kClass, const std::string& kMethod, int iInstance, bool bWaitAck,
                            const std::vector<std::string>& kArgs, std::string& kOut);

    // Sends a whole request. With bWaitAck, the reply goes to kReply.
    // ExitErrorReply when the reply is an error, ExitTimeout (reported) when
    // none came in time, ExitConnection (reported) when the connection broke.
    int Send(const std::string& kRequest, bool bWaitAck, std::string& kReply);

    // Whether a request text asks for "WaitAck" (false when it is not JSON).
    static bool AsksForReply(const std::string& kRequest);

    // Sends a request built from the parts and returns the reply's "Res"
    // member as JSON text in kResult.
    int Call(const std::string& kClass, const std::string& kMethod, int iInstance,
             const std::vector<std::string>& kArgs, std::string& kResult);

    void Disconnect() { m_kClient.Disconnect(); }

private:
    // Ends the client's wait for a reply once the time-out has passed.
    class CReplyDeadline : public TarnEngine::IClientIdleCallback
    {
    public:
        explicit CReplyDeadline(double dSeconds);
        void Start();
        bool OnIdle() override;
        bool HasExpired() const { return m_bExpired; }
        double GetSeconds() const { return m_dSeconds; }

    private:
        double m_dSeconds;
        std::chrono::steady_clock::time_point m_kStart;
        std::chrono::steady_clock::time_point m_kDeadline;
        bool m_bExpired = false;
    };

    CReplyDeadline m_kDeadline;
    TarnEngine::CEngineClientRPC m_kClient;
};

// The typical road against a running host: the demo character's prefab, its
// Gait component, activated, turned and walking; prints position and
// heading to pOut every 250 ms for the given seconds.
int RunDemo(CRpcSession& kSession, double dSeconds, FILE* pOut);

}  // namespace TarnRpc
