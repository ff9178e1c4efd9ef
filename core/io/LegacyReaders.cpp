#include "io/LegacyReaders.h"

#include <blosc.h>
#include <json/json.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace Quorvel::BinIO::inline v2_0 {

namespace {

// Deflate, the strongest codec Blosc offers, cannot expand data more than
// 1032-fold: a frame that claims more per stored byte is corrupt, and is
// refused before anything is allocated for it.
constexpr uint64_t kMaxInflateRatio = 1032;

class LegacyFile {
public:
    explicit LegacyFile(const char* path) : file_(path ? std::fopen(path, "rb") : nullptr)
    {
        if (!file_)
            return;
        if (std::fseek(file_, 0, SEEK_END) == 0) {
            const long size = std::ftell(file_);
            size_ = size > 0 ? uint64_t(size) : 0;
        }
        std::fseek(file_, 0, SEEK_SET);
    }
    ~LegacyFile()
    {
        if (file_)
            std::fclose(file_);
    }
    LegacyFile(const LegacyFile&) = delete;
    LegacyFile& operator=(const LegacyFile&) = delete;

    FILE* get() const { return file_; }

    uint64_t remaining() const
    {
        const long at = std::ftell(file_);
        return at < 0 || uint64_t(at) > size_ ? 0 : size_ - uint64_t(at);
    }

    bool readU32(uint32_t& value)
    {
        uint8_t b[4];
        if (std::fread(b, 1, 4, file_) != 4)
            return false;
        value = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
        return true;
    }

    bool readU16(uint16_t& value)
    {
        uint8_t b[2];
        if (std::fread(b, 1, 2, file_) != 2)
            return false;
        value = uint16_t(b[0] | b[1] << 8);
        return true;
    }

    bool readI32(int32_t& value)
    {
        uint32_t raw = 0;
        if (!readU32(raw))
            return false;
        std::memcpy(&value, &raw, 4);
        return true;
    }

    bool readF32(float& value)
    {
        uint32_t raw = 0;
        if (!readU32(raw))
            return false;
        std::memcpy(&value, &raw, 4);
        return true;
    }

    // A size field followed by that many bytes, which must be in the file.
    bool readSized(std::vector<uint8_t>& bytes)
    {
        uint32_t size = 0;
        if (!readU32(size) || size > remaining())
            return false;
        bytes.resize(size);
        return size == 0 || std::fread(bytes.data(), 1, size, file_) == size;
    }

