#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "Client/EngineClient.h"
#include "Commands/CommandManager.h"
#include "Commands/ReturnBuffer.h"
#include "Host/EngineHost.h"
#include "System/Net/TcpSocket.h"
#include "System/Thread/Thread.h"
#include "support/ReportCapture.h"
#include "support/WaitFor.h"

using namespace TarnEngine;

namespace {

using TestSupport::kGiveUpMs;
using TestSupport::WaitFor;

// A small singleton remote class for the network tests: a running total.
class CNetCounter : public TarnEngine::CSingletonManager<CNetCounter>
{
public:
    int Add(const int32& iValue) { return m_iTotal.fetch_add(iValue) + iValue; }
    int GetTotal() { return m_iTotal.load(); }
    // Holds the engine thread until released, 5 s at most; counts the holds
    // that were released rather than timed out.
    int Hold()
    {
        for (int i = 0; i < 5000 && !m_bRelease.load(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        m_iReleased += m_bRelease.load() ? 1 : 0;
        return 1;
    }

    std::atomic<int> m_iTotal{0};
    std::atomic<bool> m_bRelease{false};
    std::atomic<int> m_iReleased{0};
};

std::string Request(const char* pMethod, const std::string& kArgs, bool bWaitAck)
{
    return std::string(R"({"ClassName":"NetCounter","MethodName":")") + pMethod + R"(","InstanceID":0,"WaitAck":)" +
           (bWaitAck ? "true" : "false") + R"(,"UseTcpThread":false)" + kArgs + "}";
}
const auto Add = [](int iValue, bool bWaitAck = true) {
    return Request("Add", ",\"Arg0\":" + std::to_string(iValue), bWaitAck);
};
const std::string kGetTotal = Request("GetTotal", "", true);
const std::string kPeekTotal =
    R"({"ClassName":"NetCounter","MethodName":"PeekTotal","InstanceID":0,"WaitAck":true,"UseTcpThread":true})";
const auto Res = [](int iValue) { return "{\"Res\":" + std::to_string(iValue) + "}"; };
// The framing: a length of four bytes, least significant first, then the text.
const auto Length = [](uint32 ui) { return std::string{char(ui), char(ui >> 8), char(ui >> 16), char(ui >> 24)}; };
const auto Frame = [](const std::string& kText) { return Length(static_cast<uint32>(kText.size())) + kText; };

// A raw peer that speaks the framing byte by byte.
class CRawPeer
{
public:
    bool Connect(uint16 uiPort) { return m_kSocket.Connect("127.0.0.1", uiPort); }
    bool Send(const std::string& kBytes) { return m_kSocket.Send(kBytes.data(), kBytes.size()); }
    // The next frame's length; false when the connection ended instead.
    bool ReceiveLength(uint32& uiLength)
    {
        unsigned char acLength[4];
        if (!m_kSocket.HasData(kGiveUpMs) || !m_kSocket.Receive(acLength, sizeof(acLength)))
            return false;
        uiLength = acLength[0] | acLength[1] << 8 | acLength[2] << 16 | static_cast<uint32>(acLength[3]) << 24;
        return true;
    }
    // The next frame's text; "<closed>" when the connection ended instead.
    std::string ReceiveFrame()
    {
        uint32 uiLength = 0;
        if (!ReceiveLength(uiLength) || uiLength == Common::MessageFraming::kCloseMarker)
            return "<closed>";
        std::string kText(uiLength, '\0');
        return !uiLength || m_kSocket.Receive(kText.data(), uiLength) ? kText : "<closed>";
    }
    // Whether the host ended the connection (end of stream, nothing before).
    bool WasClosedByHost()
    {
        char cByte;
        return m_kSocket.HasData(kGiveUpMs) && !m_kSocket.Receive(&cByte, 1);
    }
    std::string Call(const std::string& kRequest) { return Send(Frame(kRequest)) ? ReceiveFrame() : "<send failed>"; }

    Common::TcpSocket m_kSocket;
};

class EngineNetTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_kManager.Init());
        m_kManager.RegisterSingleton<CNetCounter>("NetCounter");
        m_kManager.Register("NetCounter", "Add", &CNetCounter::Add);
        m_kManager.Register("NetCounter", "GetTotal", &CNetCounter::GetTotal);
        m_kManager.Register("NetCounter", "Hold", &CNetCounter::Hold);
        // The same read, safe off the engine thread: "UseTcpThread" runs it
        // on the connection's own thread.
        m_kManager.Register("NetCounter", "PeekTotal", &CNetCounter::GetTotal, true);
        m_pCounter = TARN_NEW(CNetCounter);
    }
    void TearDown() override
    {
        m_kHost.Stop();
        if (m_kEngineThread.joinable())
        {
            m_bStopEngine = true;
            m_kManager.GetWakeEvent().Set();
            m_kEngineThread.join();
        }
        m_kManager.ProcessQueue();
        TARN_DELETE(m_pCounter);
    }

