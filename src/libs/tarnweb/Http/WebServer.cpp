#include "Http/WebServer.h"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include <poll.h>

#include "Commands/CommandManager.h"
#include "Commands/ReturnBuffer.h"
#include "Http/OriginPolicy.h"
#include "System/Net/TcpSocket.h"
#include "Utils/debuglog.h"

namespace TarnWeb {

namespace {

// How long a stream waits for frames before it looks at the stop flag, and
// how often it sends a comment line to an idle browser.
constexpr int kStreamPollMs = 100;
constexpr int64 kHeartbeatMs = 1000;
constexpr const char* kStreamHeader = "X-Tarn-Stream";

// Set on a thread that serves a connection over the limit: the request is
// answered 503 without being handled.
thread_local bool t_bRefuse = false;

// A fixed set of threads, one per connection served; a connection that
// finds them all busy is refused (answered 503 on the accepting thread,
// within the read timeout) instead of waiting in an unbounded queue.
class CBoundedPool final : public httplib::TaskQueue
{
public:
    explicit CBoundedPool(uint32 uiThreads)
    {
        for (uint32 i = 0; i < uiThreads; ++i)
            m_kThreads.emplace_back([this] { Work(); });
    }

    void enqueue(std::function<void()> kTask) override
    {
        {
            std::unique_lock<std::mutex> kLock(m_kLock);
            if (m_uiBusy + m_kTasks.size() < m_kThreads.size())
            {
                m_kTasks.push_back(std::move(kTask));
                m_kWake.notify_one();
                return;
            }
        }
        t_bRefuse = true;
        kTask();
        t_bRefuse = false;
    }

    void shutdown() override
    {
        {
            std::unique_lock<std::mutex> kLock(m_kLock);
            m_bShutdown = true;
        }
        m_kWake.notify_all();
        for (std::thread& kThread : m_kThreads)
            kThread.join();
        m_kThreads.clear();
    }

private:
    void Work()
    {
        for (;;)
        {
            std::function<void()> kTask;
            {
                std::unique_lock<std::mutex> kLock(m_kLock);
                m_kWake.wait(kLock, [this] { return m_bShutdown || !m_kTasks.empty(); });
                if (m_kTasks.empty())
                    return;
                kTask = std::move(m_kTasks.front());
                m_kTasks.pop_front();
                ++m_uiBusy;
            }
            kTask();
            std::unique_lock<std::mutex> kLock(m_kLock);
            --m_uiBusy;
        }
    }

    std::vector<std::thread> m_kThreads;
    std::deque<std::function<void()>> m_kTasks;
    size_t m_uiBusy = 0;
    bool m_bShutdown = false;
    std::mutex m_kLock;
    std::condition_variable m_kWake;
};

int64 NowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string NewToken()
{
    std::random_device kRandom;
    char acToken[33];
    for (int i = 0; i < 4; ++i)
        snprintf(acToken + 8 * i, 9, "%08x", static_cast<unsigned>(kRandom()));
    return std::string(acToken, 32);
}

void Refuse(httplib::Response& kResponse, int iStatus, const char* pText)
{
    kResponse.status = iStatus;
    kResponse.set_content(pText, "text/plain");
}

bool IsFile(const std::string& kPath)
{
    struct stat kStat;
    return stat(kPath.c_str(), &kStat) == 0 && S_ISREG(kStat.st_mode);
}

}  // namespace

// One live stream: a browser's /live request while it lasts.
struct SStream
{
    std::string kToken;
    std::string kPeer;
    TarnEngine::CPushChannel* pChannel = nullptr;
};

struct CWebServer::SImpl
{
    httplib::Server kServer;
    std::thread kListener;
    TarnEngine::CommandManager* pManager = nullptr;
    SWebOptions kOptions;
    TarnEngine::CRequestBudget kBudget;
    uint16 uiPort = 0;
    bool bRunning = false;
    std::atomic<bool> bStopping{false};
    std::atomic<uint32> uiInFlight{0};
    std::atomic<uint64> uiStreamBytes{0};

    std::mutex kStreamsLock;
    std::map<std::string, SStream*> kStreams;

