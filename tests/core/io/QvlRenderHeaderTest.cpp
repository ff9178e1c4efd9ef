#include "io/QvlRenderHeader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "core/io/QvlTestFile.h"
#include "support/LogCapture.h"

using namespace Quorvel::BinIO;
using Quorvel::Phase::AOVType;
using QuorvelTest::qvlFileBytes;
using QuorvelTest::TempDir;

namespace {

const std::string kFullHeader =
    R"({"AOVNames":["Cd_Right","qvlCockpit"],"AOVTypes":[3,1],"CamToWorld00":2.0,"CamToWorld01":0.0,)"
    R"("CamToWorld02":0.0,"CamToWorld03":0.0,"CamToWorld10":0.0,"CamToWorld11":2.0,"CamToWorld12":0.0,)"
    R"("CamToWorld13":0.0,"CamToWorld20":0.0,"CamToWorld21":0.0,"CamToWorld22":2.0,"CamToWorld23":0.0,)"
    R"("CamToWorld30":5.5,"CamToWorld31":-1.25,"CamToWorld32":3.0,"CamToWorld33":1.0,)"
    R"("aovNums":2,"boxScaleX":1.5,"boxScaleY":0.5,"boxScaleZ":2.0,"camId":0,"camOffsetX":-2,)"
    R"("camOffsetY":3,"camOffsetZ":4,)"
    R"("cameras":[{"direction":{"minusX":false,"minusY":false,"minusZ":true,"plusX":true,"plusY":false,)"
    R"("plusZ":false},"location":{"x":-50.0,"y":30.0,"z":-50.0},"priority":12.0},)"
    R"({"direction":{"minusX":true,"minusY":true,"minusZ":true,"plusX":true,"plusY":true,"plusZ":true},)"
    R"("location":{"x":0.0,"y":0.0,"z":0.0},"priority":0.0}],)"
    R"("coordinates":0,"draft":1,"eye":0,"fileCode":4321,"fillHoleCount":1000001,"frame":17,)"
    R"("globalScale":2.0,"heightDisplay":2000,"ipd":64.5,"passMode":2,"projection":1,"rtype":true,)"
    R"("sampleNums":0,"stereoRender":true,"tolerance":0.5,"widthDisplay":3000,)"
    R"("zov_distance_to_ground":1.75})";

} // namespace

TEST(QvlRenderHeader, ReadsEveryKeyOfAVersion91Header)
{
    TempDir dir;
    const std::string path = dir.write("full.qvl", qvlFileBytes(kFullHeader));
    header_v09 h;
    ASSERT_EQ(qvlReader_v9(path, h), 0);

    EXPECT_EQ(h.boxScaleX, 1.5f);
    EXPECT_EQ(h.boxScaleY, 0.5f);
    EXPECT_EQ(h.boxScaleZ, 2.0f);
    EXPECT_EQ(h.globalScale, 2.0f);
    EXPECT_EQ(h.camOffsetX, -2);
    EXPECT_EQ(h.camOffsetY, 3);
    EXPECT_EQ(h.camOffsetZ, 4);
    EXPECT_TRUE(h.stereoRender);
    EXPECT_TRUE(h.rtype);
    EXPECT_EQ(h.camId, 0);
    EXPECT_EQ(h.zov_distance_to_ground, 1.75f);
    EXPECT_EQ(h.widthDisplay, 3000);
    EXPECT_EQ(h.heightDisplay, 2000);
    EXPECT_EQ(h.draft, 1);
    EXPECT_EQ(h.projection, 1);
    EXPECT_EQ(h.aovNums, 2u);
    EXPECT_EQ(h.AOVNames, (std::vector<std::string>{"Cd_Right", "qvlCockpit"}));
    EXPECT_EQ(h.AOVTypes, (std::vector<AOVType>{Quorvel::Phase::AOV_RGB, Quorvel::Phase::AOV_Int}));
    EXPECT_EQ(h.sampleNums, 0u);
    EXPECT_EQ(h.coordinates, 0u);
    EXPECT_EQ(h.passMode, 2);
    EXPECT_EQ(h.fileCode, 4321);
    EXPECT_EQ(h.frame, 17);
    EXPECT_EQ(h.eye, 0);
    EXPECT_EQ(h.ipd, 64.5f);
    EXPECT_EQ(h.fillHoleCount, 1000001u);
    EXPECT_EQ(h.tolerance, 0.5f);
    const VekMatrix4 expected = {{{2, 0, 0, 0}, {0, 2, 0, 0}, {0, 0, 2, 0}, {5.5f, -1.25f, 3, 1}}};
    EXPECT_EQ(h.CamToWorld, expected);

    ASSERT_EQ(h.cameraPositions.size(), 2u);
    EXPECT_EQ(h.cameraPositions[0].x, -50.0f);
    EXPECT_EQ(h.cameraPositions[0].y, 30.0f);
    EXPECT_EQ(h.cameraPositions[0].z, -50.0f);
    EXPECT_EQ(h.cameraPriorities, (std::vector<float>{12.0f, 0.0f}));
    // minusZ is bit 1, plusX bit 2; all six faces make 63.
    EXPECT_EQ(h.cameraFaceMasks, (std::vector<uint32_t>{3u, 63u}));
}

