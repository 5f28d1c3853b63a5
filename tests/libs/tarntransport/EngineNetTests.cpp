#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "Commands/CommandManager.h"
#include "Commands/ReturnBuffer.h"
#include "Client/EngineClient.h"
#include "Host/EngineHost.h"
#include "System/Net/TcpSocket.h"
#include "System/Thread/Thread.h"
#include "support/ReportCapture.h"

using namespace TarnEngine;

// A small singleton remote class for the network tests: a running total.
namespace RPC {

class IRPCStub_CNetCounter : public TarnEngine::CSingletonManager<IRPCStub_CNetCounter>
{
public:
    virtual int Add(const int32& iValue) = 0;
    virtual int GetTotal() = 0;
};

class CNetCounter : public IRPCStub_CNetCounter
{
public:
    int Add(const int32& iValue) override { return m_iTotal.fetch_add(iValue) + iValue; }
    int GetTotal() override { return m_iTotal.load(); }

    std::atomic<int> m_iTotal{0};
};

}  // namespace RPC

namespace {

// Generous: only there so that a broken host fails a test instead of hanging.
constexpr int kGiveUpMs = 10000;

std::string CounterRequest(const char* pMethod, bool bWaitAck, int iArg = 0)
{
    std::string kText = std::string("{\"ClassName\":\"NetCounter\",\"MethodName\":\"") + pMethod +
                        "\",\"InstanceID\":0,\"WaitAck\":" + (bWaitAck ? "true" : "false") + ",\"UseTcpThread\":false";
    if (std::strcmp(pMethod, "Add") == 0)
        kText += ",\"Arg0\":" + std::to_string(iArg);
    return kText + "}";
}

// A raw peer that speaks the framing byte by byte.
class CRawPeer
{
public:
    bool Connect(uint16 uiPort) { return m_kSocket.Connect("127.0.0.1", uiPort); }
    bool SendLength(uint32 uiLength)
    {
        const unsigned char acLength[4] = {static_cast<unsigned char>(uiLength),
                                           static_cast<unsigned char>(uiLength >> 8),
                                           static_cast<unsigned char>(uiLength >> 16),
                                           static_cast<unsigned char>(uiLength >> 24)};
        return m_kSocket.Send(acLength, sizeof(acLength));
    }
    bool SendBytes(const std::string& kBytes) { return m_kSocket.Send(kBytes.data(), kBytes.size()); }
    bool SendFrame(const std::string& kText)
    {
        return SendLength(static_cast<uint32>(kText.size())) && SendBytes(kText);
    }
    // The next frame's length; false when the connection ended instead.
    bool ReceiveLength(uint32& uiLength)
    {
        if (!m_kSocket.HasData(kGiveUpMs))
            return false;
        unsigned char acLength[4];
        if (!m_kSocket.Receive(acLength, sizeof(acLength)))
            return false;
        uiLength = static_cast<uint32>(acLength[0]) | (static_cast<uint32>(acLength[1]) << 8) |
                   (static_cast<uint32>(acLength[2]) << 16) | (static_cast<uint32>(acLength[3]) << 24);
        return true;
    }
    // The next frame's text; "<closed>" when the connection ended instead.
    std::string ReceiveFrame()
    {
        uint32 uiLength = 0;
        if (!ReceiveLength(uiLength) || uiLength == Common::MessageFraming::kCloseMarker)
            return "<closed>";
        std::string kText(uiLength, '\0');
        if (uiLength && !m_kSocket.Receive(kText.data(), uiLength))
            return "<closed>";
        return kText;
    }
    // Whether the host ended the connection (end of stream, nothing before).
    bool WasClosedByHost()
    {
        if (!m_kSocket.HasData(kGiveUpMs))
            return false;
        char cByte;
        return !m_kSocket.Receive(&cByte, 1);
    }
    std::string Call(const std::string& kRequest) { return SendFrame(kRequest) ? ReceiveFrame() : "<send failed>"; }
    void Close() { m_kSocket.Close(); }

