#include "io/QvlRenderHeader.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "camera/CameraSet.h"
#include "foundation/Logger.h"

namespace Quorvel::BinIO::inline v2_0 {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Tolerant readers: a missing key reads as 0, false or empty, and a value of
// the wrong JSON type does too, instead of throwing out of a reader.
int32_t readInt(const Json::Value& v)
{
    return v.isConvertibleTo(Json::intValue) ? v.asInt() : 0;
}

uint64_t readUInt64(const Json::Value& v)
{
    if (v.isUInt64())
        return v.asUInt64();
    if (v.isBool())
        return v.asBool() ? 1 : 0;
    if (v.isDouble() && v.asDouble() >= 0.0 && v.asDouble() < 18446744073709551616.0)
        return static_cast<uint64_t>(v.asDouble());
    return 0;
}

float readFloat(const Json::Value& v)
{
    return v.isConvertibleTo(Json::realValue) ? v.asFloat() : 0.0f;
}

bool readBool(const Json::Value& v)
{
    return v.isConvertibleTo(Json::booleanValue) ? v.asBool() : false;
}

std::string readString(const Json::Value& v)
{
    return v.isString() ? v.asString() : std::string();
}

const Json::Value& member(const Json::Value& object, const char* key)
{
    static const Json::Value null;
    if (!object.isObject())
        return null;
    const Json::Value* found = object.find(key, key + std::strlen(key));
    return found ? *found : null;
}

const Json::Value& element(const Json::Value& array, Json::ArrayIndex i)
{
    static const Json::Value null;
    if (!array.isArray() || i >= array.size())
        return null;
    return array[i];
}

// Box-face bits of a camera and the keys they are stored under.
struct FaceKey {
    uint32_t bit;
    const char* key;
};
constexpr FaceKey kFaceKeys[] = {{1, "minusZ"}, {2, "plusX"},  {4, "plusZ"},
                                 {8, "minusX"}, {16, "plusY"}, {32, "minusY"}};

// Files without a camera table imply the set their zone of view places.
void buildDefaultCameraSet(header_v09& header)
{
    Camera::CameraPlacement placement;
    placement.zovScaling = VekPoint{header.boxScaleX, header.boxScaleY, header.boxScaleZ};
    placement.renderScale = header.globalScale;
    placement.offsetRight = header.camOffsetX;
    placement.offsetTop = header.camOffsetY;
    placement.offsetBack = header.camOffsetZ;
    placement.draft = header.draft != 0;
    Camera::CameraSet set = Camera::makeCameraSetWithoutCentre(placement);
    header.cameraPositions = std::move(set.positions);
    header.cameraPriorities = std::move(set.priorities);
    header.cameraFaceMasks = std::move(set.faceMasks);
}

} // namespace

int header_v07::getVectorAovIndexByType(const Phase::AOVType& /*type*/, const std::string& name) const
{
    auto lowered = [](std::string s) {
        for (char& c : s)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    const std::string wanted = lowered(name);
    for (size_t i = 0; i < AOVNames.size(); ++i)
        if (lowered(AOVNames[i]) == wanted)
            return static_cast<int>(i);
    return -1;
}

QVLRender_header::QVLRender_header()
{
    setPlaceholder();
}

void QVLRender_header::setPlaceholder()
{
    std::memcpy(signature_.data(), kQvlPlaceholderSignature.data(), kQvlPlaceholderSignature.size());
    signature_[14] = 0;
    signature_[15] = 0;
    json_ = Json::Value();
    jsonLength_ = 0;
}

QVLRender_header::QVLRender_header(const std::string& path) : path_(path)
{
    setPlaceholder();

    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        readError_ = QVL_ERR_OPEN;
        return;
    }

    std::array<uint8_t, 16> head{};
    if (std::fread(head.data(), 1, head.size(), file.get()) != head.size() ||
        std::memcmp(head.data(), kQvlSignature.data(), kQvlSignature.size()) != 0) {
        readError_ = QVL_ERR_SIGNATURE;
        return;
    }

    uint8_t lengthBytes[4];
    if (std::fread(lengthBytes, 1, 4, file.get()) != 4) {
        readError_ = QVL_ERR_JSON;
        return;
    }
    const uint32_t length = static_cast<uint32_t>(lengthBytes[0]) | static_cast<uint32_t>(lengthBytes[1]) << 8 |
                            static_cast<uint32_t>(lengthBytes[2]) << 16 |
                            static_cast<uint32_t>(lengthBytes[3]) << 24;

    // The stored length is untrusted: it must fit in what the file holds
    // before anything is allocated for it.
    const long start = std::ftell(file.get());
    if (start < 0 || std::fseek(file.get(), 0, SEEK_END) != 0) {
        readError_ = QVL_ERR_JSON;
        return;
    }
    const long end = std::ftell(file.get());
    if (end < start || static_cast<uint64_t>(end - start) < length ||
        std::fseek(file.get(), start, SEEK_SET) != 0) {
        readError_ = QVL_ERR_JSON;
        return;
    }

    std::string text(length, '\0');
    if (length != 0 && std::fread(text.data(), 1, length, file.get()) != length) {
        readError_ = QVL_ERR_JSON;
        return;
    }

    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors) || !root.isObject()) {
        readError_ = QVL_ERR_JSON;
        return;
    }

    signature_ = head;
    json_ = std::move(root);
    jsonLength_ = length;
    readError_ = QVL_OK;
}

