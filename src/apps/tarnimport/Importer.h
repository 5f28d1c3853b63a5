#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "SourceMotion.h"
#include "Transform.h"

namespace TarnImport {

// A clip to cut from the source: source frames uiFirst to uiLast (counted
// from 0 in the file), looping or not.
struct SClipSpec
{
    std::string kName;
    uint32_t uiFirst = 0;
    uint32_t uiLast = 0;
    bool bLoop = false;
    // The clip's net turn is taken out: its frames are turned about the
    // vertical through its first position, progressively, so that it ends
    // facing where it started (a stride that curves walks straight).
    bool bStraight = false;
    // Straight, and its net travel taken out too (an idle that stays put).
    bool bInPlace = false;
};

// A turn in place made from the first pose of a clip: dDegrees about the
// vertical (positive turns left) over uiFrames frames.
struct STurnSpec
{
    std::string kName;
    double dDegrees = 90.0;
    uint32_t uiFrames = 60;
    std::string kFrom;  // the clip whose first pose turns (empty: "Idle")
};

struct SImportOptions
{
    double dFps = 30.0;
    uint32_t uiSkip = 0;
    // The root motion's horizontal path and heading are smoothed over this
    // many seconds (a centred window, narrowed at the clip's ends so that a
    // clip's travel and turn stay exactly the root joint's own).
    double dSmoothSeconds = 0.5;
    // A looping clip whose ends differ by less than this is made seamless.
    double dLoopMaxDegrees = 45.0;
    double dLoopMaxMetres = 0.15;
    // Foot joints (left first) and what counts as a foot on the floor.
    std::vector<std::string> kFeet;
    double dContactHeight = 0.05;
    double dContactSpeed = 0.35;
};

// One clip as it is written: frames of keys, one per output channel.
struct SClip
{
    std::string kName;
    bool bLoop = false;
    uint32_t uiBlendMode = 0;
    double dFrameRate = 30.0;
    std::vector<std::vector<SXform>> kFrames;
    // Frames at which each foot comes down on the floor, per foot.
    std::vector<std::vector<uint32_t>> kContacts;
    // Frames at which the clip may come to rest (turns).
    std::vector<uint32_t> kStables;
    // How far the looping clip's ends were apart before they were joined.
    double dLoopDegrees = 0.0;
    double dLoopMetres = 0.0;
    bool bMadeSeamless = false;
    // The root motion over the clip: travel and turn.
    double dTravel = 0.0;
    double dTurnDegrees = 0.0;
};

struct SChannel
{
    std::string kName;
    int iParent = -1;
};

// What the importer writes: channels (Root and Motion, then the source's
// joints) and clips.
struct SAnimSetData
{
    std::string kName;
    std::vector<SChannel> kChannels;
    // Names of the three accumulation channels.
    std::string akAccumulation[3];
    std::vector<SClip> kClips;
};

// Turns a source motion into AnimSet data in the project's convention:
// metres, Z up, X forward. The top joint's horizontal travel and its turn
// about the vertical move to the Motion channel (root motion); what is left
// of it (height, sway, lean) stays in the pose.
//
// Run fails, with a message naming the clip, for a clip outside the source's
// frames or inside the skipped ones, a foot joint the source lacks, or a
// turn made from a clip that is not there.
class CImporter
{
public:
    CImporter(const CSourceMotion& kSource, const SAxes& kAxes, const SImportOptions& kOptions);

    bool Run(const std::string& kName, const std::vector<SClipSpec>& kClips, const std::vector<STurnSpec>& kTurns,
             SAnimSetData& kOut, std::string& kError);

    // Called with the share done (0 to 1) as clips are sampled.
    std::function<void(double)> m_kProgress;

private:
    // The world transform of the top joint and of each foot at a source
    // time, in the project's convention.
    void SampleWorld(double dSeconds, std::vector<SXform>& kLocals, SXform& kTop, std::vector<SVec3>& kFeet) const;
    bool MakeClip(const SClipSpec& kSpec, SClip& kClip, std::string& kError);
    void FindContacts(const std::vector<std::vector<SVec3>>& kFeet, double dFrameRate, SClip& kClip) const;
    void JoinLoop(SClip& kClip) const;

    const CSourceMotion& m_kSource;
    SAxes m_kAxes;
    SImportOptions m_kOptions;
    // Source axes to project axes.
    SQuat m_kConvert;
    // The top joint's rest orientation in project axes.
    SQuat m_kTopRest;
    std::vector<int> m_kFeetJoints;
};

// The gait document a character made of these clips starts from: every
// movement bound to the clip of its name (or the nearest one there is),
// the foot contacts as foot-on-floor frames, start and stop hand-overs
// synchronised at the contacts, and the turns' stable frames.
std::string WriteGaitDraft(const SAnimSetData& kData);

// The AnimSet document of the data.
std::string WriteAnimSet(const SAnimSetData& kData, const std::string& kComment);

}  // namespace TarnImport
