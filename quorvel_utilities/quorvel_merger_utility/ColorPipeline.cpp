#include "ColorPipeline.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "Paths.h"
#include "foundation/Catalogue.h"
#include "foundation/Logger.h"

namespace OCIO = OCIO_NAMESPACE;

namespace Quorvel::Merger {

namespace {

using TXT::Merger;
using namespace Logger;

float gradeChannel(float v, float lift, float gain, float power)
{
    return std::pow((v + lift) * gain, power);
}

OCIO::ConstConfigRcPtr loadConfig(const std::string& configPath)
{
    try {
        if (!configPath.empty()) {
            QvOutputLogString(INFO, Merger::info_OCIO_loadingConfig, configPath.c_str());
            return OCIO::Config::CreateFromFile(typedPath(configPath).c_str());
        }
        if (const char* env = std::getenv("OCIO")) {
            QvOutputLogString(INFO, Merger::info_OCIO_loadingConfig, env);
            return OCIO::Config::CreateFromEnv();
        }
        const std::string relative = "./ocio/config.ocio";
        std::error_code ec;
        if (std::filesystem::exists(relative, ec)) {
            QvOutputLogString(INFO, Merger::info_OCIO_loadingConfig, relative.c_str());
            return OCIO::Config::CreateFromFile(relative.c_str());
        }
        QvOutputLogString(WARNING, Merger::warn_OCIOunexistingRelativePath, relative.c_str());
    } catch (const OCIO::Exception& e) {
        QvOutputLogString(DEBUG, "[OCIO] %s\n", e.what());
    }
    return nullptr;
}

} // namespace

VekRGBA gradeColour(const VekRGBA& colour, const std::vector<float>& lift, const std::vector<float>& gain,
                    const std::vector<float>& pow)
{
    return {gradeChannel(colour.r, lift[0], gain[0], pow[0]), gradeChannel(colour.g, lift[1], gain[1], pow[1]),
            gradeChannel(colour.b, lift[2], gain[2], pow[2]), colour.a};
}

bool setupColorManagement(const MergerInputs& inputs, params& run)
{
    if (inputs.colorSpaceFrom == "linear" && inputs.colorSpaceTo == "linear")
        return true;

    OCIO::ConstConfigRcPtr config = loadConfig(inputs.ocioConfig);
    if (!config) {
        QvOutputLogString(ERROR, Merger::err_OCIO, Merger::opt_ocioConfig);
        return false;
    }
    if (!config->getColorSpace("linear")) {
        QvOutputLogCStr(ERROR, Merger::err_OCIO_missingLinearColorSpace);
        return false;
    }
    const bool haveFrom = config->getColorSpace(inputs.colorSpaceFrom.c_str()) != nullptr;
    const bool haveTo = config->getColorSpace(inputs.colorSpaceTo.c_str()) != nullptr;
    if (haveFrom && haveTo) {
        try {
            OCIO::ConstProcessorRcPtr processor =
                config->getProcessor(inputs.colorSpaceFrom.c_str(), inputs.colorSpaceTo.c_str());
            run.ocioProcessor = processor->getDefaultCPUProcessor();
        } catch (const OCIO::Exception& e) {
            QvOutputLogString(ERROR, "[OCIO] %s\n", e.what());
            return false;
        }
        QvOutputLogString(INFO, Merger::info_OCIO_convertingToColorSpace, inputs.colorSpaceFrom.c_str(),
                          inputs.colorSpaceTo.c_str());
        return true;
    }
    QvOutputLogString(ERROR, Merger::err_OCIO_missingColorSpace,
                      (haveFrom ? inputs.colorSpaceTo : inputs.colorSpaceFrom).c_str());
    for (int i = 0; i < config->getNumColorSpaces(); ++i)
        QvOutputLogString(INFO, Merger::info_OCIO_validColorSpace, config->getColorSpaceNameByIndex(i));
    return false;
}

void convertColourSpace(const OCIO::CPUProcessor& processor, std::vector<Binary::vekbin>& opaque,
                        std::vector<Binary::vekbin>& transparent)
{
    for (std::vector<Binary::vekbin>* list : {&opaque, &transparent})
        for (Binary::vekbin& sample : *list) {
            float colour[4] = {sample.colour.r, sample.colour.g, sample.colour.b, sample.colour.a};
            processor.applyRGBA(colour);
            sample.colour = {colour[0], colour[1], colour[2], colour[3]};
            float right[3] = {sample.rightColour.r, sample.rightColour.g, sample.rightColour.b};
            processor.applyRGB(right);
            sample.rightColour = {right[0], right[1], right[2]};
        }
}

} // namespace Quorvel::Merger
