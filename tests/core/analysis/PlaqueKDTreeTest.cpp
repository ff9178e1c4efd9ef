#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "analysis/PixelSampleMerging.h"
#include "analysis/PlaqueKDTree.h"
#include "core/analysis/AnalysisTestSupport.h"

using Quorvel::BinIO::DetectPlaqueInfo;
using Quorvel::BinIO::qvlRenderSample5_t;
using Quorvel::RenderSample::AOVData;
using QuorvelTest::AnalysisRig;
using QuorvelTest::TestScene;

namespace {

constexpr uint64_t kCentreCamera = 146;
constexpr uint64_t kFrontCamera = 68; // on the face z = +1, at (0, 0.3, 1)

VekPoint sub(const VekPoint& a, const VekPoint& b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

float dot(const VekPoint& a, const VekPoint& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

// Plaques of one camera whose hit lies on the given object.
std::vector<DetectPlaqueInfo> plaquesOn(const AnalysisRig& rig, uint64_t camera, int object)
{
    std::vector<DetectPlaqueInfo> out;
    for (const DetectPlaqueInfo& p : rig.plaquesOf(camera)) {
        const VekPoint o = rig.cameraPosition(camera);
        const VekPoint d = rig.context.GetCenterDirection(p.x, p.y);
        if (rig.scene.intersect(o, d).object == object)
            out.push_back(p);
    }
    return out;
}

constexpr int kWallPlusZ = 4; // the room's walls come first, z = +5 is the fifth

} // namespace

TEST(PlaqueKDTree, ConstructionIndexesOnlyPlaquesThatCanCover)
{
    AnalysisRig rig;
    std::vector<DetectPlaqueInfo> records = rig.plaquesOf(kCentreCamera);
    ASSERT_GT(records.size(), 100u);
    records[0].normal = {0.0f, 0.0f, 0.0f};                // no normal
    records[1].estimated = 1;                              // fill hole: quality 0
    records[2].normal = {1.0f, 0.0f, 0.0f};                // fixed below to graze
    const VekPoint d2 = rig.context.GetCenterDirection(records[2].x, records[2].y);
    records[2].normal = Quorvel::Utils::normalize({d2.y, -d2.x, 0.0f}); // perpendicular to the view
    PlaqueKDTree tree(rig.context, records, 1.0f);

    ASSERT_EQ(tree.plaques.size(), records.size());
    ASSERT_EQ(tree.removed.size(), records.size());
    EXPECT_EQ(tree.plaques[1].quality, 0.0);
    EXPECT_FALSE(tree.context.lookupReady);
    EXPECT_TRUE(tree.context.centerLookup.empty());
    EXPECT_EQ(tree.context.width, rig.context.width);
    EXPECT_EQ(tree.context.tolerance, rig.context.tolerance);

    // Every plaque centre is found at radius 0 exactly when it is indexed.
    for (size_t i = 0; i < tree.plaques.size(); ++i) {
        const Plaque& p = tree.plaques[i];
        std::vector<int32_t> found;
        tree.location.Locate({p.center.x, p.center.y, p.center.z}, 0.0f, found);
        const bool indexed = std::find(found.begin(), found.end(), int32_t(i)) != found.end();
        EXPECT_EQ(indexed, i > 2) << i;
    }
}

TEST(PlaqueKDTree, OverlapListHoldsOtherCamerasAlignedPlaquesBestFirst)
{
    AnalysisRig rig;
    std::vector<DetectPlaqueInfo> records = plaquesOn(rig, kCentreCamera, kWallPlusZ);
    const size_t ownCount = records.size();
    for (const DetectPlaqueInfo& p : plaquesOn(rig, kFrontCamera, kWallPlusZ))
        records.push_back(p);
    PlaqueKDTree tree(rig.context, records, 1.0f);

    const Plaque& p = tree.plaques[ownCount / 2];
    const float radius = 1.5f;
    const auto list = tree.GetOverlapList(p.center, radius, p.normal, 0.7f, int32_t(kCentreCamera));
    ASSERT_FALSE(list.empty());
    size_t expected = 0;
    for (size_t i = ownCount; i < tree.plaques.size(); ++i) {
        const VekPoint c = sub(tree.plaques[i].center, p.center);
        expected += dot(c, c) <= radius * radius ? 1 : 0;
    }
    EXPECT_EQ(list.size(), expected);
    for (size_t i = 0; i < list.size(); ++i) {
        EXPECT_GE(size_t(list[i]), ownCount);
        if (i > 0) {
            EXPECT_GE(tree.plaques[size_t(list[i - 1])].quality, tree.plaques[size_t(list[i])].quality);
        }
    }
    // Removed plaques, unaligned normals and the excluded camera drop out.
    tree.removed[size_t(list[0])] = true;
    EXPECT_EQ(tree.GetOverlapList(p.center, radius, p.normal, 0.7f, int32_t(kCentreCamera)).size(), expected - 1);
    EXPECT_TRUE(tree.GetOverlapList(p.center, radius, {1.0f, 0.0f, 0.0f}, 0.7f, int32_t(kCentreCamera)).empty());
    EXPECT_TRUE(tree.GetOverlapList(p.center, radius, p.normal, 0.7f, int32_t(kFrontCamera)).size() <= ownCount);
    for (int32_t i : tree.GetOverlapList(p.center, radius, p.normal, 0.7f, int32_t(kFrontCamera)))
        EXPECT_LT(size_t(i), ownCount);
}

TEST(PlaqueKDTree, ActionWithoutNormalOrGrazingOrAlone)
{
    AnalysisRig rig;
    const std::vector<DetectPlaqueInfo> records = plaquesOn(rig, kCentreCamera, kWallPlusZ);
    PlaqueKDTree tree(rig.context, records, 1.0f);
    std::vector<bool> marks;
    Plaque p = tree.plaques[0];
    // Only its own camera's plaques around: nothing can cover it.
    EXPECT_EQ(GetOverlapAction(tree, p, kAllOverlapTestPoints, true, marks), Keep);
    p.normal = {0.0f, 0.0f, 0.0f};
    EXPECT_EQ(GetOverlapAction(tree, p, kAllOverlapTestPoints, true, marks), NoNormal);
    p.normal = {NAN, 0.0f, 1.0f};
    EXPECT_EQ(GetOverlapAction(tree, p, kAllOverlapTestPoints, true, marks), NoNormal);
    p = tree.plaques[0];
    p.cosine = 0.05f;
    p.cameraIndex = 0; // would have covers from camera 146
    EXPECT_EQ(GetOverlapAction(tree, p, kAllOverlapTestPoints, true, marks), Keep);
}

// Two cameras see the far wall. The removal thins the doubled wall without
// opening holes: wherever a plaque of one camera was removed, the other
// camera's plaque there is kept. Plaques of walls only one camera recorded
// all stay.
TEST(PlaqueKDTree, TwoCamerasOnOneWallRemoveTheWorseWithoutHoles)
{
    AnalysisRig rig;
    std::vector<DetectPlaqueInfo> records = rig.plaquesOf(kCentreCamera);
    const size_t centreCount = records.size();
    const std::vector<DetectPlaqueInfo> front = plaquesOn(rig, kFrontCamera, kWallPlusZ);
    records.insert(records.end(), front.begin(), front.end());
    PlaqueKDTree tree(rig.context, records, 1.0f);
    tree.cameraPriorities = rig.cameras.priorities;

    DebugOverlapCounters counters;
    counters.firstPass = 99; // zeroed by the run
    DectectOverlapsWithQualityCheck(tree, records, &counters);

    size_t removed = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        if (!tree.removed[i])
            continue;
        ++removed;
        const Plaque& p = tree.plaques[i];
        // Only the doubled wall loses plaques.
        ASSERT_NEAR(p.center.z, 5.0f, 1e-3f) << i;
        // The other camera's plaque through this centre stays.
        const uint64_t other = i < centreCount ? kFrontCamera : kCentreCamera;
        const VekPoint dir = sub(p.center, rig.cameraPosition(other));
        const auto [x, y] = rig.pixelToward(Quorvel::Utils::normalize(dir));
        bool keptThere = false;
        for (size_t j = 0; j < records.size(); ++j)
            if (records[j].cameraIndex == other && records[j].x == x && records[j].y == y)
                keptThere = !tree.removed[j];
        EXPECT_TRUE(keptThere) << "hole at plaque " << i;
    }
    EXPECT_GT(removed, front.size() / 4);
    EXPECT_EQ(counters.indices, records.size());
    EXPECT_EQ(counters.firstPass + counters.laterPasses, removed);
    EXPECT_EQ(counters.noNormal, 0u);
    EXPECT_EQ(counters.fillHoles, 0u);
    EXPECT_EQ(counters.backFaces, 0u);
    EXPECT_EQ(counters.hyperTangents, 0u);

    // Applying the bits drops exactly the removed records, in order.
    std::vector<DetectPlaqueInfo> kept = records;
    RemoveOverlapList(kept, tree.removed);
    ASSERT_EQ(kept.size(), records.size() - removed);
    size_t k = 0;
    for (size_t i = 0; i < records.size(); ++i)
        if (!tree.removed[i]) {
            EXPECT_EQ(kept[k].x, records[i].x);
            EXPECT_EQ(kept[k].cameraIndex, records[i].cameraIndex);
            ++k;
        }
}

// A board at x = 0.1 seen from both sides: from camera 44 (x = +1) its front,
// from camera 108 (x = -1) its back. The front plaques never yield to back
// faces, the back plaques, farther and so worse, yield to the front ones.
TEST(PlaqueKDTree, FrontFacingPlaqueWithOnlyBackFacingCoverStays)
{
    AnalysisRig rig;
    const int board = rig.scene.addRectangle(
        {{0.1, 0.1, 0}, {1, 0, 0}, {0, 0, 1}, {0, 1, 0}, 0.4, 0.4, {0.6f, 0.6f, 0.6f, 1.0f}});
    const uint64_t right = 44, left = 108;
    ASSERT_EQ(rig.cameraPosition(right).x, 1.0f);
    ASSERT_EQ(rig.cameraPosition(left).x, -1.0f);
    ASSERT_NEAR(rig.cameraPosition(right).z, 0.0f, 1e-6f);
    ASSERT_NEAR(rig.cameraPosition(left).z, 0.0f, 1e-6f);
    std::vector<DetectPlaqueInfo> records = plaquesOn(rig, right, board);
    const size_t frontCount = records.size();
    const std::vector<DetectPlaqueInfo> back = plaquesOn(rig, left, board);
    records.insert(records.end(), back.begin(), back.end());
    ASSERT_GT(frontCount, 4u);
    ASSERT_GT(back.size(), 4u);
    PlaqueKDTree tree(rig.context, records, 1.0f);
    for (size_t i = 0; i < frontCount; ++i)
        ASSERT_TRUE(tree.plaques[i].facesCamera);
    for (size_t i = frontCount; i < records.size(); ++i)
        ASSERT_FALSE(tree.plaques[i].facesCamera);

    DebugOverlapCounters counters;
    DectectOverlapsWithQualityCheck(tree, records, &counters);
    for (size_t i = 0; i < frontCount; ++i)
        EXPECT_FALSE(tree.removed[i]) << i;
    EXPECT_EQ(counters.backFaces, back.size());
    // Back faces are examined first and yield to the front faces.
    size_t backRemoved = 0;
    for (size_t i = frontCount; i < records.size(); ++i)
        backRemoved += tree.removed[i] ? 1 : 0;
    EXPECT_GT(backRemoved, 0u);
}

// A board 2 units in front of the far wall: a camera beside the centre sees
// wall where the centre camera sees board. Those wall plaques are nobody's
// duplicate and stay; the board plaques do not cover the wall behind them.
TEST(PlaqueKDTree, ThinObjectInFrontOfWallKeepsTheWallBehindIt)
{
    AnalysisRig rig;
    const int board = rig.scene.addRectangle(
        {{0, 0, 3}, {0, 0, -1}, {1, 0, 0}, {0, 1, 0}, 0.6, 0.6, {0.1f, 0.1f, 0.1f, 1.0f}});
    const uint64_t side = 64; // on the face z = +1, at (1, 0.3, 1)
    std::vector<DetectPlaqueInfo> records = rig.plaquesOf(kCentreCamera);
    const size_t centreCount = records.size();
    const std::vector<DetectPlaqueInfo> front = rig.plaquesOf(side);
    records.insert(records.end(), front.begin(), front.end());
    PlaqueKDTree tree(rig.context, records, 1.0f);
    tree.cameraPriorities = rig.cameras.priorities;
    DectectOverlapsWithQualityCheck(tree, records, nullptr);

    // Wall plaques of the side camera inside the board's shadow as the
    // centre camera sees it.
    size_t shadowed = 0;
    for (size_t i = centreCount; i < records.size(); ++i) {
        const Plaque& p = tree.plaques[i];
        if (std::fabs(p.center.z - 5.0f) > 1e-3f)
            continue;
        const QuorvelTest::SceneHit h = rig.scene.intersect(rig.cameraPosition(kCentreCamera), p.center);
        if (h.object != board)
            continue;
        ++shadowed;
        EXPECT_FALSE(tree.removed[i]) << i;
    }
    EXPECT_GT(shadowed, 0u);
    size_t boardRemoved = 0;
    for (size_t i = 0; i < records.size(); ++i)
        if (std::fabs(tree.plaques[i].center.z - 3.0f) < 1e-3f)
            boardRemoved += tree.removed[i] ? 1 : 0;
    EXPECT_GT(boardRemoved, 0u);
}

TEST(PlaqueKDTree, MutualCoversRemoveOneAndMarkTheOther)
{
    AnalysisRig rig;
    // One spot of the far wall from two cameras a hair apart: each plaque
    // covers the other.
    const uint64_t twin = 200;
    rig.cameras.positions[twin] = rig.cameras.positions[kCentreCamera];
    rig.cameras.positions[twin].x += 0.01f;
    std::vector<DetectPlaqueInfo> records{*rig.plaqueAt(kCentreCamera, 24, 8), *rig.plaqueAt(twin, 24, 8)};
    PlaqueKDTree tree(rig.context, records, 1.0f);
    tree.cameraPriorities.assign(256, 1.0f);

    std::vector<bool> marks(2, false);
    EXPECT_EQ(GetOverlapAction(tree, tree.plaques[0], kAllOverlapTestPoints, true, marks), Remove);
    EXPECT_FALSE(marks[0]);
    EXPECT_TRUE(marks[1]);
    // A cover from a camera of higher priority defers the plaque, unless the
    // quality check is off.
    tree.cameraPriorities[twin] = 2.0f;
    EXPECT_EQ(GetOverlapAction(tree, tree.plaques[0], kAllOverlapTestPoints, true, marks), Defer);
    EXPECT_EQ(GetOverlapAction(tree, tree.plaques[0], kAllOverlapTestPoints, false, marks), Remove);
    // A clearly better plaque is deferred rather than removed.
    Plaque better = tree.plaques[0];
    better.quality = tree.plaques[1].quality * 1.5;
    tree.cameraPriorities[twin] = 1.0f;
    EXPECT_EQ(GetOverlapAction(tree, better, kAllOverlapTestPoints, true, marks), Defer);

    // The run removes the worse one and marks the other, which is examined
    // again and stays: its only cover is gone.
    DebugOverlapCounters counters;
    DectectOverlapsWithQualityCheck(tree, records, &counters);
    const size_t worse = tree.plaques[0].quality < tree.plaques[1].quality ? 0 : 1;
    EXPECT_TRUE(tree.removed[worse]);
    EXPECT_FALSE(tree.removed[1 - worse]);
    EXPECT_EQ(counters.firstPass, 1u);
    EXPECT_EQ(counters.deferredCount, 1u);
    EXPECT_EQ(counters.laterPasses, 0u);
}

// The merged layer's coverage names the test points near which its samples
// fell, and the overlap test checks exactly those. A plaque whose left part
// is covered by a finer camera's plaques is redundant for a layer seen only
// on that side, and not for one seen on the other.
TEST(PlaqueKDTree, LayerCoverageSelectsTheTestPointsOfTheOverlapAction)
{
    AnalysisRig rig(192, 128);
    const auto [cx, cy] = rig.pixelToward({0.0f, 0.0f, 1.0f});
    const DetectPlaqueInfo coarse = *rig.plaqueAt(kCentreCamera, cx, cy, 3);
    const Plaque pc = GetPlaqueInfo(rig.context, coarse, 1.0f);
    const VekPoint uAxis = sub(pc.corners[1], pc.corners[0]);
    const float width = std::sqrt(dot(uAxis, uAxis));
    const VekPoint u{uAxis.x / width, uAxis.y / width, uAxis.z / width};

    // Fine plaques of the front camera lying wholly left of 0.15 plaque widths
    // past the centre: they cover the left and middle test points, not the
    // right ones (quarter points at +0.227).
    std::vector<DetectPlaqueInfo> records{coarse};
    for (const DetectPlaqueInfo& f : plaquesOn(rig, kFrontCamera, kWallPlusZ)) {
        const Plaque pf = GetPlaqueInfo(rig.context, f, 1.0f);
        bool left = true;
        for (const VekPoint& c : pf.corners)
            left = left && dot(sub(c, pc.center), u) < 0.15f * width;
        if (left)
            records.push_back(f);
    }
    ASSERT_GT(records.size(), 50u);
    PlaqueKDTree tree(rig.context, records, 1.0f);
    const Plaque& p = tree.plaques[0];

    const RenderingContext level3 = rig.levelContext(3);
    const ViewPointInfo view{rig.cameraPosition(kCentreCamera), level3.GetCenterDirection(cx >> 3, cy >> 3),
                             rig.context.width};
    std::vector<Quorvel::RenderSample::QvRenderSample> leftSamples, rightSamples;
    for (const auto& s : rig.gridSamples(coarse, 4))
        (s.fracX < 0.5f ? leftSamples : rightSamples).push_back(s);
    const auto leftLayers = MergePixelSamples(coarse, {}, leftSamples, rig.context, view, 8, true);
    const auto rightLayers = MergePixelSamples(coarse, {}, rightSamples, rig.context, view, 8, true);
    ASSERT_EQ(leftLayers.size(), 1u);
    ASSERT_EQ(rightLayers.size(), 1u);

    std::vector<bool> noMarks;
    EXPECT_EQ(GetOverlapAction(tree, p, leftLayers[0].coverage, false, noMarks), Remove);
    EXPECT_EQ(GetOverlapAction(tree, p, rightLayers[0].coverage, false, noMarks), Keep);
    EXPECT_EQ(GetOverlapAction(tree, p, kAllOverlapTestPoints, false, noMarks), Keep);
    // Each single test point on its own: the left and middle ones are
    // covered, the right ones are not.
    const uint16_t covered = (1u << 0) | (1u << 2) | (1u << 4) | (1u << 5) | (1u << 7) | (1u << 8) | (1u << 9) |
                             (1u << 11);
    for (int bit = 0; bit < 13; ++bit)
        EXPECT_EQ(GetOverlapAction(tree, p, uint16_t(1u << bit), false, noMarks),
                  (covered >> bit) & 1u ? Remove : Keep)
            << bit;
}

TEST(PlaqueKDTree, RemoveListsNeedOneBitPerRecord)
{
    std::vector<DetectPlaqueInfo> records(4);
    for (size_t i = 0; i < 4; ++i)
        records[i].x = uint16_t(10 + i);
    std::vector<DetectPlaqueInfo> same = records;
    RemoveOverlapList(same, {true, false, true});
    ASSERT_EQ(same.size(), 4u);
    RemoveOverlapList(same, {true, false, true, false});
    ASSERT_EQ(same.size(), 2u);
    EXPECT_EQ(same[0].x, 11);
    EXPECT_EQ(same[1].x, 13);

    std::vector<qvlRenderSample5_t> samples(3);
    std::vector<AOVData> aovs(6);
    for (size_t i = 0; i < 3; ++i) {
        samples[i].x = uint16_t(i);
        aovs[2 * i].asInt = int32_t(100 * i);
        aovs[2 * i + 1].asInt = int32_t(100 * i + 1);
    }
    auto s2 = samples;
    auto a2 = aovs;
    a2.pop_back(); // too short for three samples: untouched
    RemoveOverlapSample5List(s2, a2, 2, {true, false, false});
    EXPECT_EQ(s2.size(), 3u);
    EXPECT_EQ(a2.size(), 5u);
    RemoveOverlapSample5List(samples, aovs, 2, {true, false, false});
    ASSERT_EQ(samples.size(), 2u);
    ASSERT_EQ(aovs.size(), 4u);
    EXPECT_EQ(samples[0].x, 1);
    EXPECT_EQ(aovs[0].asInt, 100);
    EXPECT_EQ(aovs[1].asInt, 101);
    EXPECT_EQ(aovs[2].asInt, 200);
    EXPECT_EQ(aovs[3].asInt, 201);
}

TEST(PlaqueKDTree, DebugCountersFile)
{
    DebugOverlapCounters c;
    c.indices = 200;
    c.noNormal = 3;
    c.firstPass = 40;
    c.laterPasses = 10;
    c.fillHoles = 5;
    c.backFaces = 7;
    c.hyperTangents = 2;
    const std::string path = ::testing::TempDir() + "overlap_counters.txt";
    WriteDebugCounters(path, c);
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "Total indices: 200\n"
                          "# of samples with null/inf normals: 3\n"
                          "# identified in the first pass: 40\n"
                          "# estimated fill holes: 5\n"
                          "# back faces: 7\n"
                          "# hyper tangents (0.05): 2\n"
                          "Total removed: 50 (25%)\n"
                          "Final count: 150\n");
    std::remove(path.c_str());
}

