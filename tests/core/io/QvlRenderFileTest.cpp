#include "io/QvlRenderFile.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/resource.h>

#include <blosc.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "io/HalfConversion.h"
#include "core/io/QvlFileBytes.h"
#include "core/io/QvlTestFile.h"
#include "support/LogCapture.h"

using namespace Quorvel::BinIO;
using namespace Quorvel::Phase;
using Quorvel::RenderSample::AOVData;
using Quorvel::Util::RenderingEngineId;
using QuorvelTest::TempDir;

namespace {

std::string readBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

half_float::half h(float f)
{
    return floatToHalf(f);
}

// A header with every AOV type, one unknown type among them.
header_v09 renderHeader(uint64_t samples)
{
    header_v09 header;
    header.boxScaleX = 2.0f;
    header.globalScale = 1.5f;
    header.widthDisplay = 64;
    header.heightDisplay = 32;
    header.frame = 12;
    header.sampleNums = samples;
    header.AOVNames = {"Cd_Right", "qvlTransp", "flag", "odd", "dist", "rgba", "velocity", "uv"};
    header.AOVTypes = {AOV_RGB, AOV_Int, AOV_Byte, static_cast<AOVType>(11), AOV_Double, AOV_RGBA, AOV_Vector3,
                       AOV_Vector2};
    header.aovNums = header.AOVTypes.size();
    header.cameraPositions = {{0.5f, -0.5f, 0.25f}};
    header.cameraPriorities = {3.0f};
    header.cameraFaceMasks = {5};
    return header;
}

// Values chosen exact in binary16 so that the AOVs read back unchanged.
qvlRenderSample5Aovs_t renderContent(size_t samples, size_t aovCount)
{
    qvlRenderSample5Aovs_t c;
    c.coordinates = {{1.0f, 2.0f, 3.0f}, {-4.0f, 5.5f, 0.0f}};
    for (size_t i = 0; i < 3; ++i) {
        DetectPlaqueInfo p;
        p.cameraIndex = static_cast<uint8_t>(200 + i);
        p.x = static_cast<uint16_t>(1000 + i);
        p.y = static_cast<uint16_t>(65535 - i);
        p.estimated = i == 0;
        p.hair = i == 1;
        p.reserved = i == 2;
        p.level = static_cast<uint8_t>(i + 1);
        p.transparent = i != 1;
        p.depth = 10.25f * static_cast<float>(i + 1);
        p.normal = {0.0f, -1.0f, static_cast<float>(i)};
        c.plaques.push_back(p);
    }
    for (size_t s = 0; s < samples; ++s) {
        qvlRenderSample5_t r;
        r.depth = 0.5f + static_cast<float>(s);
        for (int k = 0; k < 4; ++k)
            r.colour[k] = h(0.125f * static_cast<float>(k + s % 7));
        r.normal[2] = h(-1.0f);
        r.x = static_cast<uint16_t>(s % 64);
        r.y = static_cast<uint16_t>(s / 64);
        r.cameraIndex = static_cast<uint8_t>(s % 255);
        r.level = static_cast<uint8_t>(s % 4);
        c.samples.push_back(r);
    }
    c.aovs.resize(samples * aovCount);
    for (size_t s = 0; s < samples; ++s) {
        AOVData* a = &c.aovs[s * aovCount];
        const float f = static_cast<float>(s % 100) * 0.25f;
        a[0].asVec3[0] = f;
        a[0].asVec3[1] = -f;
        a[0].asVec3[2] = 1.0f;
        a[1].asInt = static_cast<int32_t>(s) * 7 - 3;
        a[2].asByte = static_cast<char>(s & 0x7F);
        a[3].asInt = 0; // unknown type: never stored
        a[4].asDouble = f;
        for (int k = 0; k < 4; ++k)
            a[5].asVec4[k] = f + static_cast<float>(k);
        for (int k = 0; k < 3; ++k)
            a[6].asVec3[k] = -f * static_cast<float>(k);
        a[7].asVec2[0] = 0.5f;
        a[7].asVec2[1] = f;
    }
    c.trailing = {1, 0, 1, 1, 0};
    return c;
}

bool sameBytes(const void* a, const void* b, size_t n)
{
    return std::memcmp(a, b, n) == 0;
}

template <class Sample>
void expectSameContent(const qvlRenderSample5Aovs_t& written, const qvlRenderSampleAovs<Sample>& read)
{
    ASSERT_EQ(read.coordinates.size(), written.coordinates.size());
    EXPECT_TRUE(sameBytes(read.coordinates.data(), written.coordinates.data(), 12 * written.coordinates.size()));
    ASSERT_EQ(read.plaques.size(), written.plaques.size());
    EXPECT_TRUE(sameBytes(read.plaques.data(), written.plaques.data(), 28 * written.plaques.size()));
    ASSERT_EQ(read.samples.size(), written.samples.size());
    EXPECT_TRUE(sameBytes(read.samples.data(), written.samples.data(), sizeof(Sample) * written.samples.size()));
    ASSERT_EQ(read.aovs.size(), written.aovs.size());
    EXPECT_TRUE(sameBytes(read.aovs.data(), written.aovs.data(), 16 * written.aovs.size()));
    EXPECT_EQ(read.trailing, written.trailing);
}

std::string sha256(const std::string& bytes)
{
    unsigned char digest[32];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(digest), 32);
}

