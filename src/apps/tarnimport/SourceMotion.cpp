#include "SourceMotion.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <sstream>

#include <assimp/Importer.hpp>
#include <assimp/config.h>
#include <assimp/metadata.h>
#include <assimp/scene.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

namespace TarnImport {

namespace {

SVec3 ToVec(const aiVector3D& v)
{
    return {v.x, v.y, v.z};
}

SQuat ToQuat(const aiQuaternion& q)
{
    return Normalize({q.x, q.y, q.z, q.w});
}

SXform Decompose(const aiMatrix4x4& kMatrix)
{
    aiVector3D kScale, kPosition;
    aiQuaternion kRotation;
    kMatrix.Decompose(kScale, kRotation, kPosition);
    return {ToVec(kPosition), ToQuat(kRotation)};
}

// The index of the key at or before dTime and the fraction toward the next.
size_t FindKey(const std::vector<double>& kTimes, double dTime, double& dFraction)
{
    dFraction = 0.0;
    if (kTimes.size() < 2 || dTime <= kTimes.front())
        return 0;
    if (dTime >= kTimes.back())
        return kTimes.size() - 1;
    const size_t i = static_cast<size_t>(std::upper_bound(kTimes.begin(), kTimes.end(), dTime) - kTimes.begin()) - 1;
    const double dSpan = kTimes[i + 1] - kTimes[i];
    dFraction = dSpan > 0.0 ? (dTime - kTimes[i]) / dSpan : 0.0;
    return i;
}

bool HasAnimatedBelow(const aiNode* pNode, const std::map<std::string, const aiNodeAnim*>& kChannels)
{
    if (kChannels.count(pNode->mName.C_Str()))
        return true;
    for (unsigned i = 0; i < pNode->mNumChildren; ++i)
        if (HasAnimatedBelow(pNode->mChildren[i], kChannels))
            return true;
    return false;
}

const aiNode* FindTopAnimated(const aiNode* pNode, const std::map<std::string, const aiNodeAnim*>& kChannels)
{
    // Breadth first: the shallowest animated node.
    std::vector<const aiNode*> kLevel{pNode};
    while (!kLevel.empty())
    {
        std::vector<const aiNode*> kNext;
        for (const aiNode* p : kLevel)
        {
            if (kChannels.count(p->mName.C_Str()))
                return p;
            for (unsigned i = 0; i < p->mNumChildren; ++i)
                kNext.push_back(p->mChildren[i]);
        }
        kLevel.swap(kNext);
    }
    return nullptr;
}

bool ContainsWord(const std::string& kName, const char* pWord)
{
    std::string kLower(kName);
    std::transform(kLower.begin(), kLower.end(), kLower.begin(), [](unsigned char c) { return std::tolower(c); });
    return kLower.find(pWord) != std::string::npos;
}

SVec3 Axis(int iAxis, int iSign)
{
    SVec3 k;
    (iAxis == 0 ? k.x : iAxis == 1 ? k.y : k.z) = iSign < 0 ? -1.0 : 1.0;
    return k;
}

}  // namespace

bool CSourceMotion::Load(const std::string& kPath, std::string& kError)
{
    // The library names no place in a glTF file's JSON that does not parse
    // (it does not even recognise the format then): the JSON is checked
    // first.
    std::string kLowerPath(kPath);
    std::transform(kLowerPath.begin(), kLowerPath.end(), kLowerPath.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (kLowerPath.size() > 5 && kLowerPath.compare(kLowerPath.size() - 5, 5, ".gltf") == 0)
    {
        std::ifstream kIn(kPath, std::ios::binary);
        std::stringstream kText;
        kText << kIn.rdbuf();
        if (!kIn)
        {
            kError = kPath + ": cannot be read";
            return false;
        }
        rapidjson::Document kDocument;
        const std::string kJson = kText.str();
        if (kDocument.Parse(kJson.c_str(), kJson.size()).HasParseError())
        {
            kError = kPath + ": offset " + std::to_string(kDocument.GetErrorOffset()) + ": " +
                     rapidjson::GetParseError_En(kDocument.GetParseError());
            return false;
        }
    }
    Assimp::Importer kImporter;
    // FBX pivots folded into their joints: one node per joint.
    kImporter.SetPropertyBool(AI_CONFIG_IMPORT_FBX_PRESERVE_PIVOTS, false);
    const aiScene* pScene = kImporter.ReadFile(kPath, 0);
    if (!pScene)
    {
        kError = kImporter.GetErrorString();
        // The library names the file (and line) itself for some formats.
        if (kError.rfind(kPath, 0) != 0)
            kError = kPath + ": " + kError;
        return false;
    }
    if (pScene->mNumAnimations == 0 || !pScene->mAnimations[0] || pScene->mAnimations[0]->mNumChannels == 0)
    {
        kError = kPath + ": holds no animation";
        return false;
    }
    const aiAnimation& kAnimation = *pScene->mAnimations[0];
    const double dTicksPerSecond = kAnimation.mTicksPerSecond > 0.0 ? kAnimation.mTicksPerSecond : 25.0;
    std::map<std::string, const aiNodeAnim*> kChannels;
    for (unsigned i = 0; i < kAnimation.mNumChannels; ++i)
        kChannels[kAnimation.mChannels[i]->mNodeName.C_Str()] = kAnimation.mChannels[i];
    const aiNode* pTop = FindTopAnimated(pScene->mRootNode, kChannels);
    if (!pTop)
    {
        kError = kPath + ": animation \"" + std::string(kAnimation.mName.C_Str()) + "\" moves no node of the scene";
        return false;
    }
    if (pScene->mMetaData)
    {
        const aiMetadata& kMeta = *pScene->mMetaData;
        double dUnit = 0.0;
        if (kMeta.Get("UnitScaleFactor", dUnit) && dUnit > 0.0)
        {
            m_bHasUnitScale = true;
            m_dUnitScale = dUnit / 100.0;
        }
        else
        {
            float fUnit = 0.0f;
            if (kMeta.Get("UnitScaleFactor", fUnit) && fUnit > 0.0f)
            {
                m_bHasUnitScale = true;
                m_dUnitScale = fUnit / 100.0;
            }
        }
        int32_t iValue = 0;
        if (kMeta.Get("UpAxis", iValue))
            m_iUpAxis = iValue;
        if (kMeta.Get("UpAxisSign", iValue))
            m_iUpSign = iValue;
        if (kMeta.Get("FrontAxis", iValue))
            m_iFrontAxis = iValue;
        if (kMeta.Get("FrontAxisSign", iValue))
            m_iFrontSign = iValue;
    }
    // The format by the file's extension: the library's own names are long.
    const size_t uiDot = kLowerPath.rfind('.');
    m_kFormat = uiDot == std::string::npos ? "" : kLowerPath.substr(uiDot + 1);

    // What lies above the top joint, at rest.
    aiMatrix4x4 kAbove;
    for (const aiNode* p = pTop->mParent; p; p = p->mParent)
        kAbove = p->mTransformation * kAbove;
    m_kAbove = Decompose(kAbove);

    // The joints, parents first; nodes with nothing animated below them (end
    // sites) are left out.
    struct SPending
    {
        const aiNode* pNode;
        int iParent;
    };
    std::vector<SPending> kQueue{{pTop, -1}};
    double dLastTime = 0.0;
    size_t uiMostKeys = 0;
    for (size_t q = 0; q < kQueue.size(); ++q)
    {
        const aiNode* pNode = kQueue[q].pNode;
        SSourceJoint kJoint;
        kJoint.kName = pNode->mName.C_Str();
        kJoint.iParent = kQueue[q].iParent;
        kJoint.kRest = Decompose(pNode->mTransformation);
        const auto kFound = kChannels.find(kJoint.kName);
        if (kFound != kChannels.end())
        {
            const aiNodeAnim& kChannel = *kFound->second;
            for (unsigned k = 0; k < kChannel.mNumPositionKeys; ++k)
            {
                kJoint.kPositionTimes.push_back(kChannel.mPositionKeys[k].mTime / dTicksPerSecond);
                kJoint.kPositions.push_back(ToVec(kChannel.mPositionKeys[k].mValue));
            }
            for (unsigned k = 0; k < kChannel.mNumRotationKeys; ++k)
            {
                kJoint.kRotationTimes.push_back(kChannel.mRotationKeys[k].mTime / dTicksPerSecond);
                kJoint.kRotations.push_back(ToQuat(kChannel.mRotationKeys[k].mValue));
            }
            if (!kJoint.kPositionTimes.empty())
                dLastTime = std::max(dLastTime, kJoint.kPositionTimes.back());
            if (!kJoint.kRotationTimes.empty())
                dLastTime = std::max(dLastTime, kJoint.kRotationTimes.back());
            uiMostKeys = std::max({uiMostKeys, kJoint.kPositions.size(), kJoint.kRotations.size()});
        }
        const int iIndex = static_cast<int>(m_kJoints.size());
        m_kJoints.push_back(std::move(kJoint));
        for (unsigned i = 0; i < pNode->mNumChildren; ++i)
            if (HasAnimatedBelow(pNode->mChildren[i], kChannels))
                kQueue.push_back({pNode->mChildren[i], iIndex});
    }
    m_dDuration = dLastTime;
    m_uiFrames = static_cast<uint32_t>(uiMostKeys);
    m_dFrameRate = uiMostKeys > 1 && dLastTime > 0.0 ? static_cast<double>(uiMostKeys - 1) / dLastTime : 30.0;
    return true;
}

int CSourceMotion::FindJoint(const std::string& kName) const
{
    for (size_t i = 0; i < m_kJoints.size(); ++i)
        if (m_kJoints[i].kName == kName)
            return static_cast<int>(i);
    return -1;
}

SXform CSourceMotion::SampleLocal(uint32_t uiJoint, double dSeconds) const
{
    const SSourceJoint& kJoint = m_kJoints[uiJoint];
    SXform kLocal = kJoint.kRest;
    double dFraction = 0.0;
    if (!kJoint.kPositions.empty())
    {
        const size_t i = FindKey(kJoint.kPositionTimes, dSeconds, dFraction);
        kLocal.t = i + 1 < kJoint.kPositions.size() ? Lerp(kJoint.kPositions[i], kJoint.kPositions[i + 1], dFraction)
                                                    : kJoint.kPositions[i];
    }
    if (!kJoint.kRotations.empty())
    {
        const size_t i = FindKey(kJoint.kRotationTimes, dSeconds, dFraction);
        kLocal.r = i + 1 < kJoint.kRotations.size() ? Slerp(kJoint.kRotations[i], kJoint.kRotations[i + 1], dFraction)
                                                    : kJoint.kRotations[i];
    }
    return kLocal;
}

SAxes CSourceMotion::DetectAxes() const
{
    SAxes kAxes;
    // Up: the file's own axis (FBX), else Y, which BVH and glTF 2.0 use.
    if (m_iUpAxis >= 0 && m_iUpAxis <= 2)
    {
        kAxes.kUp = Axis(m_iUpAxis, m_iUpSign);
        kAxes.kAxesFrom = "the file's axes";
    }
    else
        kAxes.kAxesFrom = "Y up as " + m_kFormat + " files are";

    // Forward: where the skeleton faces at rest, from the side its joints
    // named left lie on (left = up x forward), else the file's front axis,
    // else +Z.
    const auto RestPosition = [&](size_t uiJoint) {
        SXform k;
        for (int j = static_cast<int>(uiJoint); j > 0; j = m_kJoints[static_cast<size_t>(j)].iParent)
            k = Compose(m_kJoints[static_cast<size_t>(j)].kRest, k);
        return k.t;
    };
    SVec3 kLeftSum, kRightSum;
    int iLeft = 0, iRight = 0;
    for (size_t i = 1; i < m_kJoints.size(); ++i)
    {
        const std::string& kName = m_kJoints[i].kName;
        const bool bCapital = kName.size() > 1 && std::isupper(static_cast<unsigned char>(kName[1]));
        if (ContainsWord(kName, "left") || (kName[0] == 'L' && bCapital))
        {
            kLeftSum = kLeftSum + RestPosition(i);
            ++iLeft;
        }
        else if (ContainsWord(kName, "right") || (kName[0] == 'R' && bCapital))
        {
            kRightSum = kRightSum + RestPosition(i);
            ++iRight;
        }
    }
    bool bForwardFound = false;
    if (iLeft > 0 && iRight > 0)
    {
        SVec3 kSide = kLeftSum * (1.0 / iLeft) - kRightSum * (1.0 / iRight);
        kSide = kSide - kAxes.kUp * Dot(kSide, kAxes.kUp);
        if (Length(kSide) > 1e-9)
        {
            kSide = kSide * (1.0 / Length(kSide));
            kAxes.kForward = Cross(kSide, kAxes.kUp);
            bForwardFound = true;
            kAxes.kAxesFrom += ", forward from the left and right joints";
        }
    }
    if (!bForwardFound && m_iFrontAxis >= 0 && m_iFrontAxis <= 2)
    {
        kAxes.kForward = Axis(m_iFrontAxis, m_iFrontSign);
        kAxes.kAxesFrom += ", the file's front axis";
    }
    else if (!bForwardFound)
        kAxes.kAxesFrom += ", forward +Z";

    // Units: the file's own (FBX), metres (glTF 2.0), else from the height
    // of the top joint (a standing person's hips are about 0.95 m high).
    if (m_bHasUnitScale)
    {
        kAxes.dScale = m_dUnitScale;
        kAxes.kScaleFrom = "the file's unit";
    }
    else if (m_kFormat.rfind("gltf", 0) == 0 || m_kFormat == "glb")
    {
        kAxes.dScale = 1.0;
        kAxes.kScaleFrom = "metres, as glTF 2.0 files are";
    }
    else
    {
        std::vector<double> kHeights;
        const SSourceJoint& kTop = m_kJoints.front();
        for (const SVec3& kPosition : kTop.kPositions)
            kHeights.push_back(Dot(Compose(m_kAbove, {kPosition, SQuat{}}).t, kAxes.kUp));
        if (kHeights.empty())
            kHeights.push_back(Dot(Compose(m_kAbove, kTop.kRest).t, kAxes.kUp));
        std::nth_element(kHeights.begin(), kHeights.begin() + kHeights.size() / 2, kHeights.end());
        const double dHeight = kHeights[kHeights.size() / 2];
        if (dHeight > 0.6 && dHeight < 1.3)
            kAxes.dScale = 1.0;
        else if (dHeight > 60.0 && dHeight < 130.0)
            kAxes.dScale = 0.01;
        else if (dHeight > 1e-6)
            kAxes.dScale = 0.95 / dHeight;
        char acText[160];
        snprintf(acText, sizeof(acText), "the hip height (%.4g units): 1 unit = %.5g m", dHeight, kAxes.dScale);
        kAxes.kScaleFrom = acText;
    }
    return kAxes;
}

}  // namespace TarnImport
