#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "FinalCodes.h"
#include "ViewCommand.h"
#include "ViewTestSupport.h"
#include "support/LogCapture.h"

using namespace Quorvel::FinalView;
using namespace QuorvelViewTest;

namespace {

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::vector<double> fields(const std::string& line)
{
    std::vector<double> out;
    std::istringstream in(line);
    for (double v; in >> v;)
        out.push_back(v);
    return out;
}

} // namespace

// The dump is what a second decoder of the format is checked against, so
// each column must hold the value the viewer draws.
TEST(ViewDump, OneLinePerSampleWithEveryDecodedValue)
{
    QuorvelTest::LogCapture log;
    TempDir dir;
    const fs::path path = dir.path() / "final.qvl";
    // White opaque at pixel (16, 48), 2 units in front (face -z); a
    // half-transparent red one at (40, 10) whose right eye sees blue.
    writeFile(path, {sample(16, 48, 200.0, {1.0f, 1.0f, 1.0f, 1.0f}, {1.0f, 1.0f, 1.0f}),
                     sample(40, 10, 100.0, {1.0f, 0.0f, 0.0f, 0.5f}, {0.0f, 0.0f, 1.0f})});
    std::ostringstream out, err;
    ASSERT_EQ(runViewCommand({path.string(), "--dump"}, out, err), 0) << err.str();
    const auto text = lines(out.str());
    ASSERT_EQ(text.size(), 3u);
    EXPECT_EQ(text[0].rfind("# index x y camera level plaque_width plaque_height depth_code depth alpha colour", 0), 0u);
    const std::vector<std::string> columns = [&] {
        std::vector<std::string> c;
        std::istringstream in(text[0].substr(2));
        for (std::string w; in >> w;)
            c.push_back(w);
        return c;
    }();
    ASSERT_EQ(columns.size(), 40u);

    const auto white = fields(text[1]), red = fields(text[2]);
    ASSERT_EQ(white.size(), columns.size());
    ASSERT_EQ(red.size(), columns.size());
    // index x y camera level width height
    EXPECT_EQ(std::vector<double>(white.begin(), white.begin() + 7), (std::vector<double>{0, 16, 48, 0, 0, 1, 1}));
    EXPECT_EQ(std::vector<double>(red.begin(), red.begin() + 7), (std::vector<double>{1, 40, 10, 0, 0, 1, 1}));
    // Depth code of 200 scene units, int((atan(2) - lo) / (hi - lo) * 32767),
    // and its decoded distance (file units).
    EXPECT_EQ(white[7], 23017);
    EXPECT_NEAR(white[8], 2.0, 0.002);
    EXPECT_EQ(white[9], 255);
    EXPECT_EQ(white[10], 8773545); // the white colour code
    EXPECT_EQ(white[11], 8773545);
    EXPECT_EQ(red[9], 127); // alpha 0.5: the exact half rounds down
    // Without the transparency flag the colours are stored premultiplied.
    EXPECT_EQ(red[10], colourCode(0.5f, 0.0f, 0.0f));
    EXPECT_EQ(red[11], colourCode(0.0f, 0.0f, 0.5f));
    // transparent (the flag, not the alpha), cockpit, moving
    EXPECT_EQ(std::vector<double>(white.begin() + 12, white.begin() + 15), (std::vector<double>{0, 0, 0}));
    EXPECT_EQ(std::vector<double>(red.begin() + 12, red.begin() + 15), (std::vector<double>{0, 0, 0}));
    // The normal (0, 0, 1) through its octahedral code.
    EXPECT_NEAR(white[15], 0.0, 0.01);
    EXPECT_NEAR(white[16], 0.0, 0.01);
    EXPECT_NEAR(white[17], 1.0, 1e-4);
    // Linear colours: white comes back near 1, the red's right eye is blue.
    for (int c = 18; c < 21; ++c)
        EXPECT_NEAR(white[c], 1.0, 0.03) << columns[c];
    EXPECT_LT(red[21], 0.05);
    EXPECT_GT(red[23], 0.3);
    EXPECT_GT(red[18], 0.3);
    EXPECT_LT(red[20], 0.05);
    // Placed: the centre lies along the pixel's direction (1/32, 1/32, -1)
    // at the decoded depth, and the corners around it at that distance.
    EXPECT_EQ(white[24], 1);
    const double n = std::sqrt(1 + 2.0 / 1024);
    EXPECT_NEAR(white[25], white[8] / 32 / n, 1e-4);
    EXPECT_NEAR(white[26], white[8] / 32 / n, 1e-4);
    EXPECT_NEAR(white[27], -white[8] / n, 1e-4);
    for (int k = 0; k < 4; ++k) {
        const double dx = white[28 + 3 * k] - white[25], dy = white[29 + 3 * k] - white[26];
        EXPECT_GT(std::fabs(dx), 0.02) << "corner " << k;
        EXPECT_LT(std::fabs(dx), 0.1) << "corner " << k;
        EXPECT_GT(std::fabs(dy), 0.02) << "corner " << k;
        EXPECT_NEAR(white[30 + 3 * k], white[27], 0.01) << "corner " << k; // the plane faces +z
    }
}
