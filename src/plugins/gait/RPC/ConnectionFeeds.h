#pragma once

#include "Commands/ParamReader.h"
#include "Commands/ReturnBuffer.h"
#include "Containers/TArray.h"
#include "Core/Types.h"
#include "Push/PushChannel.h"
#include "Push/StepPublishers.h"
#include "System/MemoryManager/MemoryManager.h"
#include "Utils/assertion.h"

namespace RPC {

// The push channel of the connection whose request the engine thread runs
// now, or null (a request from inside the process, or no endpoint).
TarnEngine::CPushChannel* CallerChannel();

// Adds a step of uiElapsedMs to the engine time uiSinceMs gathered since the
// last frame and tells whether a frame is due: always with a period of 0,
// else once uiPeriodMs has gathered (the remainder is kept, so that frames
// keep their rate whatever the step). The step's time is capped at
// uiMaxPeriodMs, where it makes no difference, so the sum cannot wrap.
bool IsFrameDue(uint32& uiSinceMs, uint32 uiPeriodMs, uint32 uiElapsedMs, uint32 uiMaxPeriodMs);

// What one connection asked a publisher for: where its frames go, how often
// and how many went. A publisher's feeds derive from it with what they add.
struct SFeed
{
    TarnEngine::CPushChannel* pChannel = nullptr;
    uint32 uiPeriodMs = 0;
    // Engine time since the last frame.
    uint32 uiSinceMs = 0;
    uint64 uiSeq = 0;
};

// The feeds of one publisher (the Gait subscriptions, the views), at most
// one per connection, found by the connection whose request runs now.
//
// Owns its feeds, each with a reference to its connection's channel. A feed
// ends when its connection asks, when the connection goes, or when a frame
// does not fit its channel (the connection is then dropped, and logs it).
// Registers its publisher with the engine's step publishers for as long as
// it lives. Engine thread only.
template <class TFeed> class CConnectionFeeds
{
public:
    static constexpr uint32 kMaxPeriodMs = 60000;

    // pPublishers: the engine's, or null for none (pPublisher is then never
    // called).
    CConnectionFeeds(TarnEngine::CStepPublishers* pPublishers, TarnEngine::IStepPublisher* pPublisher)
        : m_pPublishers(pPublishers && pPublishers->Add(pPublisher) ? pPublishers : nullptr), m_pPublisher(pPublisher)
    {
    }
    ~CConnectionFeeds()
    {
        if (m_pPublishers)
            m_pPublishers->Remove(m_pPublisher);
        while (!m_kFeeds.IsEmpty())
            End(m_kFeeds.GetSize() - 1);
    }
    CConnectionFeeds(const CConnectionFeeds&) = delete;
    CConnectionFeeds& operator=(const CConnectionFeeds&) = delete;

    // The calling connection's feed, or null.
    TFeed* FindCallers() const
    {
        const TarnEngine::CPushChannel* pChannel = CallerChannel();
        for (uint32 i = 0; pChannel && i < m_kFeeds.GetSize(); ++i)
            if (m_kFeeds[i]->pChannel == pChannel)
                return m_kFeeds[i];
        return nullptr;
    }

    // Starts the calling connection's feed, or sets the period of the one it
    // has: 0 for a frame at every step, else one per uiPeriodMs of engine
    // time, the first at the next step. Refused (null) for a period above
    // kMaxPeriodMs, or with pNoConnection for a request that did not come
    // over a connection.
    TFeed* Open(uint32 uiPeriodMs, const char* pNoConnection)
    {
        if (!TARN_REMOTE_CHECK(uiPeriodMs <= kMaxPeriodMs, "Arg0", "argument Arg0 must be a period from 0 to %u ms",
                               kMaxPeriodMs))
            return nullptr;
        TFeed* pFeed = FindCallers();
        if (!pFeed)
        {
            TarnEngine::CPushChannel* pChannel = CallerChannel();
            if (!TARN_REMOTE_CHECK(pChannel, "pChannel", "%s", pNoConnection))
                return nullptr;
            pFeed = TARN_NEW(TFeed);
            if (!TARN_ASSERT(pFeed, "no memory for a feed of pushed frames"))
                return nullptr;
            const uint32 uiBefore = m_kFeeds.GetSize();
            m_kFeeds.Add(pFeed);
            if (m_kFeeds.GetSize() != uiBefore + 1)
            {
                TARN_DELETE(pFeed);
                return nullptr;
            }
            pChannel->AddRef();
            pFeed->pChannel = pChannel;
        }
        pFeed->uiPeriodMs = uiPeriodMs;
        pFeed->uiSinceMs = uiPeriodMs;
        return pFeed;
    }

    // Ends the calling connection's feed; false when it had none.
    bool Close()
    {
        const TFeed* pCallers = FindCallers();
        for (uint32 i = 0; pCallers && i < m_kFeeds.GetSize(); ++i)
            if (m_kFeeds[i] == pCallers)
            {
                End(i);
                return true;
            }
        return false;
    }

    // At the end of an engine step of uiElapsedMs: pushes to every feed that
    // is due the frame kWrite(feed) makes (a CReturnBuffer), counts it, and
    // ends the feeds whose connection is gone or did not take the frame.
    template <class FWrite> void Publish(uint32 uiElapsedMs, FWrite&& kWrite)
    {
        for (uint32 i = 0; i < m_kFeeds.GetSize();)
        {
            TFeed& kFeed = *m_kFeeds[i];
            const bool bDue = IsFrameDue(kFeed.uiSinceMs, kFeed.uiPeriodMs, uiElapsedMs, kMaxPeriodMs);
            bool bKeep = kFeed.pChannel->IsOpen();
            if (bKeep && bDue)
            {
                const TarnEngine::CReturnBuffer& kFrame = kWrite(kFeed);
                bKeep = kFeed.pChannel->Push(kFrame.GetText(), static_cast<uint32>(kFrame.GetLength())) ==
                        TarnEngine::CPushChannel::EPush::Queued;
                ++kFeed.uiSeq;
            }
            if (bKeep)
                ++i;
            else
                End(i);
        }
    }

    uint32 GetCount() const { return m_kFeeds.GetSize(); }

private:
    void End(uint32 uiIndex)
    {
        TFeed* pFeed = m_kFeeds[uiIndex];
        m_kFeeds.RemoveAt(uiIndex);
        pFeed->pChannel->Release();
        TARN_DELETE(pFeed);
    }

    TarnEngine::CStepPublishers* m_pPublishers;
    TarnEngine::IStepPublisher* m_pPublisher;
    TarnRenderer::TArray<TFeed*> m_kFeeds;
};

}  // namespace RPC
