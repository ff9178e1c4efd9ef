// Writes the seed corpus of the file-reader fuzz targets into
// tests/fuzz/corpus/<target>/: version-9 files made by the writer, and
// version-8 and version-7 files assembled block by block.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/io/QvlFileBytes.h"
#include "io/HalfConversion.h"
#include "io/QvlRenderFile.h"

using namespace Quorvel::BinIO;
using namespace Quorvel::Phase;

namespace {

header_v09 header(std::vector<AOVType> types)
{
    header_v09 h;
    h.globalScale = 1.0f;
    h.widthDisplay = 8;
    h.heightDisplay = 4;
    for (size_t j = 0; j < types.size(); ++j)
        h.AOVNames.push_back("aov" + std::to_string(j));
    h.AOVTypes = std::move(types);
    h.aovNums = h.AOVTypes.size();
    return h;
}

qvlRenderSample5Aovs_t samples(size_t count, size_t aovs)
{
    qvlRenderSample5Aovs_t c;
    for (size_t s = 0; s < count; ++s) {
        qvlRenderSample5_t r;
        r.depth = 1.0f + static_cast<float>(s);
        r.colour[0] = floatToHalf(0.25f * static_cast<float>(s % 5));
        r.x = static_cast<uint16_t>(s % 8);
        r.y = static_cast<uint16_t>(s / 8);
        r.level = static_cast<uint8_t>(s % 4);
        c.samples.push_back(r);
    }
    c.aovs.resize(count * aovs);
    for (size_t i = 0; i < c.aovs.size(); ++i)
        c.aovs[i].asVec4[i % 4] = static_cast<float>(i) * 0.5f;
    c.trailing.assign(32, 1);
    return c;
}

std::string sample4Bytes(size_t count)
{
    std::string out;
    for (size_t s = 0; s < count; ++s) {
        qvlRenderSample4_t r;
        r.depth = static_cast<float>(s);
        r.x = static_cast<uint16_t>(s);
        r.cameraIndex = static_cast<uint8_t>(s);
        QuorvelTest::putRaw(out, r);
    }
    return out;
}

std::string legacy(int major, bool compressed)
{
    const std::string json = "{\"aovNums\":2,\"AOVNames\":[\"Cd_Right\",\"qvlCockpit\"],\"AOVTypes\":[3,1],"
                             "\"sampleNums\":6,\"fileCode\":40,\"globalScale\":1.0}";
    std::string out("\x82QVLRender=\n$\n", 14);
    out.push_back(static_cast<char>(major));
    out.push_back(0);
    QuorvelTest::putU32(out, static_cast<uint32_t>(json.size()));
    out += json;
    out += QuorvelTest::rawBlock(0, "");
    if (major >= 8)
        out += QuorvelTest::rawBlock(1, std::string(24, '\1'));
    const std::string rgb(36, '\x3C');
    const std::string ints(24, '\2');
    if (compressed)
        out += QuorvelTest::bloscBlock(6, 24, sample4Bytes(6)) + QuorvelTest::bloscBlock(6, 6, rgb) +
               QuorvelTest::bloscBlock(6, 4, ints) + QuorvelTest::bloscBlock(8, 1, std::string(8, '\1'));
    else
        out += QuorvelTest::rawBlock(6, sample4Bytes(6)) + QuorvelTest::rawBlock(6, rgb) +
               QuorvelTest::rawBlock(6, ints) + QuorvelTest::rawBlock(8, std::string(8, '\1'));
    return out;
}

void save(const std::filesystem::path& file, const std::string& bytes)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

} // namespace

int main(int argc, char** argv)
{
    const std::filesystem::path root = argc > 1 ? argv[1] : "tests/fuzz/corpus";
    const auto v9 = root / "qvl_v9";
    std::filesystem::create_directories(v9);

    const header_v09 all = header({AOV_RGB, AOV_Int, AOV_Byte, AOV_Double, AOV_RGBA, AOV_Vector3, AOV_Vector2,
                                   static_cast<AOVType>(9)});
    qvlWriter_v9((v9 / "render_all_types").string(), all, samples(24, all.AOVTypes.size()),
                 Quorvel::Util::RenderingEngineId(1));
    const header_v09 two = header({AOV_RGB, AOV_Int});
    qvlWriter_v9((v9 / "render_empty").string(), two, samples(0, 2), Quorvel::Util::RenderingEngineId(1));
    qvlWriter_v9((v9 / "render_tiny").string(), two, samples(1, 2), Quorvel::Util::RenderingEngineId(1));

    header_v09 detect = header({});
    detect.rtype = true;
    detect.fillHoleCount = 5;
    qvlRenderSample5Aovs_t plaques;
    for (int i = 0; i < 5; ++i) {
        DetectPlaqueInfo p;
        p.cameraIndex = static_cast<uint8_t>(i);
        p.x = static_cast<uint16_t>(i);
        p.level = static_cast<uint8_t>(i % 4);
        p.hair = i == 2;
        p.depth = 3.0f;
        plaques.plaques.push_back(p);
    }
    plaques.coordinates = {{1.0f, 2.0f, 3.0f}};
    plaques.trailing.assign(32, 0);
    qvlWriter_v9((v9 / "detection").string(), detect, plaques, Quorvel::Util::RenderingEngineId(1));

    for (int major : {7, 8}) {
        const auto dir = root / ("qvl_v" + std::to_string(major));
        save(dir / "raw_blocks", legacy(major, false));
        save(dir / "compressed_blocks", legacy(major, true));
    }
    return 0;
}
