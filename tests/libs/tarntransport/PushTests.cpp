// Frames pushed to clients between their replies, on a real host and real
// sockets: their place among the replies, the end of a subscription, and a
// client that stops reading.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "Commands/CommandManager.h"
#include "Host/EngineHost.h"
#include "Push/PushChannel.h"
#include "Push/StepPublishers.h"
#include "System/Thread/Thread.h"
#include "support/ReportCapture.h"
#include "support/WaitFor.h"

using namespace TarnEngine;

namespace {

using TestSupport::kGiveUpMs;
using TestSupport::WaitFor;

std::string Request(const char* pMethod, const std::string& kArgs = "", bool bWaitAck = true)
{
    return std::string(R"({"ClassName":"PushProbe","MethodName":")") + pMethod + R"(","InstanceID":0,"WaitAck":)" +
           (bWaitAck ? "true" : "false") + R"(,"UseTcpThread":false)" + kArgs + "}";
}
std::string Add(int iValue)
{
    return Request("Add", ",\"Arg0\":" + std::to_string(iValue));
}
std::string Frame(const std::string& kText)
{
    const uint32 ui = static_cast<uint32>(kText.size());
    return std::string{char(ui), char(ui >> 8), char(ui >> 16), char(ui >> 24)} + kText;
}

// A client that speaks the framing.
struct SPeer
{
    SPeer() = default;
    explicit SPeer(int iDescriptor) : kSocket(iDescriptor) {}
    bool Send(const std::string& kBytes) { return kSocket.Send(kBytes.data(), kBytes.size()); }
    std::string Receive()
    {
        unsigned char acLength[4];
        if (!kSocket.HasData(kGiveUpMs) || !kSocket.Receive(acLength, 4))
            return "<closed>";
        std::string kText(acLength[0] | acLength[1] << 8 | acLength[2] << 16 | size_t(acLength[3]) << 24, '\0');
        return kSocket.Receive(kText.data(), kText.size()) ? kText : "<closed>";
    }
    std::string Call(const std::string& kRequest) { return Send(Frame(kRequest)) ? Receive() : "<send failed>"; }
    Common::TcpSocket kSocket;
};

// Subscribes the calling connection to a tick per engine step that tells
// the running total of Add, padded to a size. Keeps every channel it was
// given, for inspection.
class CPushProbe : public CSingletonManager<CPushProbe>, public IStepPublisher
{
public:
    CPushProbe(CommandQueue& kQueue, size_t uiPad) : m_kQueue(kQueue), m_kPad(uiPad, 'x') {}
    ~CPushProbe() override
    {
        for (auto& [pChannel, bLive] : m_kChannels)
            pChannel->Release();
    }
    bool Subscribe() { return Switch(true); }
    bool Unsubscribe() { return Switch(false); }
    int Add(const int32& iValue) { return m_iTotal += iValue; }
    std::string Tick(uint64 uiStep, int iTotal) const
    {
        return "{\"Event\":\"Tick\",\"Step\":" + std::to_string(uiStep) + ",\"Total\":" + std::to_string(iTotal) +
               ",\"Pad\":\"" + m_kPad + "\"}";
    }
    void PublishStep(uint64 uiStep, uint32) override
    {
        const std::string kText = Tick(uiStep, m_iTotal);
        std::lock_guard<std::mutex> kGuard(m_kLock);
        for (auto& [pChannel, bLive] : m_kChannels)
            bLive = bLive && pChannel->Push(kText.data(), uint32(kText.size())) == CPushChannel::EPush::Queued;
    }
    CPushChannel* First()
    {
        std::lock_guard<std::mutex> kGuard(m_kLock);
        return m_kChannels.empty() ? nullptr : m_kChannels[0].first;
    }

private:
    // Whether the caller's subscription changed.
    bool Switch(bool bOn)
    {
        CPushChannel* pChannel = CPushChannel::GetCaller(m_kQueue);
        std::lock_guard<std::mutex> kGuard(m_kLock);
        for (auto& [pKnown, bLive] : m_kChannels)
            if (pKnown == pChannel)
                return std::exchange(bLive, bOn) != bOn;
        if (!pChannel || !bOn)
            return false;
        pChannel->AddRef();
        m_kChannels.emplace_back(pChannel, true);
        return true;
    }

    CommandQueue& m_kQueue;
    const std::string m_kPad;
    std::mutex m_kLock;
    std::vector<std::pair<CPushChannel*, bool>> m_kChannels;
    int m_iTotal = 0;
};

class PushTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_kManager.Init());
        m_kManager.RegisterSingleton<CPushProbe>("PushProbe");
        m_kManager.Register("PushProbe", "Subscribe", &CPushProbe::Subscribe);
        m_kManager.Register("PushProbe", "Unsubscribe", &CPushProbe::Unsubscribe);
        m_kManager.Register("PushProbe", "Add", &CPushProbe::Add);
    }
    void TearDown() override
    {
        m_kHost.Stop();
        m_bStop = true;
        if (m_kEngineThread.joinable())
            m_kEngineThread.join();
        m_kManager.ProcessQueue();
        if (m_pProbe)
            m_kPublishers.Remove(m_pProbe);
        TARN_DELETE(m_pProbe);
    }
    // The engine loop, then the host. Requests run after a step that ended
    // while they waited, so its tick is queued while their connections wait
    // for the replies. Without bFreeRun it steps only for requests.
    void Start(size_t uiPad, bool bFreeRun)
    {
        m_pProbe = TARN_NEW(CPushProbe, m_kManager.GetQueue(), uiPad);
        ASSERT_TRUE(m_kPublishers.Add(m_pProbe));
        m_kEngineThread = std::thread([this, bFreeRun] {
            m_kManager.GetQueue().SetEngineThread();
            while (!m_bStop)
            {
                m_kManager.GetWakeEvent().Wait(1);
                if (!bFreeRun && m_kManager.GetQueue().GetPendingCount() == 0)
                    continue;
                m_kPublishers.Publish(16);
                m_kManager.ProcessQueue();
            }
        });
        ASSERT_TRUE(m_kHost.Start(m_kManager, m_kOptions));
    }
    bool Connect(SPeer& kPeer) { return kPeer.kSocket.Connect("127.0.0.1", m_kHost.GetPort()); }

    CommandManager m_kManager;
    CStepPublishers m_kPublishers;
    CPushProbe* m_pProbe = nullptr;
    SNetOptions m_kOptions{.uiPort = 0};
    CEngineHost m_kHost;
    std::thread m_kEngineThread;
    std::atomic<bool> m_bStop{false};
};

