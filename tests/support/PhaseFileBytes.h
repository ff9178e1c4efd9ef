#pragma once

#include <gtest/gtest.h>
#include <json/json.h>
#include <openssl/evp.h>

#include <Imath/half.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/io/QvlFileBytes.h"

// Detection and render files taken apart byte by byte from the file layout,
// without the library's reader: signature, version, JSON header, then the
// Blosc blocks (coordinates, plaques, samples, one column per AOV, mask).
namespace QuorvelTest {

struct FilePlaque {
    uint8_t camera = 0;
    uint16_t x = 0, y = 0;
    uint8_t zeroByte = 0;
    bool estimated = false, hair = false, reserved = false, transparent = false;
    uint8_t level = 0;
    uint32_t highBits = 0; // bits 22-31 of the bit field, zero in a sound file
    float depth = 0.0f;
    float normal[3] = {0.0f, 0.0f, 0.0f};
};

struct FileSample {
    float depth = 0.0f;
    float colour[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    float normal[3] = {0.0f, 0.0f, 0.0f};
    uint16_t x = 0, y = 0;
    uint8_t camera = 0, level = 0;
    bool zeroPadding = true;
};

struct PhaseFile {
    std::string signature;
    uint8_t major = 0, minor = 0;
    Json::Value header;
    uint32_t coordinateCount = 0;
    std::vector<FilePlaque> plaques;
    std::vector<FileSample> samples;
    std::vector<std::string> aovColumns; // decompressed bytes of each AOV block
    std::vector<uint8_t> mask;
    int digestSum = 0;     // sum of the SHA-256 bytes over the stored blocks
    bool consumed = false; // the mask block ends the file exactly
};

inline float halfAt(const std::string& b, size_t at)
{
    uint16_t bits = 0;
    std::memcpy(&bits, b.data() + at, 2);
    Imath::half h;
    h.setBits(bits);
    return static_cast<float>(h);
}

template <class T>
T valueAt(const std::string& b, size_t at)
{
    T v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

// Element sizes of the AOV columns by AOV type (byte, int, half, three
// halves, double, three halves, two halves).
inline size_t aovColumnSize(int type)
{
    static const size_t sizes[] = {1, 4, 2, 6, 8, 6, 4};
    return type >= 0 && type < 7 ? sizes[type] : 0;
}

inline PhaseFile readPhaseFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    PhaseFile f;
    if (bytes.size() < 20) {
        ADD_FAILURE() << path << " is too short";
        return f;
    }
    f.signature = bytes.substr(0, 14);
    f.major = static_cast<uint8_t>(bytes[14]);
    f.minor = static_cast<uint8_t>(bytes[15]);
    const uint32_t length = getU32(bytes, 16);
    Json::Reader reader;
    EXPECT_TRUE(reader.parse(bytes.substr(20, length), f.header)) << path;
    size_t at = 20 + length;

    EVP_MD_CTX* sha = EVP_MD_CTX_new();
    EVP_DigestInit_ex(sha, EVP_sha256(), nullptr);
    auto digest = [&](const ParsedBlock& b) {
        if (b.count > 0)
            EVP_DigestUpdate(sha, b.data.data(), b.data.size());
    };

    const ParsedBlock coordinates = parseBlock(bytes, at, 12);
    f.coordinateCount = coordinates.count;
    digest(coordinates);
    const ParsedBlock plaques = parseBlock(bytes, at, 24);
    digest(plaques);
    for (size_t i = 0; i < plaques.count; ++i) {
        const size_t r = i * 24;
        FilePlaque p;
        p.camera = static_cast<uint8_t>(plaques.data[r]);
        p.x = valueAt<uint16_t>(plaques.data, r + 1);
        p.zeroByte = static_cast<uint8_t>(plaques.data[r + 3]);
        const uint32_t bits = valueAt<uint32_t>(plaques.data, r + 4);
        p.y = static_cast<uint16_t>(bits & 0xFFFF);
        p.estimated = (bits >> 16) & 1;
        p.hair = (bits >> 17) & 1;
        p.reserved = (bits >> 18) & 1;
        p.level = static_cast<uint8_t>((bits >> 19) & 3);
        p.transparent = (bits >> 21) & 1;
        p.highBits = bits >> 22;
        p.depth = valueAt<float>(plaques.data, r + 8);
        for (int k = 0; k < 3; ++k)
            p.normal[k] = valueAt<float>(plaques.data, r + 12 + 4 * static_cast<size_t>(k));
        f.plaques.push_back(p);
    }
    const ParsedBlock samples = parseBlock(bytes, at, 28);
    digest(samples);
    for (size_t i = 0; i < samples.count; ++i) {
        const size_t r = i * 28;
        FileSample s;
        s.depth = valueAt<float>(samples.data, r);
        for (int k = 0; k < 4; ++k)
            s.colour[k] = halfAt(samples.data, r + 4 + 2 * static_cast<size_t>(k));
        for (int k = 0; k < 3; ++k)
            s.normal[k] = halfAt(samples.data, r + 12 + 2 * static_cast<size_t>(k));
        s.x = valueAt<uint16_t>(samples.data, r + 18);
        s.y = valueAt<uint16_t>(samples.data, r + 20);
        s.camera = static_cast<uint8_t>(samples.data[r + 22]);
        s.level = static_cast<uint8_t>(samples.data[r + 24]);
        s.zeroPadding = samples.data[r + 23] == 0 && samples.data[r + 25] == 0 && samples.data[r + 26] == 0 &&
                        samples.data[r + 27] == 0;
        f.samples.push_back(s);
    }
    for (const Json::Value& type : f.header["AOVTypes"]) {
        const ParsedBlock column = parseBlock(bytes, at, aovColumnSize(type.asInt()));
        if (samples.count > 0)
            digest(column);
        f.aovColumns.push_back(column.data);
    }
    const ParsedBlock mask = parseBlock(bytes, at, 1);
    digest(mask);
    f.mask.assign(mask.data.begin(), mask.data.end());
    f.consumed = at == bytes.size();

    unsigned char sum[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(sha, sum, &size);
    EVP_MD_CTX_free(sha);
    for (unsigned int i = 0; i < size; ++i)
        f.digestSum += sum[i];
    return f;
}

// The same plaques, samples, AOVs and mask in the same order, and the same
// header apart from the file code, which every write draws anew.
inline void expectSamePhaseData(const std::string& expectedPath, const std::string& actualPath)
{
    const PhaseFile expected = readPhaseFile(expectedPath);
    const PhaseFile actual = readPhaseFile(actualPath);
    Json::Value a = expected.header, b = actual.header;
    a.removeMember("fileCode");
    b.removeMember("fileCode");
    EXPECT_EQ(a, b);
    ASSERT_EQ(expected.plaques.size(), actual.plaques.size());
    for (std::size_t i = 0; i < expected.plaques.size(); ++i) {
        const auto& p = expected.plaques[i];
        const auto& q = actual.plaques[i];
        ASSERT_TRUE(p.camera == q.camera && p.x == q.x && p.y == q.y && p.level == q.level &&
                    p.transparent == q.transparent && p.depth == q.depth && p.normal[0] == q.normal[0] &&
                    p.normal[1] == q.normal[1] && p.normal[2] == q.normal[2])
            << "plaque " << i;
    }
    ASSERT_EQ(expected.samples.size(), actual.samples.size());
    for (std::size_t i = 0; i < expected.samples.size(); ++i) {
        const auto& p = expected.samples[i];
        const auto& q = actual.samples[i];
        ASSERT_TRUE(p.camera == q.camera && p.x == q.x && p.y == q.y && p.level == q.level && p.depth == q.depth &&
                    std::equal(p.colour, p.colour + 4, q.colour))
            << "sample " << i;
    }
    EXPECT_EQ(expected.aovColumns, actual.aovColumns);
    EXPECT_EQ(expected.mask, actual.mask);
    EXPECT_TRUE(actual.consumed);
}

} // namespace QuorvelTest
