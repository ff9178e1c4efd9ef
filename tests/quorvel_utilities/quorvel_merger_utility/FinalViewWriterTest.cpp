#include <gtest/gtest.h>

#include <blosc.h>
#include <lodepng.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FinalViewWriter.h"
#include "camera/CubeMap.h"
#include "support/FinalViewBytes.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using namespace Quorvel::FinalView;
using Quorvel::Binary::vekbin;
namespace fs = std::filesystem;
using QuorvelTest::Bytes;
using QuorvelTest::colourOf;
using QuorvelTest::decodedEngine;
using QuorvelTest::decompress;
using QuorvelTest::readFile;

namespace {

using QuorvelTest::TempDir;

constexpr int32_t kW = 96, kH = 64; // cube faces of 32 pixels

std::vector<VekPoint> cameras(std::size_t n)
{
    std::vector<VekPoint> c(n);
    for (std::size_t k = 0; k < n; ++k)
        c[k] = {static_cast<float>(k % 7) * 10.0f - 30.0f, static_cast<float>(k % 3) * 5.0f, -static_cast<float>(k)};
    return c;
}

vekbin makeSample(const std::vector<VekPoint>& cams, uint8_t camera, uint16_t x, uint16_t y, double depth,
                  VekRGBA colour, int32_t projection = 1)
{
    vekbin s;
    s.camera = camera;
    s.x = x;
    s.y = y;
    s.depth = depth;
    s.colour = colour;
    s.rightColour = {colour.r, colour.g, colour.b};
    s.normal = {0, 0, 1};
    s.plaqueWidth = 1;
    s.plaqueHeight = 1;
    s.level = 0;
    s.width = kW;
    s.height = kH;
    s.updateDerived(cams, projection);
    return s;
}

// Files a writer leaves beside its output: hidden names, or the old suffix.
int temporaryFilesIn(const fs::path& folder)
{
    int n = 0;
    for (const auto& e : fs::directory_iterator(folder)) {
        const std::string name = e.path().filename().string();
        n += name[0] == '.' || e.path().extension() == ".partial";
    }
    return n;
}

FinalHeader header(int32_t projection = 1)
{
    FinalHeader h;
    h.displayWidth = kW;
    h.displayHeight = kH;
    h.boxScale = {2.0f, 1.0f, 0.5f};
    h.camOffset = {1, -2, 259};
    for (int i = 0; i < 16; ++i)
        h.camToWorld[i] = static_cast<float>(i) * 0.5f;
    h.projection = projection;
    h.engineId = 1;
    return h;
}

std::vector<NamedBlock> blocks(const std::vector<VekPoint>& cams, const FinalHeader& h)
{
    return {{"camPosTable", makeCamPosTable(cams, 1.0f, h.camOffset, h.boxScale)}};
}

} // namespace

