#pragma once

// Inputs for the tools run as processes: small render files written with the
// core's writer, sorted into groups as the merger sorts them, and the bytes
// of files on disk.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "camera/CameraSet.h"
#include "io/QvlRenderFile.h"

namespace QuorvelTest {

// One render file of a group: a frame, an eye and, for the passes that fill
// holes, a non-zero plaque count (only fillHoleCount 0 files pair by eye).
struct SyntheticRender {
    int32_t frame = 1;
    int32_t eye = 1; // 1 left, 2 right
    uint64_t fillHoleCount = 0;
    uint16_t width = 24;
    uint16_t height = 16;
    uint32_t samples = 48;
    uint32_t seed = 1; // varies colours, depths and pixels between files
};

// The header a render phase of that kind writes: zone of view 1 x 1 x 1 at
// scale 1, cube projection, the 256-camera set, stereo with its AOVs.
inline Quorvel::BinIO::header_v09 syntheticRenderHeader(const SyntheticRender& r)
{
    Quorvel::BinIO::header_v09 h;
    h.boxScaleX = h.boxScaleY = h.boxScaleZ = 1.0f;
    h.globalScale = 1.0f;
    h.stereoRender = true;
    h.widthDisplay = r.width;
    h.heightDisplay = r.height;
    h.projection = 1;
    h.frame = r.frame;
    h.eye = r.eye;
    h.fillHoleCount = r.fillHoleCount;
    h.AOVNames = {"Cd_Right", "qvlVelocity", "qvlTransp", "qvlCockpit"};
    h.AOVTypes = {Quorvel::Phase::AOV_RGB, Quorvel::Phase::AOV_Vector3, Quorvel::Phase::AOV_Int,
                  Quorvel::Phase::AOV_Int};
    h.aovNums = h.AOVNames.size();
    const auto positions = Quorvel::Camera::unitCameraPositions();
    const auto& priorities = Quorvel::Camera::cameraPriorityTable();
    for (size_t c = 0; c < positions.size(); ++c) {
        h.cameraPositions.push_back(positions[c]);
        h.cameraPriorities.push_back(priorities[c]);
        h.cameraFaceMasks.push_back(Quorvel::Camera::boxFaceMask(positions[c]));
    }
    return h;
}

// The samples lie on distinct pixels, opaque, with colours and depths that
// differ from file to file: each file's own number shifts them.
inline Quorvel::BinIO::qvlRenderSample5Aovs_t syntheticRenderContent(const SyntheticRender& r)
{
    Quorvel::BinIO::qvlRenderSample5Aovs_t content;
    const uint32_t pixels = static_cast<uint32_t>(r.width) * r.height;
    for (uint32_t i = 0; i < r.samples && i < pixels; ++i) {
        const uint32_t pixel = (i * 7u + r.seed * 13u) % pixels;
        const float shade = static_cast<float>((i * 37u + r.seed * 11u) % 97u) / 97.0f;
        Quorvel::BinIO::qvlRenderSample5_t s;
        s.depth = 1.0f + static_cast<float>((i + r.seed) % 17u) * 0.25f;
        s.colour[0] = half_float::half(shade);
        s.colour[1] = half_float::half(1.0f - shade);
        s.colour[2] = half_float::half(0.25f + 0.5f * shade);
        s.colour[3] = half_float::half(1.0f);
        s.normal[0] = half_float::half(0.0f);
        s.normal[1] = half_float::half(0.0f);
        s.normal[2] = half_float::half(1.0f);
        s.x = static_cast<uint16_t>(pixel % r.width);
        s.y = static_cast<uint16_t>(pixel / r.width);
        s.cameraIndex = static_cast<uint8_t>((i + r.seed) % 256u);
        content.samples.push_back(s);
        Quorvel::RenderSample::AOVData right{}, velocity{}, transparency{}, cockpit{};
        right.asVec3[0] = 1.0f - shade;
        right.asVec3[1] = shade;
        right.asVec3[2] = 0.5f;
        content.aovs.insert(content.aovs.end(), {right, velocity, transparency, cockpit});
    }
    content.trailing.assign(pixels, 0);
    for (uint32_t p = 0; p < pixels; p += 5)
        content.trailing[p] = 1;
    return content;
}

// Writes the file (engine 1, as the renderer binding does); false when the
// writer failed.
inline bool writeSyntheticRenderFile(const std::filesystem::path& path, const SyntheticRender& r)
{
    std::filesystem::create_directories(path.parent_path());
    Quorvel::BinIO::header_v09 header = syntheticRenderHeader(r);
    const Quorvel::BinIO::qvlRenderSample5Aovs_t content = syntheticRenderContent(r);
    header.sampleNums = content.samples.size();
    const Quorvel::Util::RenderingEngineId engine = Quorvel::Util::RE_VRay;
    return Quorvel::BinIO::qvlWriter_v9(path.string(), header, content, engine) == Quorvel::BinIO::QVL_OK;
}

inline std::string fileBytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFileBytes(const std::filesystem::path& path, const std::string& bytes)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Every regular file below `root` with its bytes, by path relative to it.
inline std::vector<std::pair<std::string, std::string>> treeBytes(const std::filesystem::path& root)
{
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files.emplace_back(std::filesystem::relative(entry.path(), root).string(), fileBytes(entry.path()));
    std::sort(files.begin(), files.end());
    return files;
}

} // namespace QuorvelTest
