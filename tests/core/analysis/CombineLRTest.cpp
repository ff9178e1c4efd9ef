#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "analysis/CombineLR.h"
#include "support/LogCapture.h"

using Quorvel::Binary::vekbin;
using Quorvel::BinIO::combineL_R;
using Quorvel::BinIO::combineLRGlobal;
using Quorvel::BinIO::processNoMatch;

namespace {

// A sample of camera 0 at pixel (x, 0) with the given depth; its colour
// (id, 0, 0) tells the samples apart, its right colour starts as its own.
vekbin sample(uint16_t x, double depth, float id)
{
    vekbin s;
    s.x = x;
    s.y = 0;
    s.camera = 0;
    s.depth = depth;
    s.key = x;
    s.distance = depth;
    s.colour = {id, 0.0f, 0.0f, 1.0f};
    s.rightColour = {id, 0.0f, 0.0f};
    s.position = {0.0f, 0.0f, static_cast<float>(depth)};
    return s;
}

combineLRGlobal globals(float ipd = 63.65f)
{
    combineLRGlobal g;
    // Wide pixels, so only the 10 % depth rule decides near depths.
    g.width = 100;
    g.height = 50;
    g.ipd = ipd;
    g.globalScale = 1.0f;
    return g;
}

struct Outcome {
    float id;        // which left sample
    float rightRed;  // right colour it ended with
};

std::vector<Outcome> outcomes(const std::vector<vekbin>& samples)
{
    std::vector<Outcome> out;
    for (const vekbin& s : samples)
        out.push_back({s.colour.r, s.rightColour.r});
    return out;
}

void expectOutcomes(const std::vector<vekbin>& samples, const std::vector<Outcome>& expected)
{
    const std::vector<Outcome> got = outcomes(samples);
    ASSERT_EQ(got.size(), expected.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].id, expected[i].id) << "entry " << i;
        EXPECT_EQ(got[i].rightRed, expected[i].rightRed) << "entry " << i;
    }
}

} // namespace

TEST(CombineLR, PairsSamplesOfOnePixelAndSortsOutTheRest)
{
    struct Case {
        const char* name;
        std::vector<vekbin> left;
        std::vector<vekbin> right;
        float ipd;
        std::vector<Outcome> result;
        std::vector<Outcome> noMatch;
    };
    const std::vector<Case> cases = {
        {"empty left", {}, {sample(1, 10.0, 100)}, 63.65f, {}, {}},
        {"empty right keeps own colour", {sample(1, 10.0, 1), sample(2, 10.0, 2)}, {}, 63.65f,
         {{1, 1}, {2, 2}}, {}},
        {"matching depth takes right colour", {sample(1, 10.0, 1)}, {sample(1, 10.5, 100)}, 63.65f,
         {{1, 100}}, {}},
        {"closest depth, first on a tie", {sample(1, 11.0, 1)}, {sample(1, 10.0, 100), sample(1, 12.0, 200)},
         63.65f, {{1, 100}}, {}},
        {"later right sample strictly closer", {sample(1, 11.9, 1)}, {sample(1, 10.0, 100), sample(1, 12.0, 200)},
         63.65f, {{1, 200}}, {}},
        {"depth more than 10% apart", {sample(1, 10.0, 1)}, {sample(1, 11.5, 100)}, 63.65f, {}, {{1, 1}}},
        {"left key below the right key", {sample(1, 10.0, 1)}, {sample(2, 10.0, 100)}, 63.65f, {}, {{1, 1}}},
        {"left key above every right key", {sample(5, 10.0, 1)}, {sample(2, 10.0, 100)}, 63.65f, {{1, 1}}, {}},
        {"ipd 0 keeps own colour", {sample(1, 10.0, 1)}, {sample(1, 10.0, 100)}, 0.0f, {{1, 1}}, {}},
        // Beyond 5500 units the eye shift is 0: no parallax, own colour.
        {"no eye shift far away", {sample(1, 6000.0, 1)}, {sample(1, 6000.0, 100)}, 63.65f, {{1, 1}}, {}},
        {"whole walk",
         {sample(1, 10.0, 1), sample(1, 20.0, 2), sample(3, 10.0, 3), sample(4, 10.0, 4), sample(9, 10.0, 5)},
         {sample(1, 10.2, 100), sample(2, 10.0, 200), sample(4, 30.0, 400), sample(6, 10.0, 600)},
         63.65f,
         {{1, 100}, {5, 5}},
         {{2, 2}, {3, 3}, {4, 4}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<vekbin> result{sample(0, 1.0, -1)};
        std::vector<vekbin> noMatch;
        combineL_R(c.left, c.right, globals(c.ipd), result, noMatch);
        ASSERT_FALSE(result.empty());
        EXPECT_EQ(result.front().colour.r, -1.0f) << "the result list is appended to, not cleared";
        result.erase(result.begin());
        expectOutcomes(result, c.result);
        expectOutcomes(noMatch, c.noMatch);
    }
}

TEST(CombineLR, UnmatchedSamplesTakeTheNearestRightColour)
{
    QuorvelTest::LogCapture log;
    const combineLRGlobal g = globals();
    // One pixel column's arc at depth 10 on a 100-column image.
    const float arc = static_cast<float>(10.0 * 3.1415927410125732 * 2 / 100);

    auto at = [](vekbin s, float x, float y, float z) {
        s.position = {x, y, z};
        return s;
    };
    std::vector<vekbin> noMatch = {
        at(sample(3, 10.0, 1), 0.0f, 0.0f, 10.0f),   // two right samples within 2 arcs
        at(sample(4, 10.0, 2), 50.0f, 0.0f, 10.0f),  // one within 5 arcs only
        at(sample(5, 10.0, 3), -50.0f, 0.0f, 10.0f), // nothing within 5 arcs
        at(sample(6, 10.0, 4), 0.0f, 0.0f, 2.0f),   // nearest is 50 % farther from the centre
    };
    std::vector<vekbin> right = {
        at(sample(0, 10.0, 100), 1.0f, 0.0f, 10.0f),
        at(sample(0, 10.0, 200), 0.5f, 0.0f, 10.0f),
        at(sample(0, 10.0, 300), 50.0f + 2.5f * arc, 0.0f, 10.0f),
        at(sample(0, 10.0, 400), 0.0f, 0.0f, 3.0f),
    };
    std::vector<vekbin> result;
    processNoMatch({}, result, noMatch, right, g);
    expectOutcomes(result, {{1, 200}, {2, 300}, {3, 3}, {4, 400}});

    char noNeighbour[128];
    std::snprintf(noNeighbour, sizeof noNeighbour, "NO NEIGHBOUR distance: %f coordinates : %d, %d \n",
                  static_cast<double>(arc), 5, 0);
    char noMatchText[128];
    std::snprintf(noMatchText, sizeof noMatchText,
                  "NO MATCH distance: %f coordinates : %d, %d , TAKING CLOSEST NEIGHBOUR", static_cast<double>(arc),
                  6, 0);
    const std::vector<std::string> expected = {noNeighbour, noMatchText};
    EXPECT_EQ(log.messages(), expected);
    for (const auto& e : log.entries())
        EXPECT_EQ(e.level, Quorvel::Logger::INFO);
}

TEST(CombineLR, NoRightSamplesLeavesEveryColour)
{
    QuorvelTest::LogCapture log;
    std::vector<vekbin> result;
    processNoMatch({}, result, {sample(1, 10.0, 1), sample(2, 10.0, 2)}, {}, globals());
    expectOutcomes(result, {{1, 1}, {2, 2}});
    EXPECT_EQ(log.messages().size(), 2u);
}
