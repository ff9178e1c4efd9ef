#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "FinalViewWriter.h"
#include "foundation/Vekbin.h"
#include "support/TempDir.h"

namespace QuorvelViewTest {

namespace fs = std::filesystem;

using QuorvelTest::TempDir;

// A display of 96 x 64 pixels: cube faces of 32. Camera 0 sits at the
// centre of the zone of view, camera 1 beside it.
constexpr int32_t kW = 96, kH = 64;

inline std::vector<VekPoint> cameras()
{
    return {{0, 0, 0}, {10, 0, 0}};
}

inline Quorvel::Binary::vekbin sample(uint16_t x, uint16_t y, double depth, VekRGBA colour, VekRGB right)
{
    Quorvel::Binary::vekbin s;
    s.camera = 0;
    s.x = x;
    s.y = y;
    s.depth = depth;
    s.colour = colour;
    s.rightColour = right;
    s.normal = {0, 0, 1};
    s.plaqueWidth = 1;
    s.plaqueHeight = 1;
    s.level = 0;
    s.width = kW;
    s.height = kH;
    s.updateDerived(cameras(), 1);
    return s;
}

inline Quorvel::FinalView::FinalHeader header()
{
    Quorvel::FinalView::FinalHeader h;
    h.displayWidth = kW;
    h.displayHeight = kH;
    h.boxScale = {1.0f, 0.5f, 1.0f};
    h.projection = 1;
    h.engineId = 1;
    return h;
}

// Writes the samples as a final view file at `path`.
inline void writeFile(const fs::path& path, std::vector<Quorvel::Binary::vekbin> samples)
{
    using namespace Quorvel::FinalView;
    const FinalHeader h = header();
    const std::vector<NamedBlock> blocks = {
        {"camPosTable", makeCamPosTable(cameras(), 1.0f, h.camOffset, h.boxScale)}};
    ASSERT_EQ(writeFinalView(path, h, samples, {}, blocks), 0);
}

} // namespace QuorvelViewTest