TEST(PlaqueKDTree, VekbinAndSampleVariantsRunOnTheSameWall)
{
    AnalysisRig rig;
    std::vector<DetectPlaqueInfo> plaques = plaquesOn(rig, kCentreCamera, kWallPlusZ);
    for (const auto& p : plaquesOn(rig, kFrontCamera, kWallPlusZ))
        plaques.push_back(p);
    std::vector<qvlRenderSample5_t> samples;
    std::vector<Quorvel::Binary::vekbin> bins;
    for (const auto& p : plaques) {
        qvlRenderSample5_t s;
        s.depth = p.depth;
        s.x = p.x;
        s.y = p.y;
        s.cameraIndex = p.cameraIndex;
        for (int c = 0; c < 3; ++c)
            s.normal[c] = half_float::half((&p.normal.x)[c]);
        s.colour[3] = half_float::half(1.0f);
        samples.push_back(s);
        Quorvel::Binary::vekbin b;
        b.x = p.x;
        b.y = p.y;
        b.camera = p.cameraIndex;
        b.depth = p.depth;
        b.normal = p.normal;
        b.level = 0;
        bins.push_back(b);
    }
    PlaqueKDTree sampleTree(rig.context, samples, 1.0f);
    DebugOverlapCounters counters;
    DectectOverlapSamplesWithQualityCheck(sampleTree, samples, &counters);
    size_t removed = 0;
    for (bool r : sampleTree.removed)
        removed += r ? 1 : 0;
    EXPECT_GT(removed, 0u);
    EXPECT_EQ(counters.firstPass + counters.laterPasses, removed);

    PlaqueKDTree binTree(rig.context, bins, 1.0f, false);
    DectectOverlapVekbinWithQualityCheck(binTree, bins, nullptr);
    size_t binRemoved = 0;
    for (bool r : binTree.removed)
        binRemoved += r ? 1 : 0;
    EXPECT_GT(binRemoved, 0u);

    // Translucent merged samples cover nothing unless all qualities are kept.
    for (auto& b : bins)
        b.colour.a = 0.5f;
    PlaqueKDTree translucent(rig.context, bins, 1.0f, false);
    DectectOverlapVekbinWithQualityCheck(translucent, bins, nullptr);
    for (bool r : translucent.removed)
        EXPECT_FALSE(r);
    PlaqueKDTree keepAll(rig.context, bins, 1.0f, true);
    EXPECT_GT(keepAll.plaques[0].quality, 0.0);
}