    bool skipSized()
    {
        uint32_t size = 0;
        if (!readU32(size) || size > remaining())
            return false;
        return std::fseek(file_, long(size), SEEK_CUR) == 0;
    }

private:
    FILE* file_;
    uint64_t size_ = 0;
};

struct RecordHeader {
    uint32_t n = 0;
    uint32_t m = 0;
    uint16_t width = 0;
    uint16_t height = 0;
};

bool readRecordHeader(LegacyFile& file, RecordHeader& header)
{
    return file.readU32(header.n) && file.readU32(header.m) && file.readU16(header.width) &&
           file.readU16(header.height);
}

enum class Versions { Zero, NonZero, Above2, Above3 };

bool accepts(Versions versions, uint8_t v)
{
    switch (versions) {
    case Versions::Zero: return v == 0;
    case Versions::NonZero: return v != 0;
    case Versions::Above2: return v > 2;
    case Versions::Above3: return v > 3;
    }
    return false;
}

// Opens the file and reads its version; false, with the message, when the
// file cannot be opened or its version does not suit the reader.
bool open(LegacyFile& file, const char* path, Versions versions, uint8_t& version)
{
    if (!file.get()) {
        std::printf("\t[QUORVEL] ERROR: cannot open file: %s\n", path ? path : "");
        return false;
    }
    version = getQvlVersionReader(file.get());
    if (!accepts(versions, version)) {
        std::printf("\t[QUORVEL] ERROR: QVL version is incorrect for file : %s\n", path);
        return false;
    }
    return true;
}

// A stored block decoded to exactly `count` records, or null when the frame
// does not hold exactly that, or does not decompress.
template <class T>
std::unique_ptr<T[]> decodeFrame(const std::vector<uint8_t>& frame, uint64_t count)
{
    if (count == 0 || count > std::numeric_limits<uint64_t>::max() / sizeof(T))
        return nullptr;
    const uint64_t raw = count * sizeof(T);
    size_t declared = 0;
    if (frame.empty() || blosc_cbuffer_validate(frame.data(), frame.size(), &declared) != 0 || declared != raw ||
        raw / kMaxInflateRatio > frame.size() || raw > uint64_t(std::numeric_limits<int>::max()))
        return nullptr;
    std::unique_ptr<T[]> records(new (std::nothrow) T[count]());
    if (!records)
        return nullptr;
    if (blosc_decompress_ctx(frame.data(), records.get(), size_t(raw), 1) != int(raw))
        return nullptr;
    return records;
}

template <class T>
std::unique_ptr<T[]> readBlock(LegacyFile& file, uint64_t count)
{
    std::vector<uint8_t> frame;
    if (!file.readSized(frame))
        return nullptr;
    return decodeFrame<T>(frame, count);
}

bool readJsonText(LegacyFile& file, std::string& text)
{
    std::vector<uint8_t> bytes;
    if (!file.readSized(bytes))
        return false;
    // The stored text ends with a NUL byte; anything after it is not JSON.
    const auto end = std::find(bytes.begin(), bytes.end(), uint8_t(0));
    text.assign(bytes.begin(), end);
    return true;
}

bool parseJson(const std::string& text, Json::Value& root)
{
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors))
        return false;
    return root.isObject();
}

// Missing keys, and values of another type, read as 0 or false.
double numberAt(const Json::Value& root, const char* key)
{
    const Json::Value& v = root[key];
    if (v.isBool())
        return v.asBool() ? 1.0 : 0.0;
    return v.isNumeric() ? v.asDouble() : 0.0;
}

int32_t intAt(const Json::Value& root, const char* key)
{
    const double v = numberAt(root, key);
    if (!(v >= double(std::numeric_limits<int32_t>::min()) && v <= double(std::numeric_limits<int32_t>::max())))
        return 0;
    return int32_t(v);
}

float floatAt(const Json::Value& root, const char* key)
{
    return float(numberAt(root, key));
}

bool boolAt(const Json::Value& root, const char* key)
{
    return numberAt(root, key) != 0.0;
}

void fillHeader(const Json::Value& root, header_v04& header)
{
    header.boxScaleX = floatAt(root, "boxScaleX");
    header.boxScaleY = floatAt(root, "boxScaleY");
    header.boxScaleZ = floatAt(root, "boxScaleZ");
    header.globalScale = floatAt(root, "globalScale");
    header.camOffsetX = intAt(root, "camOffsetX");
    header.camOffsetY = intAt(root, "camOffsetY");
    header.camOffsetZ = intAt(root, "camOffsetZ");
    header.stereoRender = boolAt(root, "stereoRender");
    header.rtype = boolAt(root, "rtype");
    header.camId = intAt(root, "camId");
}

// Up to "numAOVS" names from "AOVNames"; a missing or shorter list reads as
// the names it holds, since the AOV block alone must back the count. Only a
// negative count is refused.
bool fillHeader(const Json::Value& root, header_v05& header)
{
    fillHeader(root, static_cast<header_v04&>(header));
    header.numAOVS = intAt(root, "numAOVS");
    if (header.numAOVS < 0)
        return false;
    const Json::Value* names = root.find("AOVNames", "AOVNames" + 8);
    const Json::ArrayIndex available = names && names->isArray() ? names->size() : 0;
    const Json::ArrayIndex count = std::min(available, Json::ArrayIndex(header.numAOVS));
    header.AOVNames.clear();
    for (Json::ArrayIndex i = 0; i < count; ++i) {
        const Json::Value& name = (*names)[i];
        header.AOVNames.push_back(name.isString() ? name.asString() : std::string());
    }
    return true;
}