    Common::TcpSocket m_kSocket;
};

class EngineNetTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_kManager.Init());
        m_kManager.RegisterSingleton<RPC::IRPCStub_CNetCounter>("NetCounter");
        m_kManager.Register("NetCounter", "Add", &RPC::IRPCStub_CNetCounter::Add);
        m_kManager.Register("NetCounter", "GetTotal", &RPC::IRPCStub_CNetCounter::GetTotal);
        m_pCounter = TARN_NEW(RPC::CNetCounter);
        m_kOptions.uiPort = 0;
    }
    void TearDown() override
    {
        m_kHost.Stop();
        StopEngineThread();
        m_kManager.ProcessQueue();
        TARN_DELETE(m_pCounter);
    }

    // The engine loop of the tests: runs the queue whenever woken, once
    // the gate is open.
    void StartEngineThread(bool bGateOpen = true)
    {
        m_bStopEngine = false;
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
    }
    void StopEngineThread()
    {
        if (!m_kEngineThread.joinable())
            return;
        m_bStopEngine = true;
        m_kManager.GetWakeEvent().Set();
        m_kEngineThread.join();
    }
    void StartHost()
    {
        ASSERT_TRUE(m_kHost.Start(m_kManager, m_kOptions));
        ASSERT_NE(m_kHost.GetPort(), 0);
    }
    // Waits (bounded) until the host serves uiCount connections.
    bool WaitForConnections(uint32 uiCount)
    {
        for (int iMs = 0; iMs < kGiveUpMs; iMs += 5)
        {
            if (m_kHost.GetConnectionCount() == uiCount)
                return true;
            Common::CThread::SleepCurrent(5);
        }
        return false;
    }

    CommandManager m_kManager;
    RPC::CNetCounter* m_pCounter = nullptr;
    SNetOptions m_kOptions;
    CEngineHost m_kHost;
    std::thread m_kEngineThread;
    std::atomic<bool> m_bStopEngine{false};
    std::atomic<bool> m_bGate{true};
};

TEST_F(EngineNetTest, CloseMarkerIsEchoedAndEndsTheConnection)
{
    TestSupport::CLogCapture kLog;
    StartEngineThread();
    StartHost();
    CRawPeer kPeer;
    ASSERT_TRUE(kPeer.Connect(m_kHost.GetPort()));
    EXPECT_EQ(kPeer.Call(CounterRequest("Add", true, 3)), "{\"Res\":3}");
    ASSERT_TRUE(kPeer.SendLength(Common::MessageFraming::kCloseMarker));
    uint32 uiEcho = 0;
    ASSERT_TRUE(kPeer.ReceiveLength(uiEcho));
    EXPECT_EQ(uiEcho, Common::MessageFraming::kCloseMarker);
    EXPECT_TRUE(kPeer.WasClosedByHost());
    EXPECT_TRUE(WaitForConnections(0));
    EXPECT_TRUE(kLog.Contains("client connection closed..."));
    EXPECT_TRUE(kLog.Contains("Connection accepted from 127.0.0.1:"));
}

TEST_F(EngineNetTest, OnlyTheAcknowledgedRequestIsAnswered)
{
    StartEngineThread();
    StartHost();
    CRawPeer kPeer;
    ASSERT_TRUE(kPeer.Connect(m_kHost.GetPort()));
    ASSERT_TRUE(kPeer.SendFrame(CounterRequest("Add", false, 2)));
    EXPECT_EQ(kPeer.Call(CounterRequest("Add", true, 5)), "{\"Res\":7}");
    // Had the first request been answered, this would read a stale reply.
    EXPECT_EQ(kPeer.Call(CounterRequest("GetTotal", true)), "{\"Res\":7}");
    // A request for an unknown command that waits still gets one reply.
    const std::string kUnknown =
        "{\"ClassName\":\"NetCounter\",\"MethodName\":\"Nope\",\"InstanceID\":0,\"WaitAck\":true,\"UseTcpThread\":false}";
    {
        TestSupport::CAssertCapture kReports;
        EXPECT_EQ(kPeer.Call(kUnknown).rfind("{\"Error\":", 0), 0u);
    }
    EXPECT_EQ(kPeer.Call(CounterRequest("Add", true, 1)), "{\"Res\":8}");
}