// Plaques facing each other across a thin object: the weaker side goes.
TEST(PlaqueKDTree, BackfaceVekbinRemovesTheWeakBackSide)
{
    AnalysisRig rig;
    const auto p = *rig.plaqueAt(kCentreCamera, 24, 8);
    std::vector<Quorvel::Binary::vekbin> bins(2);
    for (auto& b : bins) {
        b.x = p.x;
        b.y = p.y;
        b.depth = p.depth;
        b.normal = p.normal;
        b.camera = uint8_t(kCentreCamera);
    }
    // The second, from a camera far behind, sees the other side of the same
    // spot: opposite normal, much lower quality.
    bins[1].camera = 200;
    rig.cameras.positions[200] = rig.cameras.positions[kCentreCamera];
    bins[1].normal = {-p.normal.x, -p.normal.y, -p.normal.z};
    bins[1].depth = p.depth;
    PlaqueKDTree tree(rig.context, bins, 1.0f, true);
    tree.plaques[1].quality = tree.plaques[0].quality * 0.4;
    DebugOverlapCounters counters;
    DectectBackfaceVekbin(tree, bins, &counters);
    EXPECT_FALSE(tree.removed[0]);
    EXPECT_TRUE(tree.removed[1]);

    tree.removed.assign(2, false);
    tree.plaques[1].quality = tree.plaques[0].quality * 0.6;
    DectectBackfaceVekbin(tree, bins, &counters);
    EXPECT_FALSE(tree.removed[0]);
    EXPECT_FALSE(tree.removed[1]);
}