void readTrailer(LegacyFile& file, VekRGBA& background, VekPoint& point)
{
    uint32_t colour = 0;
    if (file.readU32(colour)) {
        background = {float((colour >> 24) & 0xFF) / 255.0f, float((colour >> 16) & 0xFF) / 255.0f,
                      float((colour >> 8) & 0xFF) / 255.0f, float(colour & 0xFF) / 255.0f};
    } else {
        background = {0.0f, 0.0f, 0.0f, 1.0f};
        std::printf("\t Can't read background Color. use default (0.0, 0.0, 0.0, 1)\n");
    }
    VekPoint p{};
    if (file.readF32(p.x) && file.readF32(p.y) && file.readF32(p.z))
        point = p;
    else
        point = {1.0f, 1.0f, 1.0f};
}

template <class T>
void clear(T*& pointer)
{
    pointer = nullptr;
}

// Header, then the sample block when there are samples.
template <class T>
bool readHeaderAndSamples(LegacyFile& file, RecordHeader& header, std::unique_ptr<T[]>& samples)
{
    if (!readRecordHeader(file, header))
        return false;
    if (header.n == 0)
        return true;
    samples = readBlock<T>(file, header.n);
    return samples != nullptr;
}

template <class T>
bool readSamplesOnly(const char* path, Versions versions, bool skipJsonAbove2, T*& samples, uint32_t& n,
                     uint16_t& width, uint16_t& height)
{
    clear(samples);
    LegacyFile file(path);
    uint8_t v = 0;
    if (!open(file, path, versions, v))
        return false;
    if (skipJsonAbove2 && v > 2 && !file.skipSized())
        return false;
    RecordHeader header;
    std::unique_ptr<T[]> records;
    if (!readHeaderAndSamples(file, header, records))
        return false;
    n = header.n;
    width = header.width;
    height = header.height;
    samples = records.release();
    return true;
}

template <class T>
bool readWithTrailer(const char* path, Versions versions, T*& samples, uint32_t& n, uint16_t& width,
                     uint16_t& height, VekRGBA& background, VekPoint& point, int32_t* first, int32_t* second)
{
    clear(samples);
    LegacyFile file(path);
    uint8_t v = 0;
    if (!open(file, path, versions, v))
        return false;
    RecordHeader header;
    std::unique_ptr<T[]> records;
    if (!readHeaderAndSamples(file, header, records))
        return false;
    if (header.m > 0 && !file.skipSized())
        return false;
    readTrailer(file, background, point);
    if (first && second) {
        if (!file.readI32(*first))
            *first = -1;
        if (!file.readI32(*second))
            *second = -1;
    }
    n = header.n;
    width = header.width;
    height = header.height;
    samples = records.release();
    return true;
}

template <class T>
bool readWithCoordinates(const char* path, Versions versions, bool skipJsonAbove2, bool requireBoth, T*& samples,
                         coordinates_t*& coordinates, uint32_t& n, uint32_t& m, uint16_t& width, uint16_t& height)
{
    clear(samples);
    clear(coordinates);
    LegacyFile file(path);
    uint8_t v = 0;
    if (!open(file, path, versions, v))
        return false;
    if (skipJsonAbove2 && v > 2 && !file.skipSized())
        return false;
    RecordHeader header;
    if (!readRecordHeader(file, header))
        return false;
    if (requireBoth && (header.n == 0 || header.m == 0))
        return false;
    std::unique_ptr<T[]> records;
    if (header.n > 0 && !(records = readBlock<T>(file, header.n)))
        return false;
    std::unique_ptr<coordinates_t[]> points;
    if (header.m > 0 && !(points = readBlock<coordinates_t>(file, header.m)))
        return false;
    n = header.n;
    m = header.m;
    width = header.width;
    height = header.height;
    samples = records.release();
    coordinates = points.release();
    return true;
}

} // namespace

