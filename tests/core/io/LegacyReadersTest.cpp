#include <gtest/gtest.h>

#include <blosc.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/io/LegacyFileBytes.h"
#include "io/LegacyReaders.h"

using namespace Quorvel::BinIO;
using namespace QuorvelLegacyTest;

namespace {

class TempFile {
public:
    explicit TempFile(const Bytes& bytes)
    {
        char name[] = "/tmp/qv_legacy_XXXXXX";
        const int fd = mkstemp(name);
        path_ = name;
        if (fd >= 0) {
            if (!bytes.empty()) {
                EXPECT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
            }
            close(fd);
        }
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

template <class T>
bool sameBytes(const T* records, const Bytes& expected)
{
    return records && std::memcmp(records, expected.data(), expected.size()) == 0;
}

// Runs f with standard output captured; returns what it printed.
std::string printed(const std::function<void()>& f)
{
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    f();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

const std::string kV5Json =
    R"({"boxScaleX":1.5,"boxScaleY":0.5,"boxScaleZ":2,"globalScale":100,"camOffsetX":-1,"camOffsetY":2,)"
    R"("camOffsetZ":3,"stereoRender":true,"rtype":false,"camId":7,"numAOVS":2,"AOVNames":["right","velocity"]})";

// "Version" 5, JSON with two AOVs, three 24-byte samples and their six AOV values.
Bytes version5File(const Bytes& samples, const Bytes& aovs)
{
    return Builder()
        .version(5)
        .json(kV5Json)
        .recordHeader(3, 0, 640, 320)
        .block(frameOf(samples, 24))
        .block(frameOf(aovs, 6))
        .bytes;
}

} // namespace

TEST(LegacyReaders, VersionPrefix)
{
    struct Case {
        const char* name;
        Bytes bytes;
        uint8_t version;
        long position;
    };
    const Case cases[] = {
        {"version 5", Builder().version(5).u32(0).bytes, 5, 8},
        {"version 255", Builder().version(255).bytes, 255, 8},
        {"version 0 prefix", Builder().version(0).u32(9).bytes, 0, 8},
        {"other word", Builder().text("Versiom").u8(5).bytes, 0, 0},
        {"prefix without its byte", Builder().text("Version").bytes, 0, 0},
        {"container file", Builder().u8(0x82).text("QVLRender=\n$\n").u8(9).u8(1).bytes, 0, 0},
        {"empty", {}, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file(c.bytes);
        EXPECT_EQ(getQvlVersionReader(file.path()), c.version);
        FILE* f = std::fopen(file.path(), "rb");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(getQvlVersionReader(f), c.version);
        EXPECT_EQ(std::ftell(f), c.position);
        std::fclose(f);
    }
    EXPECT_EQ(getQvlVersionReader(static_cast<FILE*>(nullptr)), 0);
    uint8_t v = 1;
    EXPECT_EQ(printed([&] { v = getQvlVersionReader("/nonexistent/legacy.qvl"); }),
              "\t[QUORVEL] ERROR: cannot open file: /nonexistent/legacy.qvl\n");
    EXPECT_EQ(v, 0);
}

TEST(LegacyReaders, NumPointsInfillHoles)
{
    uint32_t count = 7;
    TempFile file(Builder().u32(0x12345678).u32(1).bytes);
    EXPECT_TRUE(getNumPointsInfillHoles(file.path(), count));
    EXPECT_EQ(count, 0x12345678u);
    TempFile shortFile(Bytes{1, 2, 3});
    EXPECT_TRUE(getNumPointsInfillHoles(shortFile.path(), count));
    EXPECT_EQ(count, 0u);
    count = 7;
    bool result = false;
    EXPECT_EQ(printed([&] { result = getNumPointsInfillHoles("/nonexistent/holes", count); }),
              "\t[QUORVEL] ERROR: cannot open file: /nonexistent/holes\n");
    EXPECT_TRUE(result);
    EXPECT_EQ(count, 0u);
}

TEST(LegacyReaders, Version5WithAovs)
{
    const Bytes samples = pattern(3, 24, 11);
    const Bytes aovs = pattern(6, 6, 90);
    TempFile file(version5File(samples, aovs));

    header_v05 header;
    qvlRenderSample4_t* records = nullptr;
    qvlRenderSampleAovRGB_t* values = nullptr;
    uint32_t n = 0;
    uint16_t width = 0, height = 0;
    ASSERT_TRUE(qvlReader(file.path(), header, records, values, n, width, height));
    std::unique_ptr<qvlRenderSample4_t[]> ownRecords(records);
    std::unique_ptr<qvlRenderSampleAovRGB_t[]> ownValues(values);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 320);
    EXPECT_TRUE(sameBytes(records, samples));
    EXPECT_TRUE(sameBytes(values, aovs));
    EXPECT_EQ(header.boxScaleX, 1.5f);
    EXPECT_EQ(header.boxScaleY, 0.5f);
    EXPECT_EQ(header.boxScaleZ, 2.0f);
    EXPECT_EQ(header.globalScale, 100.0f);
    EXPECT_EQ(header.camOffsetX, -1);
    EXPECT_EQ(header.camOffsetY, 2);
    EXPECT_EQ(header.camOffsetZ, 3);
    EXPECT_TRUE(header.stereoRender);
    EXPECT_FALSE(header.rtype);
    EXPECT_EQ(header.camId, 7);
    EXPECT_EQ(header.numAOVS, 2);
    EXPECT_EQ(header.AOVNames, (std::vector<std::string>{"right", "velocity"}));

    // The same file through the coordinates reader: AOVs skipped, no coordinates.
    coordinates_t* points = reinterpret_cast<coordinates_t*>(1);
    n = 0;
    uint32_t m = 9;
    ASSERT_TRUE(qvlReader(file.path(), records, points, n, m));
    ownRecords.reset(records);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(m, 0u);
    EXPECT_EQ(points, nullptr);
    EXPECT_TRUE(sameBytes(records, samples));
}

// The names are read as the file gives them: a missing or short list is no
// reason to refuse a file whose AOV block holds every value.
TEST(LegacyReaders, Version5NamesMissingOrShorterThanTheCount)
{
    const Bytes samples = pattern(3, 24, 11);
    const Bytes aovs = pattern(6, 6, 90);
    const struct {
        const char* name;
        std::string json;
        std::vector<std::string> names;
    } cases[] = {
        {"no AOVNames", R"({"numAOVS":2})", {}},
        {"one name for two AOVs", R"({"numAOVS":2,"AOVNames":["right"]})", {"right"}},
        {"AOVNames not an array", R"({"numAOVS":2,"AOVNames":"right"})", {}},
        {"names that are not strings", R"({"numAOVS":2,"AOVNames":[7,"velocity"]})", {"", "velocity"}},
        {"more names than AOVs", R"({"numAOVS":2,"AOVNames":["a","b","c"]})", {"a", "b"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFile file(Builder().version(5).json(c.json).recordHeader(3, 0, 640, 320).block(frameOf(samples, 24))
                          .block(frameOf(aovs, 6)).bytes);
        header_v05 header;
        header.camId = 9;
        header.AOVNames = {"stale"};
        qvlRenderSample4_t* records = nullptr;
        qvlRenderSampleAovRGB_t* values = nullptr;
        uint32_t n = 0;
        uint16_t width = 0, height = 0;
        bool ok = false;
        const std::string out = printed([&] { ok = qvlReader(file.path(), header, records, values, n, width, height); });
        std::unique_ptr<qvlRenderSample4_t[]> ownRecords(records);
        std::unique_ptr<qvlRenderSampleAovRGB_t[]> ownValues(values);
        ASSERT_TRUE(ok);
        EXPECT_EQ(out, "");
        EXPECT_EQ(header.numAOVS, 2);
        EXPECT_EQ(header.AOVNames, c.names);
        // Missing keys read as 0 or false.
        EXPECT_EQ(header.camId, 0);
        EXPECT_EQ(header.globalScale, 0.0f);
        EXPECT_FALSE(header.stereoRender);
        EXPECT_EQ(n, 3u);
        EXPECT_TRUE(sameBytes(records, samples));
        EXPECT_TRUE(sameBytes(values, aovs));
    }
}

TEST(LegacyReaders, Version4SamplesAovsAndCoordinates)
{
    const Bytes samples = pattern(2, 24, 3);
    const Bytes coordinates = coordinateBytes({1.0f, 2.0f, 3.0f, -4.0f, 5.5f, 6.25f});
    const auto build = [&](const Bytes& coordinateFrame, bool emptySamples) {
        Builder b;
        b.version(4).json(R"({"numAOVS":1})").recordHeader(2, 2, 8, 4);
        if (emptySamples)
            b.u32(0);
        else
            b.block(frameOf(samples, 24));
        return b.block(frameOf(pattern(2, 6, 1), 6)).block(coordinateFrame).bytes;
    };

    TempFile good(build(frameOf(coordinates, 12), false));
    qvlRenderSample4_t* records = nullptr;
    coordinates_t* points = nullptr;
    uint32_t n = 0, m = 0;
    ASSERT_TRUE(qvlReader(good.path(), records, points, n, m));
    std::unique_ptr<qvlRenderSample4_t[]> ownRecords(records);
    std::unique_ptr<coordinates_t[]> ownPoints(points);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(m, 2u);
    EXPECT_TRUE(sameBytes(records, samples));
    ASSERT_NE(points, nullptr);
    EXPECT_EQ(points[1].x, -4.0f);
    EXPECT_EQ(points[1].y, 5.5f);
    EXPECT_EQ(points[1].z, 6.25f);

    // Coordinates that do not decode are dropped; an empty sample block leaves the samples unset.
    Bytes broken = frameOf(coordinates, 12);
    broken[broken.size() - 1] ^= 0xFF;
    broken.resize(broken.size() - 4);
    TempFile damaged(build(broken, true));
    ASSERT_TRUE(qvlReader(damaged.path(), records, points, n, m));
    EXPECT_EQ(records, nullptr);
    EXPECT_EQ(points, nullptr);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(m, 0u);
}

TEST(LegacyReaders, FilesWithoutPrefix)
{
    const Bytes samples = pattern(2, 48, 5);
    const Bytes coordinates = coordinateBytes({7.0f, 8.0f, 9.0f});
    const Bytes full = Builder()
                           .recordHeader(2, 1, 100, 50)
                           .block(frameOf(samples, 48))
                           .block(frameOf(coordinates, 12))
                           .u32(0x336699CC)
                           .f32(0.5f)
                           .f32(-2.0f)
                           .f32(4.0f)
                           .bytes;
    TempFile file(full);
    qvlRenderSample_t* records = nullptr;
    uint32_t n = 0, m = 0;
    uint16_t width = 0, height = 0;

    ASSERT_TRUE(qvlReader(file.path(), records, n, width, height));
    std::unique_ptr<qvlRenderSample_t[]> own(records);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(width, 100);
    EXPECT_EQ(height, 50);
    EXPECT_TRUE(sameBytes(records, samples));

    VekRGBA background{};
    VekPoint point{};
    ASSERT_TRUE(qvlReader(file.path(), records, n, width, height, background, point));
    own.reset(records);
    EXPECT_TRUE(sameBytes(records, samples));
    EXPECT_EQ(background.r, 0x33 / 255.0f);
    EXPECT_EQ(background.g, 0x66 / 255.0f);
    EXPECT_EQ(background.b, 0x99 / 255.0f);
    EXPECT_EQ(background.a, 0xCC / 255.0f);
    EXPECT_EQ(point.x, 0.5f);
    EXPECT_EQ(point.y, -2.0f);
    EXPECT_EQ(point.z, 4.0f);

    coordinates_t* points = nullptr;
    ASSERT_TRUE(qvlReader(file.path(), records, points, n, m, width, height));
    own.reset(records);
    std::unique_ptr<coordinates_t[]> ownPoints(points);
    EXPECT_EQ(m, 1u);
    EXPECT_TRUE(sameBytes(records, samples));
    EXPECT_TRUE(sameBytes(points, coordinates));

    // Ending right after the samples: default colour with the message, point (1, 1, 1).
    TempFile cut(Builder().recordHeader(2, 0, 100, 50).block(frameOf(samples, 48)).bytes);
    bool ok = false;
    EXPECT_EQ(printed([&] { ok = qvlReader(cut.path(), records, n, width, height, background, point); }),
              "\t Can't read background Color. use default (0.0, 0.0, 0.0, 1)\n");
    ASSERT_TRUE(ok);
    own.reset(records);
    EXPECT_EQ(background.r, 0.0f);
    EXPECT_EQ(background.a, 1.0f);
    EXPECT_EQ(point.x, 1.0f);
    EXPECT_EQ(point.y, 1.0f);
    EXPECT_EQ(point.z, 1.0f);
    // Samples without coordinates do not suit the coordinates reader.
    EXPECT_FALSE(qvlReader(cut.path(), records, points, n, m, width, height));
    EXPECT_EQ(records, nullptr);

    // No samples: true at once.
    TempFile empty(Builder().recordHeader(0, 0, 3, 4).bytes);
    n = 5;
    EXPECT_TRUE(qvlReader(empty.path(), records, n, width, height));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(records, nullptr);
    EXPECT_EQ(width, 3);
}

TEST(LegacyReaders, SixtyFourByteRecords)
{
    const Bytes samples = pattern(3, 64, 77);
    const Bytes coordinates = coordinateBytes({1, 2, 3, 4, 5, 6});
    const auto body = [&](Builder b) {
        return b.recordHeader(3, 2, 16, 8).block(frameOf(samples, 64)).block(frameOf(coordinates, 12));
    };
    const Bytes v2 = body(Builder().version(2)).u32(0x0A141E28).f32(1).f32(2).f32(3).u32(uint32_t(-5)).u32(42).bytes;
    const Bytes v3 = body(Builder().version(3).json(R"({"camId":4,"rtype":true,"boxScaleX":"wide"})")).bytes;

    qvlRenderSample2_t* records = nullptr;
    coordinates_t* points = nullptr;
    uint32_t n = 0, m = 0;
    uint16_t width = 0, height = 0;
    for (const Bytes* bytes : {&v2, &v3}) {
        TempFile file(*bytes);
        ASSERT_TRUE(qvlReader(file.path(), records, n, width, height));
        std::unique_ptr<qvlRenderSample2_t[]> own(records);
        EXPECT_EQ(n, 3u);
        EXPECT_EQ(width, 16);
        EXPECT_TRUE(sameBytes(records, samples));
        ASSERT_TRUE(qvlReader(file.path(), records, points, n, m, width, height));
        own.reset(records);
        std::unique_ptr<coordinates_t[]> ownPoints(points);
        EXPECT_EQ(m, 2u);
        EXPECT_TRUE(sameBytes(points, coordinates));
    }

    TempFile withTrailer(v2);
    VekRGBA background{};
    VekPoint point{};
    int32_t first = 0, second = 0;
    ASSERT_TRUE(qvlReader(withTrailer.path(), records, n, width, height, background, point, first, second));
    std::unique_ptr<qvlRenderSample2_t[]> own(records);
    EXPECT_EQ(background.r, 10 / 255.0f);
    EXPECT_EQ(background.a, 40 / 255.0f);
    EXPECT_EQ(point.z, 3.0f);
    EXPECT_EQ(first, -5);
    EXPECT_EQ(second, 42);
    // The trailer's two integers are -1 when missing.
    TempFile shortTrailer(Bytes(v2.begin(), v2.end() - 8));
    ASSERT_TRUE(qvlReader(shortTrailer.path(), records, n, width, height, background, point, first, second));
    own.reset(records);
    EXPECT_EQ(point.y, 2.0f);
    EXPECT_EQ(first, -1);
    EXPECT_EQ(second, -1);

    // The JSON into header_v04; a value of another type reads as 0.
    TempFile file3(v3);
    header_v04 header;
    header.boxScaleX = 9.0f;
    ASSERT_TRUE(qvlReader(file3.path(), header, records, n, width, height));
    own.reset(records);
    EXPECT_EQ(header.camId, 4);
    EXPECT_TRUE(header.rtype);
    EXPECT_EQ(header.boxScaleX, 0.0f);
    EXPECT_TRUE(sameBytes(records, samples));
}

TEST(LegacyReaders, JsonTextAndSeventyTwoByteRecords)
{
    const Bytes samples = pattern(1, 72, 200);
    const std::string text = R"({"anything": [1, 2, 3]})";
    TempFile file(Builder().version(6).json(text).recordHeader(1, 0, 2, 2).block(frameOf(samples, 72)).bytes);
    std::string json;
    qvlRenderSample3_t* records = nullptr;
    uint32_t n = 0;
    uint16_t width = 0, height = 0;
    ASSERT_TRUE(qvlReader(file.path(), json, records, n, width, height));
    std::unique_ptr<qvlRenderSample3_t[]> own(records);
    EXPECT_EQ(json, text);
    EXPECT_EQ(n, 1u);
    EXPECT_TRUE(sameBytes(records, samples));
}

TEST(LegacyReaders, VersionsOutsideAReaderAreRefused)
{
    const Bytes noPrefix = Builder().recordHeader(0, 0, 1, 1).bytes;
    const Bytes v2 = Builder().version(2).recordHeader(0, 0, 1, 1).bytes;
    const Bytes v3 = Builder().version(3).json("{}").recordHeader(0, 0, 1, 1).bytes;
    const Bytes v5 = Builder().version(5).json(R"({"numAOVS":0})").recordHeader(0, 0, 1, 1).u32(0).u32(0).bytes;

    qvlRenderSample_t* s1 = nullptr;
    qvlRenderSample2_t* s2 = nullptr;
    qvlRenderSample3_t* s3 = nullptr;
    qvlRenderSample4_t* s4 = nullptr;
    qvlRenderSampleAovRGB_t* aovs = nullptr;
    coordinates_t* c = nullptr;
    uint32_t n = 0, m = 0;
    uint16_t w = 0, h = 0;
    VekRGBA bg{};
    VekPoint p{};
    int32_t i1 = 0, i2 = 0;
    header_v04 h4;
    header_v05 h5;
    std::string json;

    using Reader = std::function<bool(const char*)>;
    struct Entry {
        const char* name;
        Reader read;
        std::vector<int> versionOk; // indexes into files: none, v2, v3, v5
        std::vector<int> reads;     // of those, the files it reads through
    };
    const Entry readers[] = {
        {"48", [&](const char* f) { return qvlReader(f, s1, n, w, h); }, {0}, {0}},
        {"48 trailer", [&](const char* f) { return qvlReader(f, s1, n, w, h, bg, p); }, {0}, {0}},
        // No samples and no coordinates: nothing for this reader.
        {"48 coordinates", [&](const char* f) { return qvlReader(f, s1, c, n, m, w, h); }, {0}, {}},
        {"64", [&](const char* f) { return qvlReader(f, s2, n, w, h); }, {1, 2, 3}, {1, 2, 3}},
        // These expect no JSON text, so files that have one do not parse.
        {"64 trailer", [&](const char* f) { return qvlReader(f, s2, n, w, h, bg, p); }, {1, 2, 3}, {1}},
        {"64 trailer ints", [&](const char* f) { return qvlReader(f, s2, n, w, h, bg, p, i1, i2); }, {1, 2, 3}, {1}},
        {"64 coordinates", [&](const char* f) { return qvlReader(f, s2, c, n, m, w, h); }, {1, 2, 3}, {1, 2, 3}},
        {"header_v04", [&](const char* f) { return qvlReader(f, h4, s2, n, w, h); }, {2, 3}, {2, 3}},
        {"24 coordinates", [&](const char* f) { return qvlReader(f, s4, c, n, m); }, {3}, {3}},
        {"header_v05", [&](const char* f) { return qvlReader(f, h5, s4, aovs, n, w, h); }, {3}, {3}},
        {"72 json", [&](const char* f) { return qvlReader(f, json, s3, n, w, h); }, {3}, {3}},
    };
    const Bytes* files[] = {&noPrefix, &v2, &v3, &v5};
    const auto has = [](const std::vector<int>& list, int i) {
        return std::find(list.begin(), list.end(), i) != list.end();
    };
    for (const Entry& r : readers) {
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(std::string(r.name) + " file " + std::to_string(i));
            TempFile file(*files[i]);
            bool result = false;
            const std::string out = printed([&] { result = r.read(file.path()); });
            EXPECT_EQ(result, has(r.reads, i));
            if (!has(r.versionOk, i)) {
                EXPECT_EQ(out, std::string("\t[QUORVEL] ERROR: QVL version is incorrect for file : ") + file.path() +
                                   "\n");
            }
        }
        bool result = true;
        EXPECT_EQ(printed([&] { result = r.read("/nonexistent/x.qvl"); }),
                  "\t[QUORVEL] ERROR: cannot open file: /nonexistent/x.qvl\n");
        EXPECT_FALSE(result) << r.name;
    }
}

TEST(LegacyReaders, CorruptFilesGiveErrors)
{
    const Bytes samples = pattern(3, 24, 11);
    const Bytes aovs = pattern(6, 6, 90);
    const Bytes good = version5File(samples, aovs);

    header_v05 header;
    qvlRenderSample4_t* records = nullptr;
    qvlRenderSampleAovRGB_t* values = nullptr;
    uint32_t n = 0;
    uint16_t w = 0, h = 0;
    const auto read = [&](const Bytes& bytes) {
        TempFile file(bytes);
        records = nullptr;
        values = nullptr;
        const bool ok = qvlReader(file.path(), header, records, values, n, w, h);
        delete[] records;
        delete[] values;
        return ok;
    };
    ASSERT_TRUE(read(good));

    // Cut anywhere before the end, the file is refused.
    for (size_t size = 0; size < good.size(); ++size) {
        bool ok = true;
        printed([&] { ok = read(Bytes(good.begin(), good.begin() + long(size))); });
        EXPECT_FALSE(ok) << "cut at " << size;
    }

    const auto withJson = [&](const std::string& json) {
        return Builder().version(5).json(json).recordHeader(3, 0, 1, 1).block(frameOf(samples, 24)).block(frameOf(aovs, 6)).bytes;
    };
    const size_t samplesAt = 8 + 4 + kV5Json.size() + 1 + 12;
    struct Case {
        const char* name;
        Bytes bytes;
        std::string message;
    };
    std::vector<Case> cases = {
        {"json not an object", withJson("[1, 2]"), ""},
        {"json broken", withJson(R"({"numAOVS": 2,)"), ""},
        {"negative AOV count", withJson(R"({"numAOVS": -1, "AOVNames": []})"), ""},
        // The AOV block holds 2 x 3 values, not what the count asks for.
        {"more AOVs than the block holds", withJson(R"({"numAOVS": 3, "AOVNames": ["a", "b"]})"),
         "[Quorvel] Error decompressing AOVs\n"},
        {"huge AOV count", withJson(R"({"numAOVS": 2147483647, "AOVNames": []})"),
         "[Quorvel] Error decompressing AOVs\n"},
    };
    // The AOV block holds values for one AOV only.
    cases.push_back({"AOV block too small",
                     Builder().version(5).json(kV5Json).recordHeader(3, 0, 1, 1).block(frameOf(samples, 24))
                         .block(frameOf(pattern(3, 6, 1), 6)).bytes,
                     "[Quorvel] Error decompressing AOVs\n"});
    // More samples declared than the frame holds.
    {
        Bytes b = good;
        b[samplesAt - 12] = 0xFF;
        b[samplesAt - 11] = 0xFF;
        b[samplesAt - 10] = 0xFF;
        b[samplesAt - 9] = 0x7F;
        cases.push_back({"sample count beyond the frame", b, ""});
    }
    // A frame size beyond the file.
    {
        Bytes b = good;
        b[samplesAt + 3] = 0x40;
        cases.push_back({"frame size beyond the file", b, ""});
    }
    // A damaged frame header.
    {
        Bytes b = good;
        b[samplesAt + 4 + 12] ^= 0x55; // inside the frame's stored-size field
        cases.push_back({"damaged frame", b, ""});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool ok = true;
        const std::string out = printed([&] { ok = read(c.bytes); });
        EXPECT_FALSE(ok);
        EXPECT_EQ(out, c.message);
    }
}

// The fuzz targets' seeds, each read through by the reader it was made for.
TEST(LegacyReaders, SeedCorpusReadsThrough)
{
    const std::filesystem::path corpus =
        std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "fuzz" / "corpus";
    uint32_t n = 0, m = 0;
    uint16_t w = 0, h = 0;
    VekRGBA bg{};
    VekPoint p{};
    int32_t i1 = 0, i2 = 0;
    const auto own = [](auto* pointer) { delete[] pointer; };
    const std::map<std::string, std::function<bool(const char*)>> readers = {
        {"samples_coordinates_trailer",
         [&](const char* f) {
             qvlRenderSample_t* s = nullptr;
             coordinates_t* c = nullptr;
             const bool ok = qvlReader(f, s, c, n, m, w, h) && n == 2 && m == 2;
             own(s), own(c);
             return ok && qvlReader(f, s, n, w, h, bg, p) && p.z == 3.0f && (own(s), true);
         }},
        {"no_samples",
         [&](const char* f) {
             qvlRenderSample_t* s = nullptr;
             return qvlReader(f, s, n, w, h) && n == 0 && s == nullptr;
         }},
        {"v2_trailer",
         [&](const char* f) {
             qvlRenderSample2_t* s = nullptr;
             const bool ok = qvlReader(f, s, n, w, h, bg, p, i1, i2) && n == 2 && i1 == 3 && i2 == 4;
             own(s);
             return ok;
         }},
        {"v3_header",
         [&](const char* f) {
             header_v04 header;
             qvlRenderSample2_t* s = nullptr;
             const bool ok = qvlReader(f, header, s, n, w, h) && n == 3 && header.camId == 3 && header.rtype;
             own(s);
             return ok;
         }},
        {"v4_aovs_coordinates",
         [&](const char* f) {
             qvlRenderSample4_t* s = nullptr;
             coordinates_t* c = nullptr;
             const bool ok = qvlReader(f, s, c, n, m) && n == 2 && m == 2 && s && c;
             own(s), own(c);
             return ok;
         }},
        {"v5_aovs",
         [&](const char* f) {
             header_v05 header;
             qvlRenderSample4_t* s = nullptr;
             qvlRenderSampleAovRGB_t* a = nullptr;
             const bool ok = qvlReader(f, header, s, a, n, w, h) && n == 3 && header.AOVNames.size() == 2 && a;
             own(s), own(a);
             return ok;
         }},
        {"v6_json_text",
         [&](const char* f) {
             std::string json;
             qvlRenderSample3_t* s = nullptr;
             const bool ok = qvlReader(f, json, s, n, w, h) && json == R"({"note":"raw"})" && n == 1;
             own(s);
             return ok;
         }},
    };
    std::size_t seen = 0;
    for (const char* target : {"legacy_unprefixed", "legacy_versioned"}) {
        ASSERT_TRUE(std::filesystem::is_directory(corpus / target)) << corpus / target;
        for (const auto& entry : std::filesystem::directory_iterator(corpus / target)) {
            const std::string name = entry.path().filename().string();
            const auto reader = readers.find(name);
            ASSERT_NE(reader, readers.end()) << "no reader for seed " << name;
            EXPECT_TRUE(reader->second(entry.path().c_str())) << name;
            ++seen;
        }
    }
    EXPECT_EQ(seen, readers.size());
}