int byteSum(const std::string& digest)
{
    int sum = 0;
    for (char c : digest)
        sum += static_cast<uint8_t>(c);
    return sum;
}

} // namespace

TEST(QvlRenderFile, WrittenFileReadsBackIdentically)
{
    TempDir dir;
    const std::string path = dir.file("frame.qvl");
    const header_v09 header = renderHeader(300);
    const qvlRenderSample5Aovs_t content = renderContent(300, header.AOVTypes.size());
    for (const RenderingEngineId engine : {RenderingEngineId(1), RenderingEngineId(50), RenderingEngineId(0)}) {
        ASSERT_EQ(qvlWriter_v9(path, header, content, engine), QVL_OK);
        header_v09 readHeader;
        qvlRenderSample5Aovs_t read;
        int digestSum = -1;
        ASSERT_EQ(qvlReader_v9(path, readHeader, read, digestSum), QVL_OK);
        expectSameContent(content, read);
        EXPECT_EQ(getRenderEngineId(readHeader.fileCode, digestSum), engine);
        EXPECT_EQ(readHeader.AOVNames, header.AOVNames);
        EXPECT_EQ(readHeader.AOVTypes, header.AOVTypes);
        EXPECT_EQ(readHeader.sampleNums, 300u);
        EXPECT_EQ(readHeader.frame, 12);
        EXPECT_EQ(readHeader.cameraFaceMasks, std::vector<uint32_t>{5});
    }
    // Nothing but the file itself is left in the directory.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 1);
}

TEST(QvlRenderFile, AovsAreStoredTruncatedToHalf)
{
    TempDir dir;
    const std::string path = dir.file("t.qvl");
    header_v09 header;
    header.AOVNames = {"v", "d"};
    header.AOVTypes = {AOV_Vector2, AOV_Double};
    header.aovNums = 2;
    qvlRenderSample5Aovs_t content;
    content.samples.resize(1);
    content.aovs.resize(2);
    content.aovs[0].asVec2[0] = 1.000732421875f;
    content.aovs[0].asVec2[1] = 1.0e6f;
    content.aovs[1].asDouble = 0.1;
    ASSERT_EQ(qvlWriter_v9(path, header, content, RenderingEngineId(1)), QVL_OK);
    qvlRenderSample5Aovs_t read;
    int digestSum = 0;
    ASSERT_EQ(qvlReader_v9(path, header, read, digestSum), QVL_OK);
    ASSERT_EQ(read.aovs.size(), 2u);
    EXPECT_EQ(read.aovs[0].asVec2[0], 1.0f);
    EXPECT_TRUE(std::isinf(read.aovs[0].asVec2[1]));
    EXPECT_EQ(read.aovs[1].asDouble, static_cast<double>(static_cast<float>(h(0.1f))));
}

