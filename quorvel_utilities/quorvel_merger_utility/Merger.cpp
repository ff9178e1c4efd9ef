#include "Merger.h"

#include <cstdio>
#include <new>
#include <ostream>
#include <system_error>

#include "Assembly.h"
#include "ColorPipeline.h"
#include "CommandLine.h"
#include "FinalStage.h"
#include "FrameBufferCorrections.h"
#include "Paths.h"
#include "foundation/Catalogue.h"
#include "foundation/Logger.h"
#include "vray/VRayRuntime.h"

namespace Quorvel::Merger {

namespace {

using TXT::Merger;
using namespace Logger;

void logProgression(size_t done, size_t total)
{
    const int percent = static_cast<int>(static_cast<float>(done) / static_cast<float>(total) * 100.0f);
    QvOutputLogString(INFO, Merger::info_overallProgression, percent, static_cast<int>(done),
                      static_cast<int>(total));
}

std::vector<VekPoint> scaledCameras(const BinIO::header_v09& header)
{
    std::vector<VekPoint> cameras = header.cameraPositions;
    for (VekPoint& p : cameras)
        p = {p.x * header.globalScale, p.y * header.globalScale, p.z * header.globalScale};
    return cameras;
}

} // namespace

std::string outputPathForFrame(const std::string& pattern, int32_t frame)
{
    if (frame < -1)
        return pattern;
    char digits[16];
    std::snprintf(digits, sizeof digits, "%0*i", 4, frame);
    const std::string text = digits;

    const size_t separator = pattern.find_last_of("/\\");
    const size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
    std::string path = pattern;
    if (pattern.find('#', nameStart) != std::string::npos) {
        std::string name;
        for (size_t i = nameStart; i < pattern.size(); ++i)
            name += pattern[i] == '#' ? text : std::string(1, pattern[i]);
        return pattern.substr(0, nameStart) + name;
    }
    const size_t dot = pattern.rfind('.');
    if (dot == std::string::npos || dot < nameStart)
        return pattern + text;
    const bool dotBefore = dot > nameStart && pattern[dot - 1] == '.';
    path.insert(dot, dotBefore ? text : "." + text);
    return path;
}

bool do_merging(const params& run, const std::string& inputDirectory, const RenderGroupTable& table,
                const GroupHandler& handler)
{
    (void)inputDirectory;
    QvOutputLogString(TRACE, "%s %s line: %d %s\n", "do_merging", "merger", __LINE__, "");
    const size_t total = table.size();
    size_t done = 0;
    bool failed = false;
    for (const RenderGroup& group : table) {
        QvOutputLogString(TRACE, "%s %s line: %d %s\n", "do_merging", "merger", __LINE__, "");
        logProgression(done, total);

        AssembledGroup assembled;
        assembled.output = typedPath(outputPathForFrame(run.output, group.first.frame));
        const std::string outputText = assembled.output.string();
        std::error_code ec;
        if (std::filesystem::exists(assembled.output, ec) && !std::filesystem::is_directory(assembled.output, ec)) {
            if (!run.overwrite) {
                QvOutputLogString(WARNING, Merger::info_fileExistsSkipProcess, outputText.c_str());
                ++done;
                continue;
            }
            assembled.replacesExistingFile = true;
        }
        QvOutputLogString(INFO, Merger::info_processingDataForFile, outputText.c_str());

        // A group with a file that could not be read is not written: a file
        // made of the rest would pass for the whole frame, and a rerun
        // without -x would then skip it as done.
        if (!assemblingSampleFromQvlFiles(run, group, assembled.opaque, assembled.transparent, assembled.pixelMask,
                                          assembled.engine)) {
            QvOutputLogCStr(WARNING, Merger::warn_assembly);
            failed = true;
            ++done;
            continue;
        }
        if (assembled.opaque.empty() && assembled.transparent.empty()) {
            QvOutputLogString(WARNING, Merger::warn_assemblyEmpty, outputText.c_str());
            ++done;
            continue;
        }
        if (!run.vfbPreset.empty())
            Vray_VFB_CC::applyFrameBufferCorrections(assembled.opaque, assembled.transparent, run.vfbPreset);
        // Every colour meets the conversion here, once, after any frame-buffer
        // correction: the readers only grade.
        if (run.ocioProcessor)
            convertColourSpace(*run.ocioProcessor, assembled.opaque, assembled.transparent);
        assembled.cameras = scaledCameras(group.first);

        bool written = false;
        // The per-pixel maps grow with the display, which latitude-longitude
        // files may make large: running out of memory fails the group.
        try {
            written = handler ? handler(group, assembled) : writeFinalGroup(run, group.first, assembled);
        } catch (const std::bad_alloc&) {
            QvOutputLogString(ERROR, "Not enough memory to merge %s (display %dx%d).\n", outputText.c_str(),
                              static_cast<int>(group.first.widthDisplay), static_cast<int>(group.first.heightDisplay));
        }
        if (!written)
            failed = true;
        ++done;
    }
    if (total != 0)
        logProgression(done, total);
    return failed;
}

int runMerger(int argc, const char* const* argv, std::ostream& out, const GroupHandler& handler)
{
    QvHeaderEnable(true);
    QvSetLogLevelHeader(true);
    QvOutputLogCStr(INFO, Merger::info_welcome);

    CommandLine commandLine;
    declareOptions(commandLine);
    if (!commandLine.parse(argc, argv, out)) {
        out.flush();
        QvOutputLogCStr(ERROR, Merger::err_optParsing);
        return 1;
    }
    out.flush();

    params run;
    MergerInputs inputs;
    readOptions(commandLine, run, inputs);
    QvSetConsoleLogLevel(inputs.consoleLevel);
    QvSetLogLevelHeader(true);
    QvOutputLogCStr(TRACE, "\n");

    if (!setupColorManagement(inputs, run))
        return 1;

    const std::filesystem::path typedInput = typedPath(inputs.inputDirectory);
    std::error_code ec;
    if (!std::filesystem::exists(typedInput, ec)) {
        QvOutputLogString(ERROR, Merger::err_inputPath, inputs.inputDirectory.c_str());
        return 1;
    }
    if (!std::filesystem::is_directory(typedInput, ec)) {
        QvOutputLogString(ERROR, Merger::err_inputPathInvalid, inputs.inputDirectory.c_str());
        return 1;
    }
    std::filesystem::path inputDirectory = std::filesystem::canonical(typedInput, ec);
    if (ec)
        inputDirectory = std::filesystem::absolute(typedInput, ec);
    const std::string inputText = inputDirectory.string();

    RenderGroupTable table;
    std::vector<UnreadableRenderFile> unreadable;
    const size_t accepted = discoverRenderFiles(run, inputDirectory, table, &unreadable);
    // Any group may be the one such a file belongs to: a final view file
    // written without it would pass for the whole frame.
    if (!unreadable.empty()) {
        for (const UnreadableRenderFile& file : unreadable)
            QvOutputLogString(ERROR, Merger::err_readfileCode, static_cast<int>(file.error), file.path.string().c_str());
        QvOutputLogCStr(ERROR, "No frame is merged: the frame of a render file that cannot be read is unknown.\n");
        QvOutputLogCStr(ERROR, Merger::err_goodbye);
        return 1;
    }
    if (accepted == 0) {
        QvOutputLogString(INFO, Merger::err_inputPathEmpty, inputText.c_str());
        return 0;
    }
    const size_t kinds = countGroupKinds(table);
    if (kinds > 1) {
        // Nothing is merged: a script must not take the folder as done.
        QvOutputLogString(ERROR, "There's multiple kind of zone of view in this folder %d \n", static_cast<int>(kinds));
        return 1;
    }
    if (VUtils::vrayInit(0, nullptr) == 0) {
        QvOutputLogCStr(ERROR, "VRay failed to initialize\n");
        return 0;
    }
    QvOutputLogString(INFO, Merger::info_filesFoundOfTypes, static_cast<int>(accepted), static_cast<int>(table.size()));
    QvOutputLogString(INFO, Merger::info_mergeFrameList, frameListText(table).c_str());

    const bool failed = do_merging(run, inputText, table, handler);
    VUtils::vrayDone();

    if (failed) {
        QvOutputLogCStr(ERROR, Merger::err_goodbye);
        return 1;
    }
    QvOutputLogCStr(INFO, Merger::info_goodbye);
    return 0;
}

} // namespace Quorvel::Merger
