#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "foundation/Types.h"

// An analytic scene for the tests: a room of rectangles with a few spheres
// inside, intersected exactly in double precision. Coordinates are those of
// the zone of view (the unit box [-1, 1]^3 scaled by the ZOV scaling), so a
// test host can answer the core's rays without any world transform.
namespace QuorvelTest {

struct SceneHit {
    bool hit = false;
    double distance = std::numeric_limits<double>::infinity();
    VekPoint position{0.0f, 0.0f, 0.0f};
    VekPoint normal{0.0f, 0.0f, 0.0f}; // geometric normal as the object defines it
    VekRGBA color{0.0f, 0.0f, 0.0f, 1.0f};
    int object = -1; // index in the scene, in insertion order
};

class TestScene {
public:
    struct Vec {
        double x = 0.0, y = 0.0, z = 0.0;
    };

    // A finite rectangle: centre, unit normal, two unit in-plane axes and the
    // half extents along them. Hit from either side; the normal stays as given.
    struct Rectangle {
        Vec centre, normal, u, v;
        double halfU = 1.0, halfV = 1.0;
        VekRGBA color{1.0f, 1.0f, 1.0f, 1.0f};
    };

    struct Sphere {
        Vec centre;
        double radius = 1.0;
        VekRGBA color{1.0f, 1.0f, 1.0f, 1.0f};
    };

    // The default scene: a room 10 x 6 x 10 around the zone of view, walls
    // facing inward, each wall its own colour, and three spheres of different
    // sizes placed outside the unit box.
    static TestScene room()
    {
        TestScene scene;
        scene.addRoom(5.0, 3.0, 5.0);
        scene.addSphere({2.5, 0.0, -3.0}, 0.8, {0.9f, 0.2f, 0.2f, 1.0f});
        scene.addSphere({-3.0, -1.5, 2.0}, 1.2, {0.2f, 0.9f, 0.2f, 1.0f});
        scene.addSphere({0.0, 2.0, 3.5}, 0.5, {0.2f, 0.2f, 0.9f, 1.0f});
        return scene;
    }

    // Six inward-facing walls of the box [-hx, hx] x [-hy, hy] x [-hz, hz].
    void addRoom(double hx, double hy, double hz)
    {
        addRectangle({{hx, 0, 0}, {-1, 0, 0}, {0, 0, 1}, {0, 1, 0}, hz, hy, {0.8f, 0.6f, 0.4f, 1.0f}});
        addRectangle({{-hx, 0, 0}, {1, 0, 0}, {0, 0, 1}, {0, 1, 0}, hz, hy, {0.4f, 0.6f, 0.8f, 1.0f}});
        addRectangle({{0, hy, 0}, {0, -1, 0}, {1, 0, 0}, {0, 0, 1}, hx, hz, {0.9f, 0.9f, 0.9f, 1.0f}});
        addRectangle({{0, -hy, 0}, {0, 1, 0}, {1, 0, 0}, {0, 0, 1}, hx, hz, {0.3f, 0.3f, 0.3f, 1.0f}});
        addRectangle({{0, 0, hz}, {0, 0, -1}, {1, 0, 0}, {0, 1, 0}, hx, hy, {0.7f, 0.5f, 0.7f, 1.0f}});
        addRectangle({{0, 0, -hz}, {0, 0, 1}, {1, 0, 0}, {0, 1, 0}, hx, hy, {0.5f, 0.7f, 0.5f, 1.0f}});
    }

    int addRectangle(const Rectangle& r)
    {
        objects_.push_back({Kind::Rectangle, rectangles_.size()});
        rectangles_.push_back(r);
        return static_cast<int>(objects_.size()) - 1;
    }

    int addSphere(const Vec& centre, double radius, const VekRGBA& color)
    {
        objects_.push_back({Kind::Sphere, spheres_.size()});
        spheres_.push_back({centre, radius, color});
        return static_cast<int>(objects_.size()) - 1;
    }

    std::size_t objectCount() const { return objects_.size(); }