// Takes the writer's bytes apart by hand from the byte layout.
TEST(QvlRenderFile, IndependentDecoderAgreesWithTheWriterBytes)
{
    TempDir dir;
    const std::string path = dir.file("check.qvl");
    const header_v09 header = renderHeader(5000);
    const size_t n = header.AOVTypes.size();
    const qvlRenderSample5Aovs_t content = renderContent(5000, n);
    ASSERT_EQ(qvlWriter_v9(path, header, content, RenderingEngineId(1)), QVL_OK);
    const std::string bytes = readBytes(path);

    ASSERT_EQ(bytes.substr(0, 14), std::string("\x82QVLRender=\n$\n", 14));
    EXPECT_EQ(bytes[14], 9);
    EXPECT_EQ(bytes[15], 1);
    const uint32_t length = QuorvelTest::getU32(bytes, 16);
    const std::string text = bytes.substr(20, length);
    Json::Value json;
    Json::CharReaderBuilder builder;
    std::string errors;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    ASSERT_TRUE(reader->parse(text.data(), text.data() + text.size(), &json, &errors)) << errors;
    EXPECT_EQ(text.find(": "), std::string::npos); // compact form
    EXPECT_EQ(json["sampleNums"].asUInt64(), 5000u);
    EXPECT_EQ(json["AOVTypes"][3].asInt(), 11);
    EXPECT_EQ(json["cameras"][0]["direction"]["plusZ"].asBool(), true);

    size_t at = 20 + length;
    std::string digested;
    using QuorvelTest::parseBlock;
    const auto coordinates = parseBlock(bytes, at, 12);
    EXPECT_EQ(coordinates.count, 2u);
    EXPECT_EQ(coordinates.data, std::string(reinterpret_cast<const char*>(content.coordinates.data()), 24));
    const auto plaques = parseBlock(bytes, at, 24);
    ASSERT_EQ(plaques.count, 3u);
    ASSERT_EQ(plaques.data.size(), 72u);
    // Second plaque: camera 201, column 1001, row 65534, hair, level 2.
    const std::string p1 = plaques.data.substr(24, 24);
    EXPECT_EQ(static_cast<uint8_t>(p1[0]), 201);
    EXPECT_EQ(static_cast<uint8_t>(p1[1]) | static_cast<uint8_t>(p1[2]) << 8, 1001);
    EXPECT_EQ(p1[3], 0);
    EXPECT_EQ(QuorvelTest::getU32(p1, 4), 65534u | 1u << 17 | 2u << 19);
    float depth;
    std::memcpy(&depth, p1.data() + 8, 4);
    EXPECT_EQ(depth, 20.5f);
    const auto samples = parseBlock(bytes, at, 28);
    EXPECT_EQ(samples.count, 5000u);
    EXPECT_EQ(samples.data, std::string(reinterpret_cast<const char*>(content.samples.data()), 5000 * 28));
    EXPECT_EQ(samples.frame, QuorvelTest::bloscBlock(5000, 28, samples.data).substr(8));
    digested += coordinates.data + plaques.data + samples.data;

    const size_t elementSizes[] = {6, 4, 1, 0, 2, 8, 6, 4};
    for (size_t j = 0; j < n; ++j) {
        if (elementSizes[j] == 0)
            continue;
        const auto column = parseBlock(bytes, at, elementSizes[j]);
        ASSERT_EQ(column.count, 5000u) << j;
        ASSERT_GT(column.stored, 0u);
        // The frame is bare Blosc's for the same parameters, byte for byte.
        EXPECT_EQ(column.frame, QuorvelTest::bloscBlock(5000, elementSizes[j], column.data).substr(8)) << j;
        size_t typesize = 0;
        int flags = 0;
        blosc_cbuffer_metainfo(column.frame.data(), &typesize, &flags);
        EXPECT_EQ(typesize, elementSizes[j]);
        EXPECT_TRUE(flags & BLOSC_DOSHUFFLE);
        EXPECT_STREQ(blosc_cbuffer_complib(column.frame.data()), "Zlib");
        // Element s of the column is AOV j of sample s, compacted.
        for (size_t s : {size_t{0}, size_t{1}, size_t{4999}}) {
            const AOVData& slot = content.aovs[s * n + j];
            const std::string e = column.data.substr(s * elementSizes[j], elementSizes[j]);
            if (j == 1)
                EXPECT_EQ(static_cast<int32_t>(QuorvelTest::getU32(e, 0)), slot.asInt);
            else if (j == 2)
                EXPECT_EQ(e[0], slot.asByte);
            else if (j == 4)
                EXPECT_EQ(static_cast<uint8_t>(e[0]) | static_cast<uint8_t>(e[1]) << 8,
                          floatToHalfBits(static_cast<float>(slot.asDouble)));
            else
                for (size_t k = 0; k < elementSizes[j] / 2; ++k)
                    EXPECT_EQ(static_cast<uint8_t>(e[2 * k]) | static_cast<uint8_t>(e[2 * k + 1]) << 8,
                              floatToHalfBits(slot.asVec4[k]));
        }
        digested += column.data;
    }
    const auto trailing = parseBlock(bytes, at, 1);
    EXPECT_EQ(trailing.count, 5u);
    EXPECT_EQ(trailing.data, std::string("\1\0\1\1\0", 5));
    EXPECT_EQ(at, bytes.size());
    digested += trailing.data;

    const int sum = byteSum(sha256(digested));
    EXPECT_EQ((json["fileCode"].asInt() + sum) % 99, 1);
}

