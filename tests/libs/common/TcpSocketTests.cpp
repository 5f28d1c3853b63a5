// Sockets and message framing on real loopback connections.
#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "System/MemoryManager/MemoryManager.h"
#include "System/Net/TcpSocket.h"
#include "support/ReportCapture.h"

using Common::TcpSocket;
namespace Framing = Common::MessageFraming;
using Framing::EReceive;

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
        // The connection is made in the listener's backlog: it waits for no
        // Accept.
        if (!kListener.Listen(0) || !kClient.Connect("127.0.0.1", kListener.GetPort()))
            return false;
        const int iAccepted = kListener.Accept();
        pServer = std::make_unique<TcpSocket>(iAccepted);
        return iAccepted >= 0;
    }
};

// What Framing::Receive gives for one message: result, text, length.
using Received = std::tuple<EReceive, std::string, uint32>;

Received ReceiveOne(TcpSocket& kSocket, uint32 uiMaxLength = 1024)
{
    char* pBuffer = nullptr;
    size_t uiCapacity = 0;
    uint32 uiLength = 0;
    const EReceive eResult = Framing::Receive(kSocket, pBuffer, uiCapacity, uiMaxLength, &uiLength);
    Received kOut{eResult, eResult == EReceive::Message ? std::string(pBuffer, uiLength) : "", uiLength};
    TARN_FREE(pBuffer);
    return kOut;
}

// The bytes of a framed message: its length, little-endian, then its text.
std::string Frame(const std::string& kText, uint32 uiLength)
{
    const char acLength[4] = {char(uiLength), char(uiLength >> 8), char(uiLength >> 16), char(uiLength >> 24)};
    return std::string(acLength, 4) + kText;
}

}  // namespace

TEST(TcpSocket, ALoopbackConnectionFromListenToShutdown)
{
    SConnectedPair kPair;
    ASSERT_TRUE(kPair.Open());
    const std::string kRequest = R"({"ClassName":"Root","MethodName":"KeepAlive"})";
    ASSERT_TRUE(Framing::Send(kPair.kClient, kRequest.data(), static_cast<uint32>(kRequest.size())));
    EXPECT_EQ(ReceiveOne(*kPair.pServer), Received(EReceive::Message, kRequest, kRequest.size()));
    // A long message arrives whole, the buffer growing for it.
    const std::string kLong(200000, 'x');
    std::thread kSender([&] { Framing::Send(*kPair.pServer, kLong.data(), static_cast<uint32>(kLong.size())); });
    EXPECT_TRUE(ReceiveOne(kPair.kClient, 1u << 20) == Received(EReceive::Message, kLong, kLong.size()));
    kSender.join();
    // A zero-length message, a length above the limit, the close marker.
    ASSERT_TRUE(Framing::Send(kPair.kClient, "", 0));
    EXPECT_EQ(ReceiveOne(*kPair.pServer), Received(EReceive::Empty, "", 0));
    ASSERT_TRUE(kPair.kClient.Send(Frame("", 0x7F000000u).data(), 4));
    EXPECT_EQ(ReceiveOne(*kPair.pServer), Received(EReceive::TooLong, "", 0x7F000000u));
    ASSERT_TRUE(Framing::SendCloseMarker(kPair.kClient));
    EXPECT_EQ(std::get<0>(ReceiveOne(*kPair.pServer)), EReceive::CloseMarker);
    // A peer leaving in the middle of a message (100 bytes announced, 10
    // sent) ends the connection.
    const std::string kCut = Frame("0123456789", 100);
    ASSERT_TRUE(kPair.kClient.Send(kCut.data(), kCut.size()));
    kPair.kClient.Close();
    TestSupport::CLogCapture kLog;
    EXPECT_EQ(std::get<0>(ReceiveOne(*kPair.pServer)), EReceive::Closed);
    EXPECT_FALSE(kPair.pServer->IsConnected());
    EXPECT_TRUE(kLog.Has("Connection closed"));
    // Sending to the departed peer fails instead of raising a signal.
    std::vector<char> kData(1 << 16, 'y');
    bool bSent = true;
    for (int i = 0; i < 64 && bSent; ++i)
        bSent = kPair.pServer->Send(kData.data(), kData.size());
    EXPECT_FALSE(bSent);
    // Shutting the listener down ends a blocking Accept (one not reached yet
    // fails at once); nobody listens on the port then.
    int iAccepted = 0;
    std::thread kAccept([&] { iAccepted = kPair.kListener.Accept(); });
    std::this_thread::yield();
    kPair.kListener.Shutdown();
    kAccept.join();
    EXPECT_EQ(iAccepted, -1);
    kPair.kListener.Close();
    TcpSocket kClient;
    EXPECT_FALSE(kClient.Connect("127.0.0.1", kPair.kListener.GetPort()));
    EXPECT_TRUE(kLog.Contains("connect failed with error:"));
    EXPECT_FALSE(kClient.Listen(0, "not an address"));
}

// The buffered reader gives the same messages however the stream is cut into
// reads: several messages in one read (each terminated in place, the byte
// under the terminator given back for the next message), a message split over
// many reads, and messages longer than its buffer.
TEST(TcpSocket, TheBufferedReaderSplitsAnyCutOfTheStreamIntoTheSameMessages)
{
    const std::vector<std::string> kMessages = {"{\"a\":1}", "", "b", std::string(20000, 'L'), "{\"c\":[1,2,3]}", "d"};
    std::string kStream;
    for (const std::string& kText : kMessages)
        kStream += Frame(kText, static_cast<uint32>(kText.size()));
    kStream += Frame("", 0xFFFFFFFFu) + Frame("", 0x7F000000u);  // the close marker, a length above the limit
    for (const size_t uiChunk : {kStream.size(), size_t(1), size_t(3), size_t(5000)})
    {
        SCOPED_TRACE("chunks of " + std::to_string(uiChunk) + " bytes");
        SConnectedPair kPair;
        ASSERT_TRUE(kPair.Open());
        std::jthread kSender([&] {
            for (size_t uiAt = 0; uiAt < kStream.size(); uiAt += uiChunk)
            {
                kPair.kClient.Send(kStream.data() + uiAt, std::min(uiChunk, kStream.size() - uiAt));
                std::this_thread::yield();
            }
            kPair.kClient.Shutdown();
        });
        Framing::CReader kReader(1u << 20);
        kReader.SetSpinMicroseconds(uiChunk == 3 ? 20 : 0);
        for (const std::string& kExpected : kMessages)
        {
            const char* pText = nullptr;
            uint32 uiLength = 0;
            const EReceive eResult = kReader.Receive(*kPair.pServer, &pText, &uiLength);
            EXPECT_EQ(eResult, kExpected.empty() ? EReceive::Empty : EReceive::Message);
            EXPECT_EQ(uiLength, kExpected.size());
            EXPECT_EQ(std::string(pText ? pText : ""), kExpected);  // terminated right after the text
        }
        EXPECT_EQ(kReader.Receive(*kPair.pServer, nullptr, nullptr), EReceive::CloseMarker);
        // Refused before anything of its size is read.
        uint32 uiLength = 0;
        EXPECT_EQ(kReader.Receive(*kPair.pServer, nullptr, &uiLength), EReceive::TooLong);
        EXPECT_EQ(uiLength, 0x7F000000u);
    }
}
