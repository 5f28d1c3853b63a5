// Sockets and message framing on real loopback connections.
#include <algorithm>
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

// The buffered reader must give the same messages however the bytes of a
// stream are cut into reads: several messages in one read (each terminated
// in place, the byte under the terminator given back for the next message),
// a message split over many reads, and messages longer than its buffer.
TEST(TcpSocket, TheBufferedReaderSplitsAnyCutOfTheStreamIntoTheSameMessages)
{
    const std::string kLong(20000, 'L');
    const std::vector<std::string> kMessages = {"{\"a\":1}", "", "b", kLong, "{\"c\":[1,2,3]}", "d"};
    std::string kStream;
    for (const std::string& kText : kMessages)
    {
        const uint32 uiLength = static_cast<uint32>(kText.size());
        const char acLength[4] = {static_cast<char>(uiLength), static_cast<char>(uiLength >> 8),
                                  static_cast<char>(uiLength >> 16), static_cast<char>(uiLength >> 24)};
        kStream.append(acLength, 4).append(kText);
    }
    kStream.append("\xFF\xFF\xFF\xFF", 4);

    for (const size_t uiChunk : {kStream.size(), size_t(1), size_t(3), size_t(5000)})
    {
        SCOPED_TRACE("chunks of " + std::to_string(uiChunk) + " bytes");
        SConnectedPair kPair;
        ASSERT_TRUE(kPair.Open());
        std::thread kSender([&] {
            for (size_t uiAt = 0; uiAt < kStream.size(); uiAt += uiChunk)
            {
                kPair.kClient.Send(kStream.data() + uiAt, std::min(uiChunk, kStream.size() - uiAt));
                std::this_thread::yield();
            }
        });
        Framing::CReader kReader(1u << 20);
        kReader.SetSpinMicroseconds(uiChunk == 3 ? 20 : 0);
        for (const std::string& kExpected : kMessages)
        {
            const char* pText = nullptr;
            uint32 uiLength = 0;
            const Framing::EReceive eResult = kReader.Receive(*kPair.pServer, &pText, &uiLength);
            if (kExpected.empty())
            {
                EXPECT_EQ(eResult, Framing::EReceive::Empty);
                continue;
            }
            ASSERT_EQ(eResult, Framing::EReceive::Message);
            ASSERT_EQ(uiLength, kExpected.size());
            EXPECT_EQ(std::string(pText), kExpected);  // terminated right after the text
        }
        EXPECT_EQ(kReader.Receive(*kPair.pServer, nullptr, nullptr), Framing::EReceive::CloseMarker);
        EXPECT_FALSE(kReader.HasBuffered());
        kSender.join();
    }

    // A length above the limit is refused before anything of its size is
    // read; a stream cut inside a message ends as Closed.
    SConnectedPair kPair;
    ASSERT_TRUE(kPair.Open());
    Framing::CReader kReader(16);
    ASSERT_TRUE(Framing::Send(kPair.kClient, "0123456789abcdefXYZ", 19));
    uint32 uiLength = 0;
    EXPECT_EQ(kReader.Receive(*kPair.pServer, nullptr, &uiLength), Framing::EReceive::TooLong);
    EXPECT_EQ(uiLength, 19u);
    SConnectedPair kCut;
    ASSERT_TRUE(kCut.Open());
    ASSERT_TRUE(kCut.kClient.Send("\x0A\x00\x00\x00" "abc", 7));
    kCut.kClient.Close();
    TestSupport::CLogCapture kLog;
    Framing::CReader kCutReader(16);
    EXPECT_EQ(kCutReader.Receive(*kCut.pServer, nullptr, nullptr), Framing::EReceive::Closed);
}