TEST(QvlRenderFile, EmptyRenderFileDigestCoversOnlyTheMask)
{
    TempDir dir;
    const std::string path = dir.file("empty.qvl");
    header_v09 header;
    header.AOVNames = {"a", "b"};
    header.AOVTypes = {AOV_RGB, AOV_Int};
    header.aovNums = 2;
    qvlRenderSample5Aovs_t content;
    content.trailing = {1, 1, 0, 1};
    ASSERT_EQ(qvlWriter_v9(path, header, content, RenderingEngineId(1)), QVL_OK);
    const std::string bytes = readBytes(path);
    const size_t at = 20 + QuorvelTest::getU32(bytes, 16);
    // Five (0,0) blocks, then the mask stored raw or compressed.
    EXPECT_EQ(bytes.substr(at, 40), std::string(40, '\0'));
    EXPECT_EQ(QuorvelTest::getU32(bytes, at + 40), 4u);

    header_v09 readHeader;
    qvlRenderSample5Aovs_t read;
    int digestSum = 0;
    ASSERT_EQ(qvlReader_v9(path, readHeader, read, digestSum), QVL_OK);
    EXPECT_EQ(digestSum, byteSum(sha256(std::string("\1\1\0\1", 4))));
    EXPECT_TRUE(read.samples.empty());
    EXPECT_TRUE(read.aovs.empty());
    EXPECT_EQ(read.trailing, content.trailing);
    EXPECT_EQ(getRenderEngineId(readHeader.fileCode, digestSum), RenderingEngineId(1));
}

TEST(QvlRenderFile, EngineIdDecodesFromTheFileCodeForAnyRandomPart)
{
    for (int r = 0; r < 100; ++r) {
        const int fileCode = r * 99 + 1 - 4000 % 99 + 99;
        EXPECT_EQ(getRenderEngineId(fileCode, 4000), RenderingEngineId(1)) << r;
    }
    EXPECT_EQ(getRenderEngineId(149, 0), RenderingEngineId(50));
}

