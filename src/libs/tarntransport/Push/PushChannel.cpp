#include "Push/PushChannel.h"

#include <cerrno>
#include <cstring>
#include <new>

#include <sys/eventfd.h>
#include <unistd.h>

#include "Commands/CommandQueue.h"
#include "System/MemoryManager/MemoryManager.h"
#include "System/Net/TcpSocket.h"
#include "Utils/assertion.h"

namespace TarnEngine {

CPushChannel::CPushChannel(const SLimits& kLimits, int iWake) : m_kLimits(kLimits), m_iWake(iWake)
{
}

CPushChannel::~CPushChannel()
{
    {
        Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kLock);
        DropQueued();
    }
    close(m_iWake);
}

CPushChannel* CPushChannel::Create(const SLimits& kLimits)
{
    if (!TARN_ASSERT(kLimits.uiMaxFrames > 0 && kLimits.uiMaxBytes > 0, "a push channel needs room for a frame"))
        return nullptr;
    const int iWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!TARN_ASSERT(iWake >= 0, "no wake descriptor for a push channel (error %d)", errno))
        return nullptr;
    void* pBlock = TARN_ALLOC(sizeof(CPushChannel));
    if (!TARN_ASSERT(pBlock, "no memory for a push channel"))
    {
        close(iWake);
        return nullptr;
    }
    CPushChannel* pChannel = ::new (pBlock) CPushChannel(kLimits, iWake);
    pChannel->m_kRing.Resize(kLimits.uiMaxFrames);
    if (pChannel->m_kRing.GetSize() != kLimits.uiMaxFrames)
    {
        // The array reported the refusal.
        pChannel->Release();
        return nullptr;
    }
    return pChannel;
}

void CPushChannel::Release()
{
    if (m_uiRefs.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return;
    this->~CPushChannel();
    TARN_FREE(this);
}

CPushChannel::EPush CPushChannel::Push(const char* pText, uint32 uiLength)
{
    if (!TARN_ASSERT(pText && uiLength > 0, "a pushed frame needs a text"))
        return EPush::Closed;
    // The copy is made before the lock, so that the connection's thread is
    // held up by pointer moves only. Memory refused counts as no room.
    char* pCopy = uiLength <= m_kLimits.uiMaxBytes ? static_cast<char*>(TARN_ALLOC(uiLength)) : nullptr;
    if (pCopy)
        memcpy(pCopy, pText, uiLength);
    EPush eResult = EPush::Queued;
    {
        Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kLock);
        if (!m_bOpen)
            eResult = EPush::Closed;
        else if (!pCopy || m_uiCount >= m_kLimits.uiMaxFrames || m_uiBytes + uiLength > m_kLimits.uiMaxBytes)
        {
            // The client does not keep up: it is dropped, and its memory
            // goes back at once. The shut-down socket ends a send blocked on
            // it, and the connection's thread wakes to log the drop.
            m_bOverflowed = true;
            m_bOpen = false;
            DropQueued();
            if (m_pSocket)
                m_pSocket->Shutdown();
            Wake();
            eResult = EPush::Dropped;
        }
        else
        {
            m_kRing[(m_uiHead + m_uiCount) % m_kLimits.uiMaxFrames] = SFrame{pCopy, uiLength};
            pCopy = nullptr;
            Wake();
            ++m_uiCount;
            m_uiBytes += uiLength;
            m_uiPeakFrames = m_uiCount > m_uiPeakFrames ? m_uiCount : m_uiPeakFrames;
            m_uiPeakBytes = m_uiBytes > m_uiPeakBytes ? m_uiBytes : m_uiPeakBytes;
        }
    }
    if (pCopy)
        TARN_FREE(pCopy);
    return eResult;
}

bool CPushChannel::IsOpen()
{
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kLock);
    return m_bOpen;
}

CPushChannel* CPushChannel::GetCaller(CommandQueue& kQueue)
{
    if (!kQueue.IsEngineThread())
        return nullptr;
    IRequestAccount* pAccount = kQueue.GetRunningAccount();
    return pAccount ? pAccount->GetPushChannel() : nullptr;
}

void CPushChannel::Attach(Common::TcpSocket* pSocket)
{
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kLock);
    m_pSocket = pSocket;
}

void CPushChannel::Wake()
{
    // A wake-up on its way already is enough: one system call per batch of
    // frames, not per frame.
    if (m_bWakeSignalled)
        return;
    const uint64 uiOne = 1;
    // Fails only when the counter is full, and it is readable then anyway.
    const ssize_t iWritten = write(m_iWake, &uiOne, sizeof(uiOne));
    (void)iWritten;
    m_bWakeSignalled = true;
}

void CPushChannel::ClearWake()
{
    // The descriptor is readable exactly while the flag is set (both change
    // under the lock), so a connection with nothing pushed reads nothing.
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kLock);
    if (!m_bWakeSignalled)
        return;
    uint64 uiCount = 0;
    const ssize_t iRead = read(m_iWake, &uiCount, sizeof(uiCount));
    (void)iRead;
    m_bWakeSignalled = false;
}

bool CPushChannel::Pop(SFrame& kFrame)
{
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kLock);
    if (m_uiCount == 0)
        return false;
    SFrame& kOldest = m_kRing[m_uiHead];
    kFrame = kOldest;
    kOldest = SFrame{};
    m_uiHead = (m_uiHead + 1) % m_kLimits.uiMaxFrames;
    --m_uiCount;
    m_uiBytes -= kFrame.uiLength;
    return true;
}

void CPushChannel::FreeFrame(SFrame& kFrame)
{
    if (kFrame.pText)
        TARN_FREE(kFrame.pText);
    kFrame = SFrame{};
}

bool CPushChannel::HasOverflowed()
{
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kLock);
    return m_bOverflowed;
}

void CPushChannel::Close()
{
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kLock);
    m_bOpen = false;
    m_pSocket = nullptr;
    DropQueued();
}

void CPushChannel::DropQueued()
{
    while (m_uiCount > 0)
    {
        FreeFrame(m_kRing[m_uiHead]);
        m_uiHead = (m_uiHead + 1) % m_kLimits.uiMaxFrames;
        --m_uiCount;
    }
    m_uiBytes = 0;
}

uint32 CPushChannel::GetQueuedFrames()
{
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kLock);
    return m_uiCount;
}

uint64 CPushChannel::GetQueuedBytes()
{
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kLock);
    return m_uiBytes;
}

uint32 CPushChannel::GetPeakFrames()
{
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kLock);
    return m_uiPeakFrames;
}

uint64 CPushChannel::GetPeakBytes()
{
    Common::MT::CScopeLock<Common::CMutex> kGuard(&m_kLock);
    return m_uiPeakBytes;
}

}  // namespace TarnEngine