QVLRender_header::QVLRender_header(const header_v09& h)
{
    std::memcpy(signature_.data(), kQvlSignature.data(), kQvlSignature.size());
    signature_[14] = 9;
    signature_[15] = 1;
    readError_ = QVL_OK;

    Json::Value& j = json_;
    j = Json::Value(Json::objectValue);
    j["boxScaleX"] = h.boxScaleX;
    j["boxScaleY"] = h.boxScaleY;
    j["boxScaleZ"] = h.boxScaleZ;
    j["globalScale"] = h.globalScale;
    j["camOffsetX"] = h.camOffsetX;
    j["camOffsetY"] = h.camOffsetY;
    j["camOffsetZ"] = h.camOffsetZ;
    j["stereoRender"] = h.stereoRender;
    j["rtype"] = h.rtype;
    j["camId"] = h.camId;
    j["zov_distance_to_ground"] = h.zov_distance_to_ground;
    j["widthDisplay"] = static_cast<Json::Int>(h.widthDisplay);
    j["heightDisplay"] = static_cast<Json::Int>(h.heightDisplay);
    j["draft"] = h.draft;
    j["projection"] = h.projection;
    j["aovNums"] = static_cast<Json::UInt64>(h.aovNums);
    Json::Value& names = j["AOVNames"] = Json::Value(Json::arrayValue);
    for (const std::string& name : h.AOVNames)
        names.append(name);
    Json::Value& types = j["AOVTypes"] = Json::Value(Json::arrayValue);
    for (const Phase::AOVType type : h.AOVTypes)
        types.append(static_cast<Json::Int>(type));
    j["sampleNums"] = static_cast<Json::UInt64>(h.sampleNums);
    j["coordinates"] = static_cast<Json::UInt64>(h.coordinates);
    j["passMode"] = h.passMode;
    j["fileCode"] = h.fileCode;
    j["frame"] = h.frame;
    j["eye"] = h.eye;
    j["ipd"] = h.ipd;
    j["fillHoleCount"] = static_cast<Json::UInt64>(h.fillHoleCount);
    j["tolerance"] = h.tolerance;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            j["CamToWorld" + std::to_string(r) + std::to_string(c)] = h.CamToWorld[r][c];

    // The three camera lists are parallel; a shorter one ends the table.
    const size_t cameraCount =
        std::min({h.cameraPositions.size(), h.cameraPriorities.size(), h.cameraFaceMasks.size()});
    Json::Value& cameras = j["cameras"] = Json::Value(Json::arrayValue);
    for (size_t i = 0; i < cameraCount; ++i) {
        Json::Value camera(Json::objectValue);
        camera["location"]["x"] = h.cameraPositions[i].x;
        camera["location"]["y"] = h.cameraPositions[i].y;
        camera["location"]["z"] = h.cameraPositions[i].z;
        camera["priority"] = h.cameraPriorities[i];
        for (const FaceKey& face : kFaceKeys)
            camera["direction"][face.key] = (h.cameraFaceMasks[i] & face.bit) != 0;
        cameras.append(std::move(camera));
    }
}

QvlReaderError QVLRender_header::getVersion(uint8_t& major, uint8_t& minor) const
{
    if (std::memcmp(signature_.data(), kQvlSignature.data(), kQvlSignature.size()) != 0) {
        major = 0;
        minor = 0;
        return QVL_ERR_SIGNATURE;
    }
    major = signature_[14];
    minor = signature_[15];
    return QVL_OK;
}