namespace {

// Every field with a value of its own, camera table included.
header_v09 distinctiveHeader()
{
    header_v09 h;
    h.boxScaleX = 1.25f;
    h.boxScaleY = 0.1f;
    h.boxScaleZ = 3.0f;
    h.globalScale = 2.5f;
    h.camOffsetX = -1;
    h.camOffsetY = 2;
    h.camOffsetZ = -3;
    h.stereoRender = true;
    h.rtype = false;
    h.camId = 6;
    h.zov_distance_to_ground = 1.6f;
    h.widthDisplay = 6000;
    h.heightDisplay = 4000;
    h.draft = 1;
    h.projection = 1;
    h.aovNums = 2;
    h.AOVNames = {"Cd_Right", "qvlVelocity"};
    h.AOVTypes = {Quorvel::Phase::AOV_RGB, Quorvel::Phase::AOV_Vector3};
    h.sampleNums = 5000000000u;
    h.coordinates = 0;
    h.passMode = 2;
    h.fileCode = 777;
    h.frame = -12;
    h.eye = 0;
    h.ipd = 63.65f;
    h.fillHoleCount = 123456789012u;
    h.tolerance = 0.3f;
    h.CamToWorld = {{{0, 1, 0, 0}, {-1, 0, 0, 0}, {0, 0, 2.5f, 0}, {10.1f, -20, 0.3f, 1}}};
    h.cameraPositions = {{-50.0f, 25.5f, 0.1f}, {0.0f, 0.0f, 0.0f}};
    h.cameraPriorities = {-1.0f, 7.25f};
    h.cameraFaceMasks = {1u | 4u | 32u, 2u | 8u | 16u};
    return h;
}

void expectSameHeader(const header_v09& a, const header_v09& b)
{
    EXPECT_EQ(a.boxScaleX, b.boxScaleX);
    EXPECT_EQ(a.boxScaleY, b.boxScaleY);
    EXPECT_EQ(a.boxScaleZ, b.boxScaleZ);
    EXPECT_EQ(a.globalScale, b.globalScale);
    EXPECT_EQ(a.camOffsetX, b.camOffsetX);
    EXPECT_EQ(a.camOffsetY, b.camOffsetY);
    EXPECT_EQ(a.camOffsetZ, b.camOffsetZ);
    EXPECT_EQ(a.stereoRender, b.stereoRender);
    EXPECT_EQ(a.rtype, b.rtype);
    EXPECT_EQ(a.camId, b.camId);
    EXPECT_EQ(a.zov_distance_to_ground, b.zov_distance_to_ground);
    EXPECT_EQ(a.widthDisplay, b.widthDisplay);
    EXPECT_EQ(a.heightDisplay, b.heightDisplay);
    EXPECT_EQ(a.draft, b.draft);
    EXPECT_EQ(a.projection, b.projection);
    EXPECT_EQ(a.aovNums, b.aovNums);
    EXPECT_EQ(a.AOVNames, b.AOVNames);
    EXPECT_EQ(a.AOVTypes, b.AOVTypes);
    EXPECT_EQ(a.sampleNums, b.sampleNums);
    EXPECT_EQ(a.coordinates, b.coordinates);
    EXPECT_EQ(a.passMode, b.passMode);
    EXPECT_EQ(a.fileCode, b.fileCode);
    EXPECT_EQ(a.frame, b.frame);
    EXPECT_EQ(a.eye, b.eye);
    EXPECT_EQ(a.ipd, b.ipd);
    EXPECT_EQ(a.fillHoleCount, b.fillHoleCount);
    EXPECT_EQ(a.tolerance, b.tolerance);
    EXPECT_EQ(a.CamToWorld, b.CamToWorld);
    ASSERT_EQ(a.cameraPositions.size(), b.cameraPositions.size());
    for (size_t i = 0; i < a.cameraPositions.size(); ++i) {
        EXPECT_EQ(a.cameraPositions[i].x, b.cameraPositions[i].x);
        EXPECT_EQ(a.cameraPositions[i].y, b.cameraPositions[i].y);
        EXPECT_EQ(a.cameraPositions[i].z, b.cameraPositions[i].z);
    }
    EXPECT_EQ(a.cameraPriorities, b.cameraPriorities);
    EXPECT_EQ(a.cameraFaceMasks, b.cameraFaceMasks);
}

std::string compactText(const Json::Value& value)
{
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

} // namespace

TEST(QvlRenderHeader, HeaderBuiltFromAStructureReadsBackUnchanged)
{
    const header_v09 written = distinctiveHeader();
    const QVLRender_header built(written);
    uint8_t major = 0;
    uint8_t minor = 0;
    ASSERT_EQ(built.getVersion(major, minor), 0);
    EXPECT_EQ(major, 9);
    EXPECT_EQ(minor, 1);

    // JSON types as stored, and the face bits spelled out per camera.
    const Json::Value& j = built.json();
    EXPECT_EQ(j.size(), 44u); // every key of the header table
    EXPECT_TRUE(j["boxScaleX"].isDouble());
    EXPECT_EQ(j["camOffsetX"].type(), Json::intValue);
    EXPECT_EQ(j["stereoRender"].type(), Json::booleanValue);
    EXPECT_EQ(j["widthDisplay"].type(), Json::intValue);
    EXPECT_EQ(j["aovNums"].type(), Json::uintValue);
    EXPECT_EQ(j["fillHoleCount"].type(), Json::uintValue);
    EXPECT_EQ(j["AOVTypes"][1].type(), Json::intValue);
    EXPECT_EQ(j["CamToWorld30"].asFloat(), 10.1f);
    ASSERT_EQ(j["cameras"].size(), 2u);
    const Json::Value& first = j["cameras"][0];
    EXPECT_EQ(first.getMemberNames(), (std::vector<std::string>{"direction", "location", "priority"}));
    EXPECT_EQ(compactText(first["direction"]),
              R"({"minusX":false,"minusY":true,"minusZ":true,"plusX":false,"plusY":false,"plusZ":true})");
    EXPECT_EQ(first["location"]["y"].asFloat(), 25.5f);
    EXPECT_EQ(first["priority"].asFloat(), -1.0f);

    header_v09 read;
    ASSERT_EQ(built.getHeaderData(read), 0);
    expectSameHeader(read, written);

    // Through the file's text, reals keep every bit of their float.
    TempDir dir;
    header_v09 fromFile;
    ASSERT_EQ(qvlReader_v9(dir.write("built.qvl", qvlFileBytes(compactText(j))), fromFile), 0);
    expectSameHeader(fromFile, written);
}

TEST(QvlRenderHeader, NewHeaderStructureHoldsItsInitialValues)
{
    const header_v09 h;
    EXPECT_EQ(h.fileCode, -1);
    EXPECT_EQ(h.tolerance, 0.25f);
    EXPECT_EQ(h.eye, 1);
    EXPECT_EQ(h.ipd, 63.65f);
    EXPECT_EQ(h.CamToWorld, Quorvel::Utils::identityMatrix());
    EXPECT_EQ(h.fillHoleCount, 0u);
    EXPECT_EQ(h.widthDisplay, 0);
}

TEST(QvlRenderHeader, MissingAndMistypedKeysReadAsZero)
{
    TempDir dir;
    const std::string path =
        dir.write("sparse.qvl", qvlFileBytes(R"({"widthDisplay":"wide","frame":[1],"ipd":"x","rtype":"yes",)"
                                             R"("fillHoleCount":-4,"cameras":"none"})"));
    header_v09 h;
    ASSERT_EQ(qvlReader_v9(path, h), 0);
    EXPECT_EQ(h.widthDisplay, 0);
    EXPECT_EQ(h.frame, 0);
    EXPECT_EQ(h.ipd, 0.0f);
    EXPECT_FALSE(h.rtype);
    EXPECT_EQ(h.fillHoleCount, 0u);
    EXPECT_EQ(h.fileCode, 0);
    EXPECT_EQ(h.eye, 0);
    EXPECT_EQ(h.tolerance, 0.0f);
    EXPECT_TRUE(h.cameraPositions.empty());
}

TEST(QvlRenderHeader, Version7KeepsItsOwnDefaultsForTheNewerKeys)
{
    TempDir dir;
    const std::string path = dir.write("v7.qvl", qvlFileBytes(kFullHeader, 7, 0));
    header_v09 h;
    ASSERT_EQ(qvlReader_v9(path, h), 0);
    EXPECT_EQ(h.frame, 17);
    EXPECT_EQ(h.fileCode, 4321);
    EXPECT_EQ(h.fillHoleCount, 0u);
    EXPECT_EQ(h.tolerance, 0.0f);
    EXPECT_EQ(h.CamToWorld, Quorvel::Utils::identityMatrix());
    EXPECT_EQ(h.eye, 1); // untouched
}

TEST(QvlRenderHeader, CameraTableIsReadOnlyFromVersion9WithAMinorVersion)
{
    TempDir dir;
    for (const auto& [major, minor] : {std::pair<uint8_t, uint8_t>{9, 0}, {8, 1}}) {
        SCOPED_TRACE(std::to_string(major) + "." + std::to_string(minor));
        const std::string path = dir.write("v.qvl", qvlFileBytes(kFullHeader, major, minor));
        header_v09 h;
        ASSERT_EQ(qvlReader_v9(path, h), 0);
        EXPECT_EQ(h.fillHoleCount, 1000001u);
        // The default set stands in for the file's two-camera table.
        ASSERT_GT(h.cameraPositions.size(), 2u) << "the file's camera table was used";
        EXPECT_EQ(h.cameraPriorities.size(), h.cameraPositions.size());
        EXPECT_FALSE(h.cameraPositions[0].x == -50.0f && h.cameraPositions[0].y == 30.0f &&
                     h.cameraPositions[0].z == -50.0f);
    }
}

TEST(QvlRenderHeader, RejectsBrokenFilesWithTheirErrorCode)
{
    TempDir dir;
    std::string wrongFirstByte = qvlFileBytes("{}");
    wrongFirstByte[0] = 'X';
    std::string wrongSignatureByte = qvlFileBytes("{}");
    wrongSignatureByte[13] = '?';
    const std::string valid = qvlFileBytes(QuorvelTest::detectionHeaderJson(5));

    const struct {
        const char* name;
        std::string bytes;
        QvlReaderError expected;
    } cases[] = {
        {"first byte", wrongFirstByte, -3},
        {"signature tail", wrongSignatureByte, -3},
        {"empty file", "", -3},
        {"signature only", valid.substr(0, 14), -3},
        {"no length", valid.substr(0, 16), -5},
        {"half a length", valid.substr(0, 18), -5},
        {"truncated JSON", valid.substr(0, valid.size() - 1), -5},
        {"length beyond the file", qvlFileBytes("{}", 9, 1, 0xFFFFFFF0u), -5},
        {"length one past the end", qvlFileBytes("{}", 9, 1, 3), -5},
        {"not JSON", qvlFileBytes("{\"frame\":"), -5},
        {"JSON array", qvlFileBytes("[1,2]"), -5},
        {"more AOVs than names", qvlFileBytes(R"({"aovNums":3,"AOVNames":["a"],"AOVTypes":[1,1,1]})"), -5},
        {"more AOVs than types", qvlFileBytes(R"({"aovNums":2,"AOVNames":["a","b"],"AOVTypes":[1]})"), -5},
        {"huge AOV count", qvlFileBytes(R"({"aovNums":18446744073709551615})"), -5},
        {"major 10", qvlFileBytes("{}", 10, 0), -4},
        {"major 255", qvlFileBytes("{}", 255, 1), -4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write("broken.qvl", c.bytes);
        header_v09 h;
        EXPECT_EQ(qvlReader_v9(path, h), c.expected);
    }
    header_v09 h;
    EXPECT_EQ(qvlReader_v9(dir.file("missing.qvl"), h), -2);
}

TEST(QvlRenderHeader, PathConstructorKeepsThePlaceholderWhenTheFileIsUnreadable)
{
    TempDir dir;
    uint8_t major = 7;
    uint8_t minor = 7;
    const QVLRender_header none;
    EXPECT_EQ(none.getVersion(major, minor), -3);
    EXPECT_EQ(major, 0);
    EXPECT_EQ(minor, 0);
    header_v09 h;
    EXPECT_EQ(none.getHeaderData(h), -3);

    const QVLRender_header broken(dir.write("b.qvl", qvlFileBytes("{", 9, 1)));
    EXPECT_EQ(broken.readError(), -5);
    EXPECT_EQ(broken.getVersion(major, minor), -3);

    const QVLRender_header good(dir.write("g.qvl", qvlFileBytes("{\"frame\":3}", 9, 1)));
    EXPECT_EQ(good.readError(), 0);
    EXPECT_EQ(good.jsonLength(), 11u);
    EXPECT_EQ(good.getVersion(major, minor), 0);
    EXPECT_EQ(major, 9);
    EXPECT_EQ(minor, 1);
    EXPECT_EQ(good.json()["frame"].asInt(), 3);
}

TEST(QvlRenderHeader, IsQvlRenderChecksTheFourteenSignatureBytes)
{
    TempDir dir;
    EXPECT_TRUE(isQvlRender(dir.write("a", qvlFileBytes("{}"))));
    EXPECT_TRUE(isQvlRender(dir.write("b", std::string("\x82QVLRender=\n$\n", 14))));
    EXPECT_FALSE(isQvlRender(dir.write("c", std::string("\x82QVLRender=\n$", 13))));
    EXPECT_FALSE(isQvlRender(dir.write("d", std::string("\x82QVL______=\n$\n", 14))));
    EXPECT_FALSE(isQvlRender(dir.file("missing")));
}

TEST(QvlRenderHeader, AovIndexByNameIgnoresCase)
{
    header_v07 h;
    h.AOVNames = {"qvlCockpit", "Cd_Right"};
    EXPECT_EQ(h.getVectorAovIndexByType(Quorvel::Phase::AOV_Int, "CD_RIGHT"), 1);
    EXPECT_EQ(h.getVectorAovIndexByType(Quorvel::Phase::AOV_RGB, "QVLCOCKPIT"), 0);
    EXPECT_EQ(h.getVectorAovIndexByType(Quorvel::Phase::AOV_RGB, "Cd_Righ"), -1);
}

// A scale of 0 would put every camera of the implied set at infinity.
TEST(QvlRenderHeader, MissingOrNonPositiveGlobalScaleReadsAsOneWithAWarning)
{
    TempDir dir;
    const struct {
        const char* name;
        std::string scaleKey;
        uint8_t major;
        float expected;
        bool warns;
    } cases[] = {
        {"missing", "", 9, 1.0f, true},
        {"zero", R"("globalScale":0.0,)", 9, 1.0f, true},
        {"negative", R"("globalScale":-2.0,)", 9, 1.0f, true},
        {"not a number", R"("globalScale":"big",)", 9, 1.0f, true},
        {"missing, version 7", "", 7, 1.0f, true},
        {"two", R"("globalScale":2.0,)", 9, 2.0f, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.write(
            "scale.qvl", qvlFileBytes("{" + c.scaleKey + R"("boxScaleX":1.0,"boxScaleY":0.5,"boxScaleZ":1.0,)"
                                                            R"("camOffsetX":1})",
                                      c.major, 0));
        QuorvelTest::LogCapture capture;
        header_v09 h;
        ASSERT_EQ(qvlReader_v9(path, h), 0);
        EXPECT_EQ(h.globalScale, c.expected);
        if (c.warns) {
            ASSERT_EQ(capture.entries().size(), 1u);
            EXPECT_EQ(capture.entries()[0].level, Quorvel::Logger::WARNING);
            EXPECT_EQ(capture.messages()[0],
                      "[Quorvel] The file '" + path + "' has no positive globalScale; a scale of 1 is used.\n");
        } else {
            EXPECT_TRUE(capture.entries().empty());
        }
        if (c.major == 9) {
            ASSERT_EQ(h.cameraPositions.size(), 256u);
            for (const VekPoint& p : h.cameraPositions)
                ASSERT_TRUE(std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z));
        }
    }
}