    bool IsOwnPage(const httplib::Request& kRequest, bool bOriginRequired) const
    {
        const bool bHasOrigin = kRequest.has_header("Origin");
        return IsOwnPageRequest(bHasOrigin ? kRequest.get_header_value("Origin") : std::string(), bHasOrigin,
                                kRequest.get_header_value("Host"), bOriginRequired);
    }

    // The channel of a stream token (with a reference for the caller), or
    // null for none.
    TarnEngine::CPushChannel* FindChannel(const std::string& kToken)
    {
        std::lock_guard<std::mutex> kLock(kStreamsLock);
        const auto kFound = kStreams.find(kToken);
        if (kFound == kStreams.end())
            return nullptr;
        kFound->second->pChannel->AddRef();
        return kFound->second->pChannel;
    }

    SStream* OpenStream(const std::string& kPeer)
    {
        std::lock_guard<std::mutex> kLock(kStreamsLock);
        if (bStopping.load() || kStreams.size() >= kOptions.uiMaxStreams)
            return nullptr;
        TarnEngine::CPushChannel* pChannel = TarnEngine::CPushChannel::Create(kOptions.kStreamLimits);
        if (!pChannel)
            return nullptr;
        SStream* pStream = new SStream{NewToken(), kPeer, pChannel};
        kStreams[pStream->kToken] = pStream;
        Common::CDebugLog::Print(Common::CDebugLog::ELevel::Info, "[WebServer] : live stream opened by %s (%zu open)",
                                 kPeer.c_str(), kStreams.size());
        return pStream;
    }

    void CloseStream(SStream* pStream)
    {
        size_t uiOpen = 0;
        {
            std::lock_guard<std::mutex> kLock(kStreamsLock);
            kStreams.erase(pStream->kToken);
            uiOpen = kStreams.size();
        }
        const bool bDropped = pStream->pChannel->HasOverflowed();
        pStream->pChannel->Close();
        pStream->pChannel->Release();
        if (bDropped)
            Common::CDebugLog::Print(Common::CDebugLog::ELevel::Warn,
                                     "[WebServer] : %s did not keep up with its live stream, dropped (%zu open)",
                                     pStream->kPeer.c_str(), uiOpen);
        else
            Common::CDebugLog::Print(Common::CDebugLog::ELevel::Info,
                                     "[WebServer] : live stream of %s closed (%zu open)", pStream->kPeer.c_str(),
                                     uiOpen);
        delete pStream;
    }

    // Sends what was pushed to the stream, or a comment line after a
    // while without any. False when the stream is to end: the server stops,
    // the browser is gone or too slow, or it fell too far behind.
    bool ServeStream(SStream& kStream, httplib::DataSink& kSink, int64& iLastSendMs)
    {
        TarnEngine::CPushChannel& kChannel = *kStream.pChannel;
        pollfd kPoll = {kChannel.GetWakeDescriptor(), POLLIN, 0};
        poll(&kPoll, 1, kStreamPollMs);
        if (bStopping.load() || kChannel.HasOverflowed() || !kChannel.IsOpen())
            return false;
        kChannel.ClearWake();
        std::string kEvents;
        TarnEngine::CPushChannel::SFrame kFrame;
        while (kChannel.Pop(kFrame))
        {
            kEvents.append("data: ");
            kEvents.append(kFrame.pText, kFrame.uiLength);
            kEvents.append("\n\n");
            TarnEngine::CPushChannel::FreeFrame(kFrame);
        }
        const int64 iNowMs = NowMs();
        if (kEvents.empty())
        {
            if (iNowMs - iLastSendMs < kHeartbeatMs)
                return true;
            kEvents = ":\n\n";
        }
        iLastSendMs = iNowMs;
        if (!kSink.write(kEvents.data(), kEvents.size()))
            return false;
        uiStreamBytes.fetch_add(kEvents.size(), std::memory_order_relaxed);
        return true;
    }