TEST(QvlRenderFile, PlaqueBitFieldPacksAndUnpacks)
{
    DetectPlaqueInfo p;
    p.cameraIndex = 7;
    p.x = 0x1234;
    p.y = 0xBEEF;
    p.level = 3;
    p.estimated = 1;
    p.hair = 1;
    p.reserved = 1;
    p.depth = -0.0f;
    p.normal = {1.0f, 2.0f, 3.0f};
    uint8_t packed[24];
    packDetectPlaqueInfo(p, packed);
    const uint8_t expected[8] = {7, 0x34, 0x12, 0, 0xEF, 0xBE, 0x1F, 0x00};
    EXPECT_TRUE(sameBytes(packed, expected, 8));
    EXPECT_EQ(packed[11], 0x80); // -0.0 copied bit for bit
    const DetectPlaqueInfo back = unpackDetectPlaqueInfo(packed);
    EXPECT_TRUE(sameBytes(&back, &p, sizeof p));

    const struct {
        uint8_t level, estimated, hair, reserved, transparent;
        uint32_t bits;
    } cases[] = {{0, 0, 0, 0, 0, 0},       {1, 0, 0, 0, 0, 1u << 19}, {2, 0, 0, 0, 1, 2u << 19 | 1u << 21},
                 {0, 1, 0, 0, 0, 1u << 16}, {0, 0, 1, 0, 0, 1u << 17}, {0, 0, 0, 1, 0, 1u << 18}};
    for (const auto& c : cases) {
        DetectPlaqueInfo q;
        q.y = 3;
        q.level = c.level;
        q.estimated = c.estimated;
        q.hair = c.hair;
        q.reserved = c.reserved;
        q.transparent = c.transparent;
        packDetectPlaqueInfo(q, packed);
        uint32_t bits;
        std::memcpy(&bits, packed + 4, 4);
        EXPECT_EQ(bits, 3u | c.bits);
        const DetectPlaqueInfo r = unpackDetectPlaqueInfo(packed);
        EXPECT_TRUE(sameBytes(&r, &q, sizeof q));
    }
}

namespace {

// A 24-byte sample of versions 7 and 8, from the byte table.
std::string sample4(float depth, uint16_t colourBits, uint16_t x, uint16_t y, uint8_t camera)
{
    std::string s;
    QuorvelTest::putRaw(s, depth);
    for (int k = 0; k < 4; ++k)
        QuorvelTest::putRaw(s, static_cast<uint16_t>(colourBits + k));
    for (int k = 0; k < 3; ++k)
        QuorvelTest::putRaw(s, static_cast<uint16_t>(0x3C00));
    QuorvelTest::putRaw(s, x);
    QuorvelTest::putRaw(s, y);
    s.push_back(static_cast<char>(camera));
    s.push_back('\0');
    return s;
}

} // namespace

