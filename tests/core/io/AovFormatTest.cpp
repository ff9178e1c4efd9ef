#include "io/AovFormat.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/LogCapture.h"

using namespace Quorvel::BinIO;
using namespace Quorvel::Phase;
using Quorvel::Logger::ERROR;
using Quorvel::Logger::WARNING;

namespace {

void reg(AovFormat& f, int32_t alias, const std::string& name, AOVType type)
{
    f.registerAov(alias, name, type);
}

} // namespace

TEST(AovFormat, RegistersInOrderAndSumsTheNaturalSizes)
{
    AovFormat f;
    EXPECT_TRUE(f.isEmpty());
    const struct {
        AOVType type;
        uint64_t size;
    } types[] = {{AOV_Byte, 1}, {AOV_Int, 4}, {AOV_Double, 8}, {AOV_RGB, 12},
                 {AOV_RGBA, 16}, {AOV_Vector3, 12}, {AOV_Vector2, 8}};
    uint64_t total = 0;
    int32_t alias = 100;
    for (const auto& t : types) {
        EXPECT_EQ(aovNaturalSize(t.type), t.size);
        reg(f, alias, "aov" + std::to_string(alias), t.type);
        total += t.size;
        EXPECT_EQ(f.byteSize, total);
        EXPECT_EQ(f.getIndex(alias), f.count - 1);
        ++alias;
    }
    EXPECT_EQ(f.count, 7u);
    EXPECT_EQ(f.byteSize, 61u);
    EXPECT_EQ(f.names.front(), "aov100");
    EXPECT_EQ(f.types.back(), AOV_Vector2);
    EXPECT_FALSE(f.isEmpty());

    AovFormat small;
    reg(small, 1, "a", AOV_Byte);
    reg(small, 2, "b", AOV_Vector2);
    reg(small, 3, "c", AOV_RGBA);
    EXPECT_EQ(small.byteSize, 25u);
}

TEST(AovFormat, ReservedNamesAlsoAnswerToTheirReservedAlias)
{
    AovFormat f;
    reg(f, 5, "other", AOV_Int);
    reg(f, 7, "qvlVelocity", AOV_Vector3);
    reg(f, 8, "qvlTransp", AOV_Int);
    reg(f, 9, "Cd_Right", AOV_RGB);
    EXPECT_EQ(f.getIndex(7), 1u);
    EXPECT_EQ(f.getIndex(kAliasVelocity), 1u);
    EXPECT_EQ(f.getIndex(kAliasTransparency), 2u);
    EXPECT_EQ(f.getIndex(kAliasRightColor), 3u);
    EXPECT_EQ(f.aliases.size(), 7u);
    EXPECT_EQ(f.count, 4u);
    EXPECT_TRUE(f.HasAOV(std::string("qvlVelocity")));

    // A link never replaces an alias that is already mapped, and the name
    // comparison is exact.
    reg(f, 10, "Cd_Right", AOV_RGB);
    reg(f, 11, "cd_right", AOV_RGB);
    EXPECT_EQ(f.getIndex(kAliasRightColor), 3u);
    EXPECT_EQ(f.getIndex(10), 4u);
    EXPECT_EQ(f.getIndex(11), 5u);
}

TEST(AovFormat, DuplicateAliasIsIgnoredWithAWarning)
{
    QuorvelTest::LogCapture capture;
    AovFormat f;
    reg(f, 42, "first", AOV_RGB);
    reg(f, 42, "second", AOV_Int);
    EXPECT_EQ(f.names, std::vector<std::string>{"first"});
    EXPECT_EQ(f.types, std::vector<AOVType>{AOV_RGB});
    EXPECT_EQ(f.count, 1u);
    EXPECT_EQ(f.byteSize, 12u);
    const auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, WARNING);
    EXPECT_EQ(capture.messages()[0], "Adding twice the same AOV alias (while trying to register second as 42\n");
}

TEST(AovFormat, UnknownTypeStaysRegisteredWithoutSize)
{
    QuorvelTest::LogCapture capture;
    AovFormat f;
    reg(f, 1, "odd", static_cast<AOVType>(9));
    reg(f, 2, "neg", static_cast<AOVType>(-1));
    EXPECT_EQ(f.count, 2u);
    EXPECT_EQ(f.byteSize, 0u);
    EXPECT_EQ(f.getIndex(2), 1u);
    EXPECT_EQ(aovNaturalSize(static_cast<AOVType>(7)), 0u);
    EXPECT_EQ(capture.messages(), (std::vector<std::string>{"Unknown AOV type\n", "Unknown AOV type\n"}));
    EXPECT_EQ(capture.entries()[0].level, ERROR);
}

TEST(AovFormat, LookupOfAnUnregisteredAliasReportsNoIndex)
{
    QuorvelTest::LogCapture capture;
    AovFormat f;
    reg(f, 3, "Cd_Right", AOV_RGB);
    EXPECT_EQ(f.getIndex(kAliasCockpit), kNoAovIndex);
    EXPECT_EQ(kNoAovIndex, ~uint64_t{0});
    EXPECT_EQ(capture.messages(),
              std::vector<std::string>{"Trying to access AOV with alias -268435452 while it hasn't been registered\n"});
    EXPECT_EQ(capture.entries()[0].level, ERROR);

    EXPECT_TRUE(f.HasAOV(int32_t{3}));
    EXPECT_TRUE(f.HasAOV(kAliasRightColor));
    EXPECT_FALSE(f.HasAOV(int32_t{4}));
    EXPECT_TRUE(f.HasAOV(std::string("Cd_Right")));
    EXPECT_FALSE(f.HasAOV(std::string("cd_right")));
    EXPECT_FALSE(f.HasAOV(std::string("Cd_Right ")));
}

TEST(AovFormat, ClearEmptiesEverything)
{
    AovFormat f;
    reg(f, 1, "qvlVelocity", AOV_Vector3);
    f.clear();
    EXPECT_TRUE(f.isEmpty());
    EXPECT_TRUE(f.types.empty());
    EXPECT_TRUE(f.names.empty());
    EXPECT_TRUE(f.aliases.empty());
    EXPECT_EQ(f.byteSize, 0u);
    reg(f, 1, "again", AOV_Int);
    EXPECT_EQ(f.getIndex(1), 0u);
}
