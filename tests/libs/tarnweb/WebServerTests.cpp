#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "Commands/CommandManager.h"
#include "Http/OriginPolicy.h"
#include "Http/WebServer.h"
#include "Push/PushChannel.h"
#include "System/Net/TcpSocket.h"
#include "System/Thread/Thread.h"
#include "support/ReportCapture.h"
#include "support/WaitFor.h"

using namespace TarnEngine;

namespace {

using TestSupport::kGiveUpMs;
using TestSupport::WaitFor;

TEST(OriginPolicyTest, OnlyThePagesOwnOriginReachesTheEngine)
{
    struct SCase
    {
        const char* pOrigin;  // null: no Origin header
        const char* pHost;
        bool bOriginRequired;
        bool bAccepted;
    };
    const SCase akCases[] = {
        {"http://127.0.0.1:8080", "127.0.0.1:8080", true, true},
        {"http://localhost:8080", "localhost:8080", true, true},
        {"http://[::1]:8080", "[::1]:8080", true, true},
        {"http://10.0.0.5", "10.0.0.5", true, true},
        {nullptr, "127.0.0.1:8080", false, true},
        // A command needs the Origin a browser always sends on a POST.
        {nullptr, "127.0.0.1:8080", true, false},
        // Another site, another port, another scheme.
        {"http://evil.example", "127.0.0.1:8080", true, false},
        {"http://127.0.0.1:9090", "127.0.0.1:8080", false, false},
        {"https://127.0.0.1:8080", "127.0.0.1:8080", true, false},
        {"null", "127.0.0.1:8080", true, false},
        // A site's own name pointed at this machine (DNS rebinding) is
        // "same origin" with it: names are refused.
        {"http://evil.example:8080", "evil.example:8080", true, false},
        {nullptr, "evil.example:8080", false, false},
        {"http://127.0.0.1:8080x", "127.0.0.1:8080x", true, false},
        {"http://[::1", "[::1", true, false},
        {"http://", "", true, false},
    };
    for (const SCase& kCase : akCases)
        EXPECT_EQ(TarnWeb::IsOwnPageRequest(kCase.pOrigin ? kCase.pOrigin : "", kCase.pOrigin != nullptr, kCase.pHost,
                                            kCase.bOriginRequired),
                  kCase.bAccepted)
            << "Origin " << (kCase.pOrigin ? kCase.pOrigin : "(none)") << ", Host " << kCase.pHost;
}

// Remote methods for the tests, run on the engine thread: Echo answers its
// argument, Count counts calls, Subscribe keeps the caller's push channel,
// Emit pushes uiCount frames of uiBytes bytes (numbered from 0) to the kept
// channels.
class CWebProbe : public CSingletonManager<CWebProbe>
{
public:
    ~CWebProbe() override
    {
        for (CPushChannel* pChannel : m_kChannels)
            pChannel->Release();
    }
    int Echo(const int32& iValue) { return iValue; }
    void Count() { ++m_uiCount; }
    bool Subscribe()
    {
        CPushChannel* pChannel = CPushChannel::GetCaller(*m_pQueue);
        if (pChannel)
        {
            pChannel->AddRef();
            m_kChannels.push_back(pChannel);
        }
        return pChannel != nullptr;
    }
    void Emit(const uint32& uiCount, const uint32& uiBytes)
    {
        for (uint32 i = 0; i < uiCount; ++i)
        {
            const std::string kHead = "{\"N\":" + std::to_string(m_uiEmitted++) + ",\"Pad\":\"";
            const std::string kText =
                kHead + std::string(uiBytes > kHead.size() + 2 ? uiBytes - kHead.size() - 2 : 0, 'x') + "\"}";
            for (CPushChannel* pChannel : m_kChannels)
                pChannel->Push(kText.data(), static_cast<uint32>(kText.size()));
        }
    }

