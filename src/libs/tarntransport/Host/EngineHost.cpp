#include "Host/EngineHost.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>

#include "Commands/CommandManager.h"
#include "Commands/ReturnBuffer.h"
#include "System/MemoryManager/MemoryManager.h"
#include "System/Posix/PosixClock.h"
#include "Utils/assertion.h"
#include "Utils/debuglog.h"

namespace TarnEngine {

namespace {

constexpr uint32 kPollMs = 10;
// How many requests of a batch are read before they are handed to the
// engine thread together (see ConnectionThread::Serve).
constexpr uint32 kSubmitEvery = 8;
constexpr size_t kPeerCapacity = 64;
}  // namespace

CEngineHost::~CEngineHost()
{
    Stop();
}

bool CEngineHost::Start(CommandManager& kManager, const SNetOptions& kOptions)
{
    if (!TARN_ASSERT(!m_pHostThread, "the host runs already"))
        return false;
    const char* pAddress = kOptions.pBindAddress ? kOptions.pBindAddress : "127.0.0.1";
    m_pCommandManager = &kManager;
    m_uiMaxFrameBytes = kOptions.uiMaxFrameBytes;
    m_uiSpinMicroseconds = kOptions.uiSpinMicroseconds;
    m_uiMaxConnections = kOptions.uiMaxConnections;
    m_uiFrameTimeoutMs = kOptions.uiFrameTimeoutMs;
    m_uiSendTimeoutMs = kOptions.uiSendTimeoutMs;
    m_kPushLimits.uiMaxFrames = kOptions.uiMaxPushedFrames;
    m_kPushLimits.uiMaxBytes = kOptions.uiMaxPushedBytes;
    CRequestBudget::SLimits kLimits;
    kLimits.uiMaxPerConnection = kOptions.uiMaxQueuedPerConnection;
    kLimits.uiMaxRequests = kOptions.uiMaxQueuedRequests;
    kLimits.uiMaxBytes = kOptions.uiMaxQueuedBytes;
    m_kBudget.SetLimits(kLimits);
    m_kBudget.Open();
    m_bStopping.store(false, std::memory_order_release);

    HostThread* pThread = TARN_NEW(HostThread, this);
    if (!pThread || !pThread->GetSocket().Listen(kOptions.uiPort, pAddress))
    {
        TARN_DELETE(pThread);
        TARN_ASSERT(false, "could not open host RPC connection");
        return false;
    }
    m_uiPort = pThread->GetSocket().GetPort();
    if (!Common::TcpSocket::IsLoopbackAddress(pAddress))
        Common::CDebugLog::Print("[EngineHost] : warning: listening on %s:%u, remote calls are unauthenticated",
                                 pAddress, static_cast<unsigned>(m_uiPort));
    m_pHostThread = pThread;
    if (!pThread->Start("EngineNetListener"))
    {
        m_pHostThread = nullptr;
        pThread->GetSocket().Close();
        TARN_DELETE(pThread);
        m_uiPort = 0;
        TARN_ASSERT(false, "could not start the host RPC thread");
        return false;
    }
    return true;
}

void CEngineHost::Stop()
{
    // From here no connection reads another request, and none waits for
    // room in the budget any more.
    m_bStopping.store(true, std::memory_order_release);
    m_kBudget.Close();
    if (m_pHostThread)
    {
        // Shutting the listening socket down ends the blocking accept; the
        // thread's socket closes when the thread object goes.
        m_pHostThread->GetSocket().Shutdown();
        while (m_pHostThread->IsRunning())
            Common::CThread::SleepCurrent(kPollMs);
        m_pHostThread->Wait();
        TARN_DELETE(m_pHostThread);
        m_pHostThread = nullptr;
    }

    // The listener is gone: the list no longer grows.
    TarnRenderer::TArray<ConnectionThread*> kConnections;
    {
        Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kConnectionsLock);
        kConnections = std::move(m_kConnections);
    }
    // Reading ends; what was read still runs and is answered: each thread
    // sends its replies, then closes its connection.
    for (ConnectionThread* pConnection : kConnections)
        pConnection->StopReading();

