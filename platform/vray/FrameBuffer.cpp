#include "FrameBuffer.h"

#include <filesystem>
#include <system_error>

#include "VRayRuntime.h"

namespace VUtils {

namespace {

// A frame buffer whose corrections are the identity: it accepts any existing
// preset file and hands colours back unchanged and linear.
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
        std::error_code ec;
        return std::filesystem::is_regular_file(std::filesystem::path(path), ec);
    }

    int getSetting(int) const override { return 1; }

    void applyColorCorrections(int, float*, int, int) override {}

private:
    [[maybe_unused]] VRayVFBNotifyCallback* callback_;
    bool initialised_ = false;
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