    CommandQueue* m_pQueue = nullptr;
    std::atomic<uint32> m_uiCount{0};

private:
    std::vector<CPushChannel*> m_kChannels;
    uint32 m_uiEmitted = 0;
};

std::string Request(const char* pMethod, const std::string& kArgs = "", bool bWaitAck = true)
{
    return std::string(R"({"ClassName":"WebProbe","MethodName":")") + pMethod + R"(","InstanceID":0,"WaitAck":)" +
           (bWaitAck ? "true" : "false") + R"(,"UseTcpThread":false)" + kArgs + "}";
}

// A server on a free port over a folder with a page, a file beside the
// folder that must never be served, and an engine thread that runs the
// queue until the end.
class WebServerTest : public testing::Test
{
protected:
    void SetUp() override
    {
        m_kFolder = std::filesystem::temp_directory_path() / ("tarnweb-" + std::to_string(getpid()));
        std::filesystem::create_directories(m_kFolder / "web" / "sub");
        std::ofstream(m_kFolder / "web" / "index.html") << "<!doctype html><title>page</title>";
        std::ofstream(m_kFolder / "web" / "app.js") << "// the page";
        std::ofstream(m_kFolder / "secret.txt") << "secret";
        ASSERT_TRUE(m_kManager.Init());
        m_kManager.RegisterSingleton<CWebProbe>("WebProbe");
        m_kManager.Register("WebProbe", "Echo", &CWebProbe::Echo);
        m_kManager.Register("WebProbe", "Count", &CWebProbe::Count);
        m_kManager.Register("WebProbe", "Emit", &CWebProbe::Emit);
        m_kManager.Register("WebProbe", "Subscribe", &CWebProbe::Subscribe);
        m_pProbe = TARN_NEW(CWebProbe);
        m_pProbe->m_pQueue = &m_kManager.GetQueue();
        m_kOptions.kRoot = (m_kFolder / "web").string();
    }
    void TearDown() override
    {
        StopEngine();
        m_kServer.Stop();
        m_kManager.ProcessQueue();
        TARN_DELETE(m_pProbe);
        std::filesystem::remove_all(m_kFolder);
    }
    void Start(bool bEngine = true)
    {
        if (bEngine)
            m_kEngineThread = std::thread([this] {
                m_kManager.GetQueue().SetEngineThread();
                while (!m_bStop)
                {
                    m_kManager.GetWakeEvent().Wait(1);
                    m_kManager.ProcessQueue();
                }
            });
        std::string kError;
        ASSERT_TRUE(m_kServer.Start(m_kManager, m_kOptions, &kError)) << kError;
        m_kOrigin = "http://127.0.0.1:" + std::to_string(m_kServer.GetPort());
    }
    void StopEngine()
    {
        m_bStop = true;
        if (m_kEngineThread.joinable())
            m_kEngineThread.join();
    }
    httplib::Client Client() const
    {
        httplib::Client kClient("127.0.0.1", m_kServer.GetPort());
        kClient.set_read_timeout(10, 0);
        return kClient;
    }
    httplib::Result Post(const std::string& kBody, const std::string& kStream = "")
    {
        httplib::Headers kHeaders{{"Origin", m_kOrigin}};
        if (!kStream.empty())
            kHeaders.emplace("X-Tarn-Stream", kStream);
        return Client().Post("/rpc", kHeaders, kBody, "application/json");
    }
    // Appends what the socket has to kText; false once nothing more comes.
    static bool ReadSome(Common::TcpSocket& kSocket, std::string& kText)
    {
        char acBuffer[4096];
        const ssize_t iRead =
            kSocket.HasData(kGiveUpMs) ? recv(kSocket.GetDescriptor(), acBuffer, sizeof(acBuffer), 0) : 0;
        if (iRead > 0)
            kText.append(acBuffer, static_cast<size_t>(iRead));
        return iRead > 0;
    }
    // A raw request: the path goes out exactly as written; what came back
    // once it holds pUntil, or (null) once nothing more comes.
    std::string RawRequest(const std::string& kText, Common::TcpSocket& kSocket, const char* pUntil = nullptr)
    {
        std::string kAnswer;
        if ((kSocket.IsOpen() || kSocket.Connect("127.0.0.1", m_kServer.GetPort())) &&
            kSocket.Send(kText.data(), kText.size()))
            while ((!pUntil || kAnswer.find(pUntil) == std::string::npos) && ReadSome(kSocket, kAnswer))
            {
            }
        return kAnswer;
    }
    // Opens /live on a socket of its own and reads its token.
    std::string OpenStream(Common::TcpSocket& kSocket)
    {
        const std::string kAnswer =
            RawRequest("GET /live HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_kServer.GetPort()) +
                           "\r\nOrigin: " + m_kOrigin + "\r\n\r\n",
                       kSocket, "\"}");
        const size_t uiAt = kAnswer.find("{\"Stream\":\"");
        return uiAt == std::string::npos ? "" : kAnswer.substr(uiAt + 11, 32);
    }

    std::filesystem::path m_kFolder;
    CommandManager m_kManager;
    CWebProbe* m_pProbe = nullptr;
    TarnWeb::SWebOptions m_kOptions;
    TarnWeb::CWebServer m_kServer;
    std::string m_kOrigin;
    std::thread m_kEngineThread;
    std::atomic<bool> m_bStop{false};
};

TEST_F(WebServerTest, ServesTheFilesOfItsFolderAndNothingElse)
{
    Start();
    struct SCase
    {
        const char* pPath;
        int iStatus;
    };
    const SCase akCases[] = {
        {"/", 200},
        {"/app.js", 200},
        {"/../secret.txt", 404},
        {"/%2e%2e/secret.txt", 404},
        {"/..%2fsecret.txt", 404},
        {"/sub", 404},
        {"/sub/", 404},
        {"/missing.js", 404},
    };
    for (const SCase& kCase : akCases)
    {
        Common::TcpSocket kSocket;
        const std::string kAnswer = RawRequest(
            std::string("GET ") + kCase.pPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", kSocket);
        EXPECT_EQ(kAnswer.substr(0, 12), "HTTP/1.1 " + std::to_string(kCase.iStatus)) << kCase.pPath;
        EXPECT_EQ(kAnswer.find("secret"), std::string::npos) << kCase.pPath;
    }
}

TEST_F(WebServerTest, ThePagesRequestsRunThroughTheCommandManagerAndOthersAreRefused)
{
    m_kOptions.uiMaxBodyBytes = 1024;
    Start();
    struct SCase
    {
        const char* pName;
        std::string kOrigin;  // empty: none
        std::string kHost;
        std::string kBody;
        int iStatus;
        std::string kReply;
    };
    const std::string kHost = "127.0.0.1:" + std::to_string(m_kServer.GetPort());
    const SCase akCases[] = {
        {"acknowledged", m_kOrigin, kHost, Request("Echo", ",\"Arg0\":7"), 200, R"({"Res":7})"},
        {"not acknowledged", m_kOrigin, kHost, Request("Count", "", false), 204, ""},
        {"a refused request", m_kOrigin, kHost, R"({"ClassName":"WebProbe","WaitAck":true})", 200, "{\"Error\":"},
        {"another site", "http://evil.example", kHost, Request("Count", "", false), 403, ""},
        {"no origin", "", kHost, Request("Count", "", false), 403, ""},
        {"a rebound name", "http://evil.example:1", "evil.example:1", Request("Count", "", false), 403, ""},
        {"an empty body", m_kOrigin, kHost, "", 400, ""},
        {"a body over the bound", m_kOrigin, kHost, std::string(2048, ' '), 413, ""},
    };
    for (const SCase& kCase : akCases)
    {
        httplib::Headers kHeaders{{"Host", kCase.kHost}};
        if (!kCase.kOrigin.empty())
            kHeaders.emplace("Origin", kCase.kOrigin);
        const httplib::Result kResult = Client().Post("/rpc", kHeaders, kCase.kBody, "application/json");
        ASSERT_TRUE(kResult) << kCase.pName;
        EXPECT_EQ(kResult->status, kCase.iStatus) << kCase.pName;
        if (kCase.iStatus == 200)
        {
            EXPECT_EQ(kResult->body.substr(0, kCase.kReply.size()), kCase.kReply) << kCase.pName;
        }
    }
    // Only the one acknowledged Count... and the one without a reply ran.
    EXPECT_TRUE(WaitFor([&] { return m_pProbe->m_uiCount.load() == 1; }));
    Common::CThread::SleepCurrent(50);
    EXPECT_EQ(m_pProbe->m_uiCount.load(), 1u);
    // Another origin may not open the live stream either.
    const httplib::Result kLive = Client().Get("/live", {{"Origin", "http://evil.example"}});
    ASSERT_TRUE(kLive);
    EXPECT_EQ(kLive->status, 403);
}

TEST_F(WebServerTest, FramesPushedForAStreamArriveOnItInOrder)
{
    Start();
    Common::TcpSocket kStream;
    const std::string kToken = OpenStream(kStream);
    ASSERT_EQ(kToken.size(), 32u);
    // A token nobody has is refused; the stream's own binds the request.
    const httplib::Result kUnknown = Post(Request("Subscribe"), std::string(32, '0'));
    ASSERT_TRUE(kUnknown);
    EXPECT_EQ(kUnknown->status, 409);
    const httplib::Result kSubscribed = Post(Request("Subscribe"), kToken);
    ASSERT_TRUE(kSubscribed);
    EXPECT_EQ(kSubscribed->body, R"({"Res":true})");

    // Three frames, pushed by the engine thread one call at a time.
    std::string kSeen;
    for (int i = 0; i < 3; ++i)
    {
        ASSERT_TRUE(Post(Request("Emit", ",\"Arg0\":1,\"Arg1\":0")));
        const std::string kExpected = "data: {\"N\":" + std::to_string(i) + ",";
        while (kSeen.find(kExpected) == std::string::npos && ReadSome(kStream, kSeen))
        {
        }
        EXPECT_NE(kSeen.find(kExpected), std::string::npos) << kSeen;
    }
    EXPECT_LT(kSeen.find("{\"N\":0,"), kSeen.find("{\"N\":1,"));
    EXPECT_LT(kSeen.find("{\"N\":1,"), kSeen.find("{\"N\":2,"));
    EXPECT_EQ(m_kServer.GetStreamCount(), 1u);
    kStream.Close();
    EXPECT_TRUE(WaitFor([&] { return m_kServer.GetStreamCount() == 0; }));
}

TEST_F(WebServerTest, ABrowserThatFallsBehindIsDroppedAndTheServerGoesOn)
{
    TestSupport::CLogCapture kLog;
    m_kOptions.kStreamLimits = {8, 256u << 10};
    Start();
    Common::TcpSocket kSlow;
    const std::string kToken = OpenStream(kSlow);
    ASSERT_EQ(kToken.size(), 32u);
    ASSERT_TRUE(Post(Request("Subscribe"), kToken));
    // Frames of 64 KB, never read: the socket's buffers fill, then the
    // stream's bound, and the browser is dropped.
    EXPECT_TRUE(WaitFor([&] {
        Post(Request("Emit", ",\"Arg0\":4,\"Arg1\":65536", false));
        return m_kServer.GetStreamCount() == 0;
    }));
    EXPECT_TRUE(WaitFor([&] { return kLog.Contains("did not keep up with its live stream, dropped (0 open)"); }));
    // Others are still served.
    const httplib::Result kPage = Client().Get("/");
    ASSERT_TRUE(kPage);
    EXPECT_EQ(kPage->status, 200);
}

TEST_F(WebServerTest, ConnectionsBeyondTheBoundAreRefused)
{
    m_kOptions.uiMaxConnections = 2;
    Start();
    Common::TcpSocket akStreams[2];
    for (Common::TcpSocket& kStream : akStreams)
        ASSERT_EQ(OpenStream(kStream).size(), 32u);
    const httplib::Result kRefused = Client().Get("/");
    ASSERT_TRUE(kRefused);
    EXPECT_EQ(kRefused->status, 503);
    // A closed connection frees its place once its thread is done with it.
    akStreams[0].Close();
    bool bServed = false;
    WaitFor([&] {
        const httplib::Result kServed = Client().Get("/");
        bServed = bServed || (kServed && kServed->status == 200);
        return bServed;
    });
    EXPECT_TRUE(bServed);
    EXPECT_EQ(m_kServer.GetStreamCount(), 1u);
}

TEST_F(WebServerTest, StopOnTheEngineThreadAnswersTheRequestsInFlight)
{
    // No engine thread: this thread is the engine's, as in the host.
    m_kManager.GetQueue().SetEngineThread();
    Start(false);
    int iStatus = 0;
    std::string kBody;
    std::thread kCaller([&] {
        if (const httplib::Result kResult = Post(Request("Echo", ",\"Arg0\":5")))
        {
            iStatus = kResult->status;
            kBody = kResult->body;
        }
    });
    ASSERT_TRUE(WaitFor([&] { return m_kManager.GetQueue().GetPendingCount() == 1; }));
    m_kServer.Stop();
    kCaller.join();
    EXPECT_EQ(iStatus, 200);
    EXPECT_EQ(kBody, R"({"Res":5})");
    // Later requests find nobody.
    EXPECT_FALSE(Client().Get("/"));
}

}  // namespace
