#pragma once

#include <cmath>

namespace Math {

// Three 32-bit floats: a position, a displacement or a direction.
struct LocalVector3
{
    float x = 0.0f;
    float y = 0.0f;
    float z = 0.0f;

    constexpr LocalVector3() = default;
    constexpr LocalVector3(float fX, float fY, float fZ) : x(fX), y(fY), z(fZ) {}

    constexpr LocalVector3 operator+(const LocalVector3& k) const { return {x + k.x, y + k.y, z + k.z}; }
    constexpr LocalVector3 operator-(const LocalVector3& k) const { return {x - k.x, y - k.y, z - k.z}; }
    constexpr LocalVector3 operator*(float f) const { return {x * f, y * f, z * f}; }
    constexpr LocalVector3 operator-() const { return {-x, -y, -z}; }
    LocalVector3& operator+=(const LocalVector3& k)
    {
        x += k.x;
        y += k.y;
        z += k.z;
        return *this;
    }
    constexpr bool operator==(const LocalVector3& k) const { return x == k.x && y == k.y && z == k.z; }

    static constexpr float Dot(const LocalVector3& a, const LocalVector3& b)
    {
        return a.x * b.x + a.y * b.y + a.z * b.z;
    }
    // Right-handed cross product.
    static constexpr LocalVector3 Cross(const LocalVector3& a, const LocalVector3& b)
    {
        return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
    }
    float Length() const { return std::sqrt(Dot(*this, *this)); }
    // Component-wise product.
    static constexpr LocalVector3 Scale(const LocalVector3& a, const LocalVector3& b)
    {
        return {a.x * b.x, a.y * b.y, a.z * b.z};
    }
    static constexpr LocalVector3 Lerp(const LocalVector3& a, const LocalVector3& b, float t)
    {
        return a + (b - a) * t;
    }
};

}  // namespace Math
