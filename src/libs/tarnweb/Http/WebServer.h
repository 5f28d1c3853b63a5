#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "Core/Types.h"
#include "Host/RequestBudget.h"
#include "Push/PushChannel.h"

namespace TarnEngine {
class CommandManager;
}

namespace TarnWeb {

// Start-up options of the HTTP endpoint.
struct SWebOptions
{
    std::string kBindAddress = "127.0.0.1";  // another address logs a warning
    uint16 uiPort = 0;                       // 0: a free port (see GetPort)
    // The folder of the page's files; nothing outside it is served.
    std::string kRoot;
    // Connections served at once (each has a thread while it lasts); more
    // are answered 503 and closed.
    uint32 uiMaxConnections = 32;
    // Live streams open at once, within the connections.
    uint32 uiMaxStreams = 8;
    // Longest request body; a longer one is answered 413.
    uint32 uiMaxBodyBytes = 64u << 10;
    // A request must arrive, and what is sent must be taken, within these.
    uint32 uiReadTimeoutMs = 5000;
    uint32 uiWriteTimeoutMs = 5000;
    // What a live stream holds for a browser that is behind: more drops it.
    TarnEngine::CPushChannel::SLimits kStreamLimits{256, 16ull << 20};
    // What the page's requests may hold of the engine's queue at once.
    TarnEngine::CRequestBudget::SLimits kBudget;
};

// The page's endpoint: serves the files of one folder, live streams and the
// page's remote calls, over HTTP.
//
//   GET  /live  a stream of server-sent events: first "hello" with
//               {"Stream":"<token>"}, then one "message" per frame that
//               remote methods push to the stream (a view, a subscription),
//               and a comment line every few seconds so that a closed
//               browser is noticed;
//   POST /rpc   one request of the protocol (CommandManager's JSON) as the
//               body; the answer is the protocol's reply (200) or nothing
//               (204) for a request that did not ask for one. With the
//               header "X-Tarn-Stream: <token>", frames its methods push go
//               to that stream;
//   GET  other  a file of the page's folder (index.html for "/"); no path
//               outside it, no listing of folders: 404.
//
// Safety: only requests of the page this server served reach /live and
// /rpc (see IsOwnPageRequest): others get 403. Request bodies, headers,
// connections and streams are bounded (SWebOptions). The page's requests
// are charged to a budget of their own like those of the TCP endpoint. A
// stream's frames wait in a CPushChannel: a browser that falls behind it, or
// does not take what is sent within the write timeout, is dropped (logged),
// never buffered without bound.
//
// Owns its listener and connection threads. Does not own the command
// manager, which must outlive Stop. Stop must be called on the engine
// thread (it runs the command queue itself until the requests in flight are
// answered) or while the engine thread keeps processing.
class CWebServer
{
public:
    CWebServer();
    ~CWebServer();
    CWebServer(const CWebServer&) = delete;
    CWebServer& operator=(const CWebServer&) = delete;

    // Binds the address and port and starts serving. False, with the reason
    // in *pError, when the folder has no index.html, the address cannot be
    // bound, or the server runs already.
    bool Start(TarnEngine::CommandManager& kManager, const SWebOptions& kOptions, std::string* pError);
    // Ends every stream, answers the requests in flight, stops listening
    // and waits for every thread. Safe to call more than once.
    void Stop();

    bool IsRunning() const;
    uint16 GetPort() const;
    // Streams open now, and the bytes of event data sent on all of them.
    uint32 GetStreamCount() const;
    uint64 GetStreamBytes() const;

private:
    struct SImpl;
    std::unique_ptr<SImpl> m_pImpl;
};

}  // namespace TarnWeb
