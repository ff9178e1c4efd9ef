#include "FinalStage.h"

#include <cmath>

#include "Filtering.h"
#include "FinalViewWriter.h"
#include "foundation/Catalogue.h"
#include "foundation/Logger.h"

namespace Quorvel::Merger {

namespace {

using TXT::Merger;
using namespace Logger;

// The group loop's promotion threshold.
constexpr float kPromotionThreshold = 0.05f;

double sortWork(std::size_t n)
{
    return n ? static_cast<double>(n) * std::log2(static_cast<double>(n)) : 0.0;
}

} // namespace

bool writeFinalGroup(const params& run, const BinIO::header_v09& header, AssembledGroup& assembled)
{
    std::vector<Binary::vekbin>& opaque = assembled.opaque;
    std::vector<Binary::vekbin>& transparent = assembled.transparent;
    const std::string outputText = assembled.output.string();

    QvOutputLogCStr(INFO, Merger::info_sortingData);
    QvResetprogress(static_cast<uint64_t>(sortWork(opaque.size()) + sortWork(transparent.size())));
    Binary::sortByKey(opaque);
    Binary::sortByKey(transparent);
    QvIncreaseprogress();

    QvOutputLogString(INFO, "Filtering %d samples\n", static_cast<int>(opaque.size() + transparent.size()));
    Filtering::FilterParams filter;
    filter.normalTolerance = run.normalTolerance;
    filter.colorTolerance = run.colorTolerance;
    filter.alphaTolerance = 0.0f;
    filter.planeTolerance = run.planeTolerance;
    filter.width = header.widthDisplay;
    filter.height = header.heightDisplay;
    filter.mergeHypertangent = run.mergeHypertangent;
    Filtering::filterSamples(opaque, kPromotionThreshold, filter, assembled.cameras, header.projection);
    Filtering::filterSamples(transparent, kPromotionThreshold, filter, assembled.cameras, header.projection);
    QvOutputLogString(INFO, "Final %d samples\n", static_cast<int>(opaque.size() + transparent.size()));

    opaque.insert(opaque.end(), transparent.begin(), transparent.end());
    transparent.clear();
    QvOutputLogCStr(INFO, assembled.replacesExistingFile ? Merger::info_fileOverwriting : Merger::info_fileWriting);

    std::optional<std::vector<uint8_t>> background;
    if (!assembled.pixelMask.empty())
        background = run.backgroundImage.empty()
                         ? FinalView::makeBackground(assembled.pixelMask, header.widthDisplay, header.heightDisplay,
                                                     run.backgroundColor)
                         : FinalView::makeBackground(assembled.pixelMask, header.widthDisplay, header.heightDisplay,
                                                     std::filesystem::path(run.backgroundImage));
    // The file is still written, without the picture the user asked for.
    if (!assembled.pixelMask.empty() && !run.backgroundImage.empty() && !background)
        QvOutputLogString(WARNING, "Background picture %s is not a PNG that can be read; the file gets no background.\n",
                          run.backgroundImage.c_str());

    FinalView::FinalHeader final;
    final.displayWidth = header.widthDisplay;
    final.displayHeight = header.heightDisplay;
    final.boxScale = {header.boxScaleX, header.boxScaleY, header.boxScaleZ};
    final.camOffset = {header.camOffsetX, header.camOffsetY, header.camOffsetZ};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            final.camToWorld[4 * r + c] = header.CamToWorld[r][c];
    final.projection = header.projection;
    final.draft = header.draft;
    final.engineId = assembled.engine;
    const std::vector<FinalView::NamedBlock> blocks = {
        {"camPosTable", FinalView::makeCamPosTable(header.cameraPositions, header.globalScale, final.camOffset,
                                                   final.boxScale)}};

    std::string failure;
    const int32_t result =
        FinalView::writeFinalView(assembled.output, final, opaque, background ? *background : std::vector<uint8_t>{},
                                  blocks, &failure);
    if (result != 0) {
        // The system's reason on a line of its own: the catalogue line stays
        // as logs and scripts know it, and last.
        if (!failure.empty())
            QvOutputLogString(ERROR, "Writing %s failed: %s.\n", outputText.c_str(), failure.c_str());
        QvOutputLogString(WARNING, Merger::err_fileWriting, static_cast<int>(result), outputText.c_str());
        return false;
    }
    QvOutputLogString(INFO, Merger::info_fileWrote, outputText.c_str());
    return true;
}

} // namespace Quorvel::Merger