    // First hit along origin + t * direction with 0 < t < maxDistance; the
    // direction need not be normalised, distances are in its units.
    SceneHit intersect(const VekPoint& origin, const VekPoint& direction,
                       double maxDistance = std::numeric_limits<double>::infinity()) const
    {
        const Vec o{origin.x, origin.y, origin.z};
        const Vec d{direction.x, direction.y, direction.z};
        SceneHit best;
        best.distance = maxDistance;
        for (std::size_t i = 0; i < objects_.size(); ++i) {
            double t = 0.0;
            Vec n;
            VekRGBA c;
            if (!hitObject(objects_[i], o, d, t, n, c) || t <= kEpsilon || t >= best.distance)
                continue;
            best.hit = true;
            best.distance = t;
            best.position = toPoint({o.x + t * d.x, o.y + t * d.y, o.z + t * d.z});
            best.normal = toPoint(n);
            best.color = c;
            best.object = static_cast<int>(i);
        }
        if (!best.hit)
            best.distance = std::numeric_limits<double>::infinity();
        return best;
    }

    // Distance from p to the nearest surface of the scene.
    double distanceToSurface(const VekPoint& point) const
    {
        double best = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < objects_.size(); ++i)
            best = std::min(best, distanceToObject(i, point));
        return best;
    }

    // The object whose surface is nearest to p, -1 for an empty scene.
    int nearestObject(const VekPoint& point) const
    {
        int nearest = -1;
        double best = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < objects_.size(); ++i) {
            const double d = distanceToObject(i, point);
            if (d < best) {
                best = d;
                nearest = static_cast<int>(i);
            }
        }
        return nearest;
    }

    VekRGBA objectColor(int object) const
    {
        const Ref& ref = objects_.at(static_cast<std::size_t>(object));
        return ref.kind == Kind::Sphere ? spheres_[ref.index].color : rectangles_[ref.index].color;
    }

private:
    enum class Kind { Rectangle, Sphere };
    struct Ref {
        Kind kind;
        std::size_t index;
    };

    static constexpr double kEpsilon = 1e-9;

    static double dot(const Vec& a, const Vec& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
    static Vec sub(const Vec& a, const Vec& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
    static VekPoint toPoint(const Vec& v)
    {
        return {static_cast<float>(v.x), static_cast<float>(v.y), static_cast<float>(v.z)};
    }

    bool hitObject(const Ref& ref, const Vec& o, const Vec& d, double& t, Vec& normal, VekRGBA& color) const
    {
        if (ref.kind == Kind::Rectangle) {
            const Rectangle& r = rectangles_[ref.index];
            const double denom = dot(d, r.normal);
            if (denom == 0.0)
                return false;
            t = dot(sub(r.centre, o), r.normal) / denom;
            const Vec p{o.x + t * d.x, o.y + t * d.y, o.z + t * d.z};
            const Vec local = sub(p, r.centre);
            if (std::abs(dot(local, r.u)) > r.halfU || std::abs(dot(local, r.v)) > r.halfV)
                return false;
            normal = r.normal;
            color = r.color;
            return true;
        }
        const Sphere& s = spheres_[ref.index];
        const Vec oc = sub(o, s.centre);
        const double a = dot(d, d);
        const double b = dot(oc, d);
        const double c = dot(oc, oc) - s.radius * s.radius;
        const double disc = b * b - a * c;
        if (a == 0.0 || disc < 0.0)
            return false;
        const double root = std::sqrt(disc);
        t = (-b - root) / a;
        if (t <= kEpsilon)
            t = (-b + root) / a;
        const Vec p{o.x + t * d.x, o.y + t * d.y, o.z + t * d.z};
        normal = {(p.x - s.centre.x) / s.radius, (p.y - s.centre.y) / s.radius, (p.z - s.centre.z) / s.radius};
        color = s.color;
        return true;
    }

    double distanceToObject(std::size_t i, const VekPoint& point) const
    {
        const Vec p{point.x, point.y, point.z};
        const Ref& ref = objects_[i];
        if (ref.kind == Kind::Sphere) {
            const Sphere& s = spheres_[ref.index];
            return std::abs(std::sqrt(dot(sub(p, s.centre), sub(p, s.centre))) - s.radius);
        }
        const Rectangle& r = rectangles_[ref.index];
        const Vec local = sub(p, r.centre);
        const double du = std::max(0.0, std::abs(dot(local, r.u)) - r.halfU);
        const double dv = std::max(0.0, std::abs(dot(local, r.v)) - r.halfV);
        const double dn = dot(local, r.normal);
        return std::sqrt(du * du + dv * dv + dn * dn);
    }

    std::vector<Ref> objects_;
    std::vector<Rectangle> rectangles_;
    std::vector<Sphere> spheres_;
};

} // namespace QuorvelTest