TEST_F(PushTest, FramesPushedWhileARequestWaitsComeWholeBeforeItsReplyAndNoneAfterUnsubscribe)
{
    Start(16, false);
    // A request from inside the process has no connection to push to.
    CReturnBuffer kReply;
    m_kManager.ExecuteJSon(Request("Subscribe").c_str(), &kReply);
    EXPECT_STREQ(kReply.GetText(), "{\"Res\":false}");

    SPeer kPeer;
    ASSERT_TRUE(Connect(kPeer));
    EXPECT_EQ(kPeer.Call(Request("Subscribe")), "{\"Res\":true}");
    // What each request gets, in order: the tick of the step it waited for,
    // made before it ran, then its reply.
    const uint64 uiStep = m_kPublishers.GetStep();
    const std::pair<std::string, std::vector<std::string>> akCalls[] = {
        {Add(5), {m_pProbe->Tick(uiStep + 1, 0), "{\"Res\":5}"}},
        {Add(6), {m_pProbe->Tick(uiStep + 2, 5), "{\"Res\":11}"}},
        {Request("Unsubscribe"), {m_pProbe->Tick(uiStep + 3, 11), "{\"Res\":true}"}},
        {Add(0), {"{\"Res\":11}"}},
        {Request("Unsubscribe"), {"{\"Res\":false}"}},
    };
    for (const auto& [kRequest, kFrames] : akCalls)
    {
        ASSERT_TRUE(kPeer.Send(Frame(kRequest)));
        for (const std::string& kFrame : kFrames)
            EXPECT_EQ(kPeer.Receive(), kFrame) << kRequest;
    }
    EXPECT_EQ(m_pProbe->First()->GetQueuedFrames(), 0u);
}

