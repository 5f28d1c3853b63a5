#pragma once

#include "Math/LocalVector3.h"
#include "Math/Quaternion.h"

namespace TarnRenderer {

// A scene object: one placed thing of a world, with a world position and a
// world rotation. Root motion moves the link of an animated character.
class Link
{
public:
    const Math::LocalVector3& GetWorldPosition() const { return m_kPosition; }
    const Math::Quaternion& GetWorldRotation() const { return m_kRotation; }
    void SetWorldPosition(const Math::LocalVector3& kPosition) { m_kPosition = kPosition; }
    void SetWorldRotation(const Math::Quaternion& kRotation) { m_kRotation = kRotation; }

private:
    Math::LocalVector3 m_kPosition;
    Math::Quaternion m_kRotation;
};

}  // namespace TarnRenderer