    void HandleLive(const httplib::Request& kRequest, httplib::Response& kResponse)
    {
        if (!IsOwnPage(kRequest, false))
            return Refuse(kResponse, 403, "this page's origin may not use the live stream\n");
        const std::string kPeer = kRequest.remote_addr + ":" + std::to_string(kRequest.remote_port);
        SStream* pStream = OpenStream(kPeer);
        if (!pStream)
            return Refuse(kResponse, 503, "too many live streams\n");
        kResponse.set_header("Cache-Control", "no-store");
        auto piLastSendMs = std::make_shared<int64>(NowMs());
        auto pbHello = std::make_shared<bool>(false);
        kResponse.set_chunked_content_provider(
            "text/event-stream",
            [this, pStream, piLastSendMs, pbHello](size_t, httplib::DataSink& kSink) {
                if (!*pbHello)
                {
                    *pbHello = true;
                    const std::string kHello = "event: hello\ndata: {\"Stream\":\"" + pStream->kToken + "\"}\n\n";
                    return kSink.write(kHello.data(), kHello.size());
                }
                return ServeStream(*pStream, kSink, *piLastSendMs);
            },
            [this, pStream](bool) { CloseStream(pStream); });
    }

    void HandleRpc(const httplib::Request& kRequest, httplib::Response& kResponse)
    {
        if (!IsOwnPage(kRequest, true))
            return Refuse(kResponse, 403, "this page's origin may not call the engine\n");
        if (kRequest.body.empty())
            return Refuse(kResponse, 400, "the body must be one request of the protocol (a JSON object)\n");
        // Counted before the stop flag is read, so that Stop, which sets the
        // flag first, either sees this request or it sees the flag.
        uiInFlight.fetch_add(1);
        if (bStopping.load())
        {
            uiInFlight.fetch_sub(1);
            return Refuse(kResponse, 503, "the host is stopping\n");
        }
        TarnEngine::CPushChannel* pChannel = nullptr;
        if (kRequest.has_header(kStreamHeader))
        {
            pChannel = FindChannel(kRequest.get_header_value(kStreamHeader));
            if (!pChannel)
            {
                uiInFlight.fetch_sub(1);
                return Refuse(kResponse, 409, "no live stream has this X-Tarn-Stream token (open /live again)\n");
            }
        }
        {
            TarnEngine::CRequestBudget::CAccount kAccount(kBudget);
            kAccount.SetPushChannel(pChannel);
            const uint64 uiCharge = TarnEngine::CRequestBudget::CostOf(static_cast<uint32>(kRequest.body.size()));
            if (!kAccount.Charge(uiCharge))
                Refuse(kResponse, 503, "the host is stopping\n");
            else
            {
                TarnEngine::CReturnBuffer kReply;
                pManager->ExecuteJSon(kRequest.body.data(), kRequest.body.size(), &kReply, &kAccount, uiCharge);
                // A request without a reply may still be queued: the account
                // it refunds must outlive it.
                kAccount.WaitDrained();
                const size_t uiLength = strnlen(kReply.GetText(), kReply.GetLength());
                if (uiLength == 0)
                    kResponse.status = 204;
                else
                    kResponse.set_content(kReply.GetText(), uiLength, "application/json");
            }
        }
        if (pChannel)
            pChannel->Release();
        uiInFlight.fetch_sub(1);
    }
};

CWebServer::CWebServer() : m_pImpl(std::make_unique<SImpl>())
{
}

CWebServer::~CWebServer()
{
    Stop();
}

bool CWebServer::Start(TarnEngine::CommandManager& kManager, const SWebOptions& kOptions, std::string* pError)
{
    SImpl& kImpl = *m_pImpl;
    const auto Fail = [pError](const std::string& kWhy) {
        if (pError)
            *pError = kWhy;
        return false;
    };
    if (kImpl.bRunning)
        return Fail("the HTTP endpoint runs already");
    if (!IsFile(kOptions.kRoot + "/index.html"))
        return Fail("the page's folder " + kOptions.kRoot + " has no index.html");
    kImpl.pManager = &kManager;
    kImpl.kOptions = kOptions;
    kImpl.kBudget.SetLimits(kOptions.kBudget);
    kImpl.kBudget.Open();
    kImpl.bStopping = false;

    httplib::Server& kServer = kImpl.kServer;
    const uint32 uiThreads = kOptions.uiMaxConnections ? kOptions.uiMaxConnections : 1;
    kServer.new_task_queue = [uiThreads] { return new CBoundedPool(uiThreads); };
    kServer.set_payload_max_length(kOptions.uiMaxBodyBytes);
    kServer.set_read_timeout(std::chrono::milliseconds(kOptions.uiReadTimeoutMs));
    kServer.set_write_timeout(std::chrono::milliseconds(kOptions.uiWriteTimeoutMs));
    kServer.set_keep_alive_timeout(2);
    kServer.set_pre_routing_handler([](const httplib::Request&, httplib::Response& kResponse) {
        if (!t_bRefuse)
            return httplib::Server::HandlerResponse::Unhandled;
        kResponse.set_header("Connection", "close");
        Refuse(kResponse, 503, "too many connections\n");
        return httplib::Server::HandlerResponse::Handled;
    });
    kServer.set_post_routing_handler([](const httplib::Request&, httplib::Response& kResponse) {
        kResponse.set_header("X-Content-Type-Options", "nosniff");
        if (!kResponse.has_header("Cache-Control"))
            kResponse.set_header("Cache-Control", "no-cache");
    });
    kServer.set_error_handler([](const httplib::Request&, httplib::Response& kResponse) {
        if (kResponse.body.empty())
            kResponse.set_content(std::to_string(kResponse.status) + "\n", "text/plain");
    });
    kServer.set_exception_handler([](const httplib::Request&, httplib::Response& kResponse, std::exception_ptr) {
        Refuse(kResponse, 500, "internal error\n");
    });
    kServer.Get("/live", [&kImpl](const httplib::Request& kRequest, httplib::Response& kResponse) {
        kImpl.HandleLive(kRequest, kResponse);
    });
    kServer.Post("/rpc", [&kImpl](const httplib::Request& kRequest, httplib::Response& kResponse) {
        kImpl.HandleRpc(kRequest, kResponse);
    });
    if (!kServer.set_mount_point("/", kOptions.kRoot))
        return Fail("the page's folder " + kOptions.kRoot + " cannot be served");

    const char* pAddress = kOptions.kBindAddress.c_str();
    int iPort = kOptions.uiPort;
    if (kOptions.uiPort == 0)
        iPort = kServer.bind_to_any_port(pAddress);
    else if (!kServer.bind_to_port(pAddress, kOptions.uiPort))
        iPort = -1;
    if (iPort <= 0)
        return Fail("cannot listen on " + kOptions.kBindAddress + ":" + std::to_string(kOptions.uiPort));
    kImpl.uiPort = static_cast<uint16>(iPort);
    if (!Common::TcpSocket::IsLoopbackAddress(pAddress))
        Common::CDebugLog::Print("[WebServer] : warning: listening on %s:%u, remote calls are unauthenticated",
                                 pAddress, static_cast<unsigned>(kImpl.uiPort));
    kImpl.kListener = std::thread([&kServer] { kServer.listen_after_bind(); });
    kImpl.bRunning = true;
    return true;
}

void CWebServer::Stop()
{
    SImpl& kImpl = *m_pImpl;
    if (!kImpl.bRunning)
        return;
    kImpl.bStopping.store(true);
    // Charges wait no longer; streams end at their next look at the flag.
    kImpl.kBudget.Close();
    {
        std::lock_guard<std::mutex> kLock(kImpl.kStreamsLock);
        for (auto& kEntry : kImpl.kStreams)
            kEntry.second->pChannel->Close();
    }
    // Requests in flight wait for the engine thread to run them.
    while (kImpl.uiInFlight.load() != 0)
    {
        if (kImpl.pManager)
            kImpl.pManager->ProcessQueue();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kImpl.kServer.stop();
    if (kImpl.kListener.joinable())
        kImpl.kListener.join();
    kImpl.bRunning = false;
}

bool CWebServer::IsRunning() const
{
    return m_pImpl->bRunning;
}

uint16 CWebServer::GetPort() const
{
    return m_pImpl->uiPort;
}

uint32 CWebServer::GetStreamCount() const
{
    std::lock_guard<std::mutex> kLock(m_pImpl->kStreamsLock);
    return static_cast<uint32>(m_pImpl->kStreams.size());
}

uint64 CWebServer::GetStreamBytes() const
{
    return m_pImpl->uiStreamBytes.load(std::memory_order_relaxed);
}

}  // namespace TarnWeb
