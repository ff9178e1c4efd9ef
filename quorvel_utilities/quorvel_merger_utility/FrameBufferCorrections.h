#pragma once

#include <string>
#include <vector>

#include "foundation/Vekbin.h"
#include "vray/FrameBuffer.h"

// The frame buffer's colour corrections of a preset applied to the samples
// of a render group, so that the final view file carries the artist's look.
namespace Quorvel::Vray_VFB_CC {

// Answers the frame buffer's start-up questions from the environment and
// ignores its notifications; one instance serves the whole run.
class DummyNotifyCb final : public VUtils::VRayVFBNotifyCallback {
public:
    // "VRAY_VFB_LUT", "VRAY_VFB_PIXEL_ASPECT", "VRAY_VFB_SRGB",
    // "VRAY_VFB_OCIO", "VRAY_VFB_ALWAYS_ON_TOP", "VRAY_VFB_ICC" and
    // "VRAY_VFB_GAMMA22", in that order; 0, 1 or 2 from the first character.
    int getStartupSetting(int which) override;
};

DummyNotifyCb& notifyCallback();

// The value of a start-up variable: "0", "1" or "2" by its first
// character; unset or anything else gives 0.
int startupSettingFromText(const char* text);

// IEC 61966-2-1 decoding of one channel.
float srgbToLinear(float x);

// True when the corrections were applied; on failure the samples are left
// as they were and the reason is logged.
bool applyFrameBufferCorrections(std::vector<Binary::vekbin>& opaque, std::vector<Binary::vekbin>& transparent,
                                 const std::string& presetPath);

} // namespace Quorvel::Vray_VFB_CC