    // A connection waiting for an acknowledged command is released only by
    // the engine thread: when that is us, keep running the queue.
    const bool bEngineThread = m_pCommandManager && m_pCommandManager->GetQueue().IsEngineThread();
    for (;;)
    {
        if (bEngineThread)
            m_pCommandManager->ProcessQueue();
        bool bAllFinished = true;
        for (ConnectionThread* pConnection : kConnections)
            bAllFinished = bAllFinished && !pConnection->IsRunning();
        if (bAllFinished)
            break;
        Common::CThread::SleepCurrent(kPollMs);
    }
    for (ConnectionThread* pConnection : kConnections)
    {
        pConnection->Wait();
        TARN_DELETE(pConnection);
    }
    m_uiPort = 0;
}

uint32 CEngineHost::GetConnectionCount()
{
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kConnectionsLock);
    uint32 uiLive = 0;
    for (ConnectionThread* pConnection : m_kConnections)
        uiLive += pConnection->IsFinished() ? 0u : 1u;
    return uiLive;
}

uint32 CEngineHost::ReapFinishedConnections()
{
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kConnectionsLock);
    uint32 uiIndex = 0;
    while (uiIndex < m_kConnections.GetSize())
    {
        ConnectionThread* pConnection = m_kConnections[uiIndex];
        if (pConnection->IsFinished())
        {
            pConnection->Wait();
            TARN_DELETE(pConnection);
            m_kConnections.RemoveAt(uiIndex);
        }
        else
        {
            ++uiIndex;
        }
    }
    return m_kConnections.GetSize();
}

void CEngineHost::AddConnection(int iDescriptor, const char* pPeer)
{
    const uint32 uiLive = ReapFinishedConnections();
    if (uiLive >= m_uiMaxConnections)
    {
        Common::CDebugLog::Print("[EngineHost] : connection from %s refused: %u connections already open", pPeer,
                                 uiLive);
        Common::TcpSocket kRefused(iDescriptor);
        kRefused.Close();
        return;
    }
    ConnectionThread* pConnection = TARN_NEW(ConnectionThread, this, iDescriptor, pPeer);
    if (!pConnection)
    {
        Common::TcpSocket kRefused(iDescriptor);
        kRefused.Close();
        return;
    }
    {
        Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kConnectionsLock);
        m_kConnections.Add(pConnection);
        if (m_kConnections.GetSize() == 0 || m_kConnections[m_kConnections.GetSize() - 1] != pConnection)
        {
            // The list refused to grow (reported).
            TARN_DELETE(pConnection);
            return;
        }
    }
    // The host's port, then the client's address and port, which tell the
    // connections apart.
    Common::CDebugLog::Print("Start new client connection on port %i from %s", static_cast<int>(m_uiPort), pPeer);
    if (!pConnection->Start("connection"))
    {
        Common::CDebugLog::Print("[EngineHost] : could not start a thread for the connection from %s", pPeer);
        pConnection->CloseSocket();
        Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kConnectionsLock);
        const uint32 uiIndex = m_kConnections.Find(pConnection);
        if (uiIndex != m_kConnections.uiMaxValue)
            m_kConnections.RemoveAt(uiIndex);
        TARN_DELETE(pConnection);
    }
}

uint32 CEngineHost::HostThread::Run()
{
    for (;;)
    {
        char acPeer[kPeerCapacity] = {};
        const int iConnection = m_kSocket.Accept(acPeer, sizeof(acPeer));
        if (iConnection < 0)
            break;  // closed by Stop, or failed (printed)
        Common::CDebugLog::Print("Connection accepted from %s ", acPeer);
        // The next connection is accepted at once: a pause here let a burst
        // of clients overflow the kernel's queue, and it reset some of them.
        m_pHost->AddConnection(iConnection, acPeer);
    }
    return 0;
}