TEST(FinalViewWriter, ReaderFromTheByteLayoutReadsEverythingBack)
{
    QuorvelTest::LogCapture log;
    TempDir dir;
    const auto cams = cameras(9);
    const FinalHeader h = header();
    std::vector<vekbin> samples;
    // Interleaved opaque and transparent samples, written out of order.
    for (int i = 0; i < 40; ++i) {
        const float a = (i % 4 == 3) ? 0.5f : 1.0f;
        samples.push_back(makeSample(cams, static_cast<uint8_t>(8 - i % 9), static_cast<uint16_t>((i * 7) % kW),
                                     static_cast<uint16_t>((i * 5) % kH), 20.0 + i * 13.0,
                                     {0.2f + 0.01f * i, 0.5f, 0.8f - 0.01f * i, a}));
    }
    const std::vector<vekbin> original = samples;
    const std::vector<uint8_t> background = {1, 2, 3, 4, 5};
    const fs::path out = dir.path() / "shot.qvl";
    ASSERT_EQ(writeFinalView(out, h, samples, background, blocks(cams, h)), 0);
    EXPECT_TRUE(log.contains("Motion vectors are always zero and have been discarded!\n"));
    EXPECT_FALSE(fs::exists(dir.path() / "shot.qvl.partial"));
    EXPECT_EQ(temporaryFilesIn(dir.path()), 0);

    const Bytes f = readFile(out);
    const uint8_t magic[8] = {0x82, 0x51, 0x56, 0x4C, 0x3D, 0x0A, 0x24, 0x0A};
    ASSERT_EQ(std::memcmp(f.data.data(), magic, 8), 0);
    EXPECT_EQ(f.u16(8), 4);
    EXPECT_EQ(f.u16(10), 0);
    EXPECT_EQ(f.u32(12), 40u);
    EXPECT_EQ(f.u16(16), kW);
    EXPECT_EQ(f.u16(18), kH);
    const float box[6] = {-100.0f, -50.0f, -25.0f, 100.0f, 50.0f, 25.0f};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(f.f32(20 + 4 * i), box[i]);
    EXPECT_EQ(f.data[44], 1);
    EXPECT_EQ(f.data[45], 0xFE);
    EXPECT_EQ(f.data[46], 3); // 259 & 255
    EXPECT_EQ(f.data[47], 0);
    EXPECT_EQ(f.u32(48), 30u);
    EXPECT_EQ(f.u32(52), 10u);
    EXPECT_EQ(f.u32(56), 9u); // always-on bit and cube projection
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(f.f32(60 + 4 * i), 0.0f);
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(f.f32(84 + 4 * i), static_cast<float>(i) * 0.5f);

    // Sections follow each other in the stated order.
    EXPECT_EQ(f.u32(148), 200u);
    EXPECT_EQ(f.u32(156), 200u);
    EXPECT_EQ(f.u32(160), 0u);
    EXPECT_EQ(f.u32(164), 0u);
    EXPECT_EQ(f.u32(196), 200u + f.u32(152));
    EXPECT_EQ(f.u32(192), 16u + 12u + 11u + 3072u);
    EXPECT_GT(f.u32(168), 0u);
    EXPECT_EQ(f.u32(172), f.u32(196) + f.u32(192));
    EXPECT_EQ(f.u32(176), 552u);
    EXPECT_EQ(f.u32(180), f.u32(172) + f.u32(168));
    EXPECT_EQ(f.u32(184), 5u);
    EXPECT_EQ(f.u32(188), f.u32(180) + 552u);
    EXPECT_EQ(f.data.size(), f.u32(188) + 5u);
    EXPECT_EQ(f.slice(f.u32(188), 5), background);

    // Named blocks: one entry "camPosTable" of 256 records.
    const std::size_t nb = f.u32(196);
    EXPECT_EQ(f.u32(nb), 0x0042564Bu);
    ASSERT_EQ(f.u32(nb + 4), 1u);
    EXPECT_EQ(f.u16(nb + 8), 11);
    EXPECT_EQ(f.u16(nb + 10), 8);
    const std::vector<uint8_t> name = f.slice(nb + 8 + f.u16(nb + 10), 11);
    EXPECT_EQ(std::string(name.begin(), name.end()), "camPosTable");
    const std::size_t record = nb + 8 + f.u32(nb + 12);
    ASSERT_EQ(f.u32(record), 3072u);
    for (std::size_t k = 0; k < 256; ++k) {
        const VekPoint expected = k < cams.size() ? VekPoint{(cams[k].x - 1 * 100.0f * 2.0f) * 0.01f,
                                                             (cams[k].y + 2 * 100.0f * 1.0f) * 0.01f,
                                                             (cams[k].z - 259 * 100.0f * 0.5f) * 0.01f}
                                                  : VekPoint{0, 0, 0};
        EXPECT_EQ(f.f32(record + 4 + 12 * k), expected.x) << k;
        EXPECT_EQ(f.f32(record + 8 + 12 * k), expected.y) << k;
        EXPECT_EQ(f.f32(record + 12 + 12 * k), expected.z) << k;
    }
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(f.data[record + 4 + 3072 + i], 0);

    // Trailer.
    const std::size_t t = f.u32(180);
    for (int i = 0; i < 512; ++i)
        ASSERT_EQ(f.data[t + i], 0);
    EXPECT_EQ(f.u32(t + 512), 1u);
    EXPECT_EQ(f.u16(t + 518), 4);
    const uint32_t ranges[8] = {0, 44, 48, 36, 148, 20, 176, 8};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(f.u32(t + 520 + 4 * i), ranges[i]);
    EXPECT_EQ(decodedEngine(f), 1);

    // Preview: a 256 x 256 PNG.
    std::vector<unsigned char> picture;
    unsigned pw = 0, ph = 0;
    EXPECT_EQ(lodepng::decode(picture, pw, ph, f.slice(f.u32(172), f.u32(168))), 0u);
    EXPECT_EQ(pw, 256u);
    EXPECT_EQ(ph, 256u);

    // Sample codes: opaque by key, then transparent farthest first; each
    // decodes to its sample's position and colour within the quantisation.
    const std::vector<uint8_t> codes = decompress(f.slice(200, f.u32(152)));
    ASSERT_EQ(codes.size(), 40u * 16u);
    Bytes c{codes};
    uint64_t lastKey = 0;
    double lastDistance = 1e30;
    for (std::size_t i = 0; i < 40; ++i) {
        const std::size_t at = 16 * i;
        const uint32_t w0 = c.u32(at), w1 = c.u32(at + 4), w2 = c.u32(at + 8), w3 = c.u32(at + 12);
        const uint32_t camera = w1 >> 24;
        const uint32_t x = (w3 >> 7) & 0x1FFF, y = w3 >> 20;
        const bool transparent = (w0 >> 24) != 255;
        const uint64_t key = ((static_cast<uint64_t>(camera) << 24) + y) << 32 | x;
        if (i < 30) {
            EXPECT_FALSE(transparent);
            EXPECT_GE(key, lastKey);
            lastKey = key;
        }
        const vekbin* s = nullptr;
        for (const vekbin& o : original)
            if (o.key == key)
                s = &o;
        ASSERT_NE(s, nullptr);
        if (i >= 30) {
            EXPECT_TRUE(transparent);
            EXPECT_LE(s->distance, lastDistance);
            lastDistance = s->distance;
        }
        const double depth = std::tan(((w2 >> 16) & 0x7FFF) * (1.5697963 - 0.014998876) / 32767 + 0.014998876) * 100;
        const VekPoint d =
            Quorvel::Camera::cubeMapDirection((x + 0.5f) / static_cast<float>(kW), (y + 0.5f) / static_cast<float>(kH));
        const VekPoint p{static_cast<float>(d.x * depth + cams[camera].x), static_cast<float>(d.y * depth + cams[camera].y),
                         static_cast<float>(d.z * depth + cams[camera].z)};
        // One depth step is about 0.005% of the depth at these ranges.
        const float tol = static_cast<float>(s->depth) * 1e-3f;
        EXPECT_NEAR(p.x, s->position.x, tol);
        EXPECT_NEAR(p.y, s->position.y, tol);
        EXPECT_NEAR(p.z, s->position.z, tol);
        EXPECT_NEAR((w0 >> 24) / 255.0f, s->colour.a, 0.5f / 255.0f);
        const VekRGB rgb = colourOf(w0 & 0xFFFFFF);
        const float a = s->colour.a; // opaque and unflagged colours are premultiplied
        EXPECT_NEAR(rgb.r, s->colour.r * a, 0.02f);
        EXPECT_NEAR(rgb.g, s->colour.g * a, 0.02f);
        EXPECT_NEAR(rgb.b, s->colour.b * a, 0.02f);
        EXPECT_EQ((w1 ^ w0) & 0xFFFFFF, w0 & 0xFFFFFF) << "right colour equals the colour";
    }
}

