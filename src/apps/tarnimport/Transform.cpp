#include "Transform.h"

namespace TarnImport {

SQuat Normalize(const SQuat& q)
{
    const double dLength = std::sqrt(Dot(q, q));
    if (!(dLength > 1e-12))
        return SQuat{};
    return {q.x / dLength, q.y / dLength, q.z / dLength, q.w / dLength};
}

SVec3 Rotate(const SQuat& q, const SVec3& v)
{
    const SQuat kResult = q * SQuat{v.x, v.y, v.z, 0.0} * Conjugate(q);
    return {kResult.x, kResult.y, kResult.z};
}

SQuat Slerp(const SQuat& a, const SQuat& kB, double t)
{
    SQuat b = kB;
    double dCos = Dot(a, b);
    if (dCos < 0.0)
    {
        b = {-b.x, -b.y, -b.z, -b.w};
        dCos = -dCos;
    }
    if (dCos > 0.9995)
        return Normalize({a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t, a.w + (b.w - a.w) * t});
    const double dAngle = std::acos(dCos);
    const double dSin = std::sin(dAngle);
    const double dA = std::sin((1.0 - t) * dAngle) / dSin;
    const double dB = std::sin(t * dAngle) / dSin;
    return {a.x * dA + b.x * dB, a.y * dA + b.y * dB, a.z * dA + b.z * dB, a.w * dA + b.w * dB};
}

SQuat Yaw(double dRadians)
{
    return {0.0, 0.0, std::sin(0.5 * dRadians), std::cos(0.5 * dRadians)};
}

double Angle(const SQuat& q)
{
    const double dW = std::fabs(Normalize(q).w);
    return 2.0 * std::acos(dW > 1.0 ? 1.0 : dW);
}

SQuat FromRows(const SVec3& r0, const SVec3& r1, const SVec3& r2)
{
    // Rows of the matrix m[i][j]: r0 = (m00, m01, m02), ...
    const double m00 = r0.x, m01 = r0.y, m02 = r0.z;
    const double m10 = r1.x, m11 = r1.y, m12 = r1.z;
    const double m20 = r2.x, m21 = r2.y, m22 = r2.z;
    const double dTrace = m00 + m11 + m22;
    SQuat q;
    if (dTrace > 0.0)
    {
        const double s = 0.5 / std::sqrt(dTrace + 1.0);
        q = {(m21 - m12) * s, (m02 - m20) * s, (m10 - m01) * s, 0.25 / s};
    }
    else if (m00 > m11 && m00 > m22)
    {
        const double s = 2.0 * std::sqrt(1.0 + m00 - m11 - m22);
        q = {0.25 * s, (m01 + m10) / s, (m02 + m20) / s, (m21 - m12) / s};
    }
    else if (m11 > m22)
    {
        const double s = 2.0 * std::sqrt(1.0 + m11 - m00 - m22);
        q = {(m01 + m10) / s, 0.25 * s, (m12 + m21) / s, (m02 - m20) / s};
    }
    else
    {
        const double s = 2.0 * std::sqrt(1.0 + m22 - m00 - m11);
        q = {(m02 + m20) / s, (m12 + m21) / s, 0.25 * s, (m10 - m01) / s};
    }
    return Normalize(q);
}

}  // namespace TarnImport
