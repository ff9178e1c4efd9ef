#include "FrameBuffer.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "VRayRuntime.h"

namespace VUtils {

namespace {

// A small frame buffer of our own: its presets are text files of the
// format the README describes (exposure, white balance, contrast, output
// encoding), applied in that order.
struct Preset {
    float exposure = 0.0f;
    float whiteBalance[3] = {1.0f, 1.0f, 1.0f};
    float contrast = 1.0f;
    bool linearOutput = true;
};

// Middle grey stays where it is under contrast.
constexpr float kContrastPivot = 0.18f;

bool readFloats(std::istringstream& line, float* values, int count)
{
    for (int i = 0; i < count; ++i)
        if (!(line >> values[i]) || !std::isfinite(values[i]))
            return false;
    std::string rest;
    return !(line >> rest);
}

std::optional<Preset> parsePreset(const std::string& path)
{
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    if (!in)
        return std::nullopt;
    Preset preset;
    std::string text;
    while (std::getline(in, text)) {
        const std::size_t hash = text.find('#');
        if (hash != std::string::npos)
            text.resize(hash);
        std::istringstream line(text);
        std::string key;
        if (!(line >> key))
            continue;
        bool ok = false;
        if (key == "exposure") {
            ok = readFloats(line, &preset.exposure, 1);
        } else if (key == "whiteBalance") {
            ok = readFloats(line, preset.whiteBalance, 3);
        } else if (key == "contrast") {
            ok = readFloats(line, &preset.contrast, 1) && preset.contrast > 0.0f;
        } else if (key == "output") {
            std::string value, rest;
            ok = static_cast<bool>(line >> value) && !(line >> rest) && (value == "linear" || value == "srgb");
            preset.linearOutput = value == "linear";
        }
        if (!ok)
            return std::nullopt;
    }
    if (in.bad())
        return std::nullopt;
    return preset;
}

float encodeSrgb(float v)
{
    return v <= 0.0031308f ? v * 12.92f : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
}

class DefaultVFB final : public VRayVFB, VRayVFBInfoExtension, VRayVFBColorCorrectExtension {
public:
    explicit DefaultVFB(VRayVFBNotifyCallback* callback) : callback_(callback) {}

    void init() override { initialised_ = true; }

    void* newInterface(int id) override
    {
        if (!initialised_)
            return nullptr;
        if (id == EXT_VRAY_VFB_INFO)
            return static_cast<VRayVFBInfoExtension*>(this);
        if (id == EXT_VRAY_VFB_COLOR_CORRECT)
            return static_cast<VRayVFBColorCorrectExtension*>(this);
        return nullptr;
    }

    bool loadPreset(const std::string& path) override
    {
        const auto preset = parsePreset(path);
        if (!preset)
            return false;
        preset_ = *preset;
        return true;
    }

    int getSetting(int which) const override { return which == 6 ? (preset_.linearOutput ? 1 : 0) : 0; }

    void applyColorCorrections(int format, float* colours, int count, int) override
    {
        if (format != VFB_COLOR_FORMAT_RGB_FLOAT || !colours || count <= 0)
            return;
        const float gain = std::exp2(preset_.exposure);
        for (int i = 0; i < count; ++i) {
            float* c = colours + 3 * static_cast<std::size_t>(i);
            for (int k = 0; k < 3; ++k) {
                float v = c[k] * gain * preset_.whiteBalance[k];
                if (v > 0.0f && preset_.contrast != 1.0f)
                    v = kContrastPivot * std::pow(v / kContrastPivot, preset_.contrast);
                c[k] = preset_.linearOutput ? v : encodeSrgb(v);
            }
        }
    }

private:
    [[maybe_unused]] VRayVFBNotifyCallback* callback_;
    bool initialised_ = false;
    Preset preset_;
};

} // namespace

VRayVFB* newDefaultVRayVFB(VRayVFBNotifyCallback* callback, int)
{
    if (!vrayRunning())
        return nullptr;
    return new DefaultVFB(callback);
}

void deleteDefaultVRayVFB(VRayVFB* frameBuffer)
{
    delete frameBuffer;
}

} // namespace VUtils