TEST_F(EngineNetTest, PeerDroppingMidFrameEndsOnlyItsConnection)
{
    StartEngineThread();
    StartHost();
    CRawPeer kStaying;
    CRawPeer kDropping;
    ASSERT_TRUE(kStaying.Connect(m_kHost.GetPort()));
    ASSERT_TRUE(kDropping.Connect(m_kHost.GetPort()));
    EXPECT_EQ(kStaying.Call(CounterRequest("Add", true, 1)), "{\"Res\":1}");
    EXPECT_EQ(kDropping.Call(CounterRequest("Add", true, 1)), "{\"Res\":2}");
    ASSERT_TRUE(WaitForConnections(2));

    const std::string kRequest = CounterRequest("Add", true, 100);
    ASSERT_TRUE(kDropping.SendLength(static_cast<uint32>(kRequest.size())));
    ASSERT_TRUE(kDropping.SendBytes(kRequest.substr(0, kRequest.size() / 2)));
    kDropping.Close();
    EXPECT_TRUE(WaitForConnections(1));

    EXPECT_EQ(kStaying.Call(CounterRequest("GetTotal", true)), "{\"Res\":2}");
    EXPECT_EQ(m_pCounter->GetTotal(), 2);
}

TEST_F(EngineNetTest, TwoClientsAreServedAtOnce)
{
    StartEngineThread();
    StartHost();
    CRawPeer kFirst;
    CRawPeer kSecond;
    ASSERT_TRUE(kFirst.Connect(m_kHost.GetPort()));
    ASSERT_TRUE(kSecond.Connect(m_kHost.GetPort()));
    // Interleaved: each connection keeps its own request order.
    ASSERT_TRUE(kFirst.SendFrame(CounterRequest("Add", true, 10)));
    ASSERT_TRUE(kSecond.SendFrame(CounterRequest("Add", true, 20)));
    const std::string kFirstReply = kFirst.ReceiveFrame();
    const std::string kSecondReply = kSecond.ReceiveFrame();
    EXPECT_TRUE((kFirstReply == "{\"Res\":10}" && kSecondReply == "{\"Res\":30}") ||
                (kFirstReply == "{\"Res\":30}" && kSecondReply == "{\"Res\":20}"))
        << kFirstReply << " / " << kSecondReply;
    EXPECT_TRUE(WaitForConnections(2));
    EXPECT_EQ(kSecond.Call(CounterRequest("GetTotal", true)), "{\"Res\":30}");
    EXPECT_EQ(kFirst.Call(CounterRequest("GetTotal", true)), "{\"Res\":30}");
}

struct SLengthCase
{
    const char* pName;
    uint32 uiLength;
};

class EngineNetLengthTest : public EngineNetTest, public testing::WithParamInterface<SLengthCase>
{
};

TEST_P(EngineNetLengthTest, LengthOverTheLimitClosesTheConnectionBeforeReadingIt)
{
    TestSupport::CLogCapture kLog;
    m_kOptions.uiMaxFrameBytes = 256;
    StartEngineThread();
    StartHost();
    CRawPeer kPeer;
    ASSERT_TRUE(kPeer.Connect(m_kHost.GetPort()));
    // The peer keeps its side open and sends no text: only a host that
    // refuses the length at once (without waiting for, or making room for,
    // the text) closes the connection.
    ASSERT_TRUE(kPeer.SendLength(GetParam().uiLength));
    EXPECT_TRUE(kPeer.WasClosedByHost());
    EXPECT_TRUE(WaitForConnections(0));
    EXPECT_TRUE(kLog.Contains("exceeds the limit of 256 bytes, connection closed"));
    EXPECT_EQ(m_pCounter->GetTotal(), 0);
}

INSTANTIATE_TEST_SUITE_P(Lengths, EngineNetLengthTest,
                         testing::Values(SLengthCase{"OneOver", 257u}, SLengthCase{"OneGiB", 1u << 30},
                                         SLengthCase{"LargestBelowMarker", 0xFFFFFFFEu}),
                         [](const testing::TestParamInfo<SLengthCase>& kInfo) { return kInfo.param.pName; });

