#include "context/PhaseOutput.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <tuple>

#include "analysis/PlaqueKDTree.h"
#include "analysis/RedundancyRemoval.h"
#include "camera/CameraSet.h"
#include "camera/CubeMap.h"
#include "context/DetectionIntake.h"
#include "context/QuorvelContext.h"
#include "foundation/Logger.h"
#include "io/HalfConversion.h"
#include "io/QvlRenderFile.h"
#include "samples/BucketInternal.h"
#include "samples/Buckets.h"

namespace Quorvel::Block::inline v2_0 {

using BinIO::DetectPlaqueInfo;

namespace {

constexpr float kMinimumDepth = 1.1920929e-7f;
constexpr uint32_t kEmptyCell = UINT32_MAX;

int32_t pixelFace(uint64_t x, uint64_t y, uint64_t width, uint64_t height)
{
    const float u = static_cast<float>(x) / static_cast<float>(width);
    const float v = static_cast<float>(y) / static_cast<float>(height);
    return Camera::cubeMapFace(2.0f * u - 1.0f, 2.0f * v - 1.0f);
}

bool orderedBefore(const DetectPlaqueInfo& a, const DetectPlaqueInfo& b)
{
    return std::make_tuple(a.transparent, a.cameraIndex, a.x, a.y, a.depth) <
           std::make_tuple(b.transparent, b.cameraIndex, b.x, b.y, b.depth);
}

void mergeInto(std::vector<DetectPlaqueInfo>& list, const std::vector<DetectPlaqueInfo>& other)
{
    if (other.empty())
        return;
    std::vector<DetectPlaqueInfo> merged;
    merged.reserve(list.size() + other.size());
    std::merge(list.begin(), list.end(), other.begin(), other.end(), std::back_inserter(merged), orderedBefore);
    list.swap(merged);
}

void promote(std::vector<DetectPlaqueInfo>& plaques, uint8_t level)
{
    const uint32_t factor = 1u << level;
    for (DetectPlaqueInfo& p : plaques) {
        p.level = level;
        p.x = static_cast<uint16_t>(p.x * factor);
        p.y = static_cast<uint16_t>(p.y * factor);
    }
}

} // namespace

std::vector<DetectPlaqueInfo> quadMerge(std::vector<DetectPlaqueInfo>& plaques, uint64_t width, uint64_t height,
                                        float threshold)
{
    std::vector<DetectPlaqueInfo> promoted;
    const uint64_t cells = width * height;
    // A face index needs two rows of faces; the grid holds 32-bit plaque indices.
    if (plaques.empty() || height < 2 || width == 0 || cells / width != height || cells >= kEmptyCell ||
        plaques.size() >= kEmptyCell)
        return promoted;

    const double sine = std::sin(static_cast<double>(6.2831855f) / static_cast<double>(width));
    const uint64_t faceSide = height / 2;
    auto faceIndex = [faceSide](const DetectPlaqueInfo& p) { return (p.y / faceSide) * 3 + p.x / faceSide; };

    std::vector<uint32_t> grid(cells, kEmptyCell);
    std::vector<bool> isPromoted(plaques.size(), false);
    std::vector<bool> isConsumed(plaques.size(), false);

    std::size_t begin = 0;
    while (begin < plaques.size()) {
        const uint8_t camera = plaques[begin].cameraIndex;
        std::size_t end = begin;
        while (end < plaques.size() && plaques[end].cameraIndex == camera)
            ++end;

        for (std::size_t i = begin; i < end; ++i) {
            const DetectPlaqueInfo& p = plaques[i];
            if (p.x >= width || p.y >= height)
                continue;
            const float u = (static_cast<float>(p.x) + 0.5f) / static_cast<float>(width);
            const float v = (static_cast<float>(p.y) + 0.5f) / static_cast<float>(height);
            const VekPoint d = Camera::cubeMapDirection(u, v);
            const float depth = std::max(p.depth, kMinimumDepth);
            const float facing = std::fabs(d.x * p.normal.x + d.y * p.normal.y + d.z * p.normal.z);
            if (static_cast<double>(threshold) > static_cast<double>(depth / facing) * sine)
                grid[p.y * width + p.x] = static_cast<uint32_t>(i);
        }

        for (std::size_t i = begin; i < end; ++i) {
            const DetectPlaqueInfo& p = plaques[i];
            if ((p.x & 1) || (p.y & 1) || isPromoted[i] || isConsumed[i])
                continue;
            // Partners right, below and below-right; a row that ends or a
            // below neighbour on another face leaves the quad incomplete.
            if (p.x + 1u >= width || p.y + 1u >= height ||
                pixelFace(p.x, p.y, width, height) != pixelFace(p.x, p.y + 1, width, height))
                continue;
            const uint64_t below = (p.y + 1) * width + p.x;
            const uint32_t partners[3] = {grid[p.y * width + p.x + 1], grid[below], grid[below + 1]};
            bool merges = true;
            for (uint32_t j : partners)
                merges = merges && j != kEmptyCell && j != i && !isPromoted[j] && !isConsumed[j] &&
                         faceIndex(plaques[j]) == faceIndex(p);
            if (!merges)
                continue;

            const DetectPlaqueInfo* quad[4] = {&p, &plaques[partners[0]], &plaques[partners[1]], &plaques[partners[2]]};
            float depths[4];
            for (int k = 0; k < 4; ++k)
                depths[k] = std::max(quad[k]->depth, kMinimumDepth);
            const float mean = (depths[0] + depths[1] + depths[2] + depths[3]) * 0.25f;
            for (float depth : depths)
                merges = merges && !Camera::depthsFarApart(mean, depth, 100.0, static_cast<float>(width));
            if (!merges)
                continue;

            DetectPlaqueInfo coarse = p;
            coarse.depth = mean;
            coarse.normal = {(quad[0]->normal.x + quad[1]->normal.x + quad[2]->normal.x + quad[3]->normal.x) * 0.25f,
                             (quad[0]->normal.y + quad[1]->normal.y + quad[2]->normal.y + quad[3]->normal.y) * 0.25f,
                             (quad[0]->normal.z + quad[1]->normal.z + quad[2]->normal.z + quad[3]->normal.z) * 0.25f};
            coarse.x = static_cast<uint16_t>(p.x / 2);
            coarse.y = static_cast<uint16_t>(p.y / 2);
            plaques[i] = coarse;
            isPromoted[i] = true;
            for (uint32_t j : partners)
                isConsumed[j] = true;
        }

        // Back to an empty grid for the next camera without clearing it whole.
        for (std::size_t i = begin; i < end; ++i) {
            const DetectPlaqueInfo& p = plaques[i];
            if (isPromoted[i]) {
                const uint64_t x = static_cast<uint64_t>(p.x) * 2, y = static_cast<uint64_t>(p.y) * 2;
                grid[y * width + x] = kEmptyCell;
            } else if (p.x < width && p.y < height) {
                grid[p.y * width + p.x] = kEmptyCell;
            }
        }
        begin = end;
    }

    std::size_t kept = 0;
    for (std::size_t i = 0; i < plaques.size(); ++i) {
        if (isPromoted[i])
            promoted.push_back(plaques[i]);
        else if (!isConsumed[i])
            plaques[kept++] = plaques[i];
    }
    plaques.resize(kept);
    return promoted;
}

void mergeLevels(std::vector<DetectPlaqueInfo>& list, uint64_t width, uint64_t height, float threshold)
{
    std::vector<DetectPlaqueInfo> levels[3];
    levels[0] = quadMerge(list, width, height, threshold);
    if (!levels[0].empty())
        levels[1] = quadMerge(levels[0], width / 2, height / 2, threshold);
    if (!levels[1].empty())
        levels[2] = quadMerge(levels[1], width / 4, height / 4, threshold);
    for (uint8_t level = 1; level <= 3; ++level) {
        promote(levels[level - 1], level);
        mergeInto(list, levels[level - 1]);
    }
}

void processFillHoleIndices(const RenderingContext& context, std::vector<DetectPlaqueInfo>& plaques, float renderScale)
{
    const bool transparencyPass = Phase::getQuorvelContext().transparencyMode.get() == Phase::TRANSP;
    BinIO::RemoveRedundancies(plaques, context, transparencyPass ? 1.0f : 0.475f);

    for (DetectPlaqueInfo& p : plaques)
        p.level = 0;
    const auto firstTransparent =
        std::stable_partition(plaques.begin(), plaques.end(), [](const DetectPlaqueInfo& p) { return !p.transparent; });
    std::vector<DetectPlaqueInfo> transparent(firstTransparent, plaques.end());
    plaques.erase(firstTransparent, plaques.end());

    const float threshold = 0.1f / (2.0f * renderScale);
    for (std::vector<DetectPlaqueInfo>* list : {&plaques, &transparent}) {
        if (list->empty())
            continue;
        PlaqueKDTree tree(context, *list, 1.0f);
        DectectOverlapsWithQualityCheck(tree, *list, nullptr);
        RemoveOverlapList(*list, tree.removed);
        mergeLevels(*list, context.width, context.height, threshold);
    }
    plaques.insert(plaques.end(), transparent.begin(), transparent.end());
}

} // namespace Quorvel::Block::inline v2_0