TEST(QvlRenderFile, HandMadeVersion7And8FilesRead)
{
    TempDir dir;
    const std::string json = "{\"aovNums\":2,\"AOVNames\":[\"Cd_Right\",\"qvlCockpit\"],\"AOVTypes\":[3,1],"
                             "\"sampleNums\":2,\"fileCode\":77,\"frame\":4,\"widthDisplay\":16,"
                             "\"fillHoleCount\":0,\"tolerance\":0.5}";
    const std::string samples = sample4(1.5f, 0x3C00, 10, 20, 30) + sample4(2.5f, 0x4000, 11, 21, 31);
    std::string rgb;
    for (uint16_t v : {0x3C00, 0x4000, 0x4200, 0xBC00, 0x0000, 0x3800})
        QuorvelTest::putRaw(rgb, v);
    std::string ints;
    QuorvelTest::putRaw(ints, int32_t{-5});
    QuorvelTest::putRaw(ints, int32_t{1});
    const std::string tail = std::string("\1\0", 2);
    const std::string coordinates = std::string(12, '\0');
    const std::string blocksAfterPlaques = QuorvelTest::bloscBlock(2, 24, samples) +
                                           QuorvelTest::rawBlock(2, rgb) + QuorvelTest::bloscBlock(2, 4, ints) +
                                           QuorvelTest::rawBlock(2, tail);

    const std::string v7 = QuorvelTest::qvlFileBytes(json, 7, 0) + QuorvelTest::rawBlock(1, coordinates) +
                           blocksAfterPlaques;
    std::string plaque(24, '\0');
    plaque[0] = 9;
    plaque[4] = 5;
    plaque[6] = 0x08; // level 1
    const std::string v8 = QuorvelTest::qvlFileBytes(json, 8, 0) + QuorvelTest::rawBlock(1, coordinates) +
                           QuorvelTest::rawBlock(1, plaque) + blocksAfterPlaques;

    for (int version : {7, 8}) {
        const std::string path = dir.write("v" + std::to_string(version), version == 7 ? v7 : v8);
        header_v09 header;
        qvlRenderSample4Aovs_t content;
        int digestSum = 0;
        const QvlReaderError e = version == 7 ? qvlReader_v7(path, header, content, digestSum)
                                              : qvlReader_v8(path, header, content, digestSum);
        ASSERT_EQ(e, QVL_OK) << version;
        ASSERT_EQ(content.samples.size(), 2u);
        EXPECT_EQ(content.samples[1].depth, 2.5f);
        EXPECT_EQ(content.samples[1].colour[3].bits(), 0x4003);
        EXPECT_EQ(content.samples[0].x, 10);
        EXPECT_EQ(content.samples[1].y, 21);
        EXPECT_EQ(content.samples[1].cameraIndex, 31);
        ASSERT_EQ(content.aovs.size(), 4u);
        EXPECT_EQ(content.aovs[0].asVec3[1], 2.0f);
        EXPECT_EQ(content.aovs[1].asInt, -5);
        EXPECT_EQ(content.aovs[2].asVec3[0], -1.0f);
        EXPECT_EQ(content.aovs[2].asVec3[2], 0.5f);
        EXPECT_EQ(content.aovs[3].asInt, 1);
        EXPECT_EQ(content.trailing, (std::vector<uint8_t>{1, 0}));
        EXPECT_EQ(content.coordinates.size(), 1u);
        EXPECT_EQ(header.fileCode, 77);
        EXPECT_EQ(header.frame, 4);
        std::string digested = coordinates + (version == 8 ? plaque : "") + samples + rgb + ints + tail;
        EXPECT_EQ(digestSum, byteSum(sha256(digested)));
        if (version == 7) {
            EXPECT_TRUE(content.plaques.empty());
            EXPECT_EQ(header.tolerance, 0.0f);
        } else {
            ASSERT_EQ(content.plaques.size(), 1u);
            EXPECT_EQ(content.plaques[0].cameraIndex, 9);
            EXPECT_EQ(content.plaques[0].y, 5);
            EXPECT_EQ(content.plaques[0].level, 1);
            EXPECT_EQ(header.tolerance, 0.5f);
        }
    }
}

TEST(QvlRenderFile, ReadSamplesAndAovFromAnOpenFile)
{
    header_v07 header;
    header.AOVTypes = {AOV_Byte};
    header.aovNums = 1;
    qvlRenderSample5_t sample;
    sample.depth = 3.0f;
    sample.level = 2;
    std::string samples;
    QuorvelTest::putRaw(samples, sample);
    const std::string bytes = "ignored" + QuorvelTest::rawBlock(1, samples) + QuorvelTest::rawBlock(1, "\x2A") +
                              QuorvelTest::rawBlock(0, "");
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fseek(file, 7, SEEK_SET);
    qvlRenderSample5Aovs_t content;
    HashSum hash;
    ASSERT_EQ(ReadSamplesAndAOV(file, header, content, hash), QVL_OK);
    std::fclose(file);
    ASSERT_EQ(content.samples.size(), 1u);
    EXPECT_EQ(content.samples[0].level, 2);
    EXPECT_EQ(content.aovs[0].asByte, 0x2A);
    EXPECT_TRUE(content.trailing.empty());
    EXPECT_EQ(hash.digestSum(), byteSum(sha256(samples + "\x2A")));
}