TEST(FinalViewWriter, TamperingWithACoveredByteChangesTheDecodedEngine)
{
    QuorvelTest::LogCapture log;
    TempDir dir;
    const auto cams = cameras(2);
    std::vector<vekbin> samples;
    for (int i = 0; i < 50; ++i)
        samples.push_back(makeSample(cams, 1, static_cast<uint16_t>(i), 3, 50.0 + i, {0.3f, 0.3f, 0.3f, 1}));
    const FinalHeader h = header();
    const fs::path out = dir.path() / "t.qvl";
    ASSERT_EQ(writeFinalView(out, h, samples, {}, blocks(cams, h)), 0);
    Bytes f = readFile(out);
    ASSERT_EQ(decodedEngine(f), 1);
    EXPECT_EQ(f.u32(184), 0u);
    EXPECT_EQ(f.u32(188), 0u);
    EXPECT_EQ(f.data.size(), f.u32(180) + 552u);
    int changed = 0;
    for (std::size_t at : {std::size_t{12}, std::size_t{56}, std::size_t{152}, std::size_t{180},
                           std::size_t{200 + 20}, std::size_t{200 + 40}}) {
        Bytes copy = f;
        copy.data[at] ^= 0x10;
        changed += decodedEngine(copy) != 1;
    }
    EXPECT_GE(changed, 5); // one in 99 may collide
    // Fields outside the covered ranges are not protected.
    Bytes copy = f;
    copy.data[44] ^= 1;
    EXPECT_EQ(decodedEngine(copy), 1);
}