TEST_F(EngineNetTest, RequestOfExactlyTheLimitIsServed)
{
    m_kOptions.uiMaxFrameBytes = 256;
    StartEngineThread();
    StartHost();
    CRawPeer kPeer;
    ASSERT_TRUE(kPeer.Connect(m_kHost.GetPort()));
    std::string kRequest = CounterRequest("Add", true, 4);
    ASSERT_LT(kRequest.size(), 256u);
    kRequest.append(256 - kRequest.size(), ' ');
    EXPECT_EQ(kPeer.Call(kRequest), "{\"Res\":4}");
}

TEST_F(EngineNetTest, EmptyFrameIsRejectedAndTheConnectionGoesOn)
{
    TestSupport::CLogCapture kLog;
    TestSupport::CAssertCapture kReports;
    StartEngineThread();
    StartHost();
    CRawPeer kPeer;
    ASSERT_TRUE(kPeer.Connect(m_kHost.GetPort()));
    ASSERT_TRUE(kPeer.SendLength(0));
    // The next reply is the next request's: the empty one got none.
    EXPECT_EQ(kPeer.Call(CounterRequest("Add", true, 6)), "{\"Res\":6}");
    EXPECT_TRUE(kLog.Contains("empty message rejected"));
    // The command manager never saw it: it reports every malformed request.
    EXPECT_EQ(kReports.Count(), 0u);
}

TEST_F(EngineNetTest, ConnectionsBeyondTheLimitAreClosedAtOnce)
{
    TestSupport::CLogCapture kLog;
    m_kOptions.uiMaxConnections = 2;
    StartEngineThread();
    StartHost();
    CRawPeer kFirst;
    CRawPeer kSecond;
    ASSERT_TRUE(kFirst.Connect(m_kHost.GetPort()));
    ASSERT_TRUE(kSecond.Connect(m_kHost.GetPort()));
    EXPECT_EQ(kFirst.Call(CounterRequest("Add", true, 1)), "{\"Res\":1}");
    EXPECT_EQ(kSecond.Call(CounterRequest("Add", true, 1)), "{\"Res\":2}");

    CRawPeer kThird;
    ASSERT_TRUE(kThird.Connect(m_kHost.GetPort()));
    EXPECT_TRUE(kThird.WasClosedByHost());
    EXPECT_TRUE(kLog.Contains("refused: 2 connections already open"));
    EXPECT_EQ(m_kHost.GetConnectionCount(), 2u);

    // A freed place is given to the next connection.
    kFirst.Close();
    ASSERT_TRUE(WaitForConnections(1));
    CRawPeer kFourth;
    ASSERT_TRUE(kFourth.Connect(m_kHost.GetPort()));
    EXPECT_EQ(kFourth.Call(CounterRequest("Add", true, 1)), "{\"Res\":3}");
    EXPECT_EQ(kSecond.Call(CounterRequest("GetTotal", true)), "{\"Res\":3}");
}

TEST_F(EngineNetTest, StopWithOpenConnectionsEndsEverything)
{
    StartEngineThread();
    StartHost();
    const uint16 uiPort = m_kHost.GetPort();
    CRawPeer kFirst;
    CRawPeer kSecond;
    ASSERT_TRUE(kFirst.Connect(uiPort));
    ASSERT_TRUE(kSecond.Connect(uiPort));
    EXPECT_EQ(kFirst.Call(CounterRequest("Add", true, 1)), "{\"Res\":1}");
    EXPECT_EQ(kSecond.Call(CounterRequest("Add", true, 1)), "{\"Res\":2}");
    // A third connection in the middle of a message.
    CRawPeer kPartial;
    ASSERT_TRUE(kPartial.Connect(uiPort));
    ASSERT_TRUE(kPartial.SendLength(100));
    ASSERT_TRUE(kPartial.SendBytes("{\"Class"));
    ASSERT_TRUE(WaitForConnections(3));

    m_kHost.Stop();
    EXPECT_FALSE(m_kHost.IsRunning());
    EXPECT_EQ(m_kHost.GetConnectionCount(), 0u);
    EXPECT_TRUE(kFirst.WasClosedByHost());
    EXPECT_TRUE(kSecond.WasClosedByHost());
    EXPECT_TRUE(kPartial.WasClosedByHost());
    CRawPeer kLate;
    EXPECT_FALSE(kLate.Connect(uiPort));
    m_kHost.Stop();  // a second stop changes nothing
}