TEST(QvlRenderFile, BrokenFilesGiveTheirErrorCodes)
{
    TempDir dir;
    const std::string good = dir.file("good.qvl");
    const header_v09 header = renderHeader(40);
    ASSERT_EQ(qvlWriter_v9(good, header, renderContent(40, header.AOVTypes.size()), RenderingEngineId(1)), QVL_OK);
    const std::string bytes = readBytes(good);
    const size_t blocks = 20 + QuorvelTest::getU32(bytes, 16);

    auto read = [&](const std::string& content) {
        // Removed first: truncating a file in place makes some file systems
        // flush it to disk, which is slow.
        std::filesystem::remove(dir.file("case.qvl"));
        const std::string path = dir.write("case.qvl", content);
        header_v09 h;
        qvlRenderSample5Aovs_t c;
        int digestSum = 0;
        return qvlReader_v9(path, h, c, digestSum);
    };
    auto patched = [&](size_t at, uint32_t value) {
        std::string b = bytes;
        for (int i = 0; i < 4; ++i)
            b[at + i] = static_cast<char>(value >> (8 * i));
        return b;
    };
    std::string wrongFirst = bytes;
    wrongFirst[0] = 'Q';
    std::string version10 = bytes;
    version10[14] = 10;
    std::string badJson = bytes;
    badJson[20] = '[';
    // The samples block follows coordinates (0 stored) and plaques.
    size_t at = blocks;
    QuorvelTest::parseBlock(bytes, at, 12);
    QuorvelTest::parseBlock(bytes, at, 24);
    const size_t samplesAt = at;
    QuorvelTest::parseBlock(bytes, at, 28);
    const size_t firstColumnAt = at;
    std::string flippedFrame = bytes;
    flippedFrame[samplesAt + 8 + 12] ^= 0x40; // stored size inside the frame header

    const struct {
        const char* what;
        std::string content;
        QvlReaderError expected;
    } cases[] = {
        {"wrong first byte", wrongFirst, QVL_ERR_SIGNATURE},
        {"version 10.0", version10, QVL_ERR_VERSION},
        {"unparsable json", badJson, QVL_ERR_JSON},
        {"json longer than the file", patched(16, 0xFFFFFF00u), QVL_ERR_JSON},
        {"sample count beyond the frame", patched(samplesAt, 41), QVL_ERR_BLOCK_SIZE},
        {"huge raw sample count", patched(samplesAt + 4, 0).substr(0, samplesAt + 8) + std::string(64, '\0'),
         QVL_ERR_BLOCK_SIZE},
        {"huge count with a frame", patched(samplesAt, 0xFFFFFFF0u), QVL_ERR_BLOCK_SIZE},
        {"stored size beyond the end", patched(samplesAt + 4, 0x7FFFFFFFu), QVL_ERR_BLOCK_SIZE},
        {"frame header altered", flippedFrame, QVL_ERR_BLOCK_SIZE},
        {"column shorter than the samples", patched(firstColumnAt, 39), QVL_ERR_BLOCK_SIZE},
        {"no trailing block", bytes.substr(0, bytes.size() - 13), QVL_ERR_BLOCK_SIZE},
    };
    for (const auto& c : cases)
        EXPECT_EQ(read(c.content), c.expected) << c.what;

    header_v09 h;
    qvlRenderSample5Aovs_t c;
    int digestSum = 0;
    EXPECT_EQ(qvlReader_v9(dir.file("missing.qvl"), h, c, digestSum), QVL_ERR_OPEN);

    // Truncation fails cleanly with the code of the part it cuts: a few
    // cuts in the signature and JSON, every cut among the blocks.
    std::vector<size_t> lengths = {0, 1, 13, 15, 16, 19, 20, blocks / 2, blocks - 1};
    for (size_t length = blocks; length < bytes.size(); ++length)
        lengths.push_back(length);
    for (const size_t length : lengths) {
        const QvlReaderError e = read(bytes.substr(0, length));
        const QvlReaderError want = length < 16 ? QVL_ERR_SIGNATURE : length < blocks ? QVL_ERR_JSON : QVL_ERR_BLOCK_SIZE;
        ASSERT_EQ(e, want) << length;
    }
}

