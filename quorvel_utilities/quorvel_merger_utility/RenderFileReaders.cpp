#include "RenderFileReaders.h"

#include <cmath>

#include "ColorPipeline.h"
#include "RenderHeaderCheck.h"
#include "foundation/Catalogue.h"
#include "foundation/Logger.h"
#include "io/QvlRenderFile.h"
#include "io/RenderSampleRecords.h"

namespace Quorvel::Merger {

namespace {

using Binary::vekbin;
using TXT::Merger;
using namespace Logger;

// The engines whose files the system writes: the renderer binding and the
// core's detect-as-render debug files.
constexpr int32_t kDetectAsRenderEngine = 50;

bool knownEngine(Util::RenderingEngineId engine)
{
    return engine == Util::RE_VRay || engine == kDetectAsRenderEngine;
}

VekPoint storedNormal(const half_float::half* normal)
{
    const VekPoint n{static_cast<float>(normal[0]), static_cast<float>(normal[1]), static_cast<float>(normal[2])};
    if (std::fabs(n.x) < 0.0001f && std::fabs(n.y) < 0.0001f && std::fabs(n.z) < 0.0001f)
        return {0.0f, 0.0f, 0.0f};
    const float length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
    return {n.x / length, n.y / length, n.z / length};
}

int aovIndex(const BinIO::header_v09& header, Phase::AOVType type, const char* name, size_t aovCount)
{
    const int index = header.getVectorAovIndexByType(type, name);
    return index >= 0 && static_cast<size_t>(index) < aovCount ? index : -1;
}

} // namespace

template <class Sample>
void convertRenderSamples(const params& run, const std::string& path, const BinIO::header_v09& header,
                          const std::vector<Sample>& samples, const std::vector<RenderSample::AOVData>& aovs,
                          const RenderFileTraits& traits, ReadSlot& slot)
{
    QvOutputLogString(DEBUG, "Reading file %s\n", path.c_str());
    // Slots per sample; a file whose AOV slots do not cover its samples is
    // read without them rather than past their end.
    const size_t aovCount = header.AOVTypes.size();
    const bool haveAovs = aovCount > 0 && aovs.size() / aovCount >= samples.size();
    const int rightIndex = aovIndex(header, Phase::AOV_RGB, "Cd_Right", haveAovs ? aovCount : 0);
    const int velocityIndex = aovIndex(header, Phase::AOV_Vector3, "qvlVelocity", haveAovs ? aovCount : 0);
    const int transparencyIndex = aovIndex(header, Phase::AOV_Int, "qvlTransp", haveAovs ? aovCount : 0);
    const int cockpitIndex = traits.hasCockpitAndMask
                                 ? aovIndex(header, Phase::AOV_Int, "qvlCockpit", haveAovs ? aovCount : 0)
                                 : -1;
    if (header.stereoRender && rightIndex < 0 && traits.stereoNeedsRightColour) {
        QvOutputLogString(ERROR, Merger::err_AOVDeepReflectionMissing, path.c_str());
        slot.error = kErrorRightColourMissing;
        return;
    }

    std::vector<VekPoint> cameras = header.cameraPositions;
    for (VekPoint& p : cameras)
        p = {p.x * header.globalScale, p.y * header.globalScale, p.z * header.globalScale};

    for (size_t s = 0; s < samples.size(); ++s) {
        const Sample& stored = samples[s];
        if (!(run.minDist <= stored.depth && stored.depth <= run.maxDist))
            continue;
        vekbin sample;
        sample.normal = storedNormal(stored.normal);
        sample.width = header.widthDisplay;
        sample.height = header.heightDisplay;
        sample.transpFlag = false;
        const VekRGBA colour = gradeColour({static_cast<float>(stored.colour[0]), static_cast<float>(stored.colour[1]),
                                            static_cast<float>(stored.colour[2]), static_cast<float>(stored.colour[3])},
                                           run.lift, run.gain, run.pow);
        sample.colour = colour;
        sample.rightColour = {colour.r, colour.g, colour.b};
        sample.depth = stored.depth;
        sample.x = stored.x;
        sample.y = stored.y;
        sample.plaqueWidth = 1;
        sample.plaqueHeight = 1;
        sample.level = 0;
        sample.camera = stored.cameraIndex;
        if (haveAovs) {
            const RenderSample::AOVData* block = &aovs[s * aovCount];
            if (transparencyIndex >= 0 && block[transparencyIndex].asInt == 1)
                sample.transpFlag = true;
            if (velocityIndex >= 0) {
                const float* v = block[velocityIndex].asVec3;
                sample.velocity = {v[0], v[1], v[2]};
            }
            if (cockpitIndex >= 0 && block[cockpitIndex].asInt == 1)
                sample.cockpitFlag = true;
            if (header.stereoRender && rightIndex >= 0) {
                const float* c = block[rightIndex].asVec4;
                const VekRGBA right = gradeColour({c[0], c[1], c[2], c[3]}, run.lift, run.gain, run.pow);
                sample.rightColour = {right.r, right.g, right.b};
            }
        }
        if constexpr (requires { stored.level; })
            if (traits.hasLevel)
                sample.level = stored.level;
        sample.boxScale = {header.boxScaleX, header.boxScaleY, header.boxScaleZ};
        sample.updateDerived(cameras, header.projection);
        (sample.colour.a != 1.0f ? slot.transparent : slot.opaque).push_back(sample);
    }
    QvOutputLogString(TRACE, "opaque(%d) transp(%d)\n", static_cast<int>(slot.opaque.size()),
                      static_cast<int>(slot.transparent.size()));
    slot.error = 0;
}

template void convertRenderSamples<BinIO::qvlRenderSample5_t>(const params&, const std::string&,
                                                              const BinIO::header_v09&,
                                                              const std::vector<BinIO::qvlRenderSample5_t>&,
                                                              const std::vector<RenderSample::AOVData>&,
                                                              const RenderFileTraits&, ReadSlot&);

template void convertRenderSamples<BinIO::qvlRenderSample4_t>(const params&, const std::string&,
                                                              const BinIO::header_v09&,
                                                              const std::vector<BinIO::qvlRenderSample4_t>&,
                                                              const std::vector<RenderSample::AOVData>&,
                                                              const RenderFileTraits&, ReadSlot&);

namespace {

template <class Content>
using FullReader = BinIO::QvlReaderError (*)(const std::string&, BinIO::header_v09&, Content&, int&);

template <class Content>
void readVersion(const params& run, const std::string& path, FullReader<Content> reader,
                 const RenderFileTraits& traits, ReadSlot& slot)
{
    BinIO::header_v09 header;
    Content content;
    int digestSum = 0;
    if (const BinIO::QvlReaderError error = reader(path, header, content, digestSum); error != BinIO::QVL_OK) {
        QvOutputLogString(DEBUG, "File read error(%d) %s\n", error, path.c_str());
        slot.error = error;
        return;
    }
    // A display the final file cannot hold is a damaged header; the filter
    // would size its pixel maps by it.
    if (!displayFitsFinalView(header)) {
        QvOutputLogString(ERROR, "File %s has a display of %dx%d pixels, which a final view file cannot hold.\n",
                          path.c_str(), static_cast<int>(header.widthDisplay), static_cast<int>(header.heightDisplay));
        slot.error = kErrorDisplaySize;
        return;
    }
    if (header.fileCode < 0) {
        QvOutputLogString(DEBUG, "File code error(%d) %s\n", 0, path.c_str());
        slot.error = kErrorNegativeFileCode;
        return;
    }
    const Util::RenderingEngineId engine = BinIO::getRenderEngineId(header.fileCode, digestSum);
    QvOutputLogString(TRACE, "samples(%d) fileCode(%d) renderingEngine(%d),  \n", static_cast<int>(header.sampleNums),
                      header.fileCode, static_cast<int>(engine));
    // An altered file code, or altered blocks, decode to an engine no one
    // writes; the final view file would carry it and be refused.
    if (!knownEngine(engine)) {
        QvOutputLogString(ERROR, "File %s has a file code (%d) that gives no known rendering engine (%d).\n",
                          path.c_str(), header.fileCode, static_cast<int>(engine));
        slot.error = kErrorUnknownEngine;
        return;
    }
    slot.engine = engine;
    slot.read = true;
    // The blocks rule over the header's count: a count of 0 over stored
    // samples would drop them.
    if (content.samples.empty()) {
        QvOutputLogString(INFO, Merger::info_qvlRenderEmpty, path.c_str());
        slot.error = 0;
        return;
    }
    convertRenderSamples(run, path, header, content.samples, content.aovs, traits, slot);
    if (slot.error == 0 && traits.hasCockpitAndMask)
        slot.mask = std::move(content.trailing);
}

} // namespace

bool displayFitsFinalView(const BinIO::header_v07& header)
{
    const uint64_t width = header.widthDisplay;
    const uint64_t height = header.heightDisplay;
    if (width == 0 || height == 0)
        return false;
    // A latitude-longitude pixel's index is 32-bit arithmetic, which every
    // 16-bit width and height fits; the cube map's column and row fields
    // hold 13 and 12 bits.
    return header.projection == 0 || (width <= 8192 && height <= 4096);
}

void readRenderFile(const params& run, const std::filesystem::path& path, ReadSlot& slot)
{
    const std::string text = path.string();
    // Discovery saw a render file here; one that no longer is cannot be read.
    if (!BinIO::isQvlRender(text)) {
        slot.error = BinIO::QVL_ERR_SIGNATURE;
        return;
    }
    // A header cut short gives no version: without this check the file
    // would pass for an older one and be left out without a word.
    const BinIO::QVLRender_header header(text);
    if (header.readError() != BinIO::QVL_OK) {
        slot.error = header.readError();
        return;
    }
    if (const std::string key = damagedHeaderKey(header); !key.empty()) {
        QvOutputLogString(ERROR, "File %s has no usable \"%s\" in its header.\n", text.c_str(), key.c_str());
        slot.error = BinIO::QVL_ERR_JSON;
        return;
    }
    uint8_t major = 0;
    uint8_t minor = 0;
    header.getVersion(major, minor);
    switch (major) {
    case 7:
        readVersion<BinIO::qvlRenderSample4Aovs_t>(run, text, BinIO::qvlReader_v7, {false, false, false}, slot);
        break;
    case 8:
        readVersion<BinIO::qvlRenderSample4Aovs_t>(run, text, BinIO::qvlReader_v8, {false, false, true}, slot);
        break;
    case 9:
        readVersion<BinIO::qvlRenderSample5Aovs_t>(run, text, BinIO::qvlReader_v9, {true, true, true}, slot);
        break;
    default:
        // A newer file is a render file this merger cannot read; older
        // ones are not merged.
        if (major > 9)
            slot.error = BinIO::QVL_ERR_VERSION;
        break;
    }
}

} // namespace Quorvel::Merger
