#pragma once

// The renderer port: the operations the settings plug-in calls on its host
// renderer and the ones the host calls on the plug-in, shaped after V-Ray's
// SDK so that the plug-in reads the way it would against V-Ray. Identifiers,
// slots and fields not fixed by the plug-in's needs are chosen here, once.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "VRayParameters.h"
#include "VRayTypes.h"

namespace VUtils {

// ---- Interface identifiers -------------------------------------------------

inline constexpr InterfaceID EXT_VRAY_PLUGIN = 0x7776FFFF;
inline constexpr InterfaceID EXT_RENDER_SETTINGS = 0x77770010;
inline constexpr InterfaceID EXT_TOP_LEVEL_PLUGIN = 0x77EE6161;
inline constexpr InterfaceID EXT_PLUGIN_RENDERER = 0x77C07202;
inline constexpr InterfaceID EXT_CAMERA_SUBFRAMES = 0x784A120A;
inline constexpr InterfaceID EXT_PROGRESSIVE_SAMPLER_PARAMS = 0x77EE6481;
inline constexpr InterfaceID EXT_SCENE_UP_VECTOR = 0x77A104B1;
inline constexpr InterfaceID EXT_OUTPUT_SETTINGS = 0x7782AC55;
inline constexpr InterfaceID EXT_SEQUENCE_SETTINGS2 = 0x2014061801;
inline constexpr InterfaceID EXT_RENDER_CHANNELS = 0x7783DEF9;
inline constexpr InterfaceID EXT_LIGHT = 0x77780005;
inline constexpr InterfaceID EXT_LIGHT_GEOMETRY = 0x77770020; // a light that is also ordinary geometry
inline constexpr InterfaceID EXT_MATERIAL = 0x77770002;
inline constexpr InterfaceID EXT_MATERIAL_TAGS = 0x77EE6229;
inline constexpr InterfaceID EXT_BRDF = 0xFFFF0002;
inline constexpr InterfaceID EXT_VELOCITY = 0x77915061;

// Plug-in type identifier of the renderer's glass BRDF.
inline constexpr PluginID PLUGIN_ID_BRDF_GLASS = 0x7849C7CB;

// Render-channel aliases with a fixed meaning; user colour channels carry
// their own alias from the scene.
inline constexpr uint32_t RENDER_CHANNEL_VELOCITY = 113;
inline constexpr uint32_t RENDER_CHANNEL_ZDEPTH = 114;
inline constexpr uint32_t RENDER_CHANNEL_NO_ALIAS = 0xFFFFFFFF;

// Render-channel data types.
enum RenderChannelType : int32_t {
    RC_TYPE_FLOAT = 1,
    RC_TYPE_RGB = 2,
    RC_TYPE_VECTOR2 = 3,
    RC_TYPE_INT = 4,
    RC_TYPE_VECTOR3 = 5,
    RC_TYPE_RGBA = 6,
};

// Image-sampler types.
enum ImageSamplerType : int32_t {
    SAMPLER_FIXED = 0,
    SAMPLER_ADAPTIVE = 1,
    SAMPLER_ADAPTIVE_SUBDIVISION = 2,
    SAMPLER_PROGRESSIVE = 3,
};

class PluginHost;
class PluginDesc;
class VRayRenderer;
struct VRaySequenceData;
struct VRayFrameData;
class VRayContext;

// ---- Plug-ins, descriptors and the library entry ---------------------------

class PluginInterface {
public:
    virtual ~PluginInterface() = default;
};

class PluginBase {
public:
    virtual ~PluginBase() = default;
    // Interface query by identifier; null when not supported. The caller casts
    // to the class the identifier names.
    virtual PluginInterface* newInterface(InterfaceID) { return nullptr; }
};

class Plugin : public PluginBase {};

class PluginDesc : public PluginBase {
public:
    virtual PluginID getPluginID() const = 0;
    virtual const char* getName() const = 0;
    virtual const char* getCopyright() const = 0;
    virtual bool supportsInterface(InterfaceID id) const = 0;
    virtual Plugin* newPlugin(PluginHost* host) = 0;
    virtual void deletePlugin(Plugin* plugin) = 0;
    virtual int registerPlugin(PluginHost* host) = 0;
    virtual void unregisterPlugin(PluginHost* host) = 0;
};

class PluginLibDesc : public PluginBase {
public:
    virtual const char* getDescription() const = 0;
    // Hands every plug-in descriptor of the library to the host; 1 on success.
    virtual int registerPlugins(PluginHost* host) = 0;
    virtual void unregisterPlugins(PluginHost* host) = 0;
};

// The export every plug-in library provides.
using GetLibDescFunc = PluginLibDesc* (*)();
inline constexpr const char* GET_LIB_DESC_SYMBOL = "getLibDesc";

class PluginHost {
public:
    virtual ~PluginHost() = default;
    virtual int registerPluginDesc(PluginDesc* desc) = 0;
    virtual void unregisterPluginDesc(PluginDesc* desc) = 0;
    // The declared parameters of a plug-in type, handed over at registration.
    virtual void registerParameterList(PluginDesc* desc, VRayParameterListDesc* params) = 0;
};

// Plug-ins created through the plug-in manager (materials, BRDFs).
class VRayPluginInterface : public PluginInterface {
public:
    virtual void renderBegin(VRayRenderer* renderer) { (void)renderer; }
    virtual void renderEnd(VRayRenderer* renderer) { (void)renderer; }
    virtual void frameBegin(VRayRenderer* renderer) { (void)renderer; }
    virtual void frameEnd(VRayRenderer* renderer) { (void)renderer; }
    virtual int setParameter(VRayPluginParameter* param) = 0;
    virtual VRayPluginParameter* getParameter(const char* name) = 0;
};

class RenderSettingsInterface : public PluginInterface {
public:
    virtual void setupSequence(VRaySequenceData& sdata) = 0;
    virtual void setupFrame(VRayFrameData& fdata) = 0;
};

class TopLevelPluginInterface : public PluginInterface {};

class VRayPlugin : public Plugin, public VRayPluginInterface {
public:
    PluginInterface* newInterface(InterfaceID id) override
    {
        return id == EXT_VRAY_PLUGIN ? static_cast<VRayPluginInterface*>(this) : nullptr;
    }
};

class VRayRenderSettings : public VRayPlugin, public RenderSettingsInterface, public TopLevelPluginInterface {
public:
    PluginInterface* newInterface(InterfaceID id) override
    {
        if (id == EXT_RENDER_SETTINGS)
            return static_cast<RenderSettingsInterface*>(this);
        if (id == EXT_TOP_LEVEL_PLUGIN)
            return static_cast<TopLevelPluginInterface*>(this);
        return VRayPlugin::newInterface(id);
    }
};

class PluginManager {
public:
    virtual ~PluginManager() = default;
    // A new instance of a host plug-in class; null when the class is unknown.
    virtual VRayPlugin* newPlugin(const char* className, const char* instanceName) = 0;
};

class PluginRendererInterface : public PluginInterface {
public:
    virtual PluginManager* getPluginManager() = 0;
};

// ---- Renderer, logging and host services ------------------------------------

class RendererLog {
public:
    virtual ~RendererLog() = default;
    virtual void error(const char* text) = 0;
    virtual void warning(const char* text) = 0;
    virtual void info(const char* text) = 0;
    virtual void debug(const char* text) = 0;
    virtual void abortRender(int value) = 0;
};

// Distributed rendering: fetches a file the client holds into the server's
// cache. 1 on success, with the local path of the copy.
class AssetTransferCallback {
public:
    virtual ~AssetTransferCallback() = default;
    virtual int transferAsset(const char* fileName, std::string& localPath) = 0;
};

class VRayRenderer : public PluginBase {
public:
    virtual RendererLog* getLog() = 0;
    virtual AssetTransferCallback* getAssetTransferCallback() = 0;
    virtual bool isServer() const = 0;
};

// The asset manager's transfer callback of a renderer (null when none).
inline AssetTransferCallback* getVRayAssetManager(VRayRenderer* renderer)
{
    return renderer ? renderer->getAssetTransferCallback() : nullptr;
}

// ---- Sequence and frame data --------------------------------------------------

struct ImageSamplerParams {
    int filterOn = 0;           // first field: the pixel filter setting
    int type = SAMPLER_FIXED;
    int fixedSubdivs = 1;       // fixed sampler: subdivs^2 samples per pixel
    int adaptiveMinRate = 1;    // adaptive sampler: minimum subdivisions
    int adaptiveMaxRate = 4;
};

struct ProgressiveSamplerParams : PluginInterface {
    unsigned minSamplesPerPixel = 1;
    unsigned maxSamplesPerPixel = 100;
};

struct GIParams {
    int on = 0;
    int dontRenderImage = 0;
};

struct RegionGeneratorParams {
    int xc = 32; // bucket width in pixels
    int yc = 32; // bucket height in pixels
};

class ImageFilter {
public:
    virtual ~ImageFilter() = default;
    virtual const char* getName() const = 0;
};

class GIEngine {
public:
    virtual ~GIEngine() = default;
};

struct SceneUpVectorSettings : PluginInterface {
    Vector up{0.0f, 0.0f, 1.0f};
};

enum OutputFlags : uint32_t {
    OUTPUT_FRAME_NUMBERS = 1u << 2, // frame numbers in file names
};

struct OutputSettings : PluginInterface {
    std::string imgFile;
    std::string imgDir;
    uint32_t flags = 0;
    int framePadding = 4;
};

struct SequenceSettings2 : PluginInterface {
    int dotBeforeFrameNumber = 0;
};

class RenderChannel {
public:
    virtual ~RenderChannel() = default;
    virtual uint32_t getAlias() const = 0;
    virtual int getDataType() const = 0;
    virtual const char* getName() const = 0;
};

class RenderChannelsInterface : public PluginInterface {
public:
    virtual int getNumChannels() const = 0;
    virtual RenderChannel* getChannel(int index) const = 0;
};

class VRayCamera;
class VRayIntersectionShader2;
class PathSampler;
class RegionDoneCallback;

// What a render shares with every plug-in: V-Ray's sequence data.
struct VRaySequenceData {
    VRayRenderer* renderer = nullptr;
    RendererLog* progress = nullptr; // the renderer's log
    ImageSamplerParams* imageSampler = nullptr;
    GIParams* gi = nullptr;
    RegionGeneratorParams* regionGenerator = nullptr;
    ImageFilter* filter = nullptr;
    GIEngine* giEngine = nullptr;
    int cameraType = 0;
    int numThreads = 1;
    VRayCamera* camera = nullptr;
    std::vector<VRayIntersectionShader2*> intersectionShaders;
    RegionDoneCallback* regionDoneCallback = nullptr;
    PathSampler* pathSampler = nullptr;

