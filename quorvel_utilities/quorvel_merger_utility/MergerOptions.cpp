#include <sstream>

#include "MergerParams.h"
#include "foundation/Catalogue.h"

namespace Quorvel::Merger {

namespace {

using TXT::Merger;

constexpr const char* kMaxDistance = "1000000000000000000000000000000";

// Stream extraction of one value; empty or unreadable text leaves the
// destination as it was.
template <class T>
void readValue(const std::string& text, T& destination)
{
    if (text.empty())
        return;
    std::istringstream in(text);
    T value{};
    if (in >> value)
        destination = value;
}

template <class T>
void readList(const std::vector<std::string>& texts, std::vector<T>& destination)
{
    for (size_t i = 0; i < texts.size() && i < destination.size(); ++i)
        readValue(texts[i], destination[i]);
}

std::string first(const std::vector<std::string>& values)
{
    return values.empty() ? std::string() : values.front();
}

// A given string option takes its first argument whole (names may hold
// spaces); an empty one keeps the destination.
void readString(const CommandLine& commandLine, const std::string& name, std::string& destination)
{
    const std::string text = first(commandLine.values(name));
    if (!text.empty())
        destination = text;
}

} // namespace

void declareOptions(CommandLine& commandLine)
{
    using T = OptionType;
    commandLine.setOverview(Merger::opt_overview_desc);
    commandLine.setExample(Merger::opt_example_desc);
    // names, count, type, default, min, max, description, required, positional
    commandLine.add({{"-h", "--help", "--usage"}, 0, T::NoType, "", "", "", "Print this usage message", false, false, {}});
    commandLine.add({{Merger::opt_input}, 1, T::Directory, "", "", "", Merger::opt_input_desc, true, true, {}});
    commandLine.add({{Merger::opt_output}, 1, T::String, "", "", "", Merger::opt_output_desc, true, false, {}});
    commandLine.add({{Merger::opt_frameRange}, 2, T::UnsignedInt, "-1,-1", "0", "", Merger::opt_frameRange_desc, false, false, {}});
    commandLine.add({{Merger::opt_lift}, 3, T::Float, "0.0,0.0,0.0", "", "", Merger::opt_lift_desc, false, false, {}});
    commandLine.add({{Merger::opt_gain}, 3, T::Float, "1.0,1.0,1.0", "0,0,0", "", Merger::opt_gain_desc, false, false, {}});
    commandLine.add({{Merger::opt_pow}, 3, T::Float, "1.0,1.0,1.0", "", "", Merger::opt_pow_desc, false, false, {}});
    commandLine.add({{Merger::opt_vfbPreset}, 1, T::File, "", "", "", Merger::opt_vfb_vray_preset_desc, false, false, {}});
    commandLine.add({{Merger::opt_ocioConfig}, 1, T::File, "", "", "", Merger::opt_ocioConfig_desc, false, false, {}});
    commandLine.add({{Merger::opt_applyColorSpaceFrom}, 1, T::String, "", "", "", Merger::opt_applyColorSpaceFrom_desc, false, false, {}});
    commandLine.add({{Merger::opt_applyColorSpaceTo}, 1, T::String, "", "", "", Merger::opt_applyColorSpaceTo_desc, false, false, {}});
    commandLine.add({{Merger::opt_minDist}, 1, T::Float, "0", "0", kMaxDistance, Merger::opt_minDist_desc, false, false, {}});
    commandLine.add({{Merger::opt_maxDist}, 1, T::Float, kMaxDistance, "0", kMaxDistance, Merger::opt_maxDist_desc, false, false, {}});
    commandLine.add({{Merger::opt_colorTolerance}, 1, T::Float, "2.3", "0", "", Merger::opt_colorTolerance_desc, false, false, {}});
    commandLine.add({{Merger::opt_normalTolerance}, 1, T::Float, "0.95", "0", "", Merger::opt_normalTolerance_desc, false, false, {}});
    commandLine.add({{Merger::opt_planeTolerance}, 1, T::Float, "0.2", "0", "", Merger::opt_planeTolerance_desc, false, false, {}});
    commandLine.add({{Merger::opt_mergeHypertangent}, 0, T::Bool, "1", "", "", Merger::opt_mergeHypertangent_desc, false, false, {}});
    commandLine.add({{Merger::opt_verboseLevel}, 1, T::UnsignedInt, "2", "", "", Merger::opt_verboseLevel_desc, false, false, {}});
    commandLine.add({{Merger::opt_overwrite}, 0, T::NoType, "", "", "", Merger::opt_overwrite_desc, false, false, {}});
    commandLine.add({{"--backgroundColor"}, 1, T::String, "", "", "",
                     "Specifies a background color to embed in the Qvl (ex: 0xFF00FF black is default)", false, false, {}});
    commandLine.add({{"-b", "--backgroundImage"}, 1, T::File, "", "", "",
                     "Specifies a background (.PNG) to embed in the Qvl", false, false, {}});
    commandLine.add({{"--zovOffset"}, 3, T::Short, "0,0,0", "", "", "specifies the zov to create", false, false, {}});
}

int32_t parseBackgroundColor(const std::string& text)
{
    std::istringstream in;
    if (text.size() >= 3 && text.compare(0, 2, "0x") == 0)
        in.str(text.substr(2)), in >> std::hex;
    else
        in.str(text);
    uint32_t value = 0;
    if (!(in >> value))
        return 0;
    return static_cast<int32_t>(value);
}

void readOptions(const CommandLine& commandLine, params& run, MergerInputs& inputs)
{
    readString(commandLine, Merger::opt_input, inputs.inputDirectory);
    readString(commandLine, Merger::opt_output, run.output);
    if (commandLine.isSet(Merger::opt_frameRange)) {
        std::vector<int32_t> range{run.frameFirst, run.frameLast};
        readList(commandLine.values(Merger::opt_frameRange), range);
        run.frameFirst = range[0];
        run.frameLast = range[1];
    }
    readList(commandLine.values(Merger::opt_lift), run.lift);
    readList(commandLine.values(Merger::opt_gain), run.gain);
    readList(commandLine.values(Merger::opt_pow), run.pow);
    readString(commandLine, Merger::opt_vfbPreset, run.vfbPreset);
    readString(commandLine, Merger::opt_ocioConfig, inputs.ocioConfig);
    readString(commandLine, Merger::opt_applyColorSpaceFrom, inputs.colorSpaceFrom);
    readString(commandLine, Merger::opt_applyColorSpaceTo, inputs.colorSpaceTo);
    readValue(first(commandLine.values(Merger::opt_minDist)), run.minDist);
    readValue(first(commandLine.values(Merger::opt_maxDist)), run.maxDist);
    readValue(first(commandLine.values(Merger::opt_colorTolerance)), run.colorTolerance);
    readValue(first(commandLine.values(Merger::opt_normalTolerance)), run.normalTolerance);
    readValue(first(commandLine.values(Merger::opt_planeTolerance)), run.planeTolerance);
    // The switch is on by default; giving the flag keeps it on.
    run.mergeHypertangent = true;
    readValue(first(commandLine.values(Merger::opt_verboseLevel)), inputs.consoleLevel);
    run.overwrite = commandLine.isSet(Merger::opt_overwrite);
    run.backgroundColor = parseBackgroundColor(first(commandLine.values("--backgroundColor")));
    readString(commandLine, "--backgroundImage", run.backgroundImage);
    readList(commandLine.values("--zovOffset"), run.zovOffset);
}

} // namespace Quorvel::Merger