    // The engine loop of the tests (it runs the queue whenever woken, once
    // the gate is open), then the host.
    void Start(bool bGateOpen = true)
    {
        m_bGate = bGateOpen;
        m_kEngineThread = std::thread([this] {
            m_kManager.GetQueue().SetEngineThread();
            while (!m_bStopEngine.load())
            {
                m_kManager.GetWakeEvent().Wait(20);
                if (m_bGate.load())
                    m_kManager.ProcessQueue();
            }
        });
        StartHost();
    }
    void StartHost()
    {
        ASSERT_TRUE(m_kHost.Start(m_kManager, m_kOptions));
        ASSERT_NE(m_kHost.GetPort(), 0);
    }
    bool WaitForConnections(uint32 uiCount)
    {
        return WaitFor([&] { return m_kHost.GetConnectionCount() == uiCount; });
    }

    CommandManager m_kManager;
    CNetCounter* m_pCounter = nullptr;
    SNetOptions m_kOptions{.uiPort = 0};
    CEngineHost m_kHost;
    std::thread m_kEngineThread;
    std::atomic<bool> m_bStopEngine{false};
    std::atomic<bool> m_bGate{true};
};

TEST_F(EngineNetTest, FramesUpToTheLimitAreAnsweredWhenWaitedForAndLongerOnesCloseTheirConnectionUnread)
{
    TestSupport::CLogCapture kLog;
    m_kOptions.uiMaxFrameBytes = 256;
    Start();
    CRawPeer kPeer;
    ASSERT_TRUE(kPeer.Connect(m_kHost.GetPort()));
    {
        // An empty frame is rejected before the command manager, which
        // reports every malformed request. Had it or the request without
        // "WaitAck" been answered, the next call would read a stale reply.
        TestSupport::CAssertCapture kReports;
        ASSERT_TRUE(kPeer.Send(Length(0) + Frame(Add(2, false))));
        EXPECT_EQ(kPeer.Call(Add(5)), Res(7));
        EXPECT_EQ(kReports.Count(), 0u);
        std::string kLongest = Add(1);
        kLongest.append(256 - kLongest.size(), ' ');
        EXPECT_EQ(kPeer.Call(kLongest), Res(8));
        // A request for an unknown command that waits still gets one reply.
        EXPECT_EQ(kPeer.Call(Request("Nope", "", true)).rfind("{\"Error\":", 0), 0u);
    }
    EXPECT_EQ(kPeer.Call(kGetTotal), Res(8));
    ASSERT_TRUE(kPeer.Send(Length(Common::MessageFraming::kCloseMarker)));
    uint32 uiEcho = 0;
    EXPECT_TRUE(kPeer.ReceiveLength(uiEcho));
    EXPECT_EQ(uiEcho, Common::MessageFraming::kCloseMarker);
    EXPECT_TRUE(kPeer.WasClosedByHost());
    EXPECT_TRUE(WaitForConnections(0));
    // A length over the limit: the peer keeps its side open and sends no
    // text, so only a host that refuses the length at once (without waiting
    // for, or making room for, the text) closes the connection.
    for (const uint32 uiLength : {257u, 1u << 30, 0xFFFFFFFEu})
    {
        CRawPeer kLong;
        ASSERT_TRUE(kLong.Connect(m_kHost.GetPort()) && kLong.Send(Length(uiLength)));
        EXPECT_TRUE(kLong.WasClosedByHost()) << uiLength;
        EXPECT_TRUE(WaitForConnections(0)) << uiLength;
    }
    EXPECT_EQ(m_pCounter->GetTotal(), 8);
    for (const char* pLine : {"Connection accepted from 127.0.0.1:", "empty message rejected",
                              "client connection closed...", "exceeds the limit of 256 bytes, connection closed"})
        EXPECT_TRUE(kLog.Contains(pLine)) << pLine;
}

TEST_F(EngineNetTest, ClientsAreServedAtOnceUpToTheLimitAndOneDroppingMidFrameFreesItsPlace)
{
    TestSupport::CLogCapture kLog;
    m_kOptions.uiMaxConnections = 2;
    Start();
    CRawPeer akPeers[4];
    ASSERT_TRUE(akPeers[0].Connect(m_kHost.GetPort()) && akPeers[1].Connect(m_kHost.GetPort()));
    // Interleaved: each connection keeps its own request order.
    ASSERT_TRUE(akPeers[0].Send(Frame(Add(10))) && akPeers[1].Send(Frame(Add(20))));
    const std::string kReplies = akPeers[0].ReceiveFrame() + " " + akPeers[1].ReceiveFrame();
    EXPECT_TRUE(kReplies == Res(10) + " " + Res(30) || kReplies == Res(30) + " " + Res(20)) << kReplies;
    ASSERT_TRUE(akPeers[2].Connect(m_kHost.GetPort()));
    EXPECT_TRUE(akPeers[2].WasClosedByHost());
    EXPECT_TRUE(kLog.Contains("refused: 2 connections already open"));
    EXPECT_EQ(m_kHost.GetConnectionCount(), 2u);
    const std::string kCut = Frame(Add(100));
    ASSERT_TRUE(akPeers[0].Send(kCut.substr(0, kCut.size() / 2)));
    akPeers[0].m_kSocket.Close();
    ASSERT_TRUE(WaitForConnections(1));
    ASSERT_TRUE(akPeers[3].Connect(m_kHost.GetPort()));
    EXPECT_EQ(akPeers[3].Call(Add(1)), Res(31));
    EXPECT_EQ(akPeers[1].Call(kGetTotal), Res(31));
}

TEST_F(EngineNetTest, PipelinedRequestsSentAtOnceAreAnsweredInOrderExactlyOnce)
{
    Start();
    CRawPeer kPeer;
    ASSERT_TRUE(kPeer.Connect(m_kHost.GetPort()));
    // A thousand mixed requests in one send: acknowledged and not, reads on
    // the engine thread and on the connection's (which must see every
    // request before them run), broken ones and unknown ones, each with the
    // reply it must get.
    std::string kBytes;
    std::vector<std::string> kExpected;
    int iTotal = 0;
    for (int i = 0; i < 1000; ++i)
    {
        switch (i % 6)
        {
            case 5:
                kBytes += Frame(kPeekTotal);
                kExpected.push_back(Res(iTotal));
                break;
            case 0:
                kBytes += Frame(Add(1));
                kExpected.push_back(Res(++iTotal));
                break;
            case 1:
                kBytes += Frame(Add(2, false));
                iTotal += 2;
                break;
            case 2:
                kBytes += Frame(kGetTotal);
                kExpected.push_back(Res(iTotal));
                break;
            case 3:
                kBytes += Frame(R"({"ClassName":"NetCounter","WaitAck":true})");
                kExpected.push_back("<error>");
                break;
            default:
                kBytes += Frame(Request("Nothing", "", true));
                kExpected.push_back("<error>");
                break;
        }
    }
    ASSERT_TRUE(kPeer.Send(kBytes));
    for (size_t i = 0; i < kExpected.size(); ++i)
    {
        const std::string kReply = kPeer.ReceiveFrame();
        if (kExpected[i] == "<error>")
            EXPECT_EQ(kReply.rfind("{\"Error\":", 0), 0u) << "reply " << i << ": " << kReply;
        else
            EXPECT_EQ(kReply, kExpected[i]) << "reply " << i;
        if (HasFailure())
            break;
    }
    // Nothing more: the next reply is the next request's.
    EXPECT_EQ(kPeer.Call(kGetTotal), Res(iTotal));
}

TEST_F(EngineNetTest, APipelinedBatchCutOffByADisconnectRunsOnlyItsWholeRequests)
{
    Start();
    {
        CRawPeer kPeer;
        ASSERT_TRUE(kPeer.Connect(m_kHost.GetPort()));
        std::string kBytes;
        for (int i = 0; i < 50; ++i)
            kBytes += Frame(Add(1, false));
        // The last one is cut short, then the client goes.
        const std::string kLast = Frame(Add(1000, false));
        kBytes += kLast.substr(0, kLast.size() - 5);
        ASSERT_TRUE(kPeer.Send(kBytes));
    }
    // The whole frames run (the host may take a moment to be served them),
    // the cut one never does.
    CRawPeer kCheck;
    ASSERT_TRUE(kCheck.Connect(m_kHost.GetPort()));
    EXPECT_TRUE(WaitFor([&] { return kCheck.Call(kGetTotal) == Res(50); }));
    ASSERT_TRUE(WaitForConnections(1));
    EXPECT_EQ(kCheck.Call(kGetTotal), Res(50));
}

TEST_F(EngineNetTest, StopAnswersWhatWasReadThenClosesEveryConnectionWithoutReadingMore)
{
    // No engine thread: this thread is the engine thread, and the requests
    // wait for it while it stops the host.
    m_kManager.GetQueue().SetEngineThread();
    StartHost();
    const uint16 uiPort = m_kHost.GetPort();
    constexpr int kClients = 4;
    CRawPeer akPeers[kClients + 2];  // and one idle, one in the middle of a message
    for (CRawPeer& kPeer : akPeers)
        ASSERT_TRUE(kPeer.Connect(uiPort));
    // Three requests at once: the host reads them together and waits for
    // the engine with them; a fourth sent after they were read is not read
    // before the stop.
    for (int i = 0; i < kClients; ++i)
        ASSERT_TRUE(akPeers[i].Send(Frame(Add(1)) + Frame(Add(1)) + Frame(Add(1))));
    ASSERT_TRUE(akPeers[kClients + 1].Send(Length(100) + "{\"Class"));
    ASSERT_TRUE(WaitFor([&] { return m_kManager.GetQueue().GetPendingCount() == 3 * kClients; }));
    for (int i = 0; i < kClients; ++i)
        ASSERT_TRUE(akPeers[i].Send(Frame(Add(100))));
    ASSERT_TRUE(WaitForConnections(kClients + 2));
    m_kHost.Stop();
    EXPECT_FALSE(m_kHost.IsRunning());
    EXPECT_EQ(m_kHost.GetConnectionCount(), 0u);
    EXPECT_EQ(m_pCounter->GetTotal(), 3 * kClients);
    // Every request that ran was answered, each client's in order, and
    // nothing more was run.
    std::vector<int> kTotals;
    for (int i = 0; i < kClients; ++i)
    {
        int iLast = 0;
        for (int r = 0; r < 3; ++r)
        {
            const std::string kReply = akPeers[i].ReceiveFrame();
            ASSERT_EQ(kReply.rfind("{\"Res\":", 0), 0u) << kReply;
            const int iTotal = std::stoi(kReply.substr(7));
            EXPECT_GT(iTotal, iLast);
            iLast = iTotal;
            kTotals.push_back(iTotal);
        }
        EXPECT_EQ(akPeers[i].ReceiveFrame(), "<closed>");
    }
    std::sort(kTotals.begin(), kTotals.end());
    for (int i = 0; i < 3 * kClients; ++i)
        EXPECT_EQ(kTotals[static_cast<size_t>(i)], i + 1);
    EXPECT_TRUE(akPeers[kClients].WasClosedByHost());
    EXPECT_TRUE(akPeers[kClients + 1].WasClosedByHost());
    CRawPeer kLate;
    EXPECT_FALSE(kLate.Connect(uiPort));
    m_kHost.Stop();  // a second stop changes nothing
}

struct SLimitCase
{
    const char* pName;
    uint32 uiPerConnection;
    uint32 uiRequests;
    uint32 uiBytesInRequests;  // the byte limit, in requests' costs
    uint32 uiHeld;             // what two flooding clients reach
    uint32 uiPeak;             // and with one more client's request
    friend void PrintTo(const SLimitCase& kCase, std::ostream* pOut) { *pOut << kCase.pName; }
};

class EngineNetLimitTest : public EngineNetTest, public testing::WithParamInterface<SLimitCase>
{
};

TEST_P(EngineNetLimitTest, RequestsHeldByTheHostStayWithinTheLimit)
{
    // The engine runs nothing until the gate opens: what the clients send
    // piles up as far as the host lets it, no further.
    const SLimitCase& kCase = GetParam();
    const std::string kRequest = Add(1, false);
    m_kOptions.uiMaxQueuedPerConnection = kCase.uiPerConnection;
    m_kOptions.uiMaxQueuedRequests = kCase.uiRequests;
    m_kOptions.uiMaxQueuedBytes = kCase.uiBytesInRequests * CRequestBudget::CostOf(uint32(kRequest.size()));
    Start(false);
    constexpr int kPerClient = 200;
    std::string kFlood;
    for (int i = 0; i < kPerClient; ++i)
        kFlood += Frame(kRequest);
    CRawPeer akFlooding[2];
    for (CRawPeer& kPeer : akFlooding)
        ASSERT_TRUE(kPeer.Connect(m_kHost.GetPort()) && kPeer.Send(kFlood));
    WaitFor([&] { return m_kManager.GetQueue().GetPendingCount() >= kCase.uiHeld; });
    EXPECT_EQ(m_kManager.GetQueue().GetPendingCount(), kCase.uiHeld);

    // A client that waits is answered once the engine runs again.
    CRawPeer kWaiting;
    ASSERT_TRUE(kWaiting.Connect(m_kHost.GetPort()) && kWaiting.Send(Frame(kGetTotal)));
    WaitFor([&] { return m_kHost.GetBudget().GetRequests() >= kCase.uiPeak; });
    m_bGate = true;
    m_kManager.GetWakeEvent().Set();
    const std::string kReply = kWaiting.ReceiveFrame();
    EXPECT_EQ(kReply.rfind("{\"Res\":", 0), 0u) << kReply;
    EXPECT_TRUE(WaitFor([&] { return m_pCounter->GetTotal() == 2 * kPerClient; }));
    EXPECT_EQ(m_kHost.GetBudget().GetPeakRequests(), kCase.uiPeak);
    m_kHost.Stop();
    EXPECT_EQ(m_kHost.GetBudget().GetRequests(), 0u);
    EXPECT_EQ(m_kHost.GetBudget().GetBytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Limits, EngineNetLimitTest,
                         testing::Values(SLimitCase{"PerConnection", 5, 1000, 1000, 10, 11},
                                         SLimitCase{"AllConnections", 50, 7, 1000, 7, 7},
                                         SLimitCase{"Bytes", 50, 1000, 3, 3, 3}),
                         [](const testing::TestParamInfo<SLimitCase>& kInfo) { return kInfo.param.pName; });

TEST_F(EngineNetTest, APipelineLongerThanTheLimitsIsAnsweredWhole)
{
    // The acknowledged requests a connection has read hold their charge
    // until it has seen them run: a pipeline longer than what the host may
    // hold must not leave the connection waiting for room only its own
    // waiting would make.
    const std::string kRequest = Add(1);
    const SLimitCase akCases[] = {{"PerConnection", 4, 1000, 1000, 0, 0},
                                  {"AllConnections", 1000, 4, 1000, 0, 0},
                                  {"Bytes", 1000, 1000, 4, 0, 0}};
    for (const SLimitCase& kCase : akCases)
    {
        SCOPED_TRACE(kCase.pName);
        m_kOptions.uiMaxQueuedPerConnection = kCase.uiPerConnection;
        m_kOptions.uiMaxQueuedRequests = kCase.uiRequests;
        m_kOptions.uiMaxQueuedBytes = kCase.uiBytesInRequests * CRequestBudget::CostOf(uint32(kRequest.size()));
        if (!m_kEngineThread.joinable())
            Start();
        else
            StartHost();
        const int iBefore = m_pCounter->GetTotal();
        std::string kBytes;
        for (int i = 0; i < 40; ++i)
            kBytes += Frame(kRequest);
        CRawPeer kPeer;
        ASSERT_TRUE(kPeer.Connect(m_kHost.GetPort()) && kPeer.Send(kBytes));
        for (int i = 1; i <= 40 && !HasFailure(); ++i)
            EXPECT_EQ(kPeer.ReceiveFrame(), Res(iBefore + i)) << "reply " << i;
        // Replies go out once their requests' charges are back.
        EXPECT_EQ(m_kHost.GetBudget().GetRequests(), 0u);
        EXPECT_EQ(m_kHost.GetBudget().GetBytes(), 0u);
        m_kHost.Stop();
    }
}

TEST_F(EngineNetTest, ARequestIsAnsweredBeforeWhatOthersQueuedBehindItRuns)
{
    // One run of the queue: a connection's acknowledged request, then
    // another client's request that holds the engine thread until the first
    // reply has arrived. The reply must not wait for it.
    Start(false);
    CRawPeer kWaiting;
    CRawPeer kHolding;
    ASSERT_TRUE(kWaiting.Connect(m_kHost.GetPort()) && kHolding.Connect(m_kHost.GetPort()));
    ASSERT_TRUE(kWaiting.Send(Frame(Add(1))));
    ASSERT_TRUE(WaitFor([&] { return m_kManager.GetQueue().GetPendingCount() == 1; }));
    ASSERT_TRUE(kHolding.Send(Frame(Request("Hold", "", false))));
    ASSERT_TRUE(WaitFor([&] { return m_kManager.GetQueue().GetPendingCount() == 2; }));
    m_bGate = true;
    m_kManager.GetWakeEvent().Set();
    EXPECT_EQ(kWaiting.ReceiveFrame(), Res(1));
    m_pCounter->m_bRelease = true;
    EXPECT_EQ(kHolding.Call(kGetTotal), Res(1));
    EXPECT_EQ(m_pCounter->m_iReleased.load(), 1) << "the hold ran out before the first reply was sent";
}

TEST_F(EngineNetTest, UnfinishedMessagesCloseTheirConnectionIdleOnesStay)
{
    TestSupport::CLogCapture kLog;
    m_kOptions.uiFrameTimeoutMs = 200;
    m_kOptions.uiSendTimeoutMs = 200;
    Start();
    CRawPeer kIdle;
    ASSERT_TRUE(kIdle.Connect(m_kHost.GetPort()));
    EXPECT_EQ(kIdle.Call(Add(1)), Res(1));

    // Half a length, and a length with part of its text.
    CRawPeer kHalfLength;
    CRawPeer kHalfText;
    ASSERT_TRUE(kHalfLength.Connect(m_kHost.GetPort()) && kHalfLength.Send(Length(64).substr(0, 2)));
    ASSERT_TRUE(kHalfText.Connect(m_kHost.GetPort()) && kHalfText.Send(Frame(Add(100)).substr(0, 14)));
    EXPECT_TRUE(kHalfLength.WasClosedByHost());
    EXPECT_TRUE(kHalfText.WasClosedByHost());
    EXPECT_TRUE(kLog.Contains("sent part of a message and nothing more for 200 ms, connection closed"));
    // The idle connection outlived the time-outs and is still served.
    EXPECT_EQ(kIdle.Call(Add(1)), Res(2));
}

TEST_F(EngineNetTest, AClientThatNeverTakesItsRepliesIsLetGoAndAnIdleOneStays)
{
    TestSupport::CLogCapture kLog;
    TestSupport::CAssertCapture kReports;
    // Only the send time-out is short: a slow machine that delays the
    // sender between two parts of a message must not end the connection
    // for another reason first.
    m_kOptions.uiSendTimeoutMs = 200;
    Start();
    CRawPeer kIdle;
    ASSERT_TRUE(kIdle.Connect(m_kHost.GetPort()));
    EXPECT_EQ(kIdle.Call(Add(1)), Res(1));

    // A client that sends and never reads: its replies fill the buffers,
    // and the host gives up on it.
    // Its receive buffer is made small before it connects, so that the
    // window it offers matches what it can hold: shrunk later, the host
    // would send into room that is not there and the connection would
    // stall on lost segments instead.
    const int iDeaf = socket(AF_INET, SOCK_STREAM, 0);
    const int iSmall = 4096;
    ASSERT_EQ(setsockopt(iDeaf, SOL_SOCKET, SO_RCVBUF, &iSmall, sizeof(iSmall)), 0);
    sockaddr_in kAddress{};
    kAddress.sin_family = AF_INET;
    kAddress.sin_port = htons(m_kHost.GetPort());
    kAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(iDeaf, reinterpret_cast<const sockaddr*>(&kAddress), sizeof(kAddress)), 0);
    Common::TcpSocket kDeaf(iDeaf);
    std::thread kSender([&kDeaf] {
        // Text that cannot be parsed but asks for a reply: each is answered
        // at once with a long error. Stops when the host closes.
        std::string kBatch;
        for (int i = 0; i < 1000; ++i)
            kBatch += Frame("{\"WaitAck\":true,");
        for (int i = 0; i < 2000 && kDeaf.Send(kBatch.data(), kBatch.size()); ++i)
            continue;
    });
    EXPECT_TRUE(WaitFor([&] { return kLog.Contains("did not take its replies within 200 ms, connection closed"); }));
    kDeaf.Shutdown();
    kSender.join();

    EXPECT_FALSE(kLog.Contains("sent part of a message"));
    EXPECT_EQ(kIdle.Call(Add(1)), Res(2));
}

TEST_F(EngineNetTest, ManyConnectionsAreServedWithoutReports)
{
    TestSupport::CAssertCapture kReports;
    Start();
    // More connections than threads that once had their own tag list or
    // log buffer.
    constexpr int kClients = 40;
    std::vector<std::thread> kThreads;
    std::atomic<int> iAnswered{0};
    for (int i = 0; i < kClients; ++i)
        kThreads.emplace_back([this, &iAnswered] {
            CRawPeer kPeer;
            const bool bConnected = kPeer.Connect(m_kHost.GetPort());
            for (int j = 0; j < 5 && bConnected; ++j)
                iAnswered += kPeer.Call(Add(1)).rfind("{\"Res\":", 0) == 0 ? 1 : 0;
        });
    for (std::thread& kThread : kThreads)
        kThread.join();
    EXPECT_EQ(iAnswered.load(), kClients * 5);
    EXPECT_EQ(kReports.Count(), 0u) << (kReports.Count() ? kReports.Texts()[0] : "");
}

TEST_F(EngineNetTest, StartWarnsOfAnAddressBeyondLoopbackAndFailsOnATakenPort)
{
    const auto IsWarning = [](const std::string& kLine) {
        return kLine.find("remote calls are unauthenticated") != std::string::npos;
    };
    const std::pair<const char*, long> akCases[] = {{nullptr, 0}, {"127.0.0.1", 0}, {"0.0.0.0", 1}};
    for (const auto& [pAddress, iWarnings] : akCases)
    {
        TestSupport::CLogCapture kLog;
        CEngineHost kHost;
        m_kOptions.pBindAddress = pAddress;
        ASSERT_TRUE(kHost.Start(m_kManager, m_kOptions));
        const std::vector<std::string> kLines = kLog.Lines();
        EXPECT_EQ(std::count_if(kLines.begin(), kLines.end(), IsWarning), iWarnings)
            << (pAddress ? pAddress : "no address");
    }
    Common::TcpSocket kTaken;
    ASSERT_TRUE(kTaken.Listen(0, "127.0.0.1"));
    m_kOptions.pBindAddress = SNetOptions().pBindAddress;
    m_kOptions.uiPort = kTaken.GetPort();
    TestSupport::CAssertCapture kReports;
    EXPECT_FALSE(m_kHost.Start(m_kManager, m_kOptions));
    EXPECT_TRUE(kReports.Has("Assertion \"false\" failed. could not open host RPC connection"));
    EXPECT_FALSE(m_kHost.IsRunning());
}

// Calls back while the client waits, and lets the engine thread run only
// from then on, so that the wait is sure to happen.
class CGateIdle : public IClientIdleCallback
{
public:
    CGateIdle(std::atomic<bool>& bGate, bool bKeepWaiting) : m_bGate(bGate), m_bKeepWaiting(bKeepWaiting) {}
    bool OnIdle() override
    {
        ++m_uiCalls;
        m_bGate = true;
        return m_bKeepWaiting;
    }