QvlReaderError QVLRender_header::getHeaderData(header_v09& header) const
{
    uint8_t major = 0;
    uint8_t minor = 0;
    if (const QvlReaderError e = getVersion(major, minor); e != QVL_OK)
        return e;
    if (major > kQvlMaxMajorVersion)
        return QVL_ERR_VERSION;

    const Json::Value& j = json_;
    header.boxScaleX = readFloat(member(j, "boxScaleX"));
    header.boxScaleY = readFloat(member(j, "boxScaleY"));
    header.boxScaleZ = readFloat(member(j, "boxScaleZ"));
    header.globalScale = readFloat(member(j, "globalScale"));
    // Positions of the implied camera set are divided by the scale.
    if (!(header.globalScale > 0.0f)) {
        Logger::QvOutputLogString(Logger::WARNING,
                                  "[Quorvel] The file '%s' has no positive globalScale; a scale of 1 is used.\n",
                                  path_.c_str());
        header.globalScale = 1.0f;
    }
    header.camOffsetX = readInt(member(j, "camOffsetX"));
    header.camOffsetY = readInt(member(j, "camOffsetY"));
    header.camOffsetZ = readInt(member(j, "camOffsetZ"));
    header.stereoRender = readBool(member(j, "stereoRender"));
    header.rtype = readBool(member(j, "rtype"));
    header.camId = readInt(member(j, "camId"));
    header.zov_distance_to_ground = readFloat(member(j, "zov_distance_to_ground"));
    header.widthDisplay = static_cast<uint16_t>(readInt(member(j, "widthDisplay")));
    header.heightDisplay = static_cast<uint16_t>(readInt(member(j, "heightDisplay")));
    header.draft = readInt(member(j, "draft"));
    header.projection = readInt(member(j, "projection"));
    header.sampleNums = readUInt64(member(j, "sampleNums"));
    header.coordinates = readUInt64(member(j, "coordinates"));
    header.passMode = readInt(member(j, "passMode"));
    header.frame = readInt(member(j, "frame"));

    // The AOV count comes from the file: it may not promise more entries than
    // the two lists hold.
    const Json::Value& names = member(j, "AOVNames");
    const Json::Value& types = member(j, "AOVTypes");
    const uint64_t aovNums = readUInt64(member(j, "aovNums"));
    const uint64_t namesSize = names.isArray() ? names.size() : 0;
    const uint64_t typesSize = types.isArray() ? types.size() : 0;
    if (aovNums > namesSize || aovNums > typesSize)
        return QVL_ERR_JSON;
    header.aovNums = aovNums;
    header.AOVNames.clear();
    header.AOVTypes.clear();
    for (Json::ArrayIndex i = 0; i < aovNums; ++i) {
        header.AOVNames.push_back(readString(element(names, i)));
        header.AOVTypes.push_back(static_cast<Phase::AOVType>(readInt(element(types, i))));
    }

    header.fileCode = readInt(member(j, "fileCode"));

    if (major == 7) {
        header.fillHoleCount = 0;
        header.tolerance = 0.0f;
        header.CamToWorld = Utils::identityMatrix();
        return QVL_OK;
    }

    header.fillHoleCount = readUInt64(member(j, "fillHoleCount"));
    header.tolerance = readFloat(member(j, "tolerance"));
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            const std::string key = "CamToWorld" + std::to_string(r) + std::to_string(c);
            header.CamToWorld[r][c] = readFloat(member(j, key.c_str()));
        }
    header.eye = readInt(member(j, "eye"));
    header.ipd = readFloat(member(j, "ipd"));

    header.cameraPositions.clear();
    header.cameraPriorities.clear();
    header.cameraFaceMasks.clear();
    if (major > 8 && minor != 0) {
        const Json::Value& cameras = member(j, "cameras");
        const Json::ArrayIndex n = cameras.isArray() ? cameras.size() : 0;
        for (Json::ArrayIndex i = 0; i < n; ++i) {
            const Json::Value& camera = cameras[i];
            const Json::Value& location = member(camera, "location");
            header.cameraPositions.push_back({readFloat(member(location, "x")), readFloat(member(location, "y")),
                                              readFloat(member(location, "z"))});
            header.cameraPriorities.push_back(readFloat(member(camera, "priority")));
            const Json::Value& direction = member(camera, "direction");
            uint32_t mask = 0;
            for (const FaceKey& face : kFaceKeys)
                if (readBool(member(direction, face.key)))
                    mask |= face.bit;
            header.cameraFaceMasks.push_back(mask);
        }
    } else {
        buildDefaultCameraSet(header);
    }
    return QVL_OK;
}

bool isQvlRender(const std::string& path)
{
    FilePtr file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return false;
    std::array<uint8_t, 14> head{};
    return std::fread(head.data(), 1, head.size(), file.get()) == head.size() &&
           std::memcmp(head.data(), kQvlSignature.data(), kQvlSignature.size()) == 0;
}

QvlReaderError qvlReader_v9(const std::string& path, header_v09& header)
{
    const QVLRender_header fileHeader(path);
    if (fileHeader.readError() != QVL_OK)
        return fileHeader.readError();
    return fileHeader.getHeaderData(header);
}

} // namespace Quorvel::BinIO::inline v2_0
