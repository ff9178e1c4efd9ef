#pragma once

// A core-call table that records every call, with its arguments, in order,
// and answers with configurable results instead of running the core.

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "CoreCalls.h"

namespace PluginTest {

struct Recording {
    std::mutex mutex;
    std::vector<std::string> events;
    // Answers.
    uint64_t blockCount = 3;
    bool resolutionValid = true;
    std::string detectFileOfContext = "/scenes/detect/detect0001.qvl";
    // The logger callback the plug-in installed.
    Quorvel::Logger::QvLogCallback callback = nullptr;
    void* callbackData = nullptr;

    void add(const std::string& e)
    {
        std::lock_guard lock(mutex);
        events.push_back(e);
    }
    std::vector<std::string> take()
    {
        std::lock_guard lock(mutex);
        std::vector<std::string> out;
        out.swap(events);
        return out;
    }
    static Recording& get()
    {
        static Recording r;
        return r;
    }
};

inline std::string num(double v)
{
    char b[64];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

inline std::string pt(const VekPoint& p)
{
    return "(" + num(p.x) + ", " + num(p.y) + ", " + num(p.z) + ")";
}

inline const QuorvelPlugin::CoreCalls& recordingCore()
{
    using namespace QuorvelPlugin;
    static const CoreCalls calls = [] {
        CoreCalls c;
        c.QvSetDateHeader = [](bool v) { Recording::get().add("QvSetDateHeader(" + num(v) + ")"); };
        c.QvSetLogLevelHeader = [](bool v) { Recording::get().add("QvSetLogLevelHeader(" + num(v) + ")"); };
        c.QvSetConsole = [](bool v) { Recording::get().add("QvSetConsole(" + num(v) + ")"); };
        c.QvSetCallBackLogLevel = [](int32_t level, QL::QvLogCallback cb, void* data) {
            Recording::get().callback = cb;
            Recording::get().callbackData = data;
            Recording::get().add("QvSetCallBackLogLevel(" + num(level) + ")");
        };
        c.QvSetCallbackCarriageReturnMode = [](int32_t m) {
            Recording::get().add("QvSetCallbackCarriageReturnMode(" + num(m) + ")");
        };
        c.QvInitPhase = [](const QP::Phase& p, const Quorvel::Util::RenderingEngineId& e) {
            Recording::get().add("QvInitPhase(" + num(p) + ", " + num(e) + ")");
        };
        c.QvSetSceneUpVector = [](const VekPoint& p) { Recording::get().add("QvSetSceneUpVector" + pt(p)); };
        c.QvSetDetectFilePath = [](const char* p) { Recording::get().add(std::string("QvSetDetectFilePath(") + p + ")"); };
        c.QvSetOutFilePath = [](const char* p) { Recording::get().add(std::string("QvSetOutFilePath(") + p + ")"); };
        c.QvSetThreadNumber = [](const uint64_t& n) { Recording::get().add("QvSetThreadNumber(" + num(double(n)) + ")"); };
        c.QvSetBucketSize = [](const uint64_t& x, const uint64_t& y) {
            Recording::get().add("QvSetBucketSize(" + num(double(x)) + ", " + num(double(y)) + ")");
        };
        c.QvSetMaxDistance = [](const double& d) { Recording::get().add("QvSetMaxDistance(" + num(d) + ")"); };
        c.QvSetTolerance = [](const double& d) { Recording::get().add("QvSetTolerance(" + num(d) + ")"); };
        c.QvSetCurrentFrame = [](const int32_t& f, const uint64_t& p) {
            Recording::get().add("QvSetCurrentFrame(" + num(f) + ", " + num(double(p)) + ")");
        };
        c.QvSetDraft = [](const bool& d) { Recording::get().add("QvSetDraft(" + num(d) + ")"); };
        c.QvSetDeepReflection = [](const QP::Eye& e, const double& ipd) {
            Recording::get().add("QvSetDeepReflection(" + num(e) + ", " + num(ipd) + ")");
        };
        c.QvSetMotionVector = [](const bool& m) { Recording::get().add("QvSetMotionVector(" + num(m) + ")"); };
        c.QvSetRenderScale = [](const double& s) { Recording::get().add("QvSetRenderScale(" + num(s) + ")"); };
        c.QvSetSpecularPointOffset = [](const VekPoint& p) { Recording::get().add("QvSetSpecularPointOffset" + pt(p)); };
        c.QvSetZovOffset = [](const int32_t& r, const int32_t& t, const int32_t& b) {
            Recording::get().add("QvSetZovOffset(" + num(r) + ", " + num(t) + ", " + num(b) + ")");
        };
        c.QvSetZovScaling = [](const float& l, const float& h, const float& d) {
            Recording::get().add("QvSetZovScaling(" + num(l) + ", " + num(h) + ", " + num(d) + ")");
        };
        c.QvSetRenderInsideBox = [](bool b) { Recording::get().add("QvSetRenderInsideBox(" + num(b) + ")"); };
        c.QvSetRenderTransparencyMode = [](const QP::TransparencyRenderingType& m) {
            Recording::get().add("QvSetRenderTransparencyMode(" + num(m) + ")");
        };
        c.QvSetOutputResolution = [](const uint64_t& w, const uint64_t& h) {
            Recording::get().add("QvSetOutputResolution(" + num(double(w)) + ", " + num(double(h)) + ")");
        };
        c.QvGetDetectPhaseFileFromQuorvelContext = []() {
            Recording::get().add("QvGetDetectPhaseFileFromQuorvelContext()");
            return Recording::get().detectFileOfContext;
        };
        c.QvSetDetectPhaseOverride = [](const std::string& p) {
            Recording::get().add("QvSetDetectPhaseOverride(" + p + ")");
        };
        c.QvComputeRenderingResolutionParameters = [](const uint64_t& w, const uint64_t& h) {
            Recording::get().add("QvComputeRenderingResolutionParameters(" + num(double(w)) + ", " + num(double(h)) + ")");
            QP::QvResolutionParam r;
            if (Recording::get().resolutionValid)
                r = {w, h, Recording::get().blockCount, true};
            return r;
        };
        c.QvSetRenderingResolutionParameters = [](const QP::QvResolutionParam& r) {
            Recording::get().add("QvSetRenderingResolutionParameters(" + num(double(r.x)) + ", " + num(double(r.y)) +
                                 ", " + num(double(r.blockCount)) + ", " + num(r.valid) + ")");
            return r.valid;
        };
        c.QvSetCurrentBlockIndex = [](const uint64_t& b) {
            Recording::get().add("QvSetCurrentBlockIndex(" + num(double(b)) + ")");
            return true;
        };
        c.QvSetCameraToWorldMatrix = [](const VekMatrix4& m) {
            std::string s = "QvSetCameraToWorldMatrix(";
            for (int r = 0; r < 4; ++r)
                for (int k = 0; k < 4; ++k)
                    s += num(m[r][k]) + (r == 3 && k == 3 ? ")" : ", ");
            Recording::get().add(s);
        };
        c.QvSetClippingSphere = [](bool e, const VekPoint& c, float r, bool in) {
            Recording::get().add("QvSetClippingSphere(" + num(e) + ", " + pt(c) + ", " + num(r) + ", " + num(in) + ")");
        };
        c.QvRenderPhaseRegisterAov = [](const int32_t& alias, const char* name, const QP::AOVType& t) {
            Recording::get().add("QvRenderPhaseRegisterAov(" + num(alias) + ", " + name + ", " + num(t) + ")");
        };
        c.QvPhaseBegin = []() {
            Recording::get().add("QvPhaseBegin()");
            return true;
        };
        c.QvPhaseTerminate = [](const QP::TerminatePhaseOptions& o) {
            Recording::get().add("QvPhaseTerminate(" + num(o) + ")");
            return true;
        };
        c.QvGetSeed = [](const double& x, const double& y) { return static_cast<uint64_t>(x * 1000.0 + y); };
        // Render threads run in no fixed order: they are answered, not recorded,
        // and shoot no rays.
        c.QvGetSpecularRay = [](const double&, const double&) { return QC::QvCameraRay{}; };
        c.QvGetCurrentSampleIndexCount = [](const int32_t&, const int32_t&, uint64_t&) { return false; };
        c.QvGetRayDetectPhase = [](const uint64_t&, const double&, const double&) { return QC::QvCameraRay{}; };
        c.QvGetRayRenderPhase = [](const double&, const double&) { return QC::QvCameraRay{}; };
        c.QvInitBucket = [](const uint64_t&, const int32_t&, const int32_t&, const int32_t&, const int32_t&) {};
        c.QvProcessBucketFlushToFile = [](const int32_t&, const int32_t&, const int32_t&, const int32_t&) {
            return true;
        };
        return c;
    }();
    return calls;
}

// Installs the recording table for the lifetime of the object.
struct UseRecordingCore {
    UseRecordingCore()
    {
        Recording::get().take();
        Recording::get().blockCount = 3;
        Recording::get().resolutionValid = true;
        QuorvelPlugin::setCoreCalls(&recordingCore());
    }
    ~UseRecordingCore() { QuorvelPlugin::setCoreCalls(nullptr); }
};

} // namespace PluginTest