    std::atomic<bool>& m_bGate;
    bool m_bKeepWaiting;
    uint32 m_uiCalls = 0;
};

TEST_F(EngineNetTest, ClientWaitsThroughItsIdleCallbackAndLeavesWhenToldOrOverItsReplyLimit)
{
    Start(false);
    CEngineClientRPC kClient;
    ASSERT_TRUE(kClient.Connect("127.0.0.1", m_kHost.GetPort()));
    CGateIdle kIdle(m_bGate, true);
    kClient.SetIdleCallback(&kIdle);
    CReturnBuffer kReply;
    ASSERT_TRUE(kClient.DoCall(Add(4).c_str(), &kReply));
    EXPECT_STREQ(kReply.GetText(), "{\"Res\":4}");
    EXPECT_GE(kIdle.m_uiCalls, 1u);
    // Without a reply wanted, the call returns after sending.
    EXPECT_TRUE(kClient.DoCall(Add(1, false).c_str(), nullptr));
    ASSERT_TRUE(kClient.DoCall(kGetTotal.c_str(), &kReply));
    EXPECT_STREQ(kReply.GetText(), "{\"Res\":5}");
    kClient.Disconnect();
    EXPECT_FALSE(kClient.IsConnected());
    EXPECT_TRUE(WaitForConnections(0));
    {
        TestSupport::CAssertCapture kReports;
        EXPECT_FALSE(kClient.DoCall(kGetTotal.c_str(), &kReply));
    }

    CEngineClientRPC kLimited;
    ASSERT_TRUE(kLimited.Connect("127.0.0.1", m_kHost.GetPort()));
    kLimited.SetMaxReplyBytes(4);
    EXPECT_FALSE(kLimited.DoCall(Add(1).c_str(), &kReply));
    EXPECT_FALSE(kLimited.IsConnected());

    // An idle callback that gives up ends the wait and the connection.
    m_bGate = false;
    CEngineClientRPC kImpatient;
    CGateIdle kGivingUp(m_bGate, false);
    ASSERT_TRUE(kImpatient.Connect("127.0.0.1", m_kHost.GetPort()));
    kImpatient.SetIdleCallback(&kGivingUp);
    EXPECT_FALSE(kImpatient.DoCall(Add(4).c_str(), &kReply));
    EXPECT_EQ(kGivingUp.m_uiCalls, 1u);
    EXPECT_FALSE(kImpatient.IsConnected());
}

TEST_F(EngineNetTest, BroadcastCallsEveryInterfaceInOrderAndClientsReportAHostThatIsGone)
{
    Start();
    CEngineHost kSecondHost;
    ASSERT_TRUE(kSecondHost.Start(m_kManager, m_kOptions));
    CEngineClientBroadcast::CInterfaceSockets<CNetCounter> kSockets;
    ASSERT_TRUE(kSockets.AddConnection("127.0.0.1", m_kHost.GetPort(), 3, 1));
    ASSERT_TRUE(kSockets.AddConnection("127.0.0.1", kSecondHost.GetPort(), 3, 1));
    EXPECT_EQ(kSockets.GetConnectionCount(), 2u);
    CReturnBuffer kReply;
    ASSERT_TRUE(kSockets.CallMethod(Add(5).c_str(), &kReply));
    EXPECT_STREQ(kReply.GetText(), "{\"Res\":10}");  // both ran, the second one last
    EXPECT_TRUE(kSockets.CallMethod(Add(1, false).c_str(), nullptr));
    ASSERT_TRUE(kSockets.CallMethod(kGetTotal.c_str(), &kReply));
    EXPECT_STREQ(kReply.GetText(), "{\"Res\":12}");
    // A stopped interface is dropped from the list.
    const uint16 uiGone = kSecondHost.GetPort();
    kSecondHost.Stop();
    {
        TestSupport::CAssertCapture kReports;
        EXPECT_FALSE(kSockets.CallMethod(kGetTotal.c_str(), &kReply));
    }
    EXPECT_EQ(kSockets.GetConnectionCount(), 1u);
    kSockets.DisconnectAll();
    EXPECT_TRUE(WaitForConnections(0));

    TestSupport::CAssertCapture kReports;
    CEngineClientRPC kClient;
    EXPECT_FALSE(kClient.Connect("127.0.0.1", uiGone));
    EXPECT_TRUE(kReports.Has("Assertion \"false\" failed. Unable to connect to interface!"));
    EXPECT_FALSE(kSockets.AddConnection("127.0.0.1", uiGone, 2, 1));
    EXPECT_TRUE(kReports.Has("Assertion \"bConnected\" failed. Unable to connect to interface at 127.0.0.1 port " +
                             std::to_string(uiGone) + " !"));
    EXPECT_EQ(kSockets.GetConnectionCount(), 0u);
}

}  // namespace
