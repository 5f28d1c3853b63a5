#pragma once

#include <string>
#include <vector>

#include "Transform.h"

namespace TarnImport {

// How a source's coordinates map to the project's (metres, Z up, X forward),
// and where each setting came from, for the user to check.
struct SAxes
{
    double dScale = 1.0;  // metres per source unit
    SVec3 kUp{0.0, 1.0, 0.0};
    SVec3 kForward{0.0, 0.0, 1.0};
    std::string kScaleFrom;
    std::string kAxesFrom;
};

// One joint of the source skeleton: its parent (an index before its own, or
// -1 for the top joint), its transform at rest, and its keys, all in source
// units and axes.
struct SSourceJoint
{
    std::string kName;
    int iParent = -1;
    SXform kRest;
    std::vector<double> kPositionTimes;
    std::vector<SVec3> kPositions;
    std::vector<double> kRotationTimes;
    std::vector<SQuat> kRotations;
};

// A motion file read by the Open Asset Import Library (BVH, glTF 2.0, FBX
// and the other formats it reads), reduced to one skeleton and one
// animation: the joints under the topmost animated node, parents first, end
// sites left out.
//
// Load fails, with a message naming the file (and, as the library gives it,
// the line or element), when the file cannot be read, holds no animation,
// or its animation moves no joint.
class CSourceMotion
{
public:
    bool Load(const std::string& kPath, std::string& kError);

    const std::vector<SSourceJoint>& GetJoints() const { return m_kJoints; }
    // The joint of a name, or -1.
    int FindJoint(const std::string& kName) const;
    // Seconds from the first key to the last, and the source's own frame
    // rate (keys per second of the most keyed joint).
    double GetDuration() const { return m_dDuration; }
    double GetFrameRate() const { return m_dFrameRate; }
    uint32_t GetFrameCount() const { return m_uiFrames; }
    // The file's format as the library names it ("bvh", "gltf2", "fbx").
    const std::string& GetFormat() const { return m_kFormat; }
    // The transform above the top joint (its ancestors' at rest).
    const SXform& GetAbove() const { return m_kAbove; }

    // The joint's local transform at a time (clamped to the keys), keys
    // interpolated linearly (positions) and spherically (rotations).
    SXform SampleLocal(uint32_t uiJoint, double dSeconds) const;

    // Units and axes as the file states them, or as the skeleton shows them
    // where it states nothing (see SAxes' texts).
    SAxes DetectAxes() const;

private:
    std::vector<SSourceJoint> m_kJoints;
    SXform m_kAbove;
    double m_dDuration = 0.0;
    double m_dFrameRate = 30.0;
    uint32_t m_uiFrames = 0;
    std::string m_kFormat;
    // From the file's metadata, where it has them (FBX).
    bool m_bHasUnitScale = false;
    double m_dUnitScale = 1.0;
    int m_iUpAxis = -1, m_iUpSign = 1, m_iFrontAxis = -1, m_iFrontSign = 1;
};

}  // namespace TarnImport
