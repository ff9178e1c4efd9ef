// Fills tests/fuzz/corpus/final_view/ with small final view files made by the
// merger's writer: cube and latitude-longitude, with and without motion and
// background, for the final view reader's fuzz target to start from.
#include <filesystem>
#include <iostream>
#include <vector>

#include "FinalViewWriter.h"
#include "foundation/Logger.h"

using namespace Quorvel::FinalView;
using Quorvel::Binary::vekbin;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: final_view_seeds CORPUS-DIRECTORY\n";
        return 2;
    }
    Quorvel::Logger::QvSetConsoleLogLevel(-1);
    const std::filesystem::path dir = std::filesystem::path(argv[1]) / "final_view";
    std::filesystem::create_directories(dir);
    const std::vector<VekPoint> cameras = {{0, 0, 0}, {10, 5, -10}, {-10, -5, 10}};
    int index = 0;
    for (const int32_t projection : {1, 0})
        for (const bool moving : {false, true})
            for (const bool background : {false, true}) {
                FinalHeader h;
                h.displayWidth = 24;
                h.displayHeight = 16;
                h.projection = projection;
                std::vector<vekbin> samples;
                for (int i = 0; i < 12; ++i) {
                    vekbin s;
                    s.camera = static_cast<uint8_t>(i % 3);
                    s.x = static_cast<uint16_t>((i * 5) % 24);
                    s.y = static_cast<uint16_t>((i * 3) % 16);
                    s.depth = 50.0 + 20.0 * i;
                    s.colour = {0.1f * (i % 10), 0.4f, 0.7f, i % 4 == 3 ? 0.5f : 1.0f};
                    s.rightColour = {0.3f, 0.4f, 0.5f};
                    s.normal = {0, 0, 1};
                    s.plaqueWidth = static_cast<uint8_t>(1 + i % 3);
                    s.plaqueHeight = 1;
                    s.level = static_cast<uint8_t>(i % 2);
                    s.width = 24;
                    s.height = 16;
                    if (moving && i % 2)
                        s.velocity = {0.5f, 0.0f, -0.25f * i};
                    s.updateDerived(cameras, projection);
                    samples.push_back(s);
                }
                const std::vector<NamedBlock> blocks = {
                    {"camPosTable", makeCamPosTable(cameras, 1.0f, h.camOffset, h.boxScale)}};
                std::vector<uint8_t> png;
                if (background) {
                    const auto b = makeBackground(std::vector<uint8_t>(24 * 16, 0), 24, 16, 0x80402010);
                    if (b)
                        png = *b;
                }
                const auto path = dir / ("seed_" + std::to_string(index++) + ".qvl");
                if (writeFinalView(path, h, samples, png, blocks) != 0) {
                    std::cerr << path << ": not written\n";
                    return 1;
                }
            }
    return 0;
}