struct SDropCase
{
    const char* pName;
    uint32 uiMaxFrames;
    uint64 uiMaxBytes;
};

class PushDropTest : public PushTest, public testing::WithParamInterface<SDropCase>
{
};

TEST_P(PushDropTest, AClientThatStopsReadingIsDroppedWithinTheBoundAndOthersAreStillServed)
{
    const SDropCase& kCase = GetParam();
    TestSupport::CLogCapture kLog;
    m_kOptions.uiMaxPushedFrames = kCase.uiMaxFrames;
    m_kOptions.uiMaxPushedBytes = kCase.uiMaxBytes;
    Start(16000, true);
    // It subscribes and never reads. Its receive buffer is made small
    // before it connects, so that the host's sends soon block.
    const int iDeaf = socket(AF_INET, SOCK_STREAM, 0);
    const int iSmall = 4096;
    ASSERT_EQ(setsockopt(iDeaf, SOL_SOCKET, SO_RCVBUF, &iSmall, sizeof(iSmall)), 0);
    sockaddr_in kAddress{};
    kAddress.sin_family = AF_INET;
    kAddress.sin_port = htons(m_kHost.GetPort());
    kAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(iDeaf, reinterpret_cast<const sockaddr*>(&kAddress), sizeof(kAddress)), 0);
    SPeer kDeaf(iDeaf);
    socklen_t uiLength = sizeof(kAddress);
    ASSERT_EQ(getsockname(iDeaf, reinterpret_cast<sockaddr*>(&kAddress), &uiLength), 0);
    ASSERT_TRUE(kDeaf.Send(Frame(Request("Subscribe", "", false))));
    SPeer kOther;
    ASSERT_TRUE(Connect(kOther));
    EXPECT_EQ(kOther.Call(Add(1)), "{\"Res\":1}");

    const std::string kLine = "127.0.0.1:" + std::to_string(ntohs(kAddress.sin_port)) + " did not keep up";
    EXPECT_TRUE(WaitFor([&] { return kLog.Contains(kLine); }));
    // It held what the bound lets through, no more, and gave it back.
    CPushChannel* pChannel = m_pProbe->First();
    ASSERT_NE(pChannel, nullptr);
    EXPECT_TRUE(pChannel->HasOverflowed() && !pChannel->IsOpen());
    EXPECT_LE(pChannel->GetPeakFrames(), kCase.uiMaxFrames);
    EXPECT_LE(pChannel->GetPeakBytes(), kCase.uiMaxBytes);
    EXPECT_TRUE(pChannel->GetPeakFrames() == kCase.uiMaxFrames ||
                pChannel->GetPeakBytes() + m_pProbe->Tick(1, 1).size() > kCase.uiMaxBytes);
    EXPECT_EQ(pChannel->GetQueuedBytes(), 0u);
    EXPECT_EQ(kOther.Call(Add(1)), "{\"Res\":2}");
    EXPECT_TRUE(WaitFor([&] { return m_kHost.GetConnectionCount() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(Bounds, PushDropTest,
                         testing::Values(SDropCase{"Frames", 4, 1u << 20}, SDropCase{"Bytes", 64, 40000}),
                         [](const testing::TestParamInfo<SDropCase>& kInfo) { return kInfo.param.pName; });

}  // namespace