TEST_F(EngineNetTest, StopAnswersWhatWasReadThenClosesWithoutReadingMore)
{
    // No engine thread: this thread is the engine thread, and the requests
    // wait for it while it stops the host.
    m_kManager.GetQueue().SetEngineThread();
    StartHost();
    constexpr int kClients = 4;
    CRawPeer akPeers[kClients];
    for (CRawPeer& kPeer : akPeers)
    {
        ASSERT_TRUE(kPeer.Connect(m_kHost.GetPort()));
        // Three requests at once: the host reads the first and waits for
        // the engine with it; the others are not read before the stop.
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(kPeer.SendFrame(CounterRequest("Add", true, 1)));
    }
    for (int iMs = 0; iMs < kGiveUpMs && m_kManager.GetQueue().GetPendingCount() < kClients; iMs += 5)
        Common::CThread::SleepCurrent(5);
    ASSERT_EQ(m_kManager.GetQueue().GetPendingCount(), static_cast<uint32>(kClients));
    m_kHost.Stop();
    EXPECT_EQ(m_pCounter->GetTotal(), kClients);
    EXPECT_EQ(m_kHost.GetConnectionCount(), 0u);
    // Every request that ran was answered, and nothing more was run.
    std::vector<std::string> kReplies;
    for (CRawPeer& kPeer : akPeers)
    {
        kReplies.push_back(kPeer.ReceiveFrame());
        EXPECT_EQ(kPeer.ReceiveFrame(), "<closed>");
    }
    std::sort(kReplies.begin(), kReplies.end());
    EXPECT_EQ(kReplies, (std::vector<std::string>{"{\"Res\":1}", "{\"Res\":2}", "{\"Res\":3}", "{\"Res\":4}"}));
}

struct SLimitCase
{
    const char* pName;
    uint32 uiPerConnection;
    uint32 uiRequests;
    uint32 uiBytesInRequests;  // the byte limit, in requests' costs
    uint32 uiHeld;             // what two flooding clients reach
    uint32 uiPeak;             // and with one more client's request
};

class EngineNetLimitTest : public EngineNetTest, public testing::WithParamInterface<SLimitCase>
{
};

