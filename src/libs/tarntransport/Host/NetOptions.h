#pragma once

#include "Core/Types.h"
#include "System/Net/TcpSocket.h"

namespace TarnEngine {

// Start-up options of the network endpoint.
struct SNetOptions
{
    uint16 uiPort = Common::TcpSocket::kDefaultPort;  // 0: an ephemeral port (see GetPort)
    const char* pBindAddress = "127.0.0.1";           // listening on another address logs a warning
    uint32 uiMaxFrameBytes = 16u << 20;               // longer frames close their connection
    uint32 uiMaxConnections = 64;                     // connections beyond it are closed at once
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
    // The frames a connection holds for its client unasked (subscriptions,
    // see CPushChannel) and their bytes of text: a client that lets more
    // pile up is dropped.
    uint32 uiMaxPushedFrames = 64;
    uint64 uiMaxPushedBytes = 1ull << 20;
};

}  // namespace TarnEngine
