#include "Importer.h"

#include <algorithm>
#include <cmath>

namespace TarnImport {

namespace {

constexpr double kPi = 3.14159265358979323846;

// A centred moving average over iHalf samples each side, the window
// narrowed near the ends so that the first and last samples stay as they
// are.
std::vector<double> Smooth(const std::vector<double>& kValues, int iHalf)
{
    const int iCount = static_cast<int>(kValues.size());
    std::vector<double> kOut(kValues.size());
    for (int i = 0; i < iCount; ++i)
    {
        const int iReach = std::min({iHalf, i, iCount - 1 - i});
        double dSum = 0.0;
        for (int j = i - iReach; j <= i + iReach; ++j)
            dSum += kValues[static_cast<size_t>(j)];
        kOut[static_cast<size_t>(i)] = dSum / (2 * iReach + 1);
    }
    return kOut;
}

// The path of a loop smoothed as a cycle: its steps are averaged over iHalf
// steps each side, wrapping round, then added up again from the first
// point, so that the cycle's travel stays exactly the source's and the pace
// does not break where the loop wraps.
std::vector<double> SmoothCycle(const std::vector<double>& kValues, int iHalf)
{
    const int iSteps = static_cast<int>(kValues.size()) - 1;
    if (iSteps < 2)
        return kValues;
    iHalf = std::min(iHalf, (iSteps - 1) / 2);
    std::vector<double> kOut(kValues.size());
    kOut[0] = kValues[0];
    for (int i = 0; i < iSteps; ++i)
    {
        double dSum = 0.0;
        for (int j = i - iHalf; j <= i + iHalf; ++j)
        {
            const int k = ((j % iSteps) + iSteps) % iSteps;
            dSum += kValues[static_cast<size_t>(k) + 1] - kValues[static_cast<size_t>(k)];
        }
        kOut[static_cast<size_t>(i) + 1] = kOut[static_cast<size_t>(i)] + dSum / (2 * iHalf + 1);
    }
    return kOut;
}

// 3u^2 - 2u^3: a turn that eases in and out.
double Ease(double u)
{
    return u * u * (3.0 - 2.0 * u);
}

}  // namespace

CImporter::CImporter(const CSourceMotion& kSource, const SAxes& kAxes, const SImportOptions& kOptions)
    : m_kSource(kSource), m_kAxes(kAxes), m_kOptions(kOptions)
{
    // Rows: where the source's forward, left and up go (to X, Y and Z).
    const SVec3 kUp = m_kAxes.kUp * (1.0 / Length(m_kAxes.kUp));
    SVec3 kForward = m_kAxes.kForward - kUp * Dot(m_kAxes.kForward, kUp);
    kForward = kForward * (1.0 / Length(kForward));
    const SVec3 kLeft = Cross(kUp, kForward);
    m_kConvert = FromRows(kForward, kLeft, kUp);
    m_kTopRest = Normalize(m_kConvert * Compose(m_kSource.GetAbove(), m_kSource.GetJoints().front().kRest).r);
}

void CImporter::SampleWorld(double dSeconds, std::vector<SXform>& kLocals, SXform& kTop,
                            std::vector<SVec3>& kFeet) const
{
    const std::vector<SSourceJoint>& kJoints = m_kSource.GetJoints();
    kLocals.resize(kJoints.size());
    for (size_t j = 0; j < kJoints.size(); ++j)
    {
        kLocals[j] = m_kSource.SampleLocal(static_cast<uint32_t>(j), dSeconds);
        kLocals[j].t = kLocals[j].t * m_kAxes.dScale;
    }
    SXform kAbove = m_kSource.GetAbove();
    kAbove.t = kAbove.t * m_kAxes.dScale;
    const SXform kTopSource = Compose(kAbove, kLocals[0]);
    kTop = {Rotate(m_kConvert, kTopSource.t), Normalize(m_kConvert * kTopSource.r)};
    kFeet.clear();
    if (m_kFeetJoints.empty())
        return;
    std::vector<SXform> kWorld(kJoints.size());
    kWorld[0] = kTop;
    for (size_t j = 1; j < kJoints.size(); ++j)
        kWorld[j] = Compose(kWorld[static_cast<size_t>(kJoints[j].iParent)], kLocals[j]);
    for (const int iFoot : m_kFeetJoints)
        kFeet.push_back(kWorld[static_cast<size_t>(iFoot)].t);
}

bool CImporter::MakeClip(const SClipSpec& kSpec, SClip& kClip, std::string& kError)
{
    const double dSourceFps = m_kSource.GetFrameRate();
    const uint32_t uiFrames = m_kSource.GetFrameCount();
    if (kSpec.uiLast <= kSpec.uiFirst || kSpec.uiLast >= uiFrames)
    {
        kError = "clip " + kSpec.kName + ": frames " + std::to_string(kSpec.uiFirst) + "-" +
                 std::to_string(kSpec.uiLast) + " are not a range of the source's frames 0-" +
                 std::to_string(uiFrames ? uiFrames - 1 : 0);
        return false;
    }
    if (kSpec.uiFirst < m_kOptions.uiSkip)
    {
        kError = "clip " + kSpec.kName + ": frames " + std::to_string(kSpec.uiFirst) + "-" +
                 std::to_string(kSpec.uiLast) + " include skipped frames (--skip " + std::to_string(m_kOptions.uiSkip) +
                 ")";
        return false;
    }
    // Whole output frames spanning exactly the cut, so that its last frame
    // is the source's last one (a loop's ends meet).
    const double dDuration = (kSpec.uiLast - kSpec.uiFirst) / dSourceFps;
    const uint32_t uiCount = std::max<uint32_t>(2, static_cast<uint32_t>(std::lround(dDuration * m_kOptions.dFps)) + 1);
    kClip.kName = kSpec.kName;
    kClip.bLoop = kSpec.bLoop;
    kClip.dFrameRate = (uiCount - 1) / dDuration;

    std::vector<std::vector<SXform>> kLocals(uiCount);
    std::vector<SXform> kTops(uiCount);
    std::vector<std::vector<SVec3>> kFeet(uiCount);
    std::vector<double> kX(uiCount), kY(uiCount), kYaw(uiCount);
    for (uint32_t k = 0; k < uiCount; ++k)
    {
        const double dTime = kSpec.uiFirst / dSourceFps + k * dDuration / (uiCount - 1);
        SampleWorld(dTime, kLocals[k], kTops[k], kFeet[k]);
        kX[k] = kTops[k].t.x;
        kY[k] = kTops[k].t.y;
        const SVec3 kFacing = Rotate(kTops[k].r * Conjugate(m_kTopRest), SVec3{1.0, 0.0, 0.0});
        double dYaw = std::atan2(kFacing.y, kFacing.x);
        // Unwrapped: a clip may turn more than half a turn.
        if (k > 0)
            dYaw += 2.0 * kPi * std::round((kYaw[k - 1] - dYaw) / (2.0 * kPi));
        kYaw[k] = dYaw;
        if (m_kProgress)
            m_kProgress(static_cast<double>(k + 1) / uiCount);
    }
    if (kSpec.bStraight || kSpec.bInPlace)
    {
        const double dTurn = kYaw.back() - kYaw.front();
        const SVec3 kPivot{kTops[0].t.x, kTops[0].t.y, 0.0};
        for (uint32_t k = 0; k < uiCount; ++k)
        {
            const double dBack = -dTurn * k / (uiCount - 1);
            const SQuat kBack = Yaw(dBack);
            kTops[k] = {kPivot + Rotate(kBack, kTops[k].t - kPivot), Normalize(kBack * kTops[k].r)};
            const SVec3 kFrom{kX[k] - kPivot.x, kY[k] - kPivot.y, 0.0};
            const SVec3 kTo = Rotate(kBack, kFrom);
            kX[k] = kPivot.x + kTo.x;
            kY[k] = kPivot.y + kTo.y;
            kYaw[k] += dBack;
        }
    }
    if (kSpec.bInPlace)
    {
        const double dX = kX.back() - kX.front(), dY = kY.back() - kY.front();
        for (uint32_t k = 0; k < uiCount; ++k)
        {
            const double dShare = static_cast<double>(k) / (uiCount - 1);
            kX[k] -= dX * dShare;
            kY[k] -= dY * dShare;
            kTops[k].t = kTops[k].t - SVec3{dX * dShare, dY * dShare, 0.0};
        }
    }
    const int iHalf = static_cast<int>(std::lround(0.5 * m_kOptions.dSmoothSeconds * kClip.dFrameRate));
    kX = kSpec.bLoop ? SmoothCycle(kX, iHalf) : Smooth(kX, iHalf);
    kY = kSpec.bLoop ? SmoothCycle(kY, iHalf) : Smooth(kY, iHalf);
    if (kSpec.bLoop)
    {
        // A loop turns at one rate (the hips' sway within a stride stays in
        // the pose, where steering does not fight it) and faces where a
        // cycle travels, so that a character told a heading goes that way.
        const double dTravelX = kX.back() - kX.front(), dTravelY = kY.back() - kY.front();
        const double dTurn = kYaw.back() - kYaw.front();
        double dStart = kYaw.front();
        if (std::hypot(dTravelX, dTravelY) > 0.1)
            dStart = std::atan2(dTravelY, dTravelX) - 0.5 * dTurn;
        for (uint32_t k = 0; k < uiCount; ++k)
            kYaw[k] = dStart + dTurn * k / (uiCount - 1);
    }
    else
        kYaw = Smooth(kYaw, iHalf);

    // The clip starts at the origin facing +X: root motion counts only what
    // changes, and turns find their stable orientations from there.
    const SXform kStart{{kX[0], kY[0], 0.0}, Yaw(kYaw[0])};
    const SXform kToStart = Inverse(kStart);
    kClip.kFrames.resize(uiCount);
    for (uint32_t k = 0; k < uiCount; ++k)
    {
        const SXform kMotion{{kX[k], kY[k], 0.0}, Yaw(kYaw[k])};
        std::vector<SXform>& kKeys = kClip.kFrames[k];
        kKeys.reserve(kLocals[k].size() + 2);
        kKeys.push_back(SXform{});
        kKeys.push_back(Compose(kToStart, kMotion));
        kKeys.push_back(Compose(Inverse(kMotion), kTops[k]));
        for (size_t j = 1; j < kLocals[k].size(); ++j)
            kKeys.push_back(kLocals[k][j]);
    }
    const SXform& kEnd = kClip.kFrames.back()[1];
    kClip.dTravel = std::hypot(kEnd.t.x, kEnd.t.y);
    kClip.dTurnDegrees = (kYaw.back() - kYaw.front()) * 180.0 / kPi;
    if (!m_kFeetJoints.empty())
        FindContacts(kFeet, kClip.dFrameRate, kClip);
    if (kClip.bLoop)
        JoinLoop(kClip);
    return true;
}

void CImporter::FindContacts(const std::vector<std::vector<SVec3>>& kFeet, double dFrameRate, SClip& kClip) const
{
    double dFloor = 1e30;
    for (const std::vector<SVec3>& kFrame : kFeet)
        for (const SVec3& kFoot : kFrame)
            dFloor = std::min(dFloor, kFoot.z);
    kClip.kContacts.assign(m_kFeetJoints.size(), {});
    // Runs of frames shorter than a tenth of a second, down or up, are noise
    // of the capture: a gap that short is closed, a contact that short
    // dropped.
    const size_t uiShortest = static_cast<size_t>(std::max(2.0, std::round(0.1 * dFrameRate)));
    for (size_t f = 0; f < m_kFeetJoints.size(); ++f)
    {
        std::vector<bool> kDown(kFeet.size());
        for (size_t k = 0; k < kFeet.size(); ++k)
        {
            const SVec3& kNext = kFeet[k + 1 < kFeet.size() ? k + 1 : k][f];
            const SVec3& kBefore = kFeet[k > 0 ? k - 1 : k][f];
            const double dSpan = (k + 1 < kFeet.size() ? 1.0 : 0.0) + (k > 0 ? 1.0 : 0.0);
            const double dSpeed =
                dSpan > 0.0 ? std::hypot(kNext.x - kBefore.x, kNext.y - kBefore.y) * dFrameRate / dSpan : 0.0;
            kDown[k] = kFeet[k][f].z - dFloor < m_kOptions.dContactHeight && dSpeed < m_kOptions.dContactSpeed;
        }
        for (const bool bValue : {false, true})
            for (size_t k = 0; k < kDown.size();)
            {
                size_t uiEnd = k;
                while (uiEnd < kDown.size() && kDown[uiEnd] == kDown[k])
                    ++uiEnd;
                // Gaps (false runs) between contacts are closed first, then
                // short contacts dropped; runs at the clip's ends stay.
                if (kDown[k] == bValue && uiEnd - k < uiShortest && k > 0 && uiEnd < kDown.size())
                    std::fill(kDown.begin() + static_cast<long>(k), kDown.begin() + static_cast<long>(uiEnd), !bValue);
                k = uiEnd;
            }
        for (size_t k = 0; k < kDown.size(); ++k)
            if (kDown[k] && (k == 0 || !kDown[k - 1]))
                kClip.kContacts[f].push_back(static_cast<uint32_t>(k));
    }
}

void CImporter::JoinLoop(SClip& kClip) const
{
    // Every channel but Root and Motion: what the last frame lacks to be the
    // first pose again.
    const std::vector<SXform>& kFirst = kClip.kFrames.front();
    const std::vector<SXform>& kLast = kClip.kFrames.back();
    std::vector<SQuat> kTurn(kFirst.size());
    std::vector<SVec3> kShift(kFirst.size());
    for (size_t c = 2; c < kFirst.size(); ++c)
    {
        kTurn[c] = Normalize(kFirst[c].r * Conjugate(kLast[c].r));
        kShift[c] = kFirst[c].t - kLast[c].t;
        kClip.dLoopDegrees = std::max(kClip.dLoopDegrees, Angle(kTurn[c]) * 180.0 / kPi);
        kClip.dLoopMetres = std::max(kClip.dLoopMetres, Length(kShift[c]));
    }
    if (kClip.dLoopDegrees > m_kOptions.dLoopMaxDegrees || kClip.dLoopMetres > m_kOptions.dLoopMaxMetres)
        return;
    // Spread over the clip: frame k takes k/(n-1) of the difference.
    const size_t uiCount = kClip.kFrames.size();
    for (size_t k = 1; k < uiCount; ++k)
    {
        const double t = static_cast<double>(k) / static_cast<double>(uiCount - 1);
        for (size_t c = 2; c < kFirst.size(); ++c)
        {
            SXform& kKey = kClip.kFrames[k][c];
            kKey.r = Normalize(Slerp(SQuat{}, kTurn[c], t) * kKey.r);
            kKey.t = kKey.t + kShift[c] * t;
        }
    }
    kClip.bMadeSeamless = true;
}

bool CImporter::Run(const std::string& kName, const std::vector<SClipSpec>& kClips,
                    const std::vector<STurnSpec>& kTurns, SAnimSetData& kOut, std::string& kError)
{
    const std::vector<SSourceJoint>& kJoints = m_kSource.GetJoints();
    m_kFeetJoints.clear();
    for (const std::string& kFoot : m_kOptions.kFeet)
    {
        const int iJoint = m_kSource.FindJoint(kFoot);
        if (iJoint < 0)
        {
            kError = "foot joint \"" + kFoot + "\" is not a joint of the source";
            return false;
        }
        m_kFeetJoints.push_back(iJoint);
    }
    // Channels are found by name: two joints of one name cannot both be one.
    for (size_t i = 0; i < kJoints.size(); ++i)
        for (size_t j = 0; j < i; ++j)
            if (kJoints[i].kName == kJoints[j].kName)
            {
                kError = "two joints are named \"" + kJoints[i].kName + "\" (joints " + std::to_string(j) + " and " +
                         std::to_string(i) + "): an AnimSet's channels need names of their own";
                return false;
            }
    kOut = SAnimSetData{};
    kOut.kName = kName;
    // Root and Motion come first; they take other names where the source
    // uses theirs.
    std::string kRoot = "Root", kMotion = "Motion";
    while (m_kSource.FindJoint(kRoot) >= 0)
        kRoot = "Tarn" + kRoot;
    while (m_kSource.FindJoint(kMotion) >= 0)
        kMotion = "Tarn" + kMotion;
    kOut.kChannels.push_back({kRoot, -1});
    kOut.kChannels.push_back({kMotion, 0});
    for (const SSourceJoint& kJoint : kJoints)
        kOut.kChannels.push_back({kJoint.kName, kJoint.iParent < 0 ? 1 : kJoint.iParent + 2});
    kOut.akAccumulation[0] = kRoot;
    kOut.akAccumulation[1] = kMotion;
    kOut.akAccumulation[2] = kJoints.front().kName;

    for (const SClipSpec& kSpec : kClips)
    {
        for (const SClip& kEarlier : kOut.kClips)
            if (kEarlier.kName == kSpec.kName)
            {
                kError = "clip " + kSpec.kName + ": a clip of that name was cut already";
                return false;
            }
        SClip kClip;
        if (!MakeClip(kSpec, kClip, kError))
            return false;
        if (kSpec.kName.rfind("Look", 0) == 0)
            kClip.uiBlendMode = 1;
        kOut.kClips.push_back(std::move(kClip));
    }
    for (const STurnSpec& kTurn : kTurns)
    {
        const std::string kFrom = kTurn.kFrom.empty() ? "Idle" : kTurn.kFrom;
        const auto kSource = std::find_if(kOut.kClips.begin(), kOut.kClips.end(),
                                          [&](const SClip& kClip) { return kClip.kName == kFrom; });
        if (kSource == kOut.kClips.end())
        {
            kError = "turn " + kTurn.kName + ": no clip " + kFrom + " to make it from";
            return false;
        }
        SClip kClip;
        kClip.kName = kTurn.kName;
        kClip.dFrameRate = m_kOptions.dFps;
        const uint32_t uiFrames = std::max<uint32_t>(kTurn.uiFrames, 2);
        const std::vector<SXform> kPose = kSource->kFrames.front();
        const double dRadians = kTurn.dDegrees * kPi / 180.0;
        for (uint32_t k = 0; k <= uiFrames; ++k)
        {
            std::vector<SXform> kKeys = kPose;
            kKeys[1] = SXform{{0.0, 0.0, 0.0}, Yaw(dRadians * Ease(static_cast<double>(k) / uiFrames))};
            kClip.kFrames.push_back(std::move(kKeys));
        }
        // Stable at every quarter turn it reaches.
        const double dQuarters = std::floor(std::fabs(kTurn.dDegrees) / 90.0 + 1e-9);
        for (double q = 1.0; q <= dQuarters; q += 1.0)
        {
            const double dShare = q * 90.0 / std::fabs(kTurn.dDegrees);
            double dLow = 0.0, dHigh = 1.0;
            for (int i = 0; i < 50; ++i)
                (Ease(0.5 * (dLow + dHigh)) < dShare ? dLow : dHigh) = 0.5 * (dLow + dHigh);
            kClip.kStables.push_back(static_cast<uint32_t>(std::lround(0.5 * (dLow + dHigh) * uiFrames)));
        }
        kClip.dTurnDegrees = kTurn.dDegrees;
        kOut.kClips.push_back(std::move(kClip));
    }
    return true;
}

}  // namespace TarnImport