TEST_P(EngineNetLimitTest, RequestsHeldByTheHostStayWithinTheLimit)
{
    // The engine runs nothing until the gate opens: what the clients send
    // piles up as far as the host lets it, no further.
    const SLimitCase& kCase = GetParam();
    const std::string kRequest = CounterRequest("Add", false, 1);
    m_kOptions.uiMaxQueuedPerConnection = kCase.uiPerConnection;
    m_kOptions.uiMaxQueuedRequests = kCase.uiRequests;
    m_kOptions.uiMaxQueuedBytes = kCase.uiBytesInRequests * CRequestBudget::CostOf(static_cast<uint32>(kRequest.size()));
    StartEngineThread(false);
    StartHost();
    constexpr int kPerClient = 200;
    std::string kFlood;
    for (int i = 0; i < kPerClient; ++i)
    {
        const uint32 uiLength = static_cast<uint32>(kRequest.size());
        kFlood.append(reinterpret_cast<const char*>(&uiLength), 4);
        kFlood += kRequest;
    }
    CRawPeer kFirst;
    CRawPeer kSecond;
    ASSERT_TRUE(kFirst.Connect(m_kHost.GetPort()));
    ASSERT_TRUE(kSecond.Connect(m_kHost.GetPort()));
    ASSERT_TRUE(kFirst.SendBytes(kFlood));
    ASSERT_TRUE(kSecond.SendBytes(kFlood));
    for (int iMs = 0; iMs < kGiveUpMs && m_kManager.GetQueue().GetPendingCount() < kCase.uiHeld; iMs += 5)
        Common::CThread::SleepCurrent(5);
    EXPECT_EQ(m_kManager.GetQueue().GetPendingCount(), kCase.uiHeld);

    // A client that waits is answered once the engine runs again.
    CRawPeer kWaiting;
    ASSERT_TRUE(kWaiting.Connect(m_kHost.GetPort()));
    ASSERT_TRUE(kWaiting.SendFrame(CounterRequest("GetTotal", true)));
    for (int iMs = 0; iMs < kGiveUpMs && m_kHost.GetBudget().GetRequests() < kCase.uiPeak; iMs += 5)
        Common::CThread::SleepCurrent(5);
    m_bGate = true;
    m_kManager.GetWakeEvent().Set();
    const std::string kReply = kWaiting.ReceiveFrame();
    EXPECT_EQ(kReply.rfind("{\"Res\":", 0), 0u) << kReply;
    for (int iMs = 0; iMs < kGiveUpMs && m_pCounter->GetTotal() < 2 * kPerClient; iMs += 5)
        Common::CThread::SleepCurrent(5);
    EXPECT_EQ(m_pCounter->GetTotal(), 2 * kPerClient);
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

TEST_F(EngineNetTest, UnfinishedMessagesAndUntakenRepliesCloseTheirConnectionIdleOnesStay)
{
    TestSupport::CLogCapture kLog;
    m_kOptions.uiFrameTimeoutMs = 200;
    m_kOptions.uiSendTimeoutMs = 200;
    StartEngineThread();
    StartHost();
    CRawPeer kIdle;
    ASSERT_TRUE(kIdle.Connect(m_kHost.GetPort()));
    EXPECT_EQ(kIdle.Call(CounterRequest("Add", true, 1)), "{\"Res\":1}");

    // Half a length, and a length with half its text.
    CRawPeer kHalfLength;
    ASSERT_TRUE(kHalfLength.Connect(m_kHost.GetPort()));
    ASSERT_TRUE(kHalfLength.SendBytes(std::string("\x40\x00", 2)));
    CRawPeer kHalfText;
    ASSERT_TRUE(kHalfText.Connect(m_kHost.GetPort()));
    const std::string kRequest = CounterRequest("Add", true, 100);
    ASSERT_TRUE(kHalfText.SendLength(static_cast<uint32>(kRequest.size())));
    ASSERT_TRUE(kHalfText.SendBytes(kRequest.substr(0, 10)));
    EXPECT_TRUE(kHalfLength.WasClosedByHost());
    EXPECT_TRUE(kHalfText.WasClosedByHost());
    EXPECT_TRUE(kLog.Contains("sent part of a message and nothing more for 200 ms, connection closed"));

    // A client that sends and never reads: its replies fill the buffers,
    // and the host gives up on it.
    CRawPeer kDeaf;
    const int iSmall = 4096;
    ASSERT_TRUE(kDeaf.Connect(m_kHost.GetPort()));
    setsockopt(kDeaf.m_kSocket.GetDescriptor(), SOL_SOCKET, SO_RCVBUF, &iSmall, sizeof(iSmall));
    std::thread kSender([&kDeaf] {
        // Text that cannot be parsed but asks for a reply: each is answered
        // at once with a long error.
        std::string kBatch;
        for (int i = 0; i < 1000; ++i)
        {
            const std::string kOne = "{\"WaitAck\":true,";
            const uint32 uiLength = static_cast<uint32>(kOne.size());
            kBatch.append(reinterpret_cast<const char*>(&uiLength), 4);
            kBatch += kOne;
        }
        // Stops when the host closes the connection.
        for (int i = 0; i < 2000 && kDeaf.SendBytes(kBatch); ++i)
        {
        }
    });
    for (int iMs = 0; iMs < kGiveUpMs && !kLog.Contains("did not take its replies within 200 ms"); iMs += 5)
        Common::CThread::SleepCurrent(5);
    EXPECT_TRUE(kLog.Contains("did not take its replies within 200 ms, connection closed"));
    kDeaf.m_kSocket.Shutdown();
    kSender.join();

    // The idle connection outlived every time-out and is still served.
    EXPECT_EQ(kIdle.Call(CounterRequest("Add", true, 1)).rfind("{\"Res\":", 0), 0u);
}

TEST_F(EngineNetTest, ManyConnectionsAreServedWithoutReportsAndABrokenOneLogsLittle)
{
    TestSupport::CAssertCapture kReports;
    StartEngineThread();
    StartHost();
    // More connections than threads that once had their own tag list or
    // log buffer.
    constexpr int kClients = 40;
    std::vector<std::thread> kThreads;
    std::atomic<int> iAnswered{0};
    for (int i = 0; i < kClients; ++i)
        kThreads.emplace_back([this, &iAnswered] {
            CRawPeer kPeer;
            if (!kPeer.Connect(m_kHost.GetPort()))
                return;
            for (int j = 0; j < 5; ++j)
                iAnswered += kPeer.Call(CounterRequest("Add", true, 1)).rfind("{\"Res\":", 0) == 0 ? 1 : 0;
        });
    for (std::thread& kThread : kThreads)
        kThread.join();
    EXPECT_EQ(iAnswered.load(), kClients * 5);
    EXPECT_EQ(kReports.Count(), 0u) << (kReports.Count() ? kReports.Texts()[0] : "");
}

struct SAddressCase
{
    const char* pName;
    const char* pAddress;
    bool bWarns;
};

class EngineNetAddressTest : public EngineNetTest, public testing::WithParamInterface<SAddressCase>
{
};

TEST_P(EngineNetAddressTest, NonLoopbackAddressWarnsOnce)
{
    TestSupport::CLogCapture kLog;
    m_kOptions.pBindAddress = GetParam().pAddress;
    StartHost();
    uint32 uiWarnings = 0;
    for (const std::string& kLine : kLog.Lines())
        uiWarnings += kLine.find("remote calls are unauthenticated") != std::string::npos ? 1u : 0u;
    EXPECT_EQ(uiWarnings, GetParam().bWarns ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Addresses, EngineNetAddressTest,
                         testing::Values(SAddressCase{"Default", nullptr, false},
                                         SAddressCase{"Loopback", "127.0.0.1", false},
                                         SAddressCase{"AnyAddress", "0.0.0.0", true}),
                         [](const testing::TestParamInfo<SAddressCase>& kInfo) { return kInfo.param.pName; });

TEST_F(EngineNetTest, StartFailsWhenThePortIsTaken)
{
    Common::TcpSocket kTaken;
    ASSERT_TRUE(kTaken.Listen(0, "127.0.0.1"));
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
    explicit CGateIdle(std::atomic<bool>& bGate, bool bKeepWaiting) : m_bGate(bGate), m_bKeepWaiting(bKeepWaiting) {}
    bool OnIdle() override
    {
        ++m_uiCalls;
        m_bGate = true;
        return m_bKeepWaiting;
    }
    uint32 m_uiCalls = 0;

private:
    std::atomic<bool>& m_bGate;
    bool m_bKeepWaiting;
};

TEST_F(EngineNetTest, ClientRoundTripWithIdleCallback)
{
    TestSupport::CLogCapture kLog;
    StartEngineThread(false);
    StartHost();
    CEngineClientRPC kClient;
    ASSERT_TRUE(kClient.Connect("127.0.0.1", m_kHost.GetPort()));
    CGateIdle kIdle(m_bGate, true);
    kClient.SetIdleCallback(&kIdle);
    CReturnBuffer kReply;
    ASSERT_TRUE(kClient.DoCall(CounterRequest("Add", true, 4).c_str(), &kReply));
    EXPECT_STREQ(kReply.GetText(), "{\"Res\":4}");
    EXPECT_GE(kIdle.m_uiCalls, 1u);
    // Without a reply wanted, the call returns after sending.
    EXPECT_TRUE(kClient.DoCall(CounterRequest("Add", false, 1).c_str(), nullptr));
    ASSERT_TRUE(kClient.DoCall(CounterRequest("GetTotal", true).c_str(), &kReply));
    EXPECT_STREQ(kReply.GetText(), "{\"Res\":5}");

    kClient.Disconnect();
    EXPECT_FALSE(kClient.IsConnected());
    EXPECT_TRUE(WaitForConnections(0));
    EXPECT_TRUE(kLog.Contains("client connection closed..."));
    TestSupport::CAssertCapture kReports;
    EXPECT_FALSE(kClient.DoCall(CounterRequest("GetTotal", true).c_str(), &kReply));
}

TEST_F(EngineNetTest, ClientAbandoningTheWaitDisconnects)
{
    StartEngineThread(false);
    StartHost();
    CEngineClientRPC kClient;
    ASSERT_TRUE(kClient.Connect("127.0.0.1", m_kHost.GetPort()));
    CGateIdle kIdle(m_bGate, false);
    kClient.SetIdleCallback(&kIdle);
    CReturnBuffer kReply;
    EXPECT_FALSE(kClient.DoCall(CounterRequest("Add", true, 4).c_str(), &kReply));
    EXPECT_EQ(kIdle.m_uiCalls, 1u);
    EXPECT_FALSE(kClient.IsConnected());
}

TEST_F(EngineNetTest, ClientReportsWhenTheHostIsGone)
{
    Common::TcpSocket kGone;
    ASSERT_TRUE(kGone.Listen(0, "127.0.0.1"));
    const uint16 uiPort = kGone.GetPort();
    kGone.Close();
    TestSupport::CAssertCapture kReports;
    CEngineClientRPC kClient;
    EXPECT_FALSE(kClient.Connect("127.0.0.1", uiPort));
    EXPECT_TRUE(kReports.Has("Assertion \"false\" failed. Unable to connect to interface!"));

    CEngineClientBroadcast::CInterfaceSockets<RPC::IRPCStub_CNetCounter> kSockets;
    EXPECT_FALSE(kSockets.AddConnection("127.0.0.1", uiPort, 2, 1));
    EXPECT_TRUE(kReports.Has("Assertion \"bConnected\" failed. Unable to connect to interface at 127.0.0.1 port " +
                             std::to_string(uiPort) + " !"));
    EXPECT_EQ(kSockets.GetConnectionCount(), 0u);
}

TEST_F(EngineNetTest, ClientRefusesAReplyOverItsLimit)
{
    StartEngineThread();
    StartHost();
    CEngineClientRPC kClient;
    ASSERT_TRUE(kClient.Connect("127.0.0.1", m_kHost.GetPort()));
    kClient.SetMaxReplyBytes(4);
    CReturnBuffer kReply;
    EXPECT_FALSE(kClient.DoCall(CounterRequest("Add", true, 1).c_str(), &kReply));
    EXPECT_FALSE(kClient.IsConnected());
    EXPECT_TRUE(WaitForConnections(0));
}

TEST_F(EngineNetTest, BroadcastCallsEveryInterfaceInOrder)
{
    StartEngineThread();
    StartHost();
    CEngineHost kSecondHost;
    ASSERT_TRUE(kSecondHost.Start(m_kManager, m_kOptions));

    CEngineClientBroadcast::CInterfaceSockets<RPC::IRPCStub_CNetCounter> kSockets;
    ASSERT_TRUE(kSockets.AddConnection("127.0.0.1", m_kHost.GetPort(), 3, 1));
    ASSERT_TRUE(kSockets.AddConnection("127.0.0.1", kSecondHost.GetPort(), 3, 1));
    EXPECT_EQ(kSockets.GetConnectionCount(), 2u);

    CReturnBuffer kReply;
    ASSERT_TRUE(kSockets.CallMethod(CounterRequest("Add", true, 5).c_str(), &kReply));
    // Both ran, the second one last.
    EXPECT_STREQ(kReply.GetText(), "{\"Res\":10}");
    EXPECT_TRUE(kSockets.CallMethod(CounterRequest("Add", false, 1).c_str(), nullptr));
    ASSERT_TRUE(kSockets.CallMethod(CounterRequest("GetTotal", true).c_str(), &kReply));
    EXPECT_STREQ(kReply.GetText(), "{\"Res\":12}");

    // A stopped interface is dropped from the list.
    kSecondHost.Stop();
    {
        TestSupport::CAssertCapture kReports;
        EXPECT_FALSE(kSockets.CallMethod(CounterRequest("GetTotal", true).c_str(), &kReply));
    }
    EXPECT_EQ(kSockets.GetConnectionCount(), 1u);
    kSockets.DisconnectAll();
    EXPECT_TRUE(WaitForConnections(0));
}

}  // namespace
