#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <json/json.h>

#include "foundation/Export.h"
#include "foundation/Types.h"
#include "io/AovFormat.h"

namespace Quorvel::BinIO::inline v2_0 {

// 0 on success, a negative code otherwise; file functions never throw.
using QvlReaderError = int32_t;

inline constexpr QvlReaderError QVL_OK = 0;
inline constexpr QvlReaderError QVL_ERR_OPEN = -2;
inline constexpr QvlReaderError QVL_ERR_SIGNATURE = -3;
inline constexpr QvlReaderError QVL_ERR_VERSION = -4;
inline constexpr QvlReaderError QVL_ERR_JSON = -5;
inline constexpr QvlReaderError QVL_ERR_BLOCK_SIZE = -7;

inline constexpr std::array<uint8_t, 14> kQvlSignature = {0x82, 'Q', 'V', 'L', 'R', 'e', 'n',
                                                          'd',  'e', 'r', '=', '\n', '$', '\n'};
inline constexpr std::array<uint8_t, 14> kQvlPlaceholderSignature = {0x82, 'Q', 'V', 'L', '_', '_', '_',
                                                                     '_',  '_', '_', '=', '\n', '$', '\n'};
inline constexpr uint8_t kQvlMaxMajorVersion = 9;

struct QUORVEL_API header_v07 {
    float boxScaleX = 0.0f;
    float boxScaleY = 0.0f;
    float boxScaleZ = 0.0f;
    float globalScale = 0.0f;
    int32_t camOffsetX = 0;
    int32_t camOffsetY = 0;
    int32_t camOffsetZ = 0;
    bool stereoRender = false;
    bool rtype = false;
    int32_t camId = 0;
    float zov_distance_to_ground = 0.0f;
    uint16_t widthDisplay = 0;
    uint16_t heightDisplay = 0;
    int32_t draft = 0;
    int32_t projection = 0;
    uint64_t aovNums = 0;
    std::vector<std::string> AOVNames;
    std::vector<Phase::AOVType> AOVTypes;
    uint64_t sampleNums = 0;
    uint64_t coordinates = 0;
    int32_t passMode = 0;
    int32_t fileCode = -1;
    int32_t frame = 0;

    // Position of the AOV with this name, compared case-insensitively; -1 if
    // none. The type is not compared.
    int getVectorAovIndexByType(const Phase::AOVType& type, const std::string& name) const;
};

struct QUORVEL_API header_v09 : header_v07 {
    int32_t eye = 1;
    float ipd = 63.65f;
    uint64_t fillHoleCount = 0;
    float tolerance = 0.25f;
    VekMatrix4 CamToWorld = Utils::identityMatrix();
    // Camera set: three parallel lists.
    std::vector<VekPoint> cameraPositions;
    std::vector<float> cameraPriorities;
    std::vector<uint32_t> cameraFaceMasks;
};

// Signature, version and parsed JSON of a render or detection file.
class QUORVEL_API QVLRender_header {
public:
    QVLRender_header();
    explicit QVLRender_header(const std::string& path);
    // The header of a version-9.1 file holding these values.
    explicit QVLRender_header(const header_v09& header);

    QvlReaderError getVersion(uint8_t& major, uint8_t& minor) const;
    QvlReaderError getHeaderData(header_v09& header) const;

    // Outcome of the path constructor: 0, -2, -3 or -5.
    QvlReaderError readError() const { return readError_; }
    // Byte length of the JSON text as stored in the file.
    uint32_t jsonLength() const { return jsonLength_; }
    const Json::Value& json() const { return json_; }

private:
    void setPlaceholder();

    std::array<uint8_t, 16> signature_{};
    std::string path_; // of the file read, for messages
    Json::Value json_;
    uint32_t jsonLength_ = 0;
    QvlReaderError readError_ = QVL_ERR_SIGNATURE;
};

QUORVEL_API bool isQvlRender(const std::string& path);

// Reads only the header of a version-9 file.
QUORVEL_API QvlReaderError qvlReader_v9(const std::string& path, header_v09& header);

} // namespace Quorvel::BinIO::inline v2_0
