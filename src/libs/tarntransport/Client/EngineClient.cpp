#include "Client/EngineClient.h"

#include <cstring>

#include "Commands/ReturnBuffer.h"
#include "System/MemoryManager/MemoryManager.h"
#include "System/Net/TcpSocket.h"
#include "System/Thread/Thread.h"
#include "Utils/assertion.h"
#include "Utils/debuglog.h"

namespace TarnEngine {

CEngineClientRPC::~CEngineClientRPC()
{
    Disconnect();
}

bool CEngineClientRPC::TryConnect(const char* pAddress, uint16 uiPort)
{
    Disconnect();
    Common::TcpSocket* pSocket = TARN_NEW(Common::TcpSocket);
    if (!pSocket)
        return false;
    if (!pSocket->Connect(pAddress, uiPort))
    {
        TARN_DELETE(pSocket);
        return false;
    }
    m_pSocket = pSocket;
    m_kReader.Reset();
    return true;
}

bool CEngineClientRPC::Connect(const char* pAddress, uint16 uiPort)
{
    const bool bConnected = TryConnect(pAddress, uiPort);
    if (!bConnected)
        TARN_ASSERT(false, "Unable to connect to interface!");
    return bConnected;
}

bool CEngineClientRPC::IsConnected() const
{
    return m_pSocket && m_pSocket->IsConnected();
}

bool CEngineClientRPC::DoCall(const char* pRequest, CReturnBuffer* pReply)
{
    return DoCall(pRequest, pRequest ? strlen(pRequest) : 0, pReply);
}

bool CEngineClientRPC::DoCall(const char* pRequest, size_t uiLength, CReturnBuffer* pReply)
{
    if (!TARN_ASSERT(m_pSocket, "not connected to an interface"))
        return false;
    if (!TARN_ASSERT(pRequest && uiLength > 0 && uiLength < Common::MessageFraming::kCloseMarker,
                     "a request needs a text of 1 to 0xFFFFFFFE bytes"))
        return false;
    if (!Common::MessageFraming::Send(*m_pSocket, pRequest, static_cast<uint32>(uiLength)))
    {
        DropConnection();
        return false;
    }
    if (!pReply)
        return true;

    // Without an idle callback the read below simply blocks.
    while (m_pIdleCallback && !m_kReader.HasBuffered() && !m_pSocket->HasData(0))
    {
        if (!m_pIdleCallback->OnIdle())
        {
            Common::CDebugLog::Print("[EngineClient] : wait for a reply abandoned, disconnecting");
            DropConnection();
            return false;
        }
        Common::CThread::SleepCurrent(0);
    }

    uint32 uiReplyLength = 0;
    const char* pText = nullptr;
    switch (m_kReader.Receive(*m_pSocket, &pText, &uiReplyLength))
    {
        case Common::MessageFraming::EReceive::Message:
            pReply->SetText(pText);
            return true;
        case Common::MessageFraming::EReceive::Empty:
            pReply->Clear();
            return true;
        case Common::MessageFraming::EReceive::TooLong:
            Common::CDebugLog::Print("[EngineClient] : reply of %u bytes exceeds the limit of %u bytes, disconnecting",
                                     uiReplyLength, m_kReader.GetMaxLength());
            DropConnection();
            return false;
        case Common::MessageFraming::EReceive::CloseMarker:
        case Common::MessageFraming::EReceive::Closed:
        case Common::MessageFraming::EReceive::TimedOut:
            break;
    }
    pReply->Clear();
    TARN_ASSERT(false, "invalid interface result");
    DropConnection();
    return false;
}

void CEngineClientRPC::Disconnect()
{
    if (!m_pSocket)
        return;
    if (m_pSocket->IsConnected())
        Common::MessageFraming::SendCloseMarker(*m_pSocket);
    DropConnection();
}

void CEngineClientRPC::DropConnection()
{
    if (!m_pSocket)
        return;
    m_pSocket->Close();
    TARN_DELETE(m_pSocket);
    m_pSocket = nullptr;
}

CEngineClientBroadcast::IInterfaceSockets::~IInterfaceSockets()
{
    DisconnectAll();
}

bool CEngineClientBroadcast::IInterfaceSockets::AddConnection(const char* pAddress, uint16 uiPort, uint32 uiAttempts,
                                                              uint32 uiDelayMs)
{
    CEngineClientRPC* pClient = TARN_NEW(CEngineClientRPC);
    if (!pClient)
        return false;
    bool bConnected = false;
    for (uint32 uiAttempt = 0; uiAttempt < uiAttempts && !bConnected; ++uiAttempt)
    {
        if (uiAttempt > 0)
            Common::CThread::SleepCurrent(uiDelayMs);
        bConnected = pClient->TryConnect(pAddress, uiPort);
    }
    if (!TARN_ASSERT(bConnected, "Unable to connect to interface at %s port %i !", pAddress ? pAddress : "127.0.0.1",
                     static_cast<int>(uiPort)))
    {
        TARN_DELETE(pClient);
        return false;
    }
    m_kClients.Add(pClient);
    if (m_kClients.GetSize() == 0 || m_kClients[m_kClients.GetSize() - 1] != pClient)
    {
        // The list refused to grow (reported).
        TARN_DELETE(pClient);
        return false;
    }
    return true;
}

bool CEngineClientBroadcast::IInterfaceSockets::CallMethod(const char* pRequest, CReturnBuffer* pReply)
{
    bool bAllDone = true;
    uint32 uiIndex = 0;
    while (uiIndex < m_kClients.GetSize())
    {
        CEngineClientRPC* pClient = m_kClients[uiIndex];
        if (pClient->DoCall(pRequest, pReply) && pClient->IsConnected())
        {
            ++uiIndex;
            continue;
        }
        bAllDone = false;
        TARN_DELETE(pClient);
        m_kClients.RemoveAt(uiIndex);
    }
    return bAllDone;
}

void CEngineClientBroadcast::IInterfaceSockets::DisconnectAll()
{
    for (CEngineClientRPC* pClient : m_kClients)
        TARN_DELETE(pClient);  // disconnects
    m_kClients.Clear();
}

}  // namespace TarnEngine