TEST(FinalViewWriter, MotionBlockAndLatLongFlags)
{
    QuorvelTest::LogCapture log;
    TempDir dir;
    const auto cams = cameras(3);
    struct Case {
        int32_t projection;
        int32_t draft;
        uint32_t flags;
        uint32_t motionBytes;
    };
    for (const Case& k : {Case{1, 0, 11, 4}, Case{0, 1, 7, 2}}) {
        std::vector<vekbin> samples;
        for (int i = 0; i < 20; ++i) {
            vekbin s = makeSample(cams, 2, static_cast<uint16_t>(i + 20), 30, 80.0 + i, {0.5f, 0.4f, 0.3f, 1},
                                  k.projection);
            if (i % 2)
                s.velocity = {0.5f * i, 0.0f, 1.0f};
            samples.push_back(s);
        }
        FinalHeader h = header(k.projection);
        h.draft = k.draft;
        log.clear();
        const fs::path out = dir.path() / ("m" + std::to_string(k.projection) + ".qvl");
        ASSERT_EQ(writeFinalView(out, h, samples, {}, blocks(cams, h)), 0);
        bool logged = false;
        for (const auto& m : log.messages())
            logged |= m.rfind("Motion vectors are present (linear scale ", 0) == 0;
        EXPECT_TRUE(logged);
        const Bytes f = readFile(out);
        EXPECT_EQ(f.u32(56), k.flags);
        ASSERT_GT(f.u32(160), 0u);
        EXPECT_EQ(f.u32(164), 200u + f.u32(152));
        EXPECT_EQ(f.u32(196), f.u32(164) + f.u32(160));
        const std::vector<uint8_t> motion = decompress(f.slice(f.u32(164), f.u32(160)));
        ASSERT_EQ(motion.size(), 20u * k.motionBytes);
        const std::vector<uint8_t> codes = decompress(f.slice(200, f.u32(152)));
        for (std::size_t i = 0; i < 20; ++i) {
            const Bytes c{std::vector<uint8_t>(codes.begin() + 16 * i, codes.begin() + 16 * i + 16)};
            const bool flagged = k.projection ? (c.u32(12) >> 5 & 1) : (c.u32(4) >> 15 & 1);
            bool nonzero = false;
            for (uint32_t b = 0; b < k.motionBytes; ++b)
                nonzero |= motion[k.motionBytes * i + b] != 0;
            if (!flagged) {
                EXPECT_FALSE(nonzero) << i;
            }
        }
        EXPECT_NE(f.f32(60 + 4 * 3), 0.0f); // azimuth step
        EXPECT_EQ(decodedEngine(f), 1);
    }
}

TEST(FinalViewWriter, FailuresLeaveNothingUnderTheOutputName)
{
    QuorvelTest::LogCapture log;
    TempDir dir;
    const auto cams = cameras(1);
    const FinalHeader h = header();
    std::vector<vekbin> none;
    EXPECT_EQ(writeFinalView(dir.path() / "empty.qvl", h, none, {}, blocks(cams, h)), 250);
    EXPECT_FALSE(fs::exists(dir.path() / "empty.qvl"));

    std::vector<vekbin> one = {makeSample(cams, 0, 1, 1, 10.0, {1, 1, 1, 1})};
    EXPECT_EQ(writeFinalView(dir.path() / "missing" / "a.qvl", h, one, {}, blocks(cams, h)), -7);
    EXPECT_FALSE(fs::exists(dir.path() / "missing"));

    // The output name is taken by a non-empty directory: the rename fails,
    // the call reports it and the temporary file is gone.
    fs::create_directories(dir.path() / "busy.qvl" / "inside");
    EXPECT_EQ(writeFinalView(dir.path() / "busy.qvl", h, one, {}, blocks(cams, h)), -8);
    EXPECT_TRUE(fs::is_directory(dir.path() / "busy.qvl" / "inside"));
    EXPECT_FALSE(fs::exists(dir.path() / "busy.qvl.partial"));
    EXPECT_EQ(temporaryFilesIn(dir.path()), 0);

    // An existing file is replaced whole.
    {
        std::ofstream old(dir.path() / "old.qvl");
        old << std::string(100000, 'x');
    }
    EXPECT_EQ(writeFinalView(dir.path() / "old.qvl", h, one, {}, blocks(cams, h)), 0);
    const Bytes f = readFile(dir.path() / "old.qvl");
    EXPECT_EQ(f.data.size(), f.u32(180) + 552u);
}