TEST(QvlRenderFile, ChangedDataChangesTheDecodedEngine)
{
    TempDir dir;
    const std::string path = dir.file("f.qvl");
    const header_v09 header = renderHeader(10);
    ASSERT_EQ(qvlWriter_v9(path, header, renderContent(10, header.AOVTypes.size()), RenderingEngineId(1)), QVL_OK);
    std::string bytes = readBytes(path);
    bytes[bytes.size() - 1] ^= 1; // last mask byte, stored raw
    const std::string changed = dir.write("changed.qvl", bytes);
    header_v09 h;
    qvlRenderSample5Aovs_t c;
    int digestSum = 0;
    ASSERT_EQ(qvlReader_v9(changed, h, c, digestSum), QVL_OK);
    EXPECT_NE(getRenderEngineId(h.fileCode, digestSum), RenderingEngineId(1));
}

TEST(QvlRenderFile, FailedWriteReportsThePathAndKeepsTheOldFile)
{
    QuorvelTest::LogCapture capture;
    TempDir dir;
    const header_v09 header = renderHeader(20000);
    const qvlRenderSample5Aovs_t content = renderContent(20000, header.AOVTypes.size());

    const std::string missing = dir.file("no/such/dir/f.qvl");
    EXPECT_EQ(qvlWriter_v9(missing, header, content, RenderingEngineId(1)), QVL_ERR_OPEN);
    ASSERT_EQ(capture.messages().size(), 1u);
    EXPECT_EQ(capture.messages()[0], "[Quorvel] Cannot create the file '" + missing + "'.\n");
    EXPECT_EQ(capture.entries()[0].level, Quorvel::Logger::ERROR);
    capture.clear();

    // A file-size limit makes the writes fail part way.
    const std::string path = dir.write("kept.qvl", "old content");
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 2000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const QvlReaderError e = qvlWriter_v9(path, header, content, RenderingEngineId(1));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);
    EXPECT_EQ(e, QVL_ERR_OPEN);
    EXPECT_EQ(readBytes(path), "old content");
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"[Quorvel] Writing the file '" + path + "' failed.\n"});
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.file("")), {}), 1);

    // Fewer AOV slots than samples times AOVs is refused before writing.
    qvlRenderSample5Aovs_t short_ = content;
    short_.aovs.pop_back();
    capture.clear();
    EXPECT_EQ(qvlWriter_v9(path, header, short_, RenderingEngineId(1)), QVL_ERR_OPEN);
    EXPECT_EQ(readBytes(path), "old content");
    EXPECT_EQ(capture.entries().size(), 1u);
}

// Large enough for the blocks to be compressed and decoded on several
// threads at once; the bytes must be those of one thread. A second read into
// the same, already filled result gives the same again.
TEST(QvlRenderFile, ThreadedBlockWorkGivesTheSameFile)
{
    TempDir dir;
    const header_v09 header = renderHeader(40000);
    const qvlRenderSample5Aovs_t content = renderContent(40000, header.AOVTypes.size());
    const std::string path = dir.file("big.qvl");
    ASSERT_EQ(qvlWriter_v9(path, header, content, RenderingEngineId(1)), QVL_OK);
    header_v09 readHeader;
    qvlRenderSample5Aovs_t read;
    int digestSum = 0;
    ASSERT_EQ(qvlReader_v9(path, readHeader, read, digestSum), QVL_OK);
    expectSameContent(content, read);
    EXPECT_EQ(getRenderEngineId(readHeader.fileCode, digestSum), 1);

    for (AOVData& slot : read.aovs)
        slot.asVec4[3] = 9.0f; // a byte no column writes
    read.samples.resize(50000);
    read.trailing.push_back(7);
    ASSERT_EQ(qvlReader_v9(path, readHeader, read, digestSum), QVL_OK);
    expectSameContent(content, read);
    EXPECT_EQ(getRenderEngineId(readHeader.fileCode, digestSum), 1);

    const std::string bytes = readBytes(path);
    size_t at = 20 + QuorvelTest::getU32(bytes, 16);
    QuorvelTest::parseBlock(bytes, at, 12);
    QuorvelTest::parseBlock(bytes, at, 24);
    const auto samples = QuorvelTest::parseBlock(bytes, at, 28);
    EXPECT_EQ(samples.frame, QuorvelTest::bloscBlock(40000, 28, samples.data).substr(8));
}