// Render threads query one finished tree at once, each with its own marks.
TEST(PlaqueKDTree, ConcurrentQueriesAgreeWithOneThread)
{
    AnalysisRig rig;
    std::vector<DetectPlaqueInfo> records = plaquesOn(rig, kCentreCamera, kWallPlusZ);
    for (const auto& p : plaquesOn(rig, kFrontCamera, kWallPlusZ))
        records.push_back(p);
    const PlaqueKDTree tree(rig.context, records, 1.0f);
    std::vector<int> expected;
    std::vector<bool> none;
    for (const Plaque& p : tree.plaques)
        expected.push_back(GetOverlapAction(tree, p, kAllOverlapTestPoints, true, none));

    constexpr int kThreads = 4;
    std::vector<std::vector<int>> results(kThreads);
    std::vector<std::vector<bool>> marks(kThreads, std::vector<bool>(tree.plaques.size(), false));
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (const Plaque& p : tree.plaques)
                results[t].push_back(GetOverlapAction(tree, p, kAllOverlapTestPoints, true, marks[t]));
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(results[t], expected) << t;
        EXPECT_EQ(marks[t], marks[0]);
    }
}

// The removal runs find covers best first through their own index instead of
// scanning the sorted overlap list. Against a literal scan of that list, on a
// wall spot seen by a dozen cameras with some plaques already removed and
// some fill holes, every decision, every mark and the whole run must agree.
namespace {

VekPoint cross(const VekPoint& a, const VekPoint& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

float length(const VekPoint& a)
{
    return std::sqrt(dot(a, a));
}

VekPoint along(const VekPoint& a, const VekPoint& d, float s)
{
    return {a.x + d.x * s, a.y + d.y * s, a.z + d.z * s};
}

bool insideTriangle(const VekPoint& a, const VekPoint& b, const VekPoint& e, const VekPoint& p)
{
    const VekPoint n = cross(sub(b, a), sub(e, a));
    if (double(n.x) * n.x + double(n.y) * n.y + double(n.z) * n.z < 1e-8)
        return length(sub(p, a)) < 0.0002f;
    const float c[3] = {std::fabs(n.x), std::fabs(n.y), std::fabs(n.z)};
    const int drop = c[0] >= c[1] && c[0] >= c[2] ? 0 : c[1] >= c[2] ? 1 : 2;
    auto uv = [drop](const VekPoint& q) {
        const double v[3] = {q.x, q.y, q.z};
        return std::pair<double, double>{v[(drop + 1) % 3], v[(drop + 2) % 3]};
    };
    const auto [bu, bv] = uv(sub(b, a));
    const auto [eu, ev] = uv(sub(e, a));
    const auto [pu, pv] = uv(sub(p, a));
    const double det = bu * ev - eu * bv;
    if (det == 0.0)
        return false;
    const double beta = (pu * ev - eu * pv) / det;
    const double gamma = (bu * pv - pu * bv) / det;
    const double alpha = 1.0 - beta - gamma;
    return beta >= -0.005 && alpha >= -0.005 && beta + alpha <= 1.005;
}

int32_t scanForCover(const PlaqueKDTree& tree, const Plaque& p, const VekPoint& t, const std::vector<int32_t>& list)
{
    const float m = length(sub(t, p.center));
    const VekPoint l = along(t, p.normal, 10000.0f);
    for (int32_t index : list) {
        const Plaque& k = tree.plaques[size_t(index)];
        const float denom = dot(k.normal, sub(t, l));
        const VekPoint hit =
            std::fabs(denom) > 1.1920929e-7f ? along(l, sub(t, l), dot(sub(k.center, l), k.normal) / denom) : k.center;
        const auto& c = k.corners;
        if ((insideTriangle(c[0], c[1], c[2], hit) || insideTriangle(c[2], c[3], c[1], hit)) &&
            length(sub(hit, t)) < length(sub(hit, k.center)) + m)
            return index;
    }
    return -1;
}

OverlapAction scannedAction(const PlaqueKDTree& tree, const Plaque& p, bool qualityCheck, std::vector<bool>& marks)
{
    if (!std::isfinite(p.normal.x) || !std::isfinite(p.normal.y) || !std::isfinite(p.normal.z) ||
        dot(p.normal, p.normal) < 9.999999e-9f)
        return NoNormal;
    if (p.cosine <= 0.05f)
        return Keep;
    const auto list =
        tree.GetOverlapList(p.center, OverlapRadius(tree, p), p.normal, 0.7f, int32_t(p.cameraIndex));
    if (list.empty())
        return Keep;
    std::vector<int32_t> covers;
    double quality = 0.0, priority = 0.0;
    for (int i = 0; i < 5; ++i) {
        const VekPoint t = i < 4 ? along(p.center, sub(p.corners[size_t(i)], p.center), 0.909f) : p.center;
        const int32_t cover = scanForCover(tree, p, t, list);
        if (cover < 0 || (p.facesCamera && !tree.plaques[size_t(cover)].facesCamera))
            return Keep;
        quality += tree.plaques[size_t(cover)].quality;
        priority += tree.CameraPriority(tree.plaques[size_t(cover)].cameraIndex);
        if (i < 4)
            covers.push_back(cover);
    }
    if (qualityCheck && ((1.0 - double(tree.context.tolerance)) * p.quality > quality / 5.0 ||
                         double(tree.CameraPriority(p.cameraIndex)) < priority / 5.0))
        return Defer;
    for (const VekPoint& t : GetExtendedPoints(tree.context, p, 0.909f)) {
        const int32_t cover = scanForCover(tree, p, t, list);
        if (cover < 0)
            return Keep;
        covers.push_back(cover);
    }
    for (int32_t cover : covers)
        marks[size_t(cover)] = true;
    return Remove;
}

DebugOverlapCounters scannedRemoval(PlaqueKDTree& tree, const std::vector<DetectPlaqueInfo>& records)
{
    DebugOverlapCounters c;
    c.indices = records.size();
    std::vector<uint32_t> order(records.size());
    for (uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        if ((records[a].estimated != 0) != (records[b].estimated != 0))
            return records[a].estimated != 0;
        if (tree.plaques[a].facesCamera != tree.plaques[b].facesCamera)
            return !tree.plaques[a].facesCamera;
        return tree.plaques[a].quality < tree.plaques[b].quality;
    });
    std::vector<uint32_t> deferred;
    std::vector<bool> marks(records.size(), false);
    for (uint32_t i : order) {
        c.backFaces += tree.plaques[i].facesCamera ? 0 : 1;
        c.fillHoles += records[i].estimated != 0 ? 1 : 0;
        c.hyperTangents += tree.plaques[i].cosine < 0.05f ? 1 : 0;
        const OverlapAction a = marks[i] ? Defer : scannedAction(tree, tree.plaques[i], records[i].estimated == 0, marks);
        c.noNormal += a == NoNormal ? 1 : 0;
        c.firstPass += a == Remove ? 1 : 0;
        if (a == Remove)
            tree.removed[i] = true;
        if (a == Defer) {
            deferred.push_back(i);
            ++c.deferredCount;
        }
    }
    while (!deferred.empty()) {
        std::vector<uint32_t> next;
        marks.assign(records.size(), false);
        for (uint32_t i : deferred) {
            if (marks[i]) {
                next.push_back(i);
                ++c.deferredCount;
                continue;
            }
            const OverlapAction a = scannedAction(tree, tree.plaques[i], records[i].estimated == 0, marks);
            if (a == Remove) {
                tree.removed[i] = true;
                ++c.laterPasses;
            } else if (a == Defer) {
                next.push_back(i);
            }
        }
        const bool stalled = next.size() == deferred.size();
        deferred.swap(next);
        if (stalled)
            break;
    }
    return c;
}

} // namespace

