// Writes the seed corpus of the legacy-reader fuzz targets:
//   legacy_seeds <source>/tests/fuzz/corpus
#include <cstdio>
#include <filesystem>
#include <string>

#include "core/io/LegacyFileBytes.h"

using namespace QuorvelLegacyTest;

namespace {

bool save(const std::filesystem::path& dir, const char* name, const Bytes& bytes)
{
    std::filesystem::create_directories(dir);
    std::FILE* file = std::fopen((dir / name).c_str(), "wb");
    if (!file)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: legacy_seeds <corpus directory>\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    const std::filesystem::path unprefixed = root / "legacy_unprefixed";
    const std::filesystem::path versioned = root / "legacy_versioned";
    const Bytes coordinates = coordinateBytes({1.0f, 2.0f, 3.0f, -1.0f, 0.5f, 8.0f});
    bool ok = true;

    ok &= save(unprefixed, "samples_coordinates_trailer",
               Builder()
                   .recordHeader(2, 2, 64, 32)
                   .block(frameOf(pattern(2, 48, 1), 48))
                   .block(frameOf(coordinates, 12))
                   .u32(0x10203040)
                   .f32(1.0f)
                   .f32(2.0f)
                   .f32(3.0f)
                   .bytes);
    ok &= save(unprefixed, "no_samples", Builder().recordHeader(0, 0, 4, 2).bytes);

    ok &= save(versioned, "v2_trailer",
               Builder()
                   .version(2)
                   .recordHeader(2, 2, 64, 32)
                   .block(frameOf(pattern(2, 64, 2), 64))
                   .block(frameOf(coordinates, 12))
                   .u32(0xFF8000FF)
                   .f32(0.0f)
                   .f32(1.0f)
                   .f32(0.0f)
                   .u32(3)
                   .u32(4)
                   .bytes);
    ok &= save(versioned, "v3_header",
               Builder()
                   .version(3)
                   .json(R"({"boxScaleX":1,"boxScaleY":0.5,"boxScaleZ":1,"globalScale":1,"camOffsetX":0,)"
                         R"("camOffsetY":0,"camOffsetZ":0,"stereoRender":false,"rtype":true,"camId":3})")
                   .recordHeader(3, 2, 16, 8)
                   .block(frameOf(pattern(3, 64, 3), 64))
                   .block(frameOf(coordinates, 12))
                   .bytes);
    ok &= save(versioned, "v4_aovs_coordinates",
               Builder()
                   .version(4)
                   .json(R"({"numAOVS":1,"AOVNames":["right"]})")
                   .recordHeader(2, 2, 16, 8)
                   .block(frameOf(pattern(2, 24, 4), 24))
                   .block(frameOf(pattern(2, 6, 5), 6))
                   .block(frameOf(coordinates, 12))
                   .bytes);
    ok &= save(versioned, "v5_aovs",
               Builder()
                   .version(5)
                   .json(R"({"numAOVS":2,"AOVNames":["right","velocity"],"camId":1})")
                   .recordHeader(3, 0, 16, 8)
                   .block(frameOf(pattern(3, 24, 6), 24))
                   .block(frameOf(pattern(6, 6, 7), 6))
                   .bytes);
    ok &= save(versioned, "v6_json_text",
               Builder()
                   .version(6)
                   .json(R"({"note":"raw"})")
                   .recordHeader(1, 0, 2, 2)
                   .block(frameOf(pattern(1, 72, 8), 72))
                   .bytes);
    if (!ok)
        std::fprintf(stderr, "cannot write the seeds under %s\n", root.c_str());
    return ok ? 0 : 1;
}
