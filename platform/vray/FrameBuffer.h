#pragma once

#include <string>

// The V-Ray frame buffer as the merger uses it: created without a window,
// queried for two extension interfaces, asked to load a preset and to run
// colours through its corrections.
namespace VUtils {

// Interface identifiers of the frame buffer's extensions.
constexpr int EXT_VRAY_VFB_INFO = 2009101510;
constexpr int EXT_VRAY_VFB_COLOR_CORRECT = 2013121902;

// Colour array formats of the correction call.
constexpr int VFB_COLOR_FORMAT_RGB_FLOAT = 2;

// The frame buffer's questions and notifications to its owner.
class VRayVFBNotifyCallback {
public:
    virtual ~VRayVFBNotifyCallback() = default;

    // Start-up setting of the frame buffer (0, 1 or 2).
    virtual int getStartupSetting(int which) { return (void)which, 0; }
    virtual bool load(const std::string& path) { return (void)path, false; }
    virtual bool save(const std::string& path) { return (void)path, false; }
    virtual bool saveAll(const std::string& path) { return (void)path, false; }
    virtual std::string getStamp() { return {}; }
    virtual void setStamp(const std::string& stamp) { (void)stamp; }
};

class VRayVFBInfoExtension {
public:
    virtual ~VRayVFBInfoExtension() = default;
    virtual bool loadPreset(const std::string& path) = 0;
    // Setting 6: non-zero when corrected colours come back linear.
    virtual int getSetting(int which) const = 0;
};

class VRayVFBColorCorrectExtension {
public:
    virtual ~VRayVFBColorCorrectExtension() = default;
    // Corrects count colours of the given format in place.
    virtual void applyColorCorrections(int format, float* colours, int count, int flags) = 0;
};

class VRayVFB {
public:
    virtual ~VRayVFB() = default;
    virtual void init() = 0;
    // The extension with this identifier, or null when not supported. The
    // extension lives as long as the frame buffer.
    virtual void* newInterface(int id) = 0;
};

// Null when no frame buffer can be created (the runtime is not started).
VRayVFB* newDefaultVRayVFB(VRayVFBNotifyCallback* callback, int flags);
void deleteDefaultVRayVFB(VRayVFB* frameBuffer);

} // namespace VUtils
