#include "System/Net/TcpSocket.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "System/MemoryManager/MemoryManager.h"
#include "Utils/debuglog.h"

namespace Common {

namespace {

bool ParseAddress(const char* pAddress, uint16 uiPort, sockaddr_in& kOut)
{
    memset(&kOut, 0, sizeof(kOut));
    kOut.sin_family = AF_INET;
    kOut.sin_port = htons(uiPort);
    return inet_pton(AF_INET, pAddress ? pAddress : "127.0.0.1", &kOut.sin_addr) == 1;
}

// Requests and replies are small and framed as a length then a body: with
// Nagle's algorithm the body waits for the peer's delayed acknowledgement of
// the length, some 40 ms per message. Both ends send at once instead.
void DisableSendDelay(int iSocket)
{
    const int iOne = 1;
    if (setsockopt(iSocket, IPPROTO_TCP, TCP_NODELAY, &iOne, sizeof(iOne)) != 0)
        CDebugLog::Print("[TcpSocket] : set TCP_NODELAY failed");
}

}  // namespace

bool TcpSocket::Listen(uint16 uiPort, const char* pAddress)
{
    Close();
    sockaddr_in kAddress;
    if (!ParseAddress(pAddress, uiPort, kAddress))
    {
        CDebugLog::Print("[TcpSocket] : invalid listening address %s", pAddress ? pAddress : "(null)");
        return false;
    }
    const int iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (iSocket < 0)
    {
        CDebugLog::Print("Get port socket error : %s", strerror(errno));
        return false;
    }
    const int iOne = 1;
    if (setsockopt(iSocket, SOL_SOCKET, SO_REUSEADDR, &iOne, sizeof(iOne)) != 0)
        CDebugLog::Print("[TcpSocket] : set SO_REUSEADDR failed");
    if (setsockopt(iSocket, SOL_SOCKET, SO_KEEPALIVE, &iOne, sizeof(iOne)) != 0)
        CDebugLog::Print("[TcpSocket] : set SO_KEEPALIVE failed");
    if (bind(iSocket, reinterpret_cast<const sockaddr*>(&kAddress), sizeof(kAddress)) != 0)
    {
        CDebugLog::Print("Get port socket error : %s", strerror(errno));
        close(iSocket);
        return false;
    }
    sockaddr_in kBound;
    socklen_t uiBoundLength = sizeof(kBound);
    if (getsockname(iSocket, reinterpret_cast<sockaddr*>(&kBound), &uiBoundLength) != 0)
    {
        CDebugLog::Print("Get port socket error : %s", strerror(errno));
        close(iSocket);
        return false;
    }
    if (listen(iSocket, 10) != 0)
    {
        CDebugLog::Print("Listen error : %s", strerror(errno));
        close(iSocket);
        return false;
    }
    m_uiPort = ntohs(kBound.sin_port);
    m_iSocket.store(iSocket, std::memory_order_release);
    return true;
}

int TcpSocket::Accept(char* pPeer, size_t uiPeerCapacity)
{
    const int iListening = m_iSocket.load(std::memory_order_acquire);
    if (iListening < 0)
        return -1;
    for (;;)
    {
        sockaddr_in kPeer;
        socklen_t uiPeerLength = sizeof(kPeer);
        const int iConnection =
            accept4(iListening, reinterpret_cast<sockaddr*>(&kPeer), &uiPeerLength, SOCK_CLOEXEC);
        if (iConnection >= 0)
        {
            DisableSendDelay(iConnection);
            if (pPeer && uiPeerCapacity)
            {
                char acAddress[INET_ADDRSTRLEN] = "?";
                inet_ntop(AF_INET, &kPeer.sin_addr, acAddress, sizeof(acAddress));
                snprintf(pPeer, uiPeerCapacity, "%s:%u", acAddress, static_cast<unsigned>(ntohs(kPeer.sin_port)));
            }
            return iConnection;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        // A socket shut down by another thread ends the accept: no message
        // for that.
        if (IsOpen() && errno != EINVAL)
            CDebugLog::Print("Accept error : %d ", errno);
        return -1;
    }
}

bool TcpSocket::Connect(const char* pAddress, uint16 uiPort)
{
    Close();
    sockaddr_in kAddress;
    if (!ParseAddress(pAddress, uiPort, kAddress))
    {
        CDebugLog::Print("connect failed with error: invalid address %s", pAddress ? pAddress : "(null)");
        return false;
    }
    const int iSocket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (iSocket < 0)
    {
        CDebugLog::Print("connect failed with error: %d", errno);
        return false;
    }
    int iResult;
    do
        iResult = connect(iSocket, reinterpret_cast<const sockaddr*>(&kAddress), sizeof(kAddress));
    while (iResult != 0 && errno == EINTR);
    if (iResult != 0)
    {
        CDebugLog::Print("connect failed with error: %d", errno);
        close(iSocket);
        return false;
    }
    DisableSendDelay(iSocket);
    m_uiPort = uiPort;
    m_iSocket.store(iSocket, std::memory_order_release);
    m_bConnected.store(true, std::memory_order_release);
    return true;
}

bool TcpSocket::Send(const void* pData, size_t uiLength)
{
    const int iSocket = m_iSocket.load(std::memory_order_acquire);
    const char* pBytes = static_cast<const char*>(pData);
    size_t uiSent = 0;
    while (uiSent < uiLength)
    {
        const ssize_t iSent = send(iSocket, pBytes + uiSent, uiLength - uiSent, MSG_NOSIGNAL);
        if (iSent < 0 && errno == EINTR)
            continue;
        if (iSent <= 0)
        {
            CDebugLog::Print("Socket send error : %d ", iSent < 0 ? errno : 0);
            m_bConnected.store(false, std::memory_order_release);
            return false;
        }
        uiSent += static_cast<size_t>(iSent);
    }
    return true;
}

bool TcpSocket::Receive(void* pData, size_t uiLength, size_t* pReceived)
{
    const int iSocket = m_iSocket.load(std::memory_order_acquire);
    char* pBytes = static_cast<char*>(pData);
    size_t uiReceived = 0;
    bool bOk = true;
    while (uiReceived < uiLength)
    {
        const ssize_t iRead = recv(iSocket, pBytes + uiReceived, uiLength - uiReceived, 0);
        if (iRead < 0 && errno == EINTR)
            continue;
        if (iRead == 0)
        {
            CDebugLog::Print("Connection closed");
            bOk = false;
            break;
        }
        if (iRead < 0)
        {
            // A reset or a local close ends the connection silently.
            if (errno != ECONNRESET && errno != ECONNABORTED && errno != ESHUTDOWN && errno != EBADF &&
                errno != ENOTCONN)
                CDebugLog::Print("Recv socket error : %d ", errno);
            bOk = false;
            break;
        }
        uiReceived += static_cast<size_t>(iRead);
    }
    if (!bOk)
        m_bConnected.store(false, std::memory_order_release);
    if (pReceived)
        *pReceived = uiReceived;
    return bOk;
}

bool TcpSocket::HasData(uint32 uiTimeoutMs) const
{
    pollfd kPoll{m_iSocket.load(std::memory_order_acquire), POLLIN, 0};
    if (kPoll.fd < 0)
        return false;
    return poll(&kPoll, 1, static_cast<int>(uiTimeoutMs > 0x7FFFFFFFu ? 0x7FFFFFFFu : uiTimeoutMs)) > 0;
}

void TcpSocket::Shutdown()
{
    m_bConnected.store(false, std::memory_order_release);
    const int iSocket = m_iSocket.load(std::memory_order_acquire);
    if (iSocket >= 0)
        shutdown(iSocket, SHUT_RDWR);
}

void TcpSocket::Close()
{
    const int iSocket = m_iSocket.exchange(-1, std::memory_order_acq_rel);
    m_bConnected.store(false, std::memory_order_release);
    if (iSocket < 0)
        return;
    // Shutting down first wakes a thread blocked in accept or recv on it.
    shutdown(iSocket, SHUT_RDWR);
    close(iSocket);
}

namespace MessageFraming {

bool Send(TcpSocket& kSocket, const char* pText, uint32 uiLength)
{
    unsigned char acLength[4] = {static_cast<unsigned char>(uiLength), static_cast<unsigned char>(uiLength >> 8),
                                 static_cast<unsigned char>(uiLength >> 16), static_cast<unsigned char>(uiLength >> 24)};
    return kSocket.Send(acLength, sizeof(acLength)) && (uiLength == 0 || kSocket.Send(pText, uiLength));
}

bool SendCloseMarker(TcpSocket& kSocket)
{
    const unsigned char acMarker[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    return kSocket.Send(acMarker, sizeof(acMarker));
}

EReceive Receive(TcpSocket& kSocket, char*& pBuffer, size_t& uiCapacity, uint32 uiMaxLength, uint32* puiLength)
{
    unsigned char acLength[4];
    if (!kSocket.Receive(acLength, sizeof(acLength)))
        return EReceive::Closed;
    const uint32 uiLength = static_cast<uint32>(acLength[0]) | (static_cast<uint32>(acLength[1]) << 8) |
                            (static_cast<uint32>(acLength[2]) << 16) | (static_cast<uint32>(acLength[3]) << 24);
    if (puiLength)
        *puiLength = uiLength;
    if (uiLength == kCloseMarker)
        return EReceive::CloseMarker;
    if (uiLength == 0)
        return EReceive::Empty;
    if (uiLength > uiMaxLength)
        return EReceive::TooLong;
    if (uiCapacity < static_cast<size_t>(uiLength) + 1)
    {
        char* pGrown = static_cast<char*>(TARN_REALLOC(pBuffer, static_cast<size_t>(uiLength) + 1));
        if (!pGrown)
            return EReceive::Closed;
        pBuffer = pGrown;
        uiCapacity = static_cast<size_t>(uiLength) + 1;
    }
    if (!kSocket.Receive(pBuffer, uiLength))
        return EReceive::Closed;
    pBuffer[uiLength] = '\0';
    return EReceive::Message;
}

}  // namespace MessageFraming

}  // namespace Common
