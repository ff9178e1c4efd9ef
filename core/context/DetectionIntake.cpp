#include "context/DetectionIntake.h"

#include <json/json.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "camera/CameraSet.h"
#include "foundation/Catalogue.h"
#include "foundation/Logger.h"

namespace Quorvel::Phase::inline v2_0 {

namespace {

using Logger::ERROR;
using Logger::QvOutputLogString;
using TXT::Core;

// The output-resolution rules a host's own setting is held to.
constexpr int kMinDisplayX = 312;
constexpr int kMaxDisplayX = 6000;
constexpr int kMinDisplayY = 208;
constexpr int kMaxDisplayY = 4000;
constexpr int kDisplayMultiple = 8;

// Cameras of a detection file: the full set, or camera 0 alone in draft mode.
constexpr int kDraftCameraCount = 1;

// A camera lies on a face when it is this close to it, as a share of the
// set's extent along that axis; the nearest camera off a face is an eighth
// of the box away.
constexpr float kFaceTolerance = 1e-3f;

// The JSON text of a stored value, as the message shows it.
std::string valueText(const Json::Value* v)
{
    if (!v)
        return "missing";
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, *v);
}

std::string numberText(double v)
{
    char text[64];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

// The display keys are checked as stored: the header keeps 16 bits of them,
// in which 65 536 reads as 0 and -1 as 65 535.
bool displayKeyFits(const std::string& path, const Json::Value& json, const char* key, int low, int high)
{
    const Json::Value* v = json.isObject() ? json.find(key, key + std::strlen(key)) : nullptr;
    if (v && v->isIntegral() && v->isInt64() && v->asInt64() >= low && v->asInt64() <= high)
        return true;
    QvOutputLogString(ERROR, Core::err_detectFileDisplay, path.c_str(), key, valueText(v).c_str(), low, high);
    return false;
}

bool displayFits(const std::string& path, const BinIO::header_v09& header)
{
    const BinIO::QVLRender_header stored(path);
    const Json::Value& json = stored.json();
    const bool width = displayKeyFits(path, json, "widthDisplay", kMinDisplayX, kMaxDisplayX);
    const bool height = displayKeyFits(path, json, "heightDisplay", kMinDisplayY, kMaxDisplayY);
    if (!width || !height)
        return false;
    const double x = header.widthDisplay;
    const double y = header.heightDisplay;
    if (std::fabs(x / y - 3.0 / 2.0) > 0.0001 || header.widthDisplay % kDisplayMultiple != 0 ||
        header.heightDisplay % kDisplayMultiple != 0) {
        QvOutputLogString(ERROR, Core::err_detectFileDisplayShape, path.c_str(), static_cast<int>(header.widthDisplay),
                          static_cast<int>(header.heightDisplay), kDisplayMultiple, 3, 2);
        return false;
    }
    return true;
}

bool finiteNumber(const std::string& path, const char* key, float v)
{
    if (std::isfinite(v))
        return true;
    QvOutputLogString(ERROR, Core::err_detectFileNumber, path.c_str(), key, numberText(v).c_str());
    return false;
}

std::string faceNames(uint32_t mask)
{
    static const struct {
        uint32_t bit;
        const char* name;
    } faces[] = {{Camera::kFaceMinusZ, "minusZ"}, {Camera::kFacePlusX, "plusX"}, {Camera::kFacePlusZ, "plusZ"},
                 {Camera::kFaceMinusX, "minusX"}, {Camera::kFacePlusY, "plusY"}, {Camera::kFaceMinusY, "minusY"}};
    std::string names;
    for (const auto& face : faces)
        if (mask & face.bit) {
            if (!names.empty())
                names += ' ';
            names += face.name;
        }
    return names;
}

// The faces of the set's bounding box each camera lies on must be the ones
// its flags name, unless it sees every direction (the centre camera, draft
// mode, rendering inside the box). An axis along which the set has no extent
// says nothing about its faces.
bool camerasFit(const std::string& path, const BinIO::header_v09& header)
{
    const std::vector<VekPoint>& positions = header.cameraPositions;
    const size_t count = positions.size();
    if (count != 0 && count != Camera::kCameraCount && !(header.draft != 0 && count == kDraftCameraCount)) {
        QvOutputLogString(ERROR, Core::err_detectFileCameraCount, path.c_str(), static_cast<int>(count),
                          static_cast<int>(Camera::kCameraCount), kDraftCameraCount);
        return false;
    }
    for (size_t i = 0; i < count; ++i) {
        const VekPoint& p = positions[i];
        if (!std::isfinite(p.x) || !std::isfinite(p.y) || !std::isfinite(p.z)) {
            QvOutputLogString(ERROR, Core::err_detectFileCameraPosition, path.c_str(), static_cast<int>(i),
                              static_cast<double>(p.x), static_cast<double>(p.y), static_cast<double>(p.z));
            return false;
        }
    }
    if (count == 0 || header.cameraFaceMasks.size() != count)
        return true;

    struct Axis {
        float VekPoint::*coordinate;
        uint32_t plus, minus;
        float low, high;
    };
    Axis axes[] = {{&VekPoint::x, Camera::kFacePlusX, Camera::kFaceMinusX, 0.0f, 0.0f},
                   {&VekPoint::y, Camera::kFacePlusY, Camera::kFaceMinusY, 0.0f, 0.0f},
                   {&VekPoint::z, Camera::kFacePlusZ, Camera::kFaceMinusZ, 0.0f, 0.0f}};
    uint32_t undetermined = 0;
    for (Axis& a : axes) {
        const auto [low, high] = std::minmax_element(positions.begin(), positions.end(), [&](const VekPoint& l, const VekPoint& r) {
            return l.*a.coordinate < r.*a.coordinate;
        });
        a.low = (*low).*a.coordinate;
        a.high = (*high).*a.coordinate;
        if (!(a.high - a.low > kFaceTolerance * std::max(std::fabs(a.high), std::fabs(a.low))))
            undetermined |= a.plus | a.minus;
    }
    for (size_t i = 0; i < count; ++i) {
        const uint32_t mask = header.cameraFaceMasks[i];
        if (mask == Camera::kAllFaces)
            continue;
        uint32_t expected = 0;
        for (const Axis& a : axes) {
            const float v = positions[i].*a.coordinate;
            const float tolerance = kFaceTolerance * (a.high - a.low);
            if (a.high - v <= tolerance)
                expected |= a.plus;
            if (v - a.low <= tolerance)
                expected |= a.minus;
        }
        if ((mask & ~undetermined) != (expected & ~undetermined)) {
            QvOutputLogString(ERROR, Core::err_detectFileCameraFaces, path.c_str(), static_cast<int>(i),
                              faceNames(mask).c_str(), faceNames(expected & ~undetermined).c_str());
            return false;
        }
    }
    return true;
}

} // namespace

bool acceptDetectionHeader(const std::string& path, const BinIO::header_v09& header, uint64_t plaqueCount)
{
    bool fits = displayFits(path, header);
    fits = finiteNumber(path, "globalScale", header.globalScale) && fits;
    fits = finiteNumber(path, "tolerance", header.tolerance) && fits;
    fits = camerasFit(path, header) && fits;
    // The blocks of the render phase were laid out for the stored count.
    if (header.fillHoleCount != plaqueCount) {
        QvOutputLogString(ERROR, Core::err_detectFilePlaqueCount, path.c_str(),
                          std::to_string(header.fillHoleCount).c_str(), static_cast<int>(plaqueCount));
        fits = false;
    }
    if (!fits)
        QvOutputLogString(ERROR, Core::err_detectFileRefused, path.c_str());
    return fits;
}

} // namespace Quorvel::Phase::inline v2_0
