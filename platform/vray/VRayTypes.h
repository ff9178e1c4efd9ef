#pragma once

// Value types of the renderer port.

#include <cmath>
#include <cstdint>
#include <string>

namespace VUtils {

using InterfaceID = uint64_t;
using PluginID = uint64_t;
using CharString = std::string;

struct Vector {
    float x = 0.0f, y = 0.0f, z = 0.0f;

    Vector() = default;
    constexpr Vector(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}
    Vector operator+(const Vector& o) const { return {x + o.x, y + o.y, z + o.z}; }
    Vector operator-(const Vector& o) const { return {x - o.x, y - o.y, z - o.z}; }
    Vector operator*(float s) const { return {x * s, y * s, z * s}; }
    Vector operator-() const { return {-x, -y, -z}; }
    float operator[](int i) const { return i == 0 ? x : (i == 1 ? y : z); }
    bool operator==(const Vector&) const = default;
};

inline float dotf(const Vector& a, const Vector& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vector crossf(const Vector& a, const Vector& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float lengthf(const Vector& a) { return std::sqrt(dotf(a, a)); }
inline Vector normalize0(const Vector& a)
{
    const float l = lengthf(a);
    return l > 0.0f ? a * (1.0f / l) : Vector{};
}

struct Color {
    float r = 0.0f, g = 0.0f, b = 0.0f;

    Color() = default;
    constexpr Color(float r_, float g_, float b_) : r(r_), g(g_), b(b_) {}
    Color operator+(const Color& o) const { return {r + o.r, g + o.g, b + o.b}; }
    Color operator*(const Color& o) const { return {r * o.r, g * o.g, b * o.b}; }
    Color operator*(float s) const { return {r * s, g * s, b * s}; }
    Color& operator+=(const Color& o) { return *this = *this + o; }
    float mean() const { return (r + g + b) / 3.0f; }
    bool operator==(const Color&) const = default;
};

struct AColor {
    Color color;
    float alpha = 0.0f;

    AColor() = default;
    constexpr AColor(float r, float g, float b, float a) : color(r, g, b), alpha(a) {}
    bool operator==(const AColor&) const = default;
};

// Rows 0-2 are the axis vectors, `offset` the position (row-vector convention).
struct Transform {
    Vector m[3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    Vector offset;

    Vector point(const Vector& p) const { return m[0] * p.x + m[1] * p.y + m[2] * p.z + offset; }
    Vector direction(const Vector& d) const { return m[0] * d.x + m[1] * d.y + m[2] * d.z; }
    bool operator==(const Transform&) const = default;
};

} // namespace VUtils
