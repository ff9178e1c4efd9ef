#include "foundation/Catalogue.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <string>
#include <type_traits>

using namespace Quorvel::TXT;

namespace {

static_assert(std::is_empty_v<Core> && std::is_empty_v<Merger> && std::is_empty_v<Vray> &&
              std::is_empty_v<Vray3dsMax>);
static_assert(std::is_same_v<decltype(Core::param_IPD), const char* const>);
static_assert(std::is_same_v<decltype(Vray3dsMax::err_CoreNotLoaded), const char* const>);
static_assert(std::is_same_v<decltype(Vray3dsMax::param_camId_tooltip), const wchar_t* const>);

template <typename Char>
struct Entry {
    const char* name;
    const Char* text;
};

#define QV_E(cls, member) Entry<char>{#cls "::" #member, cls::member}
#define QV_W(member) Entry<wchar_t>{"Vray3dsMax::" #member, Vray3dsMax::member}

#define QV_CORE_KEYS(X)                                                                         \
    X(param_IPD) X(param_backgroundMask) X(param_backgroundMaskDist) X(param_boxOffsetBack)      \
    X(param_boxOffsetRight) X(param_boxOffsetTop) X(param_camId) X(param_clipping_enable)        \
    X(param_clipping_inside) X(param_clipping_position) X(param_clipping_radius)                 \
    X(param_deepReflection) X(param_detectFile) X(param_draft) X(param_enabled)                  \
    X(param_glassMode) X(param_groundDistance) X(param_lightVisibility) X(param_motionvectors)   \
    X(param_phaseMode) X(param_renderInsideZov) X(param_renderScale) X(param_secondPass)         \
    X(param_specOffsetBack) X(param_specOffsetRight) X(param_specOffsetTop) X(param_subframe)    \
    X(param_tolerance) X(param_viewMode) X(param_viewScaleDepth) X(param_viewScaleHeight)        \
    X(param_viewScaleLength)

#define QV_KEY(member) QV_E(Core, member),
#define QV_DESC(member) QV_E(Core, member##_desc),

const std::array coreKeys{QV_CORE_KEYS(QV_KEY)};

const std::array coreOthers{
    QV_CORE_KEYS(QV_DESC)
    QV_E(Core, param_backgroundMask_info), QV_E(Core, ON), QV_E(Core, OFF),
    QV_E(Core, info_boxOffset_param), QV_E(Core, info_camId_secondPass_param),
    QV_E(Core, info_deepReflectionOFF_param), QV_E(Core, info_deepReflection_param),
    QV_E(Core, info_draft_param), QV_E(Core, info_enabled_param),
    QV_E(Core, info_glassMode0_param), QV_E(Core, info_glassMode1_param),
    QV_E(Core, info_glassMode2_param), QV_E(Core, info_glassMode3_param),
    QV_E(Core, info_lightVisibility0_param), QV_E(Core, info_lightVisibility1_param),
    QV_E(Core, info_lightVisibility2_param), QV_E(Core, info_renderInsideZov_param),
    QV_E(Core, info_renderScale_param), QV_E(Core, info_specOffsetBack_param),
    QV_E(Core, info_subframe_param), QV_E(Core, info_viewBox_param),
    QV_E(Core, info_viewScaleWindow_param), QV_E(Core, info_viewScaleZov_param),
    QV_E(Core, info_viewWindow_param),
};

const std::array mergerEntries{
    QV_E(Merger, err_AOVDeepReflectionMissing), QV_E(Merger, err_OCIO),
    QV_E(Merger, err_OCIO_missingColorSpace), QV_E(Merger, err_OCIO_missingLinearColorSpace),
    QV_E(Merger, err_fileWriting), QV_E(Merger, err_goodbye), QV_E(Merger, err_inputPath),
    QV_E(Merger, err_inputPathEmpty), QV_E(Merger, err_inputPathInvalid),
    QV_E(Merger, err_optParsing), QV_E(Merger, err_readfileCode),
    QV_E(Merger, err_renderingEngineMissmatch), QV_E(Merger, info_OCIO_convertingToColorSpace),
    QV_E(Merger, info_OCIO_loadingConfig), QV_E(Merger, info_OCIO_validColorSpace),
    QV_E(Merger, info_assemblySamples), QV_E(Merger, info_compressingSize),
    QV_E(Merger, info_fileExistsSkipProcess), QV_E(Merger, info_fileOverwriting),
    QV_E(Merger, info_fileWriting), QV_E(Merger, info_fileWrote),
    QV_E(Merger, info_filesFoundOfTypes), QV_E(Merger, info_goodbye),
    QV_E(Merger, info_mergeFrameList), QV_E(Merger, info_overallProgression),
    QV_E(Merger, info_processingDataForFile), QV_E(Merger, info_qvlRenderEmpty),
    QV_E(Merger, info_sortingData), QV_E(Merger, info_welcome),
    QV_E(Merger, opt_applyColorSpaceFrom), QV_E(Merger, opt_applyColorSpaceFrom_desc),
    QV_E(Merger, opt_applyColorSpaceTo), QV_E(Merger, opt_applyColorSpaceTo_desc),
    QV_E(Merger, opt_colorTolerance), QV_E(Merger, opt_colorTolerance_desc),
    QV_E(Merger, opt_example_desc), QV_E(Merger, opt_frameRange),
    QV_E(Merger, opt_frameRange_desc), QV_E(Merger, opt_gain), QV_E(Merger, opt_gain_desc),
    QV_E(Merger, opt_input), QV_E(Merger, opt_input_desc), QV_E(Merger, opt_lift),
    QV_E(Merger, opt_lift_desc), QV_E(Merger, opt_maxDist), QV_E(Merger, opt_maxDist_desc),
    QV_E(Merger, opt_mergeHypertangent), QV_E(Merger, opt_mergeHypertangent_desc),
    QV_E(Merger, opt_minDist), QV_E(Merger, opt_minDist_desc), QV_E(Merger, opt_normalTolerance),
    QV_E(Merger, opt_normalTolerance_desc), QV_E(Merger, opt_ocioConfig),
    QV_E(Merger, opt_ocioConfig_desc), QV_E(Merger, opt_output), QV_E(Merger, opt_output_desc),
    QV_E(Merger, opt_overview_desc), QV_E(Merger, opt_overwrite),
    QV_E(Merger, opt_overwrite_desc), QV_E(Merger, opt_planeTolerance),
    QV_E(Merger, opt_planeTolerance_desc), QV_E(Merger, opt_pow), QV_E(Merger, opt_pow_desc),
    QV_E(Merger, opt_verboseLevel), QV_E(Merger, opt_verboseLevel_desc),
    QV_E(Merger, opt_vfbPreset), QV_E(Merger, opt_vfb_vray_preset_desc),
    QV_E(Merger, warn_OCIOunexistingRelativePath), QV_E(Merger, warn_assembly),
    QV_E(Merger, warn_assemblyEmpty),
};

const std::array vrayEntries{
    QV_E(Vray, Quorvel_stdPluginBuildDate), QV_E(Vray, Quorvel_stdPluginCopyright),
    QV_E(Vray, Quorvel_stdPluginDesc), QV_E(Vray, Quorvel_stdPluginLibtext),
    QV_E(Vray, Quorvel_stdPluginName), QV_E(Vray, Quorvel_stdPluginVersion),
    QV_E(Vray, err_adaptativeSubdivNotSupported), QV_E(Vray, err_aspectRatio),
    QV_E(Vray, err_cameraMissingCoordinates), QV_E(Vray, err_createBrdf),
    QV_E(Vray, err_createMaterial), QV_E(Vray, err_driverMissingCoordinates),
    QV_E(Vray, err_loadDetectFile), QV_E(Vray, err_loadRenderFile), QV_E(Vray, err_passMissing),
    QV_E(Vray, err_progressiveNotSupported), QV_E(Vray, err_resolution),
    QV_E(Vray, err_vrayPluginManager), QV_E(Vray, err_vrayRendererInterface),
    QV_E(Vray, err_writeFile), QV_E(Vray, info_detectHoleMode), QV_E(Vray, info_detectPassLoaded),
    QV_E(Vray, info_detectPassWroteSamples), QV_E(Vray, info_directoryCreated),
    QV_E(Vray, info_outputFile), QV_E(Vray, info_passFound), QV_E(Vray, info_renderChannelUsed),
    QV_E(Vray, info_renderPassLoaded), QV_E(Vray, info_renderPassWrote),
    QV_E(Vray, info_renderPassWroteSamples), QV_E(Vray, info_specularPointLocalPosition),
    QV_E(Vray, info_specularPointWorldPosition), QV_E(Vray, warn_disableGI),
    QV_E(Vray, warn_increaseAdaptativeMinSubdiv), QV_E(Vray, warn_increaseFixSubdiv),
    QV_E(Vray, warn_increaseProgressiveMinSubdiv), QV_E(Vray, warn_noSecondPassInDraft),
    QV_E(Vray, warn_removePixelFiltering), QV_E(Vray, warn_setDefaultCamType),
    QV_E(Vray, warn_setFixedSubdiv),
};

const std::array max3dEntries{
    QV_E(Vray3dsMax, err_CoreNotLoaded),
    QV_E(Vray3dsMax, warn_setDefaultOutputPath),
};

const std::array max3dTooltips{
    QV_W(param_IPD_tooltip), QV_W(param_boxOffsetBack_tooltip),
    QV_W(param_boxOffsetRight_tooltip), QV_W(param_boxOffsetTop_tooltip),
    QV_W(param_camId_tooltip), QV_W(param_deepReflection_tooltip), QV_W(param_draft_tooltip),
    QV_W(param_enabled_tooltip), QV_W(param_glassModeEnable_tooltip),
    QV_W(param_glassMode_tooltip), QV_W(param_groundDistanceDisplay_tooltip),
    QV_W(param_groundDistance_tooltip), QV_W(param_lightVisibilityOverrideEnable_tooltip),
    QV_W(param_lightVisibilityOverride_tooltip), QV_W(param_phaseMode_tooltip),
    QV_W(param_qvlDetectFile_tooltip), QV_W(param_renderInsideZov_tooltip),
    QV_W(param_renderScale_tooltip), QV_W(param_secondPass_tooltip),
    QV_W(param_specOffset_tooltip), QV_W(param_subframe_tooltip), QV_W(param_viewMode_tooltip),
    QV_W(param_viewScale_tooltip),
};

static_assert(coreKeys.size() == 32);
static_assert(mergerEntries.size() == 70);
static_assert(vrayEntries.size() == 40);
static_assert(max3dEntries.size() + max3dTooltips.size() == 25);

template <typename List>
void expectAllFilled(const List& entries)
{
    for (const auto& e : entries) {
        ASSERT_NE(e.text, nullptr) << e.name;
        EXPECT_NE(e.text[0], 0) << e.name;
    }
}

TEST(Catalogue, EveryEntryHoldsText)
{
    expectAllFilled(coreKeys);
    expectAllFilled(coreOthers);
    expectAllFilled(mergerEntries);
    expectAllFilled(vrayEntries);
    expectAllFilled(max3dEntries);
    expectAllFilled(max3dTooltips);
}

// The host registers one setting per key: a duplicate would silently shadow a
// setting. The only shared key is the view mode, stored under the old name.
TEST(Catalogue, CoreKeysAreUniqueButTheViewMode)
{
    std::map<std::string, int> uses;
    for (const auto& e : coreKeys)
        ++uses[e.text];
    for (const auto& [key, count] : uses)
        EXPECT_EQ(count, key == "render_inside_zov" ? 2 : 1) << key;
    EXPECT_STREQ(Core::param_renderInsideZov, "render_inside_zov");
    EXPECT_STREQ(Core::param_viewMode, "render_inside_zov");
}

TEST(Catalogue, TextsUsersAndScriptsDependOn)
{
    struct Row {
        const char* expected;
        const char* actual;
    };
    const Row rows[] = {
        {"-r", Merger::opt_frameRange},
        {"-x", Merger::opt_overwrite},
        {"-l", Merger::opt_verboseLevel},
        {"--mindist", Merger::opt_minDist},
        {"--maxDist", Merger::opt_maxDist},
        {"--OCIOconfig", Merger::opt_ocioConfig},
        {"--VFBPreset", Merger::opt_vfbPreset},
        {"input", Merger::opt_input},
        {"[% 3d%%] Overall progression. %d / %d of Zov processed.\n",
         Merger::info_overallProgression},
        {"Somthing went wrong drong the process...Closing Quorvel Merger. \n",
         Merger::err_goodbye},
        {"Quorvel Merger.exe", Merger::opt_overview_desc},
        {"SettingsQuorvel", Vray::Quorvel_stdPluginName},
        {"Quorvel-specific plugins for V-Ray", Vray::Quorvel_stdPluginLibtext},
        {"[Quorvel] the rendering resolution must be beetwen 5790x2895 and 200x100.",
         Vray::err_resolution},
        {"[Quorvel] the render aspect ratio must be 2.0, got %f instead.", Vray::err_aspectRatio},
        {"[Quorvel] cannot get the pluginManger from the plugin renderer interface.",
         Vray::err_vrayPluginManager},
        {"IPD", Core::param_IPD},
        {"Interpupillary distance in mm.", Core::param_IPD_desc},
        {"allowance on the viewpoint, 0.25 by default (25% allowance)", Core::param_tolerance_desc},
        {"Use either a 0 for zov or 1 for window", Core::param_viewMode_desc},
        {"Render objects inside the zone of view", Core::param_renderInsideZov_desc},
        {"[Quorvel] Background detection mode !", Core::param_backgroundMask_info},
        {"On", Core::ON},
        {"Off", Core::OFF},
        {"[Quorvel] draft_mode : %s.", Core::info_draft_param},
        {"[Quorvel] render_quorvel_glass_mode %d :  qvl_* tags are ignored.",
         Core::info_glassMode0_param},
        {"[Quorvel] view_scale Length %f Height %f Width %f meters.",
         Core::info_viewScaleZov_param},
        {"[Quorvel] specular_point_offset : right %f top %f back %f.",
         Core::info_specOffsetBack_param},
    };
    for (const auto& row : rows)
        EXPECT_STREQ(row.actual, row.expected);
}

} // namespace