TEST(PlaqueKDTree, BestFirstCoverSearchAgreesWithTheScannedOverlapList)
{
    AnalysisRig rig(24, 16);
    std::vector<DetectPlaqueInfo> records;
    for (uint64_t camera : {146u, 68u, 17u, 85u, 130u, 199u, 255u})
        for (const DetectPlaqueInfo& p : rig.plaquesOf(camera))
            records.push_back(p);
    for (size_t i = 0; i < records.size(); i += 13)
        records[i].estimated = 1;
    ASSERT_GT(records.size(), 2000u);

    PlaqueKDTree tree(rig.context, records, 1.0f);
    tree.cameraPriorities = rig.cameras.priorities;
    for (size_t i = 0; i < records.size(); i += 5)
        tree.removed[i] = true;
    size_t removable = 0;
    for (size_t i = 0; i < tree.plaques.size(); ++i) {
        std::vector<bool> marks(records.size(), false), scannedMarks(records.size(), false);
        const bool check = i % 2 == 0;
        const OverlapAction action = GetOverlapAction(tree, tree.plaques[i], kAllOverlapTestPoints, check, marks);
        ASSERT_EQ(action, scannedAction(tree, tree.plaques[i], check, scannedMarks)) << i;
        ASSERT_EQ(marks, scannedMarks) << i;
        removable += action == Remove ? 1 : 0;
    }
    EXPECT_GT(removable, records.size() / 4);

    // Every camera everywhere; and, finer, a patchwork of cameras in which
    // most plaques have no other camera within their overlap radius.
    AnalysisRig fine(96, 64);
    std::vector<DetectPlaqueInfo> patchwork;
    const uint64_t patchCameras[] = {146u, 68u, 17u, 85u, 130u, 199u, 255u};
    for (size_t k = 0; k < std::size(patchCameras); ++k)
        for (const DetectPlaqueInfo& p : fine.plaquesOf(patchCameras[k]))
            if ((p.x / 16u + 3u * (p.y / 16u)) % 7u == k)
                patchwork.push_back(p);
    // And coarser, with one camera in eight: every spot under dozens of
    // layers, which the index orders by quality rather than by place.
    AnalysisRig coarse(12, 8);
    std::vector<DetectPlaqueInfo> layers;
    for (uint64_t camera = 0; camera < 256; camera += 8)
        for (const DetectPlaqueInfo& p : coarse.plaquesOf(camera))
            layers.push_back(p);
    for (const auto* list : {&records, &patchwork, &layers}) {
        const AnalysisRig& frame = list == &records ? rig : list == &patchwork ? fine : coarse;
        PlaqueKDTree run(frame.context, *list, 1.0f);
        run.cameraPriorities = frame.cameras.priorities;
        PlaqueKDTree scanned(frame.context, *list, 1.0f);
        scanned.cameraPriorities = frame.cameras.priorities;
        DebugOverlapCounters counters;
        DectectOverlapsWithQualityCheck(run, *list, &counters);
        const DebugOverlapCounters expected = scannedRemoval(scanned, *list);
        EXPECT_EQ(run.removed, scanned.removed);
        const auto fields = [](const DebugOverlapCounters& c) {
            return std::vector<uint64_t>{c.indices,  c.firstPass, c.deferredCount, c.laterPasses,
                                         c.noNormal, c.backFaces, c.fillHoles,     c.hyperTangents};
        };
        EXPECT_EQ(fields(counters), fields(expected));
        if (list == &patchwork)
            EXPECT_LT(expected.firstPass + expected.laterPasses, list->size() / 2);
        else
            EXPECT_GT(expected.laterPasses, 0u);
        EXPECT_GT(expected.firstPass, 0u);
    }
}