namespace {

// Charges a connection's account for each message before its body is read,
// and remembers the charge until the command takes it over.
//
// Room in the budget comes only from the engine running what is held, and
// an acknowledged request gives its charge back only once the connection
// has seen it run. So before a charge waits, the connection sees through
// the requests it has collected: otherwise a pipeline longer than the limits
// would wait for room that only its own waiting frees.
class CAdmission final : public Common::MessageFraming::IFrameAdmission
{
public:
    CAdmission(CEngineHost& kHost, CRequestBudget::CAccount& kAccount, CommandQueue& kQueue, CPendingReplies& kPending)
        : m_kHost(kHost), m_kAccount(kAccount), m_kQueue(kQueue), m_kPending(kPending)
    {
    }

    bool Admit(uint32 uiLength) override
    {
        if (m_kHost.IsStopping())
            return false;
        const uint64 uiCharge = CRequestBudget::CostOf(uiLength);
        if (!m_kAccount.TryCharge(uiCharge))
        {
            m_kQueue.WaitPending(m_kPending);
            if (!m_kAccount.Charge(uiCharge))
                return false;
        }
        m_uiCharge = uiCharge;
        m_bCharged = true;
        return true;
    }
    // The charge of the message just read, handed over to its command.
    uint64 TakeCharge()
    {
        m_bCharged = false;
        return m_uiCharge;
    }
    // A message charged and then not read whole gives its charge back.
    void RefundUnused()
    {
        if (m_bCharged)
            m_kAccount.Refund(TakeCharge());
    }

private:
    CEngineHost& m_kHost;
    CRequestBudget::CAccount& m_kAccount;
    CommandQueue& m_kQueue;
    CPendingReplies& m_kPending;
    uint64 m_uiCharge = 0;
    bool m_bCharged = false;
};

}  // namespace

CEngineHost::ConnectionThread::ConnectionThread(CEngineHost* pHost, int iDescriptor, const char* pPeer)
    : m_pHost(pHost), m_kSocket(iDescriptor), m_kAccount(pHost->GetBudget())
{
    snprintf(m_acPeer, sizeof(m_acPeer), "%s", pPeer ? pPeer : "?");
    // Without a channel the connection is served all the same; only
    // subscriptions are refused to it.
    m_pChannel = CPushChannel::Create(pHost->GetPushLimits());
    if (m_pChannel)
        m_pChannel->Attach(&m_kSocket);
    m_kAccount.SetPushChannel(m_pChannel);
}

CEngineHost::ConnectionThread::~ConnectionThread()
{
    if (m_pChannel)
    {
        m_pChannel->Close();
        m_pChannel->Release();
    }
}

uint32 CEngineHost::ConnectionThread::Run()
{
    {
        // A peer that sends the same broken request over and over must not
        // flood the log: this thread's lines are throttled.
        Common::CDebugLog::CThrottleScope kThrottle;
        Serve();
        // Requests of this connection still queued refund their charge to
        // its account when they are done with: the account must outlive
        // them.
        m_kAccount.WaitDrained();
    }
    // Publishers still holding the channel must no longer reach the socket
    // (a drop shuts it down): it is forgotten before it is closed.
    if (m_pChannel)
        m_pChannel->Close();
    m_kSocket.Close();
    m_bFinished.store(true, std::memory_order_release);
    return 0;
}

