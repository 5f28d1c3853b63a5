#pragma once

#include <cmath>
#include <limits>

#include "Math/LocalVector3.h"

namespace Math {

// A rotation stored as x, y, z, w (32-bit floats). Products are Hamilton
// products; a vector v is rotated as q (x) (v, 0) (x) q*, with
// q* = (-x, -y, -z, w). Rotation quaternions are kept at unit length by the
// code that makes them; the operations below say when they normalise.
struct Quaternion
{
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;
    float w = 1.0f;

    constexpr Quaternion() = default;
    constexpr Quaternion(float fX, float fY, float fZ, float fW) : x(fX), y(fY), z(fZ), w(fW) {}

    static constexpr Quaternion Identity() { return {0.0f, 0.0f, 0.0f, 1.0f}; }

    // The rotation of fRadians about a unit axis (right-handed).
    static Quaternion FromAxisAngle(const LocalVector3& kAxis, float fRadians)
    {
        const float fHalf = fRadians * 0.5f;
        const float fSin = std::sin(fHalf);
        return {kAxis.x * fSin, kAxis.y * fSin, kAxis.z * fSin, std::cos(fHalf)};
    }

    // Hamilton product this (x) k.
    constexpr Quaternion operator*(const Quaternion& k) const
    {
        return {w * k.x + x * k.w + y * k.z - z * k.y, w * k.y + y * k.w + z * k.x - x * k.z,
                w * k.z + z * k.w + x * k.y - y * k.x, w * k.w - x * k.x - y * k.y - z * k.z};
    }
    constexpr bool operator==(const Quaternion& k) const { return x == k.x && y == k.y && z == k.z && w == k.w; }

    constexpr Quaternion Conjugate() const { return {-x, -y, -z, w}; }

    static constexpr float Dot(const Quaternion& a, const Quaternion& b)
    {
        return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
    }
    float Length() const { return std::sqrt(Dot(*this, *this)); }

    // Unit length; a zero or non-finite quaternion becomes the identity.
    // Components too large to square in float precision are scaled in
    // double precision, so that they keep their direction.
    Quaternion Normalized() const
    {
        const float fLength = Length();
        if (fLength > 0.0f && fLength <= std::numeric_limits<float>::max())
        {
            const float fInverse = 1.0f / fLength;
            return {x * fInverse, y * fInverse, z * fInverse, w * fInverse};
        }
        const double dLength = std::sqrt(static_cast<double>(x) * x + static_cast<double>(y) * y +
                                         static_cast<double>(z) * z + static_cast<double>(w) * w);
        if (!(dLength > 0.0) || !std::isfinite(dLength))
            return Identity();
        return {static_cast<float>(x / dLength), static_cast<float>(y / dLength), static_cast<float>(z / dLength),
                static_cast<float>(w / dLength)};
    }

    // q (x) (v, 0) (x) q*, for a unit quaternion.
    constexpr LocalVector3 Rotate(const LocalVector3& v) const
    {
        // t = 2 (q.xyz x v); v' = v + w t + q.xyz x t
        const LocalVector3 kAxis(x, y, z);
        const LocalVector3 t = LocalVector3::Cross(kAxis, v) * 2.0f;
        return v + t * w + LocalVector3::Cross(kAxis, t);
    }

    // Normalised component-wise blend from a toward b: exactly b when
    // u = 1, a when u = 0, otherwise a + u (b - a) normalised. No hemisphere
    // correction.
    static Quaternion BlendNormalized(const Quaternion& a, const Quaternion& b, float u)
    {
        if (u == 1.0f)
            return b;
        if (u == 0.0f)
            return a;
        return Quaternion(a.x + u * (b.x - a.x), a.y + u * (b.y - a.y), a.z + u * (b.z - a.z), a.w + u * (b.w - a.w))
            .Normalized();
    }

    // Normalised linear interpolation along the shorter arc.
    static Quaternion Nlerp(const Quaternion& a, const Quaternion& b, float t)
    {
        const float fSign = Dot(a, b) < 0.0f ? -1.0f : 1.0f;
        return Quaternion(a.x + t * (fSign * b.x - a.x), a.y + t * (fSign * b.y - a.y), a.z + t * (fSign * b.z - a.z),
                          a.w + t * (fSign * b.w - a.w))
            .Normalized();
    }

    // Spherical linear interpolation along the shorter arc (nlerp when the
    // two are nearly equal).
    static Quaternion Slerp(const Quaternion& a, const Quaternion& b, float t)
    {
        float fCos = Dot(a, b);
        Quaternion kEnd = b;
        if (fCos < 0.0f)
        {
            fCos = -fCos;
            kEnd = Quaternion(-b.x, -b.y, -b.z, -b.w);
        }
        if (fCos > 0.9995f)
            return Nlerp(a, kEnd, t);
        const float fAngle = std::acos(fCos);
        const float fSin = std::sin(fAngle);
        const float fA = std::sin((1.0f - t) * fAngle) / fSin;
        const float fB = std::sin(t * fAngle) / fSin;
        return Quaternion(fA * a.x + fB * kEnd.x, fA * a.y + fB * kEnd.y, fA * a.z + fB * kEnd.z,
                          fA * a.w + fB * kEnd.w)
            .Normalized();
    }
};

}  // namespace Math
