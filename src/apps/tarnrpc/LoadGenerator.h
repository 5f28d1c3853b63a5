#pragma once

#include <cstdio>
#include <string>

#include "Core/Types.h"
#include "System/Net/TcpSocket.h"

namespace TarnRpc {

// Options of "tarn-rpc bench".
struct SLoadOptions
{
    std::string kHost = "127.0.0.1";
    uint16 uiPort = Common::TcpSocket::kDefaultPort;
    uint32 uiConnections = 1;
    uint32 uiRequests = 100000;
    // "Root.KeepAlive", "GaitComponentRpc.IsActive" or "GaitComponentRpc.SetSpeed".
    std::string kMethod = "Root.KeepAlive";
    bool bWaitAck = true;
    // Requests each connection sends before it reads their replies (1: one
    // at a time). With several, the round trip measured is a whole batch's.
    uint32 uiPipeline = 1;
    // How long each connection polls for its reply before it sleeps: with
    // it, the client's own wake-up stays out of the measured round trip.
    uint32 uiSpinMicroseconds = 0;
    // How long the set-up and the count of run commands wait for a reply
    // (the measured requests wait as long as they take).
    double dTimeoutSeconds = 5.0;
};

// Sends uiRequests requests spread over uiConnections connections, each on
// its own thread, and prints to pOut requests per second and, with "WaitAck", the
// round-trip percentiles (p50, p99, p99.9). Without "WaitAck" every
// connection ends with one acknowledged call, so that the figure counts
// requests the engine has run, not only sent, and the host's count of run
// commands ("Root"."GetExecutedCount") before and after must differ by every
// request sent: fewer fails the bench. Gait methods first set up the
// demo character's component (and release it afterwards). Returns an exit
// code of tarn-rpc.
int RunLoad(const SLoadOptions& kOptions, FILE* pOut);

}  // namespace TarnRpc