void CEngineHost::ConnectionThread::Serve()
{
    CommandManager* pManager = m_pHost->GetCommandManager();
    const uint32 uiMaxFrameBytes = m_pHost->GetMaxFrameBytes();
    // The receive buffer is kept across requests and grows only when a
    // longer message arrives; it shrinks back once a long one is handled.
    Common::MessageFraming::CReader kReader(uiMaxFrameBytes);
    // A client calling in a loop is served without waking this thread.
    kReader.SetSpinMicroseconds(m_pHost->GetSpinMicroseconds());
    kReader.SetFrameTimeoutMs(m_pHost->GetFrameTimeoutMs());
    m_kSocket.SetSendTimeout(m_pHost->GetSendTimeoutMs());
    const char* pText = nullptr;
    // The replies of one batch of requests, and their frames as sent.
    CReturnBuffer akReplies[kMaxPipelined];
    CReturnBuffer kOutgoing;
    // The requests of one batch, queued together; kept across batches with
    // its memory and its completion event. Its commands write into the
    // replies above, which therefore outlive it.
    CPendingReplies kPending;
    CAdmission kAdmission(*m_pHost, m_kAccount, pManager->GetQueue(), kPending);

    // Whether the last turn served a request: the next one may follow at
    // once, and is looked for before the thread sleeps.
    bool bServed = false;
    while (!m_pHost->IsStopping())
    {
        // What was pushed while the connection waited for a request goes
        // out before the next request is read.
        if (!SendPushedFrames())
            return;
        if (!kReader.HasBuffered() && !WaitForRequest(bServed))
        {
            bServed = false;
            continue;
        }
        bServed = true;
        uint32 uiLength = 0;
        const Common::MessageFraming::EReceive eReceived = kReader.Receive(m_kSocket, &pText, &uiLength, &kAdmission);
        if (eReceived != Common::MessageFraming::EReceive::Message)
        {
            kAdmission.RefundUnused();
            if (!HandleOtherReceive(eReceived, uiLength, uiMaxFrameBytes))
                return;
            continue;
        }
        // Every whole request the client has sent already is queued
        // at once (a client may send many before reading replies),
        // then their replies go out in order with one send.
        uint32 uiBatch = 0;
        akReplies[uiBatch].Rewind();
        pManager->ExecuteJSon(pText, uiLength, &akReplies[uiBatch], &m_kAccount, kAdmission.TakeCharge(), &kPending);
        ++uiBatch;
        Common::MessageFraming::EReceive eNext = Common::MessageFraming::EReceive::Message;
        while (uiBatch < kMaxPipelined && kReader.HasWholeMessage() && !m_pHost->IsStopping())
        {
            eNext = kReader.Receive(m_kSocket, &pText, &uiLength, &kAdmission);
            if (eNext != Common::MessageFraming::EReceive::Message)
                break;
            // What is read so far goes to the engine thread now and then,
            // so that it runs the first requests while later ones are read.
            if (uiBatch % kSubmitEvery == 0)
                pManager->GetQueue().SubmitPending(kPending);
            akReplies[uiBatch].Rewind();
            pManager->ExecuteJSon(pText, uiLength, &akReplies[uiBatch], &m_kAccount, kAdmission.TakeCharge(),
                                  &kPending);
            ++uiBatch;
        }
        pManager->GetQueue().WaitPending(kPending);
        kReader.Trim();
        // The frames pushed while the requests ran go before their
        // replies: whatever follows a reply was made after its
        // request ran.
        if (!SendPushedFrames() || !SendReplies(akReplies, uiBatch, kOutgoing))
            return;
        if (eNext != Common::MessageFraming::EReceive::Message)
        {
            // What ended the batch is handled as if read alone.
            kAdmission.RefundUnused();
            if (!HandleOtherReceive(eNext, uiLength, uiMaxFrameBytes))
                return;
        }
    }
}

bool CEngineHost::ConnectionThread::HandleOtherReceive(Common::MessageFraming::EReceive eReceived, uint32 uiLength,
                                                       uint32 uiMaxFrameBytes)
{
    switch (eReceived)
    {
        case Common::MessageFraming::EReceive::CloseMarker:
            Common::CDebugLog::Print("client connection closed...");
            Common::MessageFraming::SendCloseMarker(m_kSocket);
            return false;
        case Common::MessageFraming::EReceive::TooLong:
            Common::CDebugLog::Print(
                "[EngineHost] : message of %u bytes exceeds the limit of %u bytes, connection closed", uiLength,
                uiMaxFrameBytes);
            return false;
        case Common::MessageFraming::EReceive::Empty:
            Common::CDebugLog::Print("[EngineHost] : empty message rejected");
            return true;
        case Common::MessageFraming::EReceive::Closed:
            // A drop shuts the socket down under a receive.
            ReportDrop();
            return false;
        case Common::MessageFraming::EReceive::TimedOut:
            Common::CDebugLog::Print(
                "[EngineHost] : %s sent part of a message and nothing more for %u ms, connection closed", m_acPeer,
                m_pHost->GetFrameTimeoutMs());
            return false;
        case Common::MessageFraming::EReceive::Message:
            break;
    }
    return true;
}