    virtual ~VRaySequenceData() = default;
    // Sequence-level interfaces: up vector, output settings, second settings,
    // render channels, progressive-sampler parameters.
    virtual PluginInterface* getInterface(InterfaceID id) = 0;
    // The colour mapping applied to every rendered colour.
    virtual Color mapColor(const Color& c) const = 0;
};

struct VRayFrameData {
    int frameNumber = 0;
    double t = 0.0; // scene time of the frame
    int imgWidth = 0;
    int imgHeight = 0;
    // Render region, as integers and floats, and its size.
    int rgnLeft = 0, rgnTop = 0, rgnRight = 0, rgnBottom = 0;
    float rgnLeftF = 0, rgnTopF = 0, rgnRightF = 0, rgnBottomF = 0;
    int rgnWidth = 0, rgnHeight = 0;
    // Camera-to-world transform relative to the origin offset.
    Transform camToWorld;
    double originOffset[3] = {0.0, 0.0, 0.0};
};

// ---- Render-thread interfaces -------------------------------------------------

struct ScreenRay {
    Vector origin;
    Vector direction;
    Vector dOrigin[2];    // origin derivatives along x and y
    Vector dDirection[2]; // direction derivatives along x and y
    int flags = 0;
    double maxDistance = 0.0;
    AColor weight;
};

class VRayCameraSubFrames : public PluginInterface {
public:
    virtual InterfaceID getInterfaceID() const { return EXT_CAMERA_SUBFRAMES; }
    virtual int getNumSubFrames() = 0;
    virtual int beginSubFrame(int index) = 0;
    virtual void endSubFrame(int index) = 0;
};

class VRayCamera : public PluginBase {
public:
    // 1 when a ray was produced for image position (x, y), 0 to skip the sample.
    virtual int getScreenRay(double x, double y, int threadIndex, ScreenRay& ray) = 0;
    virtual void frameBegin(VRayFrameData& fdata) { (void)fdata; }
    virtual void frameEnd(VRayFrameData& fdata) { (void)fdata; }
    virtual AColor getRGBA() { return {1.0f, 1.0f, 1.0f, 1.0f}; }
};

class VRayIntersectionShader2 : public PluginBase {
public:
    // 0 when the shader handled the hit, 1 to let the host shade it.
    virtual int shade(VRayContext& rc) { (void)rc; return 1; }
};

struct PixelSamplingState {
    int x = 0, y = 0;
    uint64_t seed = 0;
};

class PathSampler : public PluginBase {
public:
    virtual void initPixel(PixelSamplingState& state, int x, int y) = 0;
};

class OutputRegion : public PluginBase {
public:
    // Left, top, right, bottom (right and bottom exclusive).
    virtual void getRect(int rect[4]) const = 0;
    // Size query with a null buffer; otherwise fills and returns 1 (0 on failure).
    virtual int64_t getBuffer(uint8_t* buffer, int64_t size) = 0;
    virtual int putBuffer(const uint8_t* buffer, int64_t size) = 0;
    // Stores a finished pixel value (the host's own regions).
    virtual void setPixel(int x, int y, const AColor& c) = 0;
};

class RegionDoneCallback : public PluginBase {
public:
    virtual void prePass(int pass) { (void)pass; }
    virtual void imagePass() {}
    virtual OutputRegion* newOutputRegion(const int rect[4]) = 0;
    virtual void releaseOutputRegion(OutputRegion* region) = 0;
    virtual void regionBegin(OutputRegion* region, int threadIndex, int pass) = 0;
    virtual void regionDone(OutputRegion* region) = 0;
};

// ---- Allocator -------------------------------------------------------------

void* vmalloc(size_t size);
void* vrealloc(void* p, size_t size);
void vfree(void* p);

} // namespace VUtils
