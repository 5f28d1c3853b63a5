#pragma once

// Double-precision vectors, quaternions and rigid transforms for the
// importer: sources are resampled and re-expressed many times over, and
// doing it in double keeps the rounding of the written file the only one.
#include <cmath>

namespace TarnImport {

struct SVec3
{
    double x = 0.0, y = 0.0, z = 0.0;
};

inline SVec3 operator+(const SVec3& a, const SVec3& b)
{
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
inline SVec3 operator-(const SVec3& a, const SVec3& b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
inline SVec3 operator*(const SVec3& a, double s)
{
    return {a.x * s, a.y * s, a.z * s};
}
inline double Dot(const SVec3& a, const SVec3& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
inline SVec3 Cross(const SVec3& a, const SVec3& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline double Length(const SVec3& a)
{
    return std::sqrt(Dot(a, a));
}
inline SVec3 Lerp(const SVec3& a, const SVec3& b, double t)
{
    return a + (b - a) * t;
}

// A rotation (x, y, z, w); Hamilton products.
struct SQuat
{
    double x = 0.0, y = 0.0, z = 0.0, w = 1.0;
};

inline SQuat operator*(const SQuat& a, const SQuat& b)
{
    return {a.w * b.x + a.x * b.w + a.y * b.z - a.z * b.y, a.w * b.y - a.x * b.z + a.y * b.w + a.z * b.x,
            a.w * b.z + a.x * b.y - a.y * b.x + a.z * b.w, a.w * b.w - a.x * b.x - a.y * b.y - a.z * b.z};
}
inline SQuat Conjugate(const SQuat& q)
{
    return {-q.x, -q.y, -q.z, q.w};
}
inline double Dot(const SQuat& a, const SQuat& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
}
SQuat Normalize(const SQuat& q);
SVec3 Rotate(const SQuat& q, const SVec3& v);
// Shorter-arc spherical interpolation.
SQuat Slerp(const SQuat& a, const SQuat& b, double t);
// A turn of dRadians about the vertical axis Z.
SQuat Yaw(double dRadians);
// The angle of the rotation, 0 to pi.
double Angle(const SQuat& q);
// The rotation whose matrix has these rows (an orthonormal, right-handed
// basis).
SQuat FromRows(const SVec3& kRow0, const SVec3& kRow1, const SVec3& kRow2);

// A rigid transform: a point p goes to t + r p.
struct SXform
{
    SVec3 t;
    SQuat r;
};

inline SXform Compose(const SXform& kParent, const SXform& kChild)
{
    return {kParent.t + Rotate(kParent.r, kChild.t), Normalize(kParent.r * kChild.r)};
}
inline SXform Inverse(const SXform& k)
{
    const SQuat kInverse = Conjugate(k.r);
    return {Rotate(kInverse, k.t * -1.0), kInverse};
}

}  // namespace TarnImport
