#include "FrameBufferCorrections.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "foundation/Logger.h"

namespace Quorvel::Vray_VFB_CC {

namespace {

using namespace Logger;

constexpr const char* kStartupVariables[] = {"VRAY_VFB_LUT",           "VRAY_VFB_PIXEL_ASPECT", "VRAY_VFB_SRGB",
                                             "VRAY_VFB_OCIO",          "VRAY_VFB_ALWAYS_ON_TOP", "VRAY_VFB_ICC",
                                             "VRAY_VFB_GAMMA22"};

void correct(VUtils::VRayVFBColorCorrectExtension& cc, std::vector<Binary::vekbin>& samples, bool linear)
{
    std::vector<float> colours(samples.size() * 6);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Binary::vekbin& s = samples[i];
        float* c = &colours[6 * i];
        c[0] = s.colour.r;
        c[1] = s.colour.g;
        c[2] = s.colour.b;
        c[3] = s.rightColour.r;
        c[4] = s.rightColour.g;
        c[5] = s.rightColour.b;
    }
    // The call counts triples in an int; larger lists go in slices.
    constexpr std::size_t kSlice = 1u << 30;
    for (std::size_t first = 0; first < samples.size() * 2; first += kSlice) {
        const std::size_t count = std::min(kSlice, samples.size() * 2 - first);
        cc.applyColorCorrections(VUtils::VFB_COLOR_FORMAT_RGB_FLOAT, colours.data() + 3 * first,
                                 static_cast<int>(count), 0);
    }
    for (std::size_t i = 0; i < samples.size(); ++i) {
        float* c = &colours[6 * i];
        if (!linear)
            for (int k = 0; k < 6; ++k)
                c[k] = srgbToLinear(c[k]);
        Binary::vekbin& s = samples[i];
        s.colour.r = c[0];
        s.colour.g = c[1];
        s.colour.b = c[2];
        s.rightColour = {c[3], c[4], c[5]};
    }
}

} // namespace

int startupSettingFromText(const char* text)
{
    if (!text)
        return 0;
    switch (text[0]) {
    case '1':
        return 1;
    case '2':
        return 2;
    default:
        return 0;
    }
}

int DummyNotifyCb::getStartupSetting(int which)
{
    if (which < 0 || which >= static_cast<int>(std::size(kStartupVariables)))
        return 0;
    return startupSettingFromText(std::getenv(kStartupVariables[which]));
}

DummyNotifyCb& notifyCallback()
{
    static DummyNotifyCb instance;
    return instance;
}

float srgbToLinear(float x)
{
    return x <= 0.04045f ? x / 12.92f : std::pow((x + 0.055f) / 1.055f, 2.4f);
}

bool applyFrameBufferCorrections(std::vector<Binary::vekbin>& opaque, std::vector<Binary::vekbin>& transparent,
                                 const std::string& presetPath)
{
    VUtils::VRayVFB* vfb = VUtils::newDefaultVRayVFB(&notifyCallback(), 0);
    if (!vfb) {
        QvOutputLogString(ERROR, "Failed to create Vray VFB\n");
        return false;
    }
    vfb->init();
    auto* info = static_cast<VUtils::VRayVFBInfoExtension*>(vfb->newInterface(VUtils::EXT_VRAY_VFB_INFO));
    auto* cc =
        static_cast<VUtils::VRayVFBColorCorrectExtension*>(vfb->newInterface(VUtils::EXT_VRAY_VFB_COLOR_CORRECT));
    // The frame buffer is released on every path: nothing else would.
    if (!info || !cc) {
        if (!info)
            QvOutputLogString(ERROR, "EXT_VRAY_VFB_INFO is not supported\n");
        if (!cc)
            QvOutputLogString(ERROR, "EXT_VRAY_VFB_COLOR_CORRECT is not supported\n");
        VUtils::deleteDefaultVRayVFB(vfb);
        return false;
    }
    if (!info->loadPreset(presetPath)) {
        QvOutputLogString(ERROR, "Could not load specified preset file %s for Vray VFB\n", presetPath.c_str());
        VUtils::deleteDefaultVRayVFB(vfb);
        return false;
    }
    const bool linear = info->getSetting(6) != 0;
    correct(*cc, opaque, linear);
    correct(*cc, transparent, linear);
    VUtils::deleteDefaultVRayVFB(vfb);
    return true;
}

} // namespace Quorvel::Vray_VFB_CC