namespace Quorvel::Phase::inline v2_0 {

using BinIO::DetectPlaqueInfo;
using BinIO::header_v09;
using BinIO::qvlRenderSample5Aovs_t;

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const
    {
        if (file)
            std::fclose(file);
    }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// The header both phase-end files carry, filled from the context.
header_v09 outputHeader(const QuorvelContext& c, bool detection)
{
    header_v09 h;
    h.frame = c.frame.get();
    h.boxScaleX = c.zovScaling.x;
    h.boxScaleY = c.zovScaling.y;
    h.boxScaleZ = c.zovScaling.z;
    h.camOffsetX = c.zovOffsetRight.get();
    h.camOffsetY = c.zovOffsetTop.get();
    h.camOffsetZ = c.zovOffsetBack.get();
    h.eye = static_cast<int32_t>(c.eye.get());
    h.stereoRender = c.eye.get() == RC_LeftAndRight;
    h.ipd = c.ipd.get();
    h.rtype = detection;
    h.zov_distance_to_ground = c.distanceToGround;
    h.widthDisplay = static_cast<uint16_t>(c.outputResolutionX.get());
    h.heightDisplay = static_cast<uint16_t>(c.outputResolutionY.get());
    h.draft = c.draft.get() ? 1 : 0;
    h.projection = 1;
    const float renderScale = c.renderScale.get();
    h.globalScale = renderScale;
    h.passMode = c.transparencyMode.get() == IGNORE ? 2 : 0;
    h.AOVNames = c.aovFormat.names;
    h.AOVTypes = c.aovFormat.types;
    h.aovNums = c.aovFormat.types.size();
    h.tolerance = static_cast<float>(c.tolerance);
    h.CamToWorld = c.cameraToWorld;
    for (auto& row : h.CamToWorld)
        for (int column = 0; column < 3; ++column)
            row[column] *= renderScale;
    h.cameraPositions = c.cameraPositions;
    h.cameraPriorities = c.cameraPriorities;
    h.cameraFaceMasks = c.cameraFaceMasks;
    h.camId = 0;
    h.coordinates = 0;
    return h;
}

// Writes the file; when that fails, the same content goes to a recovery path
// so that a night of rendering is not lost to a full disk or a bad folder.
// Incomplete data goes to the recovery path only: under the requested name it
// would pass for a finished phase.
void writeWithRecovery(const QuorvelContext& c, const header_v09& header, const qvlRenderSample5Aovs_t& content,
                       bool complete)
{
    const std::string& path = c.outFilePath;
    if (complete) {
        const BinIO::QvlReaderError error = BinIO::qvlWriter_v9(path, header, content, c.renderingEngineId);
        if (error == BinIO::QVL_OK) {
            Logger::QvOutputLogString(Logger::INFO, "[Quorvel] wrote render file %s .\n", path.c_str());
            return;
        }
        Logger::QvOutputLogString(Logger::ERROR, "[Quorvel] error(%d) writing file %s .", error, path.c_str());
    } else {
        Logger::QvOutputLogString(Logger::ERROR, "[Quorvel] the data of %s is incomplete; it is not written there.\n",
                                  path.c_str());
    }
    for (const std::string& recovery : recoveryPaths(path)) {
        // Only the recovery folder is created; the requested folder is the user's.
        const std::filesystem::path folder = std::filesystem::path(recovery).parent_path();
        if (folder.filename() == "quorvel-recovery") {
            std::error_code ignored;
            std::filesystem::create_directories(folder, ignored);
        }
        if (BinIO::qvlWriter_v9(recovery, header, content, c.renderingEngineId) == BinIO::QVL_OK) {
            Logger::QvOutputLogString(Logger::ERROR, "[Quorvel] the data of %s was saved to %s instead.\n",
                                      path.c_str(), recovery.c_str());
            return;
        }
    }
    Logger::QvOutputLogString(Logger::ERROR,
                              "[Quorvel] the data of %s could not be saved to a recovery file either; it is lost.\n",
                              path.c_str());
}

bool readExactly(std::FILE* file, void* data, std::size_t size)
{
    return size == 0 || std::fread(data, 1, size, file) == size;
}

// Flushes what the buckets appended and goes back to the start; false when
// a write failed (rewind would clear the error).
bool rewindSampleFile(std::FILE* file)
{
    const bool written = std::fflush(file) == 0 && !std::ferror(file);
    std::rewind(file);
    return written;
}

uint64_t outputWidth(const QuorvelContext& c)
{
    return static_cast<uint64_t>(c.outputResolutionX.get());
}

uint64_t outputHeight(const QuorvelContext& c)
{
    return static_cast<uint64_t>(c.outputResolutionY.get());
}

std::atomic<bool> moreSamplesWarned{false};

std::vector<uint8_t> completionMask(const QuorvelContext& c)
{
    const std::size_t pixels = std::min(c.raysShot.size(), c.samplesReceived.size());
    std::vector<uint8_t> mask(pixels, 0);
    for (std::size_t i = 0; i < pixels; ++i) {
        if (c.raysShot[i] < c.samplesReceived[i] && !moreSamplesWarned.exchange(true))
            Logger::QvOutputLogCStr(Logger::WARNING, "Received more samples than shot rays");
        mask[i] = c.raysShot[i] == c.samplesReceived[i] ? 1 : 0;
    }
    return mask;
}

BinIO::qvlRenderSample5_t toFileSample(const BinIO::OutSample& r)
{
    BinIO::qvlRenderSample5_t s;
    s.depth = static_cast<float>(r.depth);
    const float colour[4] = {r.color.r, r.color.g, r.color.b, r.color.a};
    for (int i = 0; i < 4; ++i)
        s.colour[i] = BinIO::floatToHalf(colour[i]);
    const float normal[3] = {r.normal.x, r.normal.y, r.normal.z};
    for (int i = 0; i < 3; ++i)
        s.normal[i] = BinIO::floatToHalf(normal[i]);
    s.x = static_cast<uint16_t>(r.x);
    s.y = static_cast<uint16_t>(r.y);
    s.cameraIndex = static_cast<uint8_t>(r.cameraIndex);
    s.level = static_cast<uint8_t>(r.level);
    return s;
}

// The render threads flush their buckets in whatever order they finish
// them; sorted by plaque and then by every stored byte, the file is the same
// whatever that order was.
void sortRenderSamples(qvlRenderSample5Aovs_t& content, std::size_t aovCount)
{
    const std::vector<BinIO::qvlRenderSample5_t>& samples = content.samples;
    std::vector<std::size_t> order(samples.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    const auto before = [&](std::size_t a, std::size_t b) {
        const BinIO::qvlRenderSample5_t& p = samples[a];
        const BinIO::qvlRenderSample5_t& q = samples[b];
        const auto kp = std::make_tuple(p.cameraIndex, p.y, p.x, p.level);
        const auto kq = std::make_tuple(q.cameraIndex, q.y, q.x, q.level);
        if (kp != kq)
            return kp < kq;
        if (const int c = std::memcmp(&p, &q, sizeof p); c != 0)
            return c < 0;
        return aovCount != 0 && std::memcmp(&content.aovs[a * aovCount], &content.aovs[b * aovCount],
                                            aovCount * sizeof(RenderSample::AOVData)) < 0;
    };
    if (std::is_sorted(order.begin(), order.end(), before))
        return;
    std::sort(order.begin(), order.end(), before);
    std::vector<BinIO::qvlRenderSample5_t> sortedSamples(samples.size());
    std::vector<RenderSample::AOVData> sortedAovs(content.aovs.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        sortedSamples[i] = samples[order[i]];
        std::copy_n(content.aovs.begin() + static_cast<std::ptrdiff_t>(order[i] * aovCount), aovCount,
                    sortedAovs.begin() + static_cast<std::ptrdiff_t>(i * aovCount));
    }
    content.samples = std::move(sortedSamples);
    content.aovs = std::move(sortedAovs);
}

} // namespace

std::vector<std::string> recoveryPaths(const std::string& path)
{
    const std::filesystem::path requested(path);
    std::vector<std::string> paths;
    std::string name = requested.filename().string();
    if (name.empty()) {
        // No file was named: nothing to stand beside, only the temporary folder.
        name = "quorvel-unnamed.qvl";
    } else {
        paths.push_back((requested.parent_path() / (name + ".recovered")).string());
    }
    name += ".recovered";
    std::error_code error;
    const std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    if (!error)
        paths.push_back((temporary / "quorvel-recovery" / name).string());
    return paths;
}

void writeDetectionOutput(QuorvelContext& c, std::FILE* temporaryFile)
{
    FileHandle file(temporaryFile);
    const uint64_t records = c.tempRecordCount;
    Logger::QvOutputLogString(Logger::INFO,
                              "[Quorvel] retrieving detect phase data.  resolution %dx%d . samples %d.\n",
                              static_cast<int>(outputWidth(c)), static_cast<int>(outputHeight(c)),
                              static_cast<int>(records));
    std::vector<DetectPlaqueInfo> plaques(records);
    bool complete = rewindSampleFile(file.get()) && !c.samplesIncomplete;
    if (!readExactly(file.get(), plaques.data(), records * sizeof(DetectPlaqueInfo))) {
        Logger::QvOutputLogString(Logger::ERROR,
                                  "[Quorvel] the temporary sample file ended before its %llu records; the detection "
                                  "file holds what could be read.\n",
                                  static_cast<unsigned long long>(records));
        plaques.clear();
        complete = false;
    }
    file.reset();

    Logger::QvOutputLogCStr(Logger::INFO, "[Quorvel] processing data.\n");
    qvlRenderSample5Aovs_t content;
    content.trailing = completionMask(c);

    RenderingContext geometry;
    geometry.cameras = &c.cameraPositions;
    geometry.width = outputWidth(c);
    geometry.height = outputHeight(c);
    geometry.renderScale = c.renderScale.get();
    geometry.tolerance = static_cast<float>(c.tolerance);
    Block::processFillHoleIndices(geometry, plaques, c.renderScale.get());

    Logger::QvOutputLogString(Logger::INFO, "[Quorvel] flushing %d samples to file.\n",
                              static_cast<int>(plaques.size()));
    header_v09 header = outputHeader(c, true);
    header.fillHoleCount = plaques.size();
    header.sampleNums = 0;
    content.plaques = std::move(plaques);
    writeWithRecovery(c, header, content, complete);
}

void writeRenderOutput(QuorvelContext& c, std::FILE* temporaryFile)
{
    FileHandle file(temporaryFile);
    const uint64_t records = c.tempRecordCount;
    const std::vector<AOVType>& types = c.aovFormat.types;
    const std::size_t aovCount = types.size();

    qvlRenderSample5Aovs_t content;
    content.samples.reserve(records);
    content.aovs.resize(records * aovCount);
    bool complete = rewindSampleFile(file.get()) && !c.samplesIncomplete;
    for (uint64_t s = 0; s < records; ++s) {
        unsigned char image[BinIO::kOutSampleImageSize];
        BinIO::OutSample record;
        bool ok = readExactly(file.get(), image, sizeof image);
        if (ok)
            BinIO::readOutSampleImage(image, record);
        if (ok && aovCount > 0)
            ok = BinIO::ReadAovsFromFile(file.get(), types, &content.aovs[s * aovCount]);
        if (!ok) {
            Logger::QvOutputLogString(Logger::ERROR,
                                      "[Quorvel] the temporary sample file ended after %llu of its %llu records; the "
                                      "render file holds those.\n",
                                      static_cast<unsigned long long>(s), static_cast<unsigned long long>(records));
            complete = false;
            break;
        }
        content.samples.push_back(toFileSample(record));
    }
    content.aovs.resize(content.samples.size() * aovCount);
    file.reset();
    sortRenderSamples(content, aovCount);

    content.trailing = std::move(c.completionMask);
    c.completionMask.clear();
    Logger::QvOutputLogString(Logger::INFO, "[Quorvel] writing render file. resolution %dx%d . samples %d.\n",
                              static_cast<int>(outputWidth(c)), static_cast<int>(outputHeight(c)),
                              static_cast<int>(content.samples.size()));
    header_v09 header = outputHeader(c, false);
    header.fillHoleCount = 0;
    header.sampleNums = content.samples.size();
    writeWithRecovery(c, header, content, complete);
}

bool readDetectionInput(QuorvelContext& c)
{
    const std::string path = c.detectPhaseOverride.empty() ? c.detectFilePath : c.detectPhaseOverride;
    header_v09 header;
    qvlRenderSample5Aovs_t content;
    int digestSum = 0;
    const BinIO::QvlReaderError error = BinIO::qvlReader_v9(path, header, content, digestSum);
    // Before any of it reaches the context: a display of 0 pixels or a camera
    // set of another size would only fail later, inside the host's ray tracer.
    if (error == BinIO::QVL_OK && !acceptDetectionHeader(path, header, content.plaques.size()))
        return false;

    c.cameraPositions = std::move(header.cameraPositions);
    c.cameraPriorities = std::move(header.cameraPriorities);
    c.cameraFaceMasks = std::move(header.cameraFaceMasks);
    c.plaques = std::move(content.plaques);
    c.completionMask = std::move(content.trailing);
    if (error != BinIO::QVL_OK) {
        Logger::QvOutputLogString(Logger::ERROR, "[Quorvel] cannot read the detection file %s .\n", path.c_str());
        c.samplesIncomplete = true;
        return true;
    }

    const bool transparencyPass = c.transparencyMode.get() == TRANSP;
    const uint64_t width = header.widthDisplay;
    const uint64_t height = header.heightDisplay;

    if (c.clipEnabled && !c.clipInside && width > 0 && height > 0) {
        const auto outside = [&](const DetectPlaqueInfo& p) {
            const VekPoint origin = p.cameraIndex < c.cameraPositions.size() ? c.cameraPositions[p.cameraIndex]
                                                                             : VekPoint{0.0f, 0.0f, 0.0f};
            const VekPoint direction = Camera::cubeMapDirection((static_cast<float>(p.x) + 0.5f) / width,
                                                                (static_cast<float>(p.y) + 0.5f) / height);
            return !Camera::raySphereHit(origin, direction, c.clipCentreCamera, c.clipRadius);
        };
        c.plaques.erase(std::remove_if(c.plaques.begin(), c.plaques.end(), outside), c.plaques.end());
    }

    // Built after clipping, so that the tree indexes the list it serves.
    if (!transparencyPass) {
        RenderingContext geometry;
        geometry.cameras = &c.cameraPositions;
        geometry.width = width;
        geometry.height = height;
        geometry.renderScale = header.globalScale;
        geometry.tolerance = header.tolerance;
        c.plaqueTree = std::make_shared<PlaqueKDTree>(geometry, c.plaques, 1.0f);
    }

    c.outputResolutionX.set(static_cast<double>(width));
    c.outputResolutionY.set(static_cast<double>(height));
    Logger::QvOutputLogString(Logger::INFO, "[Quorvel] read the detection file %s .\n", path.c_str());
    Logger::QvOutputLogString(Logger::DEBUG, "[Quorvel] filehole(%d)\n", static_cast<int>(c.plaques.size()));
    return true;
}

} // namespace Quorvel::Phase::inline v2_0
