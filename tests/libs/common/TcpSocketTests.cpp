// Sockets and message framing on real loopback connections.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <memory>

#include <gtest/gtest.h>

#include "System/MemoryManager/MemoryManager.h"
#include "System/Net/TcpSocket.h"
#include "support/ReportCapture.h"

using Common::TcpSocket;
namespace Framing = Common::MessageFraming;

namespace {

// A listening socket on an ephemeral loopback port and one accepted
// connection to it.
struct SConnectedPair
{
    TcpSocket kListener;
    TcpSocket kClient;
    std::unique_ptr<TcpSocket> pServer;

    bool Open()
    {
        if (!kListener.Listen(0) || kListener.GetPort() == 0)
            return false;
        int iAccepted = -1;
        std::thread kAccept([&] { iAccepted = kListener.Accept(); });
        const bool bConnected = kClient.Connect("127.0.0.1", kListener.GetPort());
        kAccept.join();
        pServer = std::make_unique<TcpSocket>(iAccepted);
        return bConnected && iAccepted >= 0;
    }
};

struct SReceived
{
    Framing::EReceive eResult;
    std::string kText;
    uint32 uiLength = 0;
};

SReceived ReceiveOne(TcpSocket& kSocket, uint32 uiMaxLength = 1024)
{
    char* pBuffer = nullptr;
    size_t uiCapacity = 0;
    SReceived kOut;
    kOut.eResult = Framing::Receive(kSocket, pBuffer, uiCapacity, uiMaxLength, &kOut.uiLength);
    if (kOut.eResult == Framing::EReceive::Message)
        kOut.kText.assign(pBuffer, kOut.uiLength);
    TARN_FREE(pBuffer);
    return kOut;
}

}  // namespace

TEST(TcpSocket, FramesCrossALoopbackConnectionBothWays)
{
    SConnectedPair kPair;
    ASSERT_TRUE(kPair.Open());
    const std::string kRequest = R"({"ClassName":"Root","MethodName":"KeepAlive"})";
    ASSERT_TRUE(Framing::Send(kPair.kClient, kRequest.data(), static_cast<uint32>(kRequest.size())));
    SReceived kReceived = ReceiveOne(*kPair.pServer);
    EXPECT_EQ(kReceived.eResult, Framing::EReceive::Message);
    EXPECT_EQ(kReceived.kText, kRequest);

    // A long message arrives whole, the buffer growing for it.
    const std::string kLong(200000, 'x');
    std::thread kSender([&] { Framing::Send(*kPair.pServer, kLong.data(), static_cast<uint32>(kLong.size())); });
    kReceived = ReceiveOne(kPair.kClient, 1u << 20);
    kSender.join();
    EXPECT_EQ(kReceived.eResult, Framing::EReceive::Message);
    EXPECT_EQ(kReceived.kText.size(), kLong.size());

    // The close marker, a zero-length message, and a length above the limit.
    ASSERT_TRUE(Framing::Send(kPair.kClient, "", 0));
    EXPECT_EQ(ReceiveOne(*kPair.pServer).eResult, Framing::EReceive::Empty);
    const unsigned char acHuge[4] = {0x00, 0x00, 0x00, 0x7F};
    ASSERT_TRUE(kPair.kClient.Send(acHuge, sizeof(acHuge)));
    kReceived = ReceiveOne(*kPair.pServer, 1024);
    EXPECT_EQ(kReceived.eResult, Framing::EReceive::TooLong);
    EXPECT_EQ(kReceived.uiLength, 0x7F000000u);
    ASSERT_TRUE(Framing::SendCloseMarker(kPair.kClient));
    EXPECT_EQ(ReceiveOne(*kPair.pServer).eResult, Framing::EReceive::CloseMarker);
}

TEST(TcpSocket, APeerLeavingInTheMiddleOfAMessageEndsTheConnection)
{
    SConnectedPair kPair;
    ASSERT_TRUE(kPair.Open());
    // 100 bytes announced, 10 sent, then the peer goes.
    const unsigned char acLength[4] = {100, 0, 0, 0};
    ASSERT_TRUE(kPair.kClient.Send(acLength, sizeof(acLength)));
    ASSERT_TRUE(kPair.kClient.Send("0123456789", 10));
    kPair.kClient.Close();
    TestSupport::CLogCapture kLog;
    EXPECT_EQ(ReceiveOne(*kPair.pServer).eResult, Framing::EReceive::Closed);
    EXPECT_FALSE(kPair.pServer->IsConnected());
    EXPECT_TRUE(kLog.Has("Connection closed"));
    // Sending to the departed peer fails instead of raising a signal.
    std::vector<char> kData(1 << 16, 'y');
    bool bSent = true;
    for (int i = 0; i < 64 && bSent; ++i)
        bSent = kPair.pServer->Send(kData.data(), kData.size());
    EXPECT_FALSE(bSent);
}

TEST(TcpSocket, ShuttingTheListenerDownEndsABlockingAccept)
{
    TcpSocket kListener;
    ASSERT_TRUE(kListener.Listen(0));
    int iAccepted = 0;
    std::thread kAccept([&] { iAccepted = kListener.Accept(); });
    // Let the thread reach accept; even if it has not, the closed socket
    // makes accept fail at once.
    std::this_thread::yield();
    kListener.Shutdown();
    kAccept.join();
    EXPECT_EQ(iAccepted, -1);
    kListener.Close();

    // Nobody listens on the closed port: connecting fails with a message.
    TcpSocket kClient;
    TestSupport::CLogCapture kLog;
    EXPECT_FALSE(kClient.Connect("127.0.0.1", kListener.GetPort()));
    EXPECT_TRUE(kLog.Contains("connect failed with error:"));
    EXPECT_FALSE(kClient.Listen(0, "not an address"));
}