bool CEngineHost::ConnectionThread::SendReplies(CReturnBuffer* pReplies, uint32 uiCount, CReturnBuffer& kOutgoing)
{
    kOutgoing.Rewind();
    for (uint32 i = 0; i < uiCount; ++i)
    {
        const uint32 uiLength = static_cast<uint32>(strnlen(pReplies[i].GetText(), pReplies[i].GetLength()));
        if (uiLength == 0)
            continue;  // a request without "WaitAck"
        const char acLength[4] = {static_cast<char>(uiLength), static_cast<char>(uiLength >> 8),
                                  static_cast<char>(uiLength >> 16), static_cast<char>(uiLength >> 24)};
        if (!kOutgoing.Append(acLength, sizeof(acLength)) || !kOutgoing.Append(pReplies[i].GetText(), uiLength))
            return false;
    }
    if (kOutgoing.IsEmpty() || m_kSocket.Send(kOutgoing.GetText(), kOutgoing.GetLength()))
        return true;
    if (!ReportDrop() && m_kSocket.HasTimedOut())
        Common::CDebugLog::Print("[EngineHost] : %s did not take its replies within %u ms, connection closed", m_acPeer,
                                 m_pHost->GetSendTimeoutMs());
    return false;
}

bool CEngineHost::ConnectionThread::WaitForRequest(bool bSpin)
{
    pollfd akPoll[2] = {{m_kSocket.GetDescriptor(), POLLIN, 0},
                        {m_pChannel ? m_pChannel->GetWakeDescriptor() : -1, POLLIN, 0}};
    // A client calling in a loop sends its next request at once: looking
    // for it a little while before sleeping spares waking this thread.
    const uint32 uiSpin = bSpin ? m_pHost->GetSpinMicroseconds() : 0;
    const int64 iSpinUntilNs = uiSpin ? Common::Posix::GetMonotonicNs() + static_cast<int64>(uiSpin) * 1000 : 0;
    for (;;)
    {
        const bool bSpinning = iSpinUntilNs != 0 && Common::Posix::GetMonotonicNs() < iSpinUntilNs;
        const int iReady = poll(akPoll, 2, bSpinning ? 0 : -1);
        if (iReady > 0)
            return akPoll[0].revents != 0;
        if (iReady < 0 && errno != EINTR)
            return true;  // the receive meets the failure and reports it
        if (bSpinning)
            sched_yield();
    }
}

bool CEngineHost::ConnectionThread::SendPushedFrames()
{
    if (!m_pChannel)
        return true;
    m_pChannel->ClearWake();
    CPushChannel::SFrame kFrame;
    while (m_pChannel->Pop(kFrame))
    {
        const bool bSent = Common::MessageFraming::Send(m_kSocket, kFrame.pText, kFrame.uiLength);
        CPushChannel::FreeFrame(kFrame);
        if (!bSent)
        {
            if (!ReportDrop() && m_kSocket.HasTimedOut())
                Common::CDebugLog::Print(
                    "[EngineHost] : %s did not take its pushed frames within %u ms, connection closed", m_acPeer,
                    m_pHost->GetSendTimeoutMs());
            return false;
        }
    }
    return !ReportDrop();
}

bool CEngineHost::ConnectionThread::ReportDrop()
{
    if (!m_pChannel || !m_pChannel->HasOverflowed())
        return false;
    const CPushChannel::SLimits& kLimits = m_pChannel->GetLimits();
    Common::CDebugLog::Print("[EngineHost] : %s did not keep up with the frames pushed to it (%u frames or %llu bytes "
                             "waiting at most), connection closed",
                             m_acPeer, kLimits.uiMaxFrames, static_cast<unsigned long long>(kLimits.uiMaxBytes));
    return true;
}

}  // namespace TarnEngine