uint8_t getQvlVersionReader(FILE* file)
{
    if (!file)
        return 0;
    char prefix[8] = {};
    if (std::fread(prefix, 1, 8, file) == 8 && std::memcmp(prefix, "Version", 7) == 0)
        return uint8_t(prefix[7]);
    std::fseek(file, 0, SEEK_SET);
    return 0;
}

uint8_t getQvlVersionReader(const char* path)
{
    LegacyFile file(path);
    if (!file.get()) {
        std::printf("\t[QUORVEL] ERROR: cannot open file: %s\n", path ? path : "");
        return 0;
    }
    return getQvlVersionReader(file.get());
}

bool getNumPointsInfillHoles(const char* path, uint32_t& count)
{
    count = 0;
    LegacyFile file(path);
    if (!file.get()) {
        std::printf("\t[QUORVEL] ERROR: cannot open file: %s\n", path ? path : "");
        return true;
    }
    if (!file.readU32(count))
        count = 0;
    return true;
}

bool qvlReader(const char* path, qvlRenderSample_t*& samples, uint32_t& n, uint16_t& width, uint16_t& height)
{
    return readSamplesOnly(path, Versions::Zero, false, samples, n, width, height);
}

bool qvlReader(const char* path, qvlRenderSample_t*& samples, uint32_t& n, uint16_t& width, uint16_t& height,
               VekRGBA& background, VekPoint& point)
{
    return readWithTrailer(path, Versions::Zero, samples, n, width, height, background, point, nullptr, nullptr);
}

bool qvlReader(const char* path, qvlRenderSample_t*& samples, coordinates_t*& coordinates, uint32_t& n, uint32_t& m,
               uint16_t& width, uint16_t& height)
{
    return readWithCoordinates(path, Versions::Zero, false, true, samples, coordinates, n, m, width, height);
}

bool qvlReader(const char* path, qvlRenderSample2_t*& samples, uint32_t& n, uint16_t& width, uint16_t& height)
{
    return readSamplesOnly(path, Versions::NonZero, true, samples, n, width, height);
}

bool qvlReader(const char* path, qvlRenderSample2_t*& samples, uint32_t& n, uint16_t& width, uint16_t& height,
               VekRGBA& background, VekPoint& point)
{
    return readWithTrailer(path, Versions::NonZero, samples, n, width, height, background, point, nullptr,
                           nullptr);
}

bool qvlReader(const char* path, qvlRenderSample2_t*& samples, uint32_t& n, uint16_t& width, uint16_t& height,
               VekRGBA& background, VekPoint& point, int32_t& first, int32_t& second)
{
    return readWithTrailer(path, Versions::NonZero, samples, n, width, height, background, point, &first, &second);
}

bool qvlReader(const char* path, qvlRenderSample2_t*& samples, coordinates_t*& coordinates, uint32_t& n,
               uint32_t& m, uint16_t& width, uint16_t& height)
{
    return readWithCoordinates(path, Versions::NonZero, true, false, samples, coordinates, n, m, width, height);
}

bool qvlReader(const char* path, header_v04& header, qvlRenderSample2_t*& samples, uint32_t& n, uint16_t& width,
               uint16_t& height)
{
    clear(samples);
    LegacyFile file(path);
    uint8_t v = 0;
    if (!open(file, path, Versions::Above2, v))
        return false;
    std::string text;
    Json::Value root;
    if (!readJsonText(file, text) || !parseJson(text, root))
        return false;
    header_v04 parsed;
    fillHeader(root, parsed);
    RecordHeader record;
    std::unique_ptr<qvlRenderSample2_t[]> records;
    if (!readHeaderAndSamples(file, record, records))
        return false;
    header = parsed;
    n = record.n;
    width = record.width;
    height = record.height;
    samples = records.release();
    return true;
}

