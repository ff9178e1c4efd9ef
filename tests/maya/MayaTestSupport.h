#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "MayaHost.h"

namespace QuorvelMayaTest {

constexpr const char* kClassification = "drawdb/geometry/QuorvelBox";
constexpr const char* kRegistrant = "MayaQuorvelPlugin";

// Loads the plug-in for one test and leaves the host as it found it.
class PluginTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        QvMayaHost::clearFailures();
        QvMayaHost::takeCallLog();
        std::string error;
        plugin_ = QvMayaHost::LoadedPlugin::open(QUORVEL_MAYA_PLUGIN, error);
        ASSERT_TRUE(plugin_) << error;
    }

    void TearDown() override
    {
        for (const MObject& node : nodes_)
            QvMayaHost::deleteNode(node);
        nodes_.clear();
        if (plugin_ && initialised_)
            plugin_->uninitialize();
        plugin_.reset();
        QvMayaHost::clearFailures();
    }

    void initialise()
    {
        ASSERT_TRUE(bool(plugin_->initialize()));
        initialised_ = true;
    }

    MObject newNode()
    {
        MStatus status;
        MObject node = QvMayaHost::createNode("MayaQuorvel", &status);
        EXPECT_TRUE(bool(status));
        nodes_.push_back(node);
        return node;
    }

    void set(const MObject& node, const std::string& name, double value)
    {
        ASSERT_TRUE(bool(QvMayaHost::setAttribute(node, name, value))) << name;
    }

    std::unique_ptr<QvMayaHost::LoadedPlugin> plugin_;
    bool initialised_ = false;
    std::vector<MObject> nodes_;
};

} // namespace QuorvelMayaTest
