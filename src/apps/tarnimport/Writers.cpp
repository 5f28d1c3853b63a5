#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "Importer.h"
#include "shared/TextFormat.h"

namespace TarnImport {

namespace {

// A number with at most iDecimals decimals, trailing zeros cut; 0 for one
// that is not finite.
void AppendNumber(std::string& kOut, double dValue, int iDecimals)
{
    kOut += TarnApp::ShortNumber(std::isfinite(dValue) ? dValue : 0.0, iDecimals);
}

std::string Quoted(const std::string& kText)
{
    std::string kOut = "\"";
    for (const char c : kText)
    {
        if (static_cast<unsigned char>(c) < 0x20)
        {
            // Control characters are escaped, as JSON requires.
            char acEscape[8];
            snprintf(acEscape, sizeof(acEscape), "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            kOut += acEscape;
            continue;
        }
        if (c == '"' || c == '\\')
            kOut += '\\';
        kOut += c;
    }
    return kOut + "\"";
}

const char* const kMovements[] = {"Idle",           "Breath",          "Walk",           "TurnLeft",
                                  "TurnRight",      "IdleToWalkRight", "IdleToWalkLeft", "WalkToIdleRight",
                                  "WalkToIdleLeft", "LookUp",          "LookDown",       "LookLeft",
                                  "LookRight"};

// The clip a movement plays: its own, else its other-foot twin, else a
// stand-in (the idle for breathing and looks).
const SClip* ClipFor(const SAnimSetData& kData, const std::string& kMovement)
{
    const auto Find = [&](const std::string& kName) -> const SClip* {
        for (const SClip& kClip : kData.kClips)
            if (kClip.kName == kName)
                return &kClip;
        return nullptr;
    };
    if (const SClip* p = Find(kMovement))
        return p;
    static const std::map<std::string, std::string> s_kTwins = {{"IdleToWalkRight", "IdleToWalkLeft"},
                                                                {"IdleToWalkLeft", "IdleToWalkRight"},
                                                                {"WalkToIdleRight", "WalkToIdleLeft"},
                                                                {"WalkToIdleLeft", "WalkToIdleRight"},
                                                                {"TurnLeft", "TurnRight"},
                                                                {"TurnRight", "TurnLeft"}};
    const auto kTwin = s_kTwins.find(kMovement);
    if (kTwin != s_kTwins.end())
        if (const SClip* p = Find(kTwin->second))
            return p;
    // Without a start the walk itself sets off (the hand-over from the idle
    // is the actor's cross-fade).
    if (kMovement.rfind("IdleToWalk", 0) == 0)
        if (const SClip* p = Find("Walk"))
            return p;
    return Find("Idle");
}

// The first contact of a clip at or after uiFrom, whichever foot, and that
// foot; false when there is none.
bool NextContact(const SClip& kClip, uint32_t uiFrom, uint32_t& uiFrame, size_t& uiFoot)
{
    bool bFound = false;
    for (size_t f = 0; f < kClip.kContacts.size(); ++f)
        for (const uint32_t uiContact : kClip.kContacts[f])
            if (uiContact >= uiFrom && (!bFound || uiContact < uiFrame))
            {
                uiFrame = uiContact;
                uiFoot = f;
                bFound = true;
            }
    return bFound;
}

// A synchronised hand-over of up to 7 frames: source frames from uiSource,
// target frames from uiTarget, both within their clips.
void AppendBehavior(std::string& kOut, const char* pBehavior, const std::string& kSource, uint32_t uiSource,
                    uint32_t uiSourceFrames, const std::string& kTarget, uint32_t uiTarget, uint32_t uiTargetFrames)
{
    const uint32_t uiSpan = std::min<uint32_t>({6u, uiSourceFrames - 1 - std::min(uiSource, uiSourceFrames - 1),
                                                uiTargetFrames - 1 - std::min(uiTarget, uiTargetFrames - 1)});
    char acText[512];
    snprintf(acText, sizeof(acText),
             "    {\n      \"NameBehavior\": \"%s\",\n      \"EaseMs\": 200,\n"
             "      \"SynchroSource\": { \"NameKey\": %s, \"FrameFirst\": %u, \"FrameLast\": %u },\n"
             "      \"SynchroTarget\": { \"NameKey\": %s, \"FrameFirst\": %u, \"FrameLast\": %u }\n    }",
             pBehavior, Quoted(kSource).c_str(), uiSource, uiSource + uiSpan, Quoted(kTarget).c_str(), uiTarget,
             uiTarget + uiSpan);
    if (kOut.back() == '}')
        kOut += ",\n";
    kOut += acText;
}

}  // namespace

std::string WriteAnimSet(const SAnimSetData& kData, const std::string& kComment)
{
    std::string kOut =
        "{\n  \"Name\": " + Quoted(kData.kName) + ",\n  \"Comment\": " + Quoted(kComment) + ",\n  \"Channels\": [\n";
    for (size_t c = 0; c < kData.kChannels.size(); ++c)
    {
        const SChannel& kChannel = kData.kChannels[c];
        kOut += "    { \"Name\": " + Quoted(kChannel.kName) + ", \"Parent\": " +
                (kChannel.iParent < 0 ? std::string("null")
                                      : Quoted(kData.kChannels[static_cast<size_t>(kChannel.iParent)].kName)) +
                (c + 1 < kData.kChannels.size() ? " },\n" : " }\n");
    }
    kOut += "  ],\n  \"AccumulationChannels\": [" + Quoted(kData.akAccumulation[0]) + ", " +
            Quoted(kData.akAccumulation[1]) + ", " + Quoted(kData.akAccumulation[2]) + "],\n  \"Sequences\": [\n";
    for (size_t s = 0; s < kData.kClips.size(); ++s)
    {
        const SClip& kClip = kData.kClips[s];
        kOut += "    {\n      \"Name\": " + Quoted(kClip.kName) +
                ",\n      \"FirstFrame\": 0,\n      \"LastFrame\": " + std::to_string(kClip.kFrames.size() - 1) +
                ",\n      \"FrameRate\": ";
        AppendNumber(kOut, kClip.dFrameRate, 6);
        kOut += std::string(",\n      \"Loop\": ") + (kClip.bLoop ? "true" : "false") +
                ",\n      \"BlendMode\": " + std::to_string(kClip.uiBlendMode) +
                ",\n      \"Interpolation\": 0,\n      \"Frames\": [\n";
        for (size_t k = 0; k < kClip.kFrames.size(); ++k)
        {
            kOut += "        [";
            const std::vector<SXform>& kKeys = kClip.kFrames[k];
            for (size_t c = 0; c < kKeys.size(); ++c)
            {
                const SXform& kKey = kKeys[c];
                kOut += c ? ",[" : "[";
                // Rotations to 1e-5 (well under a hundredth of a degree),
                // translations to a tenth of a millimetre.
                for (const double d : {kKey.r.x, kKey.r.y, kKey.r.z, kKey.r.w})
                {
                    AppendNumber(kOut, d, 5);
                    kOut += ',';
                }
                AppendNumber(kOut, kKey.t.x, 4);
                kOut += ',';
                AppendNumber(kOut, kKey.t.y, 4);
                kOut += ',';
                AppendNumber(kOut, kKey.t.z, 4);
                kOut += ']';
            }
            kOut += k + 1 < kClip.kFrames.size() ? "],\n" : "]\n";
        }
        kOut += s + 1 < kData.kClips.size() ? "      ]\n    },\n" : "      ]\n    }\n";
    }
    kOut += "  ]\n}\n";
    return kOut;
}

std::string WriteGaitDraft(const SAnimSetData& kData)
{
    std::string kOut = "{\n  \"Binds\": [\n";
    for (size_t m = 0; m < std::size(kMovements); ++m)
    {
        const std::string kMovement = kMovements[m];
        const SClip* pClip = ClipFor(kData, kMovement);
        const bool bLook = kMovement.rfind("Look", 0) == 0;
        const bool bLoop = kMovement == "Idle" || kMovement == "Breath" || kMovement == "Walk";
        kOut += "    { \"NameKeySource\": " + Quoted(kMovement) +
                ", \"NameKeyTarget\": " + Quoted(pClip ? pClip->kName : kMovement) + (bLoop ? ", \"Loop\": true" : "") +
                (bLook ? ", \"BlendMode\": 1" : "") + (m + 1 < std::size(kMovements) ? " },\n" : " }\n");
    }
    kOut += "  ],\n  \"Stables\": [\n    { \"NameKey\": \"Idle\", \"StableFrames\": [0] }";
    for (const char* pTurn : {"TurnLeft", "TurnRight"})
        if (const SClip* pClip = ClipFor(kData, pTurn); pClip && !pClip->kStables.empty())
        {
            kOut += ",\n    { \"NameKey\": \"" + std::string(pTurn) + "\", \"StableFrames\": [";
            for (size_t i = 0; i < pClip->kStables.size(); ++i)
                kOut += (i ? ", " : "") + std::to_string(pClip->kStables[i]);
            kOut += "] }";
        }
    kOut += "\n  ],\n  \"Behaviors\": [\n";
    const SClip* pWalk = ClipFor(kData, "Walk");
    const size_t uiBehaviorsAt = kOut.size();
    if (pWalk && pWalk->kName == "Walk")
    {
        const uint32_t uiWalkFrames = static_cast<uint32_t>(pWalk->kFrames.size());
        // A start hands over to the walk at its last contact, where the walk
        // has a contact of the same foot.
        for (const char* pStart : {"IdleToWalkRight", "IdleToWalkLeft"})
        {
            const SClip* pClip = ClipFor(kData, pStart);
            if (!pClip || pClip->kName == "Idle")
                continue;
            uint32_t uiContact = 0, uiWalkContact = 0;
            size_t uiFoot = 0, uiWalkFoot = 0;
            const uint32_t uiFrames = static_cast<uint32_t>(pClip->kFrames.size());
            bool bFound = false;
            for (uint32_t uiFrom = 0; NextContact(*pClip, uiFrom, uiContact, uiFoot) && uiContact + 3 < uiFrames;
                 uiFrom = uiContact + 1)
                bFound = true;
            if (!bFound || !NextContact(*pClip, 0, uiContact, uiFoot))
            {
                AppendBehavior(kOut, "WalkStart", pStart, uiFrames > 7 ? uiFrames - 7 : 0, uiFrames, "Walk", 0,
                               uiWalkFrames);
                continue;
            }
            // The last contact that leaves a few frames to hand over in.
            for (uint32_t uiFrom = 0, uiNext = 0; NextContact(*pClip, uiFrom, uiNext, uiFoot);)
            {
                if (uiNext + 3 >= uiFrames)
                    break;
                uiContact = uiNext;
                uiFrom = uiNext + 1;
            }
            NextContact(*pClip, uiContact, uiContact, uiFoot);
            uiWalkContact = 0;
            for (uint32_t uiFrom = 0; NextContact(*pWalk, uiFrom, uiWalkContact, uiWalkFoot);
                 uiFrom = uiWalkContact + 1)
                if (uiWalkFoot == uiFoot)
                    break;
            const uint32_t uiBack = std::min({3u, uiContact, uiWalkContact});
            AppendBehavior(kOut, "WalkStart", pStart, uiContact - uiBack, uiFrames, "Walk", uiWalkContact - uiBack,
                           uiWalkFrames);
        }
        // A stop takes over where the walk puts down the foot the stop
        // begins with.
        for (const char* pStop : {"WalkToIdleRight", "WalkToIdleLeft"})
        {
            const SClip* pClip = ClipFor(kData, pStop);
            if (!pClip || pClip->kName.rfind("WalkToIdle", 0) != 0)
                continue;
            const uint32_t uiFrames = static_cast<uint32_t>(pClip->kFrames.size());
            uint32_t uiContact = 0, uiWalkContact = 0;
            size_t uiFoot = 0, uiWalkFoot = 0;
            uint32_t uiSource = 0;
            if (NextContact(*pClip, 0, uiContact, uiFoot))
                for (uint32_t uiFrom = 0; NextContact(*pWalk, uiFrom, uiWalkContact, uiWalkFoot);
                     uiFrom = uiWalkContact + 1)
                    if (uiWalkFoot == uiFoot)
                    {
                        uiSource =
                            (uiWalkContact + uiWalkFrames - 1 - uiContact % (uiWalkFrames - 1)) % (uiWalkFrames - 1);
                        break;
                    }
            AppendBehavior(kOut, "WalkStop", "Walk", uiSource, uiWalkFrames, pStop, 0, uiFrames);
        }
    }
    kOut += kOut.size() > uiBehaviorsAt ? "\n  ],\n" : "  ],\n";
    kOut += "  \"FootOnFloor\": [\n";
    bool bFirst = true;
    for (const SClip& kClip : kData.kClips)
    {
        std::vector<uint32_t> kFrames;
        for (const std::vector<uint32_t>& kFoot : kClip.kContacts)
            kFrames.insert(kFrames.end(), kFoot.begin(), kFoot.end());
        if (kFrames.empty())
            continue;
        std::sort(kFrames.begin(), kFrames.end());
        kFrames.erase(std::unique(kFrames.begin(), kFrames.end()), kFrames.end());
        kOut +=
            std::string(bFirst ? "" : ",\n") + "    { \"NameKey\": " + Quoted(kClip.kName) + ", \"StableFrames\": [";
        for (size_t i = 0; i < kFrames.size(); ++i)
            kOut += (i ? ", " : "") + std::to_string(kFrames[i]);
        kOut += "] }";
        bFirst = false;
    }
    kOut += std::string(bFirst ? "" : "\n") + "  ],\n";
    kOut += "  \"RuntimeParameters\": {\n    \"RectificatorFactor\": 0.15,\n    \"RectificatorExp\": 4,\n"
            "    \"RectificatorMin\": 0.4,\n    \"RectificatorMinDelta\": 0.0001\n  },\n"
            "  \"Steering\": { \"ApplyRectifiedRotation\": true }\n}\n";
    return kOut;
}

}  // namespace TarnImport
