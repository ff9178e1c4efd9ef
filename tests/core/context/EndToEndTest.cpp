// Both phases of the core, end to end through the public API: the test host
// renders the analytic scene on two threads, the files are read back from
// their bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "camera/CubeMap.h"
#include "core/context/ContextTestSupport.h"
#include "support/CorePhases.h"
#include "support/PhaseFileBytes.h"

namespace {

using namespace QuorvelTest;
using Quorvel::Phase::Eye;

// Colour of a hit as each eye's pass shades it: the right eye sees the
// object's colour rotated, so that the eyes can be told apart.
VekRGBA eyeColour(const VekRGBA& c, Eye eye)
{
    return eye == Quorvel::Phase::RC_Right ? VekRGBA{c.b, c.r, c.g, c.a} : c;
}

VekPoint cameraOf(const PhaseFile& f, uint8_t camera)
{
    const Json::Value& l = f.header["cameras"][camera]["location"];
    return {l["x"].asFloat(), l["y"].asFloat(), l["z"].asFloat()};
}

// The point at `depth` (scene units) along the pixel-centre ray of (x, y).
VekPoint pointOf(const VekPoint& camera, uint16_t x, uint16_t y, double depth)
{
    const VekPoint d = Quorvel::Camera::cubeMapDirection((x + 0.5f) / 312.0f, (y + 0.5f) / 208.0f);
    return {static_cast<float>(camera.x + d.x * depth), static_cast<float>(camera.y + d.y * depth),
            static_cast<float>(camera.z + d.z * depth)};
}

// One pixel of the cube map spans 2 pi / 312 radians: at depth d a plaque of
// level L covers about d * 2^L * 2 pi / 312 on the surface.
double footprint(double depth, int level)
{
    return depth * (1 << level) * 6.2831853 / 312.0;
}

struct Ray {
    uint64_t block;
    double x, y;
    Quorvel::Camera::QvCameraRay ray;
    int object; // what the ray hit, -1 for nothing
};

class CoreEndToEnd : public ContextTest {
protected:
    static std::vector<std::string> levelled(const LogCapture& log, Quorvel::Logger::LogLevel level)
    {
        std::vector<std::string> out;
        for (const auto& e : log.entries())
            if (e.level == level)
                out.push_back(LogCapture::stripHeader(e.text));
        return out;
    }
};

void expectHeader(const PhaseFile& f, bool detection, Eye eye, uint64_t plaques, uint64_t samples)
{
    const Json::Value& h = f.header;
    EXPECT_EQ(f.signature, std::string("\x82QVLRender=\n$\n", 14));
    EXPECT_EQ(f.major, 9);
    EXPECT_EQ(f.minor, 1);
    EXPECT_EQ(h["rtype"].asBool(), detection);
    EXPECT_EQ(h["fillHoleCount"].asUInt64(), plaques);
    EXPECT_EQ(h["sampleNums"].asUInt64(), samples);
    EXPECT_EQ(h["camId"].asInt(), 0);
    EXPECT_EQ(h["coordinates"].asUInt64(), 0u);
    EXPECT_EQ(f.coordinateCount, 0u);
    EXPECT_EQ(h["frame"].asInt(), 1);
    EXPECT_EQ(h["camOffsetX"].asInt(), 0);
    EXPECT_EQ(h["camOffsetY"].asInt(), 0);
    EXPECT_EQ(h["camOffsetZ"].asInt(), 0);
    EXPECT_EQ(h["boxScaleX"].asFloat(), 1.0f);
    EXPECT_EQ(h["boxScaleY"].asFloat(), 0.5f);
    EXPECT_EQ(h["boxScaleZ"].asFloat(), 1.0f);
    EXPECT_EQ(h["globalScale"].asFloat(), 50.0f);
    EXPECT_EQ(h["widthDisplay"].asInt(), 312);
    EXPECT_EQ(h["heightDisplay"].asInt(), 208);
    EXPECT_EQ(h["draft"].asInt(), 0);
    EXPECT_EQ(h["projection"].asInt(), 1);
    EXPECT_EQ(h["passMode"].asInt(), 0);
    EXPECT_EQ(h["eye"].asInt(), static_cast<int>(eye));
    EXPECT_EQ(h["stereoRender"].asBool(), eye == Quorvel::Phase::RC_LeftAndRight);
    EXPECT_EQ(h["ipd"].asFloat(), 63.5f);
    EXPECT_EQ(h["tolerance"].asFloat(), 0.25f);
    EXPECT_EQ(h["zov_distance_to_ground"].asFloat(), 1.6f);
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(h["CamToWorld" + std::to_string(r) + std::to_string(c)].asFloat(),
                      r != c ? 0.0f : (c < 3 ? 50.0f : 1.0f))
                << r << c;
    EXPECT_EQ(h["aovNums"].asUInt64(), h["AOVTypes"].size());
    EXPECT_EQ(h["AOVNames"].size(), h["AOVTypes"].size());
    // Camera 12 sits on the face z = -1 only; the centre camera 146 sees
    // every direction.
    ASSERT_EQ(h["cameras"].size(), 256u);
    const VekPoint c12 = cameraOf(f, 12);
    EXPECT_EQ(c12.x, 0.0f);
    EXPECT_NEAR(c12.y, 0.1f, 1e-6f);
    EXPECT_EQ(c12.z, -1.0f);
    const Json::Value& d12 = h["cameras"][12]["direction"];
    EXPECT_TRUE(d12["minusZ"].asBool());
    EXPECT_FALSE(d12["plusZ"].asBool() || d12["minusX"].asBool() || d12["plusX"].asBool() ||
                 d12["minusY"].asBool() || d12["plusY"].asBool());
    const VekPoint c146 = cameraOf(f, 146);
    EXPECT_EQ(c146.x, 0.0f);
    EXPECT_EQ(c146.y, 0.0f);
    EXPECT_EQ(c146.z, 0.0f);
    for (const char* face : {"minusX", "minusY", "minusZ", "plusX", "plusY", "plusZ"})
        EXPECT_TRUE(h["cameras"][146]["direction"][face].asBool()) << face;
    // The stored engine (the binding's, 1) decodes from the code and the blocks.
    EXPECT_EQ((h["fileCode"].asInt() + f.digestSum) % 99, 1);
    EXPECT_TRUE(f.consumed);
}

TEST_F(CoreEndToEnd, DetectionThenRenderForBothEyes)
{
    TestHost host(roomWithNearPanel());
    const TestScene& scene = host.scene();
    PhaseSetup setup;
    // The host takes two samples per pixel: cameras 0 and 1 shoot, every ray
    // the core hands out for them is traced, and probe casting moves each
    // hit to whichever of the 256 cameras sees it best.
    setup.detectionSamplesPerPixel = 2;

    // ---- Detection: two render threads, 260 buckets of 16 x 16.
    const std::string detectPath = dir.file("scene_detect.0001.qvl");
    uint64_t rawRecords = 0;
    {
        LogCapture log;
        ASSERT_TRUE(runDetectionPhase(host, setup, detectPath));
        EXPECT_EQ(levelled(log, Quorvel::Logger::ERROR), std::vector<std::string>{});
        EXPECT_EQ(levelled(log, Quorvel::Logger::WARNING), std::vector<std::string>{});
        const PhaseFile peek = readPhaseFile(detectPath);
        for (const std::string& m : log.messages())
            if (m.rfind("[Quorvel] retrieving detect phase data.  resolution 312x208 . samples ", 0) == 0)
                rawRecords = std::stoull(m.substr(70));
        EXPECT_GT(rawRecords, peek.plaques.size());
        EXPECT_TRUE(log.contains("[Quorvel] flushing " + std::to_string(peek.plaques.size()) +
                                 " samples to file.\n"));
        EXPECT_TRUE(log.contains("[Quorvel] wrote render file " + detectPath + " .\n"));
    }

    const PhaseFile detection = readPhaseFile(detectPath);
    const std::vector<FilePlaque>& plaques = detection.plaques;
    ASSERT_GT(plaques.size(), 1000u);
    expectHeader(detection, true, Quorvel::Phase::RC_LeftAndRight, plaques.size(), 0);
    EXPECT_TRUE(detection.samples.empty());
    EXPECT_TRUE(detection.aovColumns.empty());
    EXPECT_EQ(detection.mask, std::vector<uint8_t>(312 * 208, 1));

    // Plaques: opaque, in key order (transparent, camera, x, y, depth), on
    // their level's grid, every level present; level-0 plaques lie on the
    // surface their camera's pixel-centre ray meets.
    size_t perLevel[4] = {0, 0, 0, 0};
    using Key = std::tuple<bool, int, int, int, float>;
    for (size_t i = 0; i < plaques.size(); ++i) {
        const FilePlaque& p = plaques[i];
        SCOPED_TRACE("plaque " + std::to_string(i));
        EXPECT_FALSE(p.transparent);
        EXPECT_FALSE(p.hair);
        EXPECT_FALSE(p.reserved);
        EXPECT_EQ(p.zeroByte, 0);
        EXPECT_EQ(p.highBits, 0u);
        ++perLevel[p.level];
        EXPECT_EQ(p.x % (1 << p.level), 0);
        EXPECT_EQ(p.y % (1 << p.level), 0);
        if (i > 0) {
            const FilePlaque& q = plaques[i - 1];
            EXPECT_LE(Key(q.transparent, q.camera, q.x, q.y, q.depth), Key(p.transparent, p.camera, p.x, p.y, p.depth));
        }
        if (p.level == 0 && !p.estimated) {
            EXPECT_LT(scene.distanceToSurface(pointOf(cameraOf(detection, p.camera), p.x, p.y, p.depth)),
                      footprint(p.depth, 0));
        }
    }
    for (int level = 0; level < 4; ++level)
        EXPECT_GT(perLevel[level], 0u) << "level " << level;

    // ---- Render: one pass per eye, in blocks of a small rendering image.
    for (const Eye eye : {Quorvel::Phase::RC_Left, Quorvel::Phase::RC_Right}) {
        SCOPED_TRACE("eye " + std::to_string(eye));
        host.shade = [eye](const SceneHit& hit) { return eyeColour(hit.color, eye); };
        std::mutex raysLock;
        std::vector<Ray> rays;
        host.onRenderRay = [&](uint64_t, double x, double y, const Quorvel::Camera::QvCameraRay& ray) {
            const uint64_t block = ctx().currentBlock.get();
            const int object = ray.valid ? host.scene().intersect(ray.origin, ray.direction).object : -1;
            std::lock_guard lock(raysLock);
            rays.push_back({block, x, y, ray, object});
        };
        const std::string renderPath = dir.file("scene_render_" + std::to_string(eye) + ".0001.qvl");
        LogCapture log;
        Quorvel::Phase::QvResolutionParam p;
        ASSERT_TRUE(runRenderPhase(host, setup, detectPath, plaques.size(), 3, eye, renderPath, p));
        host.onRenderRay = nullptr;
        EXPECT_EQ(levelled(log, Quorvel::Logger::ERROR), std::vector<std::string>{});
        EXPECT_TRUE(log.contains("[Quorvel] filehole(" + std::to_string(plaques.size()) + ")\n"));
        EXPECT_GE(p.blockCount, 3u);

        // The rays of rendering pixel l of block b are those of plaque
        // b * X * Y + l: from its camera, inside its 2^level square of the
        // cube map; pixels past the last plaque shoot nothing.
        std::vector<int> covered(plaques.size(), 0);
        std::vector<std::set<int>> objects(plaques.size());
        for (const Ray& r : rays) {
            const uint64_t n = r.block * p.x * p.y + static_cast<uint64_t>(r.y) * p.x + static_cast<uint64_t>(r.x);
            if (n >= plaques.size()) {
                EXPECT_FALSE(r.ray.valid) << n;
                continue;
            }
            ASSERT_TRUE(r.ray.valid) << n;
            const FilePlaque& q = plaques[n];
            const VekPoint o = cameraOf(detection, q.camera);
            EXPECT_TRUE(r.ray.origin.x == o.x && r.ray.origin.y == o.y && r.ray.origin.z == o.z) << n;
            const VekPoint2 uv = Quorvel::Camera::cubeMapPosition(r.ray.direction);
            const double size = 1 << q.level;
            EXPECT_GE(uv.x * 312.0, q.x - 1e-3) << n;
            EXPECT_LE(uv.x * 312.0, q.x + size + 1e-3) << n;
            EXPECT_GE(uv.y * 208.0, q.y - 1e-3) << n;
            EXPECT_LE(uv.y * 208.0, q.y + size + 1e-3) << n;
            ++covered[n];
            objects[n].insert(r.object);
        }
        EXPECT_EQ(std::count(covered.begin(), covered.end(), setup.renderSamplesPerPixel),
                  static_cast<std::ptrdiff_t>(plaques.size()));

        const PhaseFile render = readPhaseFile(renderPath);
        ASSERT_GT(render.samples.size(), plaques.size() / 2);
        expectHeader(render, false, eye, 0, render.samples.size());
        EXPECT_EQ(render.mask, detection.mask);
        for (const std::string& column : render.aovColumns)
            EXPECT_FALSE(column.empty());

        // Every sample belongs to a kept plaque. Where all rays of its plaque
        // met one object, the sample lies on that object's surface, within
        // the plaque's footprint, with the colour the host gave; plaques on a
        // silhouette may merge samples of two objects into one layer.
        std::map<std::tuple<int, int, int, int>, std::set<int>> kept;
        for (size_t n = 0; n < plaques.size(); ++n) {
            const FilePlaque& q = plaques[n];
            kept[{q.camera, q.x, q.y, q.level}].insert(objects[n].begin(), objects[n].end());
        }
        size_t checked = 0;
        for (size_t i = 0; i < render.samples.size(); ++i) {
            const FileSample& s = render.samples[i];
            SCOPED_TRACE("sample " + std::to_string(i));
            EXPECT_TRUE(s.zeroPadding);
            const auto plaque = kept.find({s.camera, s.x, s.y, s.level});
            ASSERT_NE(plaque, kept.end());
            EXPECT_GT(s.colour[3], 0.0f);
            EXPECT_LE(s.colour[3], 1.0f);
            if (plaque->second.size() != 1)
                continue;
            const int object = *plaque->second.begin();
            ++checked;
            // Depths are stored in render-scale units. The depth is taken
            // along the ray through the plaque's first pixel centre, from a
            // plane fitted to samples spread over its 2^level square: on the
            // walls that is exact up to float rounding, on the balls the
            // plane leaves the surface by less than one footprint. The float
            // depth and the binary16 normal add far less.
            const double depth = s.depth / 50.0;
            const VekPoint at = pointOf(cameraOf(render, s.camera), s.x, s.y, depth);
            EXPECT_EQ(scene.nearestObject(at), object);
            EXPECT_LT(scene.distanceToSurface(at), footprint(depth, s.level));
            const VekRGBA want = eyeColour(scene.objectColor(object), eye);
            // Binary16 keeps 11 significant bits.
            EXPECT_NEAR(s.colour[0], want.r, 1e-3);
            EXPECT_NEAR(s.colour[1], want.g, 1e-3);
            EXPECT_NEAR(s.colour[2], want.b, 1e-3);
        }
        EXPECT_GT(checked, render.samples.size() * 9 / 10);
    }
    host.shade = nullptr;
}

} // namespace
