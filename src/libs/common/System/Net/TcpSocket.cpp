#include "System/Net/TcpSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "System/MemoryManager/MemoryManager.h"
#include "System/Posix/PosixClock.h"
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

bool TcpSocket::IsLoopbackAddress(const char* pAddress)
{
    in_addr kAddress;
    if (!pAddress || inet_pton(AF_INET, pAddress, &kAddress) != 1)
        return false;
    return (ntohl(kAddress.s_addr) >> 24) == 127u;
}

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
    // The kernel's longest queue: clients that connect in a burst wait to be
    // accepted instead of being refused or reset.
    if (listen(iSocket, SOMAXCONN) != 0)
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
        const int iConnection = accept4(iListening, reinterpret_cast<sockaddr*>(&kPeer), &uiPeerLength, SOCK_CLOEXEC);
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

bool TcpSocket::Send(const void* pFirst, size_t uiFirst, const void* pSecond, size_t uiSecond)
{
    const int iSocket = m_iSocket.load(std::memory_order_acquire);
    iovec akParts[2] = {{const_cast<void*>(pFirst), uiFirst}, {const_cast<void*>(pSecond), uiSecond}};
    iovec* pPart = akParts;
    int iParts = uiSecond ? 2 : 1;
    // With a time-out the sends do not block: the wait for room is a poll
    // bounded by what is left of the time.
    const uint32 uiTimeoutMs = m_uiSendTimeoutMs;
    const int64 iDeadlineNs = uiTimeoutMs ? Posix::GetMonotonicNs() + static_cast<int64>(uiTimeoutMs) * 1000000 : 0;
    m_bTimedOut.store(false, std::memory_order_release);
    while (iParts > 0)
    {
        msghdr kMessage = {};
        kMessage.msg_iov = pPart;
        kMessage.msg_iovlen = static_cast<size_t>(iParts);
        const ssize_t iSent = sendmsg(iSocket, &kMessage, MSG_NOSIGNAL | (uiTimeoutMs ? MSG_DONTWAIT : 0));
        if (iSent < 0 && errno == EINTR)
            continue;
        if (iSent < 0 && uiTimeoutMs && (errno == EAGAIN || errno == EWOULDBLOCK))
        {
            // A wait that ends without room (the time is up) fails the send:
            // trying again would take whatever room a slow peer freed and
            // start the wait over with the next message.
            const int64 iLeftNs = iDeadlineNs - Posix::GetMonotonicNs();
            pollfd kPoll{iSocket, POLLOUT, 0};
            const int iReady = iLeftNs > 0 ? poll(&kPoll, 1, static_cast<int>((iLeftNs + 999999) / 1000000)) : 0;
            if (iReady > 0 || (iReady < 0 && errno == EINTR))
                continue;
            m_bTimedOut.store(true, std::memory_order_release);
            m_bConnected.store(false, std::memory_order_release);
            return false;
        }
        if (iSent <= 0)
        {
            CDebugLog::Print("Socket send error : %d ", iSent < 0 ? errno : 0);
            m_bConnected.store(false, std::memory_order_release);
            return false;
        }
        // A partial write: drop what went and send the rest.
        size_t uiLeft = static_cast<size_t>(iSent);
        while (iParts > 0 && uiLeft >= pPart->iov_len)
        {
            uiLeft -= pPart->iov_len;
            ++pPart;
            --iParts;
        }
        if (iParts > 0)
        {
            pPart->iov_base = static_cast<char*>(pPart->iov_base) + uiLeft;
            pPart->iov_len -= uiLeft;
        }
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

size_t TcpSocket::ReceiveSome(void* pData, size_t uiCapacity, uint32 uiSpinMicroseconds, int64 iDeadlineNs)
{
    const int iSocket = m_iSocket.load(std::memory_order_acquire);
    m_bTimedOut.store(false, std::memory_order_release);
    if (uiSpinMicroseconds != 0)
    {
        const int64 iUntil = Posix::GetMonotonicNs() + static_cast<int64>(uiSpinMicroseconds) * 1000;
        do
        {
            const ssize_t iRead = recv(iSocket, pData, uiCapacity, MSG_DONTWAIT);
            if (iRead > 0)
                return static_cast<size_t>(iRead);
            if (iRead == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                break;  // the blocking read below reports it
            // Lets a thread that waits for this core run: with more busy
            // threads than cores, the peer may need it to answer at all.
            sched_yield();
        } while (Posix::GetMonotonicNs() < iUntil);
    }
    for (;;)
    {
        if (iDeadlineNs != 0)
        {
            // Waits for bytes (or the peer's close) only as long as is left.
            const int64 iLeftNs = iDeadlineNs - Posix::GetMonotonicNs();
            pollfd kPoll{iSocket, POLLIN, 0};
            const int iReady = iLeftNs > 0 ? poll(&kPoll, 1, static_cast<int>((iLeftNs + 999999) / 1000000)) : 0;
            if (iReady < 0 && errno == EINTR)
                continue;
            if (iReady == 0)
            {
                m_bTimedOut.store(true, std::memory_order_release);
                m_bConnected.store(false, std::memory_order_release);
                return 0;
            }
        }
        const ssize_t iRead = recv(iSocket, pData, uiCapacity, 0);
        if (iRead > 0)
            return static_cast<size_t>(iRead);
        if (iRead < 0 && errno == EINTR)
            continue;
        if (iRead == 0)
            CDebugLog::Print("Connection closed");
        else if (errno != ECONNRESET && errno != ECONNABORTED && errno != ESHUTDOWN && errno != EBADF &&
                 errno != ENOTCONN)
            CDebugLog::Print("Recv socket error : %d ", errno);
        m_bConnected.store(false, std::memory_order_release);
        return 0;
    }
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

void TcpSocket::ShutdownReceive()
{
    const int iSocket = m_iSocket.load(std::memory_order_acquire);
    if (iSocket >= 0)
        shutdown(iSocket, SHUT_RD);
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
                                 static_cast<unsigned char>(uiLength >> 16),
                                 static_cast<unsigned char>(uiLength >> 24)};
    return kSocket.Send(acLength, sizeof(acLength), pText, uiLength);
}

bool SendCloseMarker(TcpSocket& kSocket)
{
    const unsigned char acMarker[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    return kSocket.Send(acMarker, sizeof(acMarker));
}

namespace {

// The least a reader's buffer holds: many small messages per read.
constexpr size_t kMinReadBuffer = 16 * 1024;

uint32 DecodeLength(const unsigned char* pBytes)
{
    return static_cast<uint32>(pBytes[0]) | (static_cast<uint32>(pBytes[1]) << 8) |
           (static_cast<uint32>(pBytes[2]) << 16) | (static_cast<uint32>(pBytes[3]) << 24);
}

}  // namespace

EReceive Receive(TcpSocket& kSocket, char*& pBuffer, size_t& uiCapacity, uint32 uiMaxLength, uint32* puiLength)
{
    unsigned char acLength[4];
    if (!kSocket.Receive(acLength, sizeof(acLength)))
        return EReceive::Closed;
    const uint32 uiLength = DecodeLength(acLength);
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

CReader::~CReader()
{
    if (m_pBuffer)
        TARN_FREE(m_pBuffer);
}

void CReader::Reset()
{
    m_uiBegin = m_uiEnd = 0;
    m_bRestore = false;
}

void CReader::Trim()
{
    if (m_uiBegin != m_uiEnd || m_uiCapacity <= kMinReadBuffer)
        return;
    TARN_FREE(m_pBuffer);
    m_pBuffer = nullptr;
    m_uiCapacity = 0;
    m_uiBegin = m_uiEnd = 0;
    m_bRestore = false;
}

bool CReader::Fill(TcpSocket& kSocket, size_t uiBytes, int64 iDeadlineNs)
{
    if (m_uiEnd - m_uiBegin >= uiBytes)
        return true;
    // Room for uiBytes from the start of the buffer, and the terminator.
    if (m_uiCapacity < uiBytes + 1)
    {
        size_t uiGrown = m_uiCapacity ? m_uiCapacity : kMinReadBuffer;
        while (uiGrown < uiBytes + 1)
            uiGrown *= 2;
        // A long message gets what it needs, not the doubling's slack.
        if (uiBytes + 1 > kMinReadBuffer)
            uiGrown = uiBytes + 1;
        char* pGrown = static_cast<char*>(TARN_REALLOC(m_pBuffer, uiGrown));
        if (!pGrown)
            return false;
        m_pBuffer = pGrown;
        m_uiCapacity = uiGrown;
    }
    if (m_uiCapacity - 1 - m_uiBegin < uiBytes)
    {
        memmove(m_pBuffer, m_pBuffer + m_uiBegin, m_uiEnd - m_uiBegin);
        m_uiEnd -= m_uiBegin;
        m_uiBegin = 0;
    }
    const bool bExact = uiBytes + 1 > kMinReadBuffer;
    while (m_uiEnd - m_uiBegin < uiBytes)
    {
        size_t uiWant = m_uiCapacity - 1 - m_uiEnd;
        if (bExact)
            uiWant = std::min(uiWant, uiBytes - (m_uiEnd - m_uiBegin));
        const size_t uiRead = kSocket.ReceiveSome(m_pBuffer + m_uiEnd, uiWant, m_uiSpinMicroseconds, iDeadlineNs);
        if (uiRead == 0)
            return false;
        m_uiEnd += uiRead;
    }
    return true;
}

bool CReader::HasWholeMessage() const
{
    const size_t uiHave = m_uiEnd - m_uiBegin;
    if (uiHave < 4)
        return false;
    unsigned char acLength[4];
    memcpy(acLength, m_pBuffer + m_uiBegin, sizeof(acLength));
    // The last message's terminator may cover this header's first byte.
    if (m_bRestore && m_uiRestoreAt == m_uiBegin)
        acLength[0] = static_cast<unsigned char>(m_cRestore);
    const uint32 uiLength = DecodeLength(acLength);
    if (uiLength == kCloseMarker || uiLength == 0 || uiLength > m_uiMaxLength)
        return true;
    return uiHave >= 4 + static_cast<size_t>(uiLength);
}

EReceive CReader::Receive(TcpSocket& kSocket, const char** ppText, uint32* puiLength, IFrameAdmission* pAdmission)
{
    if (m_bRestore)
    {
        m_pBuffer[m_uiRestoreAt] = m_cRestore;
        m_bRestore = false;
    }
    if (m_uiBegin == m_uiEnd)
        m_uiBegin = m_uiEnd = 0;
    // Waiting for a message to begin has no limit; once its first byte is
    // here, the rest must follow within the frame time.
    if (!Fill(kSocket, 1, 0))
        return EReceive::Closed;
    const auto Deadline = [this]() {
        return m_uiFrameTimeoutMs ? Posix::GetMonotonicNs() + static_cast<int64>(m_uiFrameTimeoutMs) * 1000000 : 0;
    };
    int64 iDeadlineNs = Deadline();
    if (!Fill(kSocket, 4, iDeadlineNs))
        return kSocket.HasTimedOut() ? EReceive::TimedOut : EReceive::Closed;
    const uint32 uiLength = DecodeLength(reinterpret_cast<const unsigned char*>(m_pBuffer + m_uiBegin));
    if (puiLength)
        *puiLength = uiLength;
    if (uiLength == kCloseMarker)
    {
        m_uiBegin += 4;
        return EReceive::CloseMarker;
    }
    if (uiLength > m_uiMaxLength)
        return EReceive::TooLong;
    if (uiLength == 0)
    {
        m_uiBegin += 4;
        return EReceive::Empty;
    }
    if (pAdmission)
    {
        if (!pAdmission->Admit(uiLength))
            return EReceive::Closed;
        // The time spent waiting for room is the server's, not the peer's.
        iDeadlineNs = Deadline();
    }
    if (!Fill(kSocket, 4 + static_cast<size_t>(uiLength), iDeadlineNs))
        return kSocket.HasTimedOut() ? EReceive::TimedOut : EReceive::Closed;
    char* pText = m_pBuffer + m_uiBegin + 4;
    m_uiBegin += 4 + static_cast<size_t>(uiLength);
    // Terminate the text in place; the byte it covers may already belong
    // to the next message and comes back on the next call.
    m_uiRestoreAt = m_uiBegin;
    m_cRestore = m_pBuffer[m_uiBegin];
    m_bRestore = true;
    m_pBuffer[m_uiBegin] = '\0';
    if (ppText)
        *ppText = pText;
    return EReceive::Message;
}

}  // namespace MessageFraming

}  // namespace Common