TEST(FinalViewWriter, NamedBlocksLayoutAndLimits)
{
    const std::vector<NamedBlock> two = {{"ab", {1, 2, 3}}, {"xyz", {}}};
    const Bytes t{serializeNamedBlocks(two)};
    ASSERT_EQ(t.data.size(), 16u + 24u + 5u + 3u);
    EXPECT_EQ(t.u32(0), 0x0042564Bu);
    EXPECT_EQ(t.u32(4), 2u);
    EXPECT_EQ(t.u16(8), 2);
    EXPECT_EQ(t.u16(10), 16);
    EXPECT_EQ(t.u32(12), 21u);
    EXPECT_EQ(t.u16(16), 3);
    EXPECT_EQ(t.u16(18), 18);
    EXPECT_EQ(t.u32(20), 28u);
    EXPECT_EQ(std::string(t.data.begin() + 24, t.data.begin() + 29), "abxyz");
    EXPECT_EQ(t.u32(29), 3u);
    EXPECT_EQ(t.data[33], 1);
    EXPECT_EQ(t.data[35], 3);
    EXPECT_EQ(t.u32(36), 0u);
    for (int i = 40; i < 48; ++i)
        EXPECT_EQ(t.data[i], 0);

    EXPECT_TRUE(serializeNamedBlocks({{std::string(65536, 'n'), {}}}).empty());
    EXPECT_EQ(serializeNamedBlocks({{std::string(65535, 'n'), {}}}).size(), 16u + 12u + 65535u);
    EXPECT_EQ(serializeNamedBlocks({}).size(), 16u);
}

TEST(FinalViewWriter, CameraTableKeepsTheFirst256Cameras)
{
    const auto many = cameras(300);
    const Bytes t{makeCamPosTable(many, 2.0f, {0, 0, 0}, {1, 1, 1})};
    ASSERT_EQ(t.data.size(), 3072u);
    EXPECT_EQ(t.f32(255 * 12 + 8), many[255].z * 2.0f * 0.01f);
}

TEST(FinalViewWriter, BackgroundAlphaFollowsThePixelMask)
{
    // Mask of a 48 x 32 cube image: everything covered except face +y
    // (lower row, middle face), which sees the sky straight up.
    const uint32_t W = 48, H = 32;
    std::vector<uint8_t> mask(W * H, 1);
    for (uint32_t y = 16; y < 32; ++y)
        for (uint32_t x = 16; x < 32; ++x)
            mask[y * W + x] = 0;
    const auto png = makeBackground(mask, W, H, 0x00FF00FF);
    ASSERT_TRUE(png.has_value());
    std::vector<unsigned char> image;
    unsigned w = 0, h = 0;
    ASSERT_EQ(lodepng::decode(image, w, h, *png), 0u);
    ASSERT_EQ(w, W);
    ASSERT_EQ(h, H);
    // Top rows look up (+y): visible background; bottom rows look down: covered.
    EXPECT_EQ(image[3], 255);
    EXPECT_EQ(image[((H - 1) * W) * 4 + 3], 0);
    EXPECT_EQ(image[0], 0xFF);
    EXPECT_EQ(image[1], 0x00);
    EXPECT_EQ(image[2], 0xFF);
    // The default colour is black.
    const auto black = makeBackground(mask, W, H, 0);
    ASSERT_TRUE(black.has_value());
    image.clear(); // lodepng appends
    ASSERT_EQ(lodepng::decode(image, w, h, *black), 0u);
    EXPECT_EQ(image[0] | image[1] | image[2], 0);
    EXPECT_EQ(image[3], 255);

    EXPECT_FALSE(makeBackground({}, W, H, 0).has_value());
    EXPECT_FALSE(makeBackground(mask, W, H, fs::path("/nonexistent/background.png")).has_value());

    // A PNG file keeps its own size and colours.
    TempDir dir;
    std::vector<unsigned char> picture(8 * 4 * 4, 200);
    ASSERT_EQ(lodepng::encode((dir.path() / "bg.png").string(), picture, 8, 4), 0u);
    const auto fromFile = makeBackground(mask, W, H, dir.path() / "bg.png");
    ASSERT_TRUE(fromFile.has_value());
    image.clear();
    ASSERT_EQ(lodepng::decode(image, w, h, *fromFile), 0u);
    EXPECT_EQ(w, 8u);
    EXPECT_EQ(h, 4u);
    EXPECT_EQ(image[0], 200);
    EXPECT_EQ(image[3], 255);
}
