// The renderer port's own utilities: parameter lists and the frame-number rule.

#include <gtest/gtest.h>

#include "FileNames.h"
#include "VRayParameters.h"

namespace {

using namespace VUtils;

TEST(FrameNumberRule, Table)
{
    struct Case {
        const char* path;
        bool numbers;
        int frame, padding;
        bool dot;
        const char* expected;
    };
    const Case cases[] = {
        {"/d/shot_#.qvl", true, 7, 4, false, "/d/shot_0007.qvl"},
        {"/d/shot_#.qvl", false, 7, 4, false, "/d/shot_.qvl"},
        {"/d/a#b#.qvl", true, 12, 3, false, "/d/a012b012.qvl"},
        {"/d/shot.qvl", true, 7, 4, false, "/d/shot0007.qvl"},
        {"/d/shot.qvl", true, 7, 4, true, "/d/shot.0007.qvl"},
        {"/d/shot..qvl", true, 7, 2, true, "/d/shot.07.qvl"},
        {"/d.x/shot", true, 7, 2, false, "/d.x/shot07"},
        {"C:\\d.x\\shot", true, 7, 2, true, "C:\\d.x\\shot.07"},
        {"/d/shot.qvl", false, 7, 4, true, "/d/shot.qvl"},
        {"/d/shot.qvl", true, 123456, 4, false, "/d/shot123456.qvl"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(expandFrameNumber(c.path, c.numbers, c.frame, c.padding, c.dot), c.expected) << c.path;
    EXPECT_EQ(expandFrameNumber(std::string(600, 'a'), false, 1, 1, false).size(), 511u);
    EXPECT_EQ(joinPath("", "f.qvl"), "f.qvl");
    EXPECT_EQ(joinPath("/o", "f.qvl"), "/o/f.qvl");
    EXPECT_EQ(joinPath("/o/", "f.qvl"), "/o/f.qvl");
}

TEST(ParameterList, DefaultsBindingsAnimationAndRefusals)
{
    VRayParameterListDesc desc;
    desc.addParamInt("count", 3);
    desc.addParamFloat("scale", 0.5f);
    desc.addParamBool("flag", true);
    desc.addParamVector("where", Vector(1, 2, 3));
    desc.addParamString("file", "a.qvl");
    VRayParameterList* list = desc.newParameterList();

    int count = 0, flag = 0;
    float scale = 0.0f;
    Vector where;
    CharString file;
    list->setParamCache("count", &count);
    list->setParamCache("flag", &flag);
    list->setParamCache("scale", &scale);
    list->setParamCache("where", &where);
    list->setParamCache("file", &file);
    list->cacheParams(0.0, nullptr);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(flag, 1);
    EXPECT_EQ(scale, 0.5f);
    EXPECT_EQ(where, Vector(1, 2, 3));
    EXPECT_EQ(file, "a.qvl");

    EXPECT_EQ(list->setParameter(VRayPluginParameter("scale", std::vector<std::pair<double, ParamValue>>{
                                                                {2.0, ParamValue::ofFloat(3.0f)},
                                                                {1.0, ParamValue::ofFloat(1.0f)}})),
              1);
    EXPECT_EQ(list->setParameter(VRayPluginParameter("count", ParamValue::ofInt(9))), 1);
    EXPECT_EQ(list->setParameter(VRayPluginParameter("count", ParamValue::ofFloat(9.0f))), 0);
    EXPECT_EQ(list->setParameter(VRayPluginParameter("nothing", ParamValue::ofInt(1))), 0);
    EXPECT_EQ(list->getParam("nothing"), nullptr);

    const std::pair<double, float> times[] = {{0.0, 1.0f}, {1.0, 1.0f}, {1.5, 2.0f}, {2.0, 3.0f}, {9.0, 3.0f}};
    for (const auto& [t, expected] : times) {
        list->cacheParams(t, nullptr);
        EXPECT_EQ(scale, expected) << t;
        EXPECT_EQ(count, 9);
    }
    VRayParameterListDesc::deleteParameterList(list);
}

} // namespace