bool qvlReader(const char* path, qvlRenderSample4_t*& samples, coordinates_t*& coordinates, uint32_t& n,
               uint32_t& m)
{
    clear(samples);
    clear(coordinates);
    LegacyFile file(path);
    uint8_t v = 0;
    if (!open(file, path, Versions::Above3, v))
        return false;
    std::string text;
    Json::Value root;
    if (!readJsonText(file, text) || !parseJson(text, root))
        return false;
    const int32_t aovCount = intAt(root, "numAOVS");
    RecordHeader record;
    if (!readRecordHeader(file, record))
        return false;
    std::unique_ptr<qvlRenderSample4_t[]> records;
    if (record.n > 0) {
        std::vector<uint8_t> frame;
        if (!file.readSized(frame))
            return false;
        // An empty sample block leaves the samples unset.
        if (!frame.empty() && !(records = decodeFrame<qvlRenderSample4_t>(frame, record.n)))
            return false;
    }
    uint32_t aovBytes = 0;
    if (!file.readU32(aovBytes))
        return false;
    if (aovBytes > 0 && aovCount > 0) {
        if (aovBytes > file.remaining() || std::fseek(file.get(), long(aovBytes), SEEK_CUR) != 0)
            return false;
    }
    // Coordinates that cannot be decoded are dropped, not an error.
    std::unique_ptr<coordinates_t[]> points;
    if (record.m > 0)
        points = readBlock<coordinates_t>(file, record.m);
    n = record.n;
    m = points ? record.m : 0;
    samples = records.release();
    coordinates = points.release();
    return true;
}

bool qvlReader(const char* path, header_v05& header, qvlRenderSample4_t*& samples, qvlRenderSampleAovRGB_t*& aovs,
               uint32_t& n, uint16_t& width, uint16_t& height)
{
    clear(samples);
    clear(aovs);
    LegacyFile file(path);
    uint8_t v = 0;
    if (!open(file, path, Versions::Above3, v))
        return false;
    std::string text;
    Json::Value root;
    header_v05 parsed;
    if (!readJsonText(file, text) || !parseJson(text, root) || !fillHeader(root, parsed))
        return false;
    RecordHeader record;
    if (!readRecordHeader(file, record))
        return false;
    std::unique_ptr<qvlRenderSample4_t[]> records;
    if (record.n > 0) {
        std::vector<uint8_t> frame;
        if (!file.readSized(frame))
            return false;
        if (!frame.empty() && !(records = decodeFrame<qvlRenderSample4_t>(frame, record.n)))
            return false;
    }
    // Without AOVs or samples there are no values to read.
    const uint64_t values = uint64_t(parsed.numAOVS) * record.n;
    std::unique_ptr<qvlRenderSampleAovRGB_t[]> aovValues;
    if (values > 0) {
        aovValues = readBlock<qvlRenderSampleAovRGB_t>(file, values);
        if (!aovValues) {
            std::printf("[Quorvel] Error decompressing AOVs\n");
            return false;
        }
    }
    header = std::move(parsed);
    n = record.n;
    width = record.width;
    height = record.height;
    samples = records.release();
    aovs = aovValues.release();
    return true;
}

bool qvlReader(const char* path, std::string& json, qvlRenderSample3_t*& samples, uint32_t& n, uint16_t& width,
               uint16_t& height)
{
    clear(samples);
    LegacyFile file(path);
    uint8_t v = 0;
    if (!open(file, path, Versions::Above3, v))
        return false;
    std::string text;
    if (!readJsonText(file, text))
        return false;
    RecordHeader record;
    std::unique_ptr<qvlRenderSample3_t[]> records;
    if (!readHeaderAndSamples(file, record, records))
        return false;
    json = std::move(text);
    n = record.n;
    width = record.width;
    height = record.height;
    samples = records.release();
    return true;
}

} // namespace Quorvel::BinIO::inline v2_0
