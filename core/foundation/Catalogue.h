#pragma once

// Every user-visible text of the core, the merger and the V-Ray plug-in, in one
// place and exported as data, so that the hosts print and register exactly the
// same words.

#include "foundation/Export.h"

namespace Quorvel::TXT::inline v2_0 {

class QUORVEL_API Core {
public:
    Core() = delete;

    // Setting keys, registered under exactly these texts.
    static const char* const param_IPD;
    static const char* const param_backgroundMask;
    static const char* const param_backgroundMaskDist;
    static const char* const param_boxOffsetBack;
    static const char* const param_boxOffsetRight;
    static const char* const param_boxOffsetTop;
    static const char* const param_camId;
    static const char* const param_clipping_enable;
    static const char* const param_clipping_inside;
    static const char* const param_clipping_position;
    static const char* const param_clipping_radius;
    static const char* const param_deepReflection;
    static const char* const param_detectFile;
    static const char* const param_draft;
    static const char* const param_enabled;
    static const char* const param_glassMode;
    static const char* const param_groundDistance;
    static const char* const param_lightVisibility;
    static const char* const param_motionvectors;
    static const char* const param_phaseMode;
    static const char* const param_renderInsideZov;
    static const char* const param_renderScale;
    static const char* const param_secondPass;
    static const char* const param_specOffsetBack;
    static const char* const param_specOffsetRight;
    static const char* const param_specOffsetTop;
    static const char* const param_subframe;
    static const char* const param_tolerance;
    static const char* const param_viewMode;
    static const char* const param_viewScaleDepth;
    static const char* const param_viewScaleHeight;
    static const char* const param_viewScaleLength;

    static const char* const param_backgroundMask_info;

    // Setting descriptions.
    static const char* const param_IPD_desc;
    static const char* const param_backgroundMask_desc;
    static const char* const param_backgroundMaskDist_desc;
    static const char* const param_boxOffsetBack_desc;
    static const char* const param_boxOffsetRight_desc;
    static const char* const param_boxOffsetTop_desc;
    static const char* const param_camId_desc;
    static const char* const param_clipping_enable_desc;
    static const char* const param_clipping_inside_desc;
    static const char* const param_clipping_position_desc;
    static const char* const param_clipping_radius_desc;
    static const char* const param_deepReflection_desc;
    static const char* const param_detectFile_desc;
    static const char* const param_draft_desc;
    static const char* const param_enabled_desc;
    static const char* const param_glassMode_desc;
    static const char* const param_groundDistance_desc;
    static const char* const param_lightVisibility_desc;
    static const char* const param_motionvectors_desc;
    static const char* const param_phaseMode_desc;
    static const char* const param_renderInsideZov_desc;
    static const char* const param_renderScale_desc;
    static const char* const param_secondPass_desc;
    static const char* const param_specOffsetBack_desc;
    static const char* const param_specOffsetRight_desc;
    static const char* const param_specOffsetTop_desc;
    static const char* const param_subframe_desc;
    static const char* const param_tolerance_desc;
    static const char* const param_viewMode_desc;
    static const char* const param_viewScaleDepth_desc;
    static const char* const param_viewScaleHeight_desc;
    static const char* const param_viewScaleLength_desc;

    // Booleans in log lines.
    static const char* const ON;
    static const char* const OFF;

    // Log lines (printf formats).
    static const char* const info_boxOffset_param;
    static const char* const info_camId_secondPass_param;
    static const char* const info_deepReflectionOFF_param;
    static const char* const info_deepReflection_param;
    static const char* const info_draft_param;
    static const char* const info_enabled_param;
    static const char* const info_glassMode0_param;
    static const char* const info_glassMode1_param;
    static const char* const info_glassMode2_param;
    static const char* const info_glassMode3_param;
    static const char* const info_lightVisibility0_param;
    static const char* const info_lightVisibility1_param;
    static const char* const info_lightVisibility2_param;
    static const char* const info_renderInsideZov_param;
    static const char* const info_renderScale_param;
    static const char* const info_specOffsetBack_param;
    static const char* const info_subframe_param;
    static const char* const info_viewBox_param;
    static const char* const info_viewScaleWindow_param;
    static const char* const info_viewScaleZov_param;
    static const char* const info_viewWindow_param;

    // A detection file whose header the render phase cannot use.
    static const char* const err_detectFileCameraCount;
    static const char* const err_detectFileCameraFaces;
    static const char* const err_detectFileCameraPosition;
    static const char* const err_detectFileDisplay;
    static const char* const err_detectFileDisplayShape;
    static const char* const err_detectFileNumber;
    static const char* const err_detectFilePlaqueCount;
    static const char* const err_detectFileRefused;
};

class QUORVEL_API Merger {
public:
    Merger() = delete;

    // Messages and command-line options of quorvel_merger.
    static const char* const err_AOVDeepReflectionMissing;
    static const char* const err_OCIO;
    static const char* const err_OCIO_missingColorSpace;
    static const char* const err_OCIO_missingLinearColorSpace;
    static const char* const err_fileWriting;
    static const char* const err_goodbye;
    static const char* const err_inputPath;
    static const char* const err_inputPathEmpty;
    static const char* const err_inputPathInvalid;
    static const char* const err_optParsing;
    static const char* const err_readfileCode;
    static const char* const err_renderingEngineMissmatch;

    static const char* const info_OCIO_convertingToColorSpace;
    static const char* const info_OCIO_loadingConfig;
    static const char* const info_OCIO_validColorSpace;
    static const char* const info_assemblySamples;
    static const char* const info_compressingSize;
    static const char* const info_fileExistsSkipProcess;
    static const char* const info_fileOverwriting;
    static const char* const info_fileWriting;
    static const char* const info_fileWrote;
    static const char* const info_filesFoundOfTypes;
    static const char* const info_goodbye;
    static const char* const info_mergeFrameList;
    static const char* const info_overallProgression;
    static const char* const info_processingDataForFile;
    static const char* const info_qvlRenderEmpty;
    static const char* const info_sortingData;
    static const char* const info_welcome;

    static const char* const opt_applyColorSpaceFrom;
    static const char* const opt_applyColorSpaceFrom_desc;
    static const char* const opt_applyColorSpaceTo;
    static const char* const opt_applyColorSpaceTo_desc;
    static const char* const opt_colorTolerance;
    static const char* const opt_colorTolerance_desc;
    static const char* const opt_example_desc;
    static const char* const opt_frameRange;
    static const char* const opt_frameRange_desc;
    static const char* const opt_gain;
    static const char* const opt_gain_desc;
    static const char* const opt_input;
    static const char* const opt_input_desc;
    static const char* const opt_lift;
    static const char* const opt_lift_desc;
    static const char* const opt_maxDist;
    static const char* const opt_maxDist_desc;
    static const char* const opt_mergeHypertangent;
    static const char* const opt_mergeHypertangent_desc;
    static const char* const opt_minDist;
    static const char* const opt_minDist_desc;
    static const char* const opt_normalTolerance;
    static const char* const opt_normalTolerance_desc;
    static const char* const opt_ocioConfig;
    static const char* const opt_ocioConfig_desc;
    static const char* const opt_output;
    static const char* const opt_output_desc;
    static const char* const opt_overview_desc;
    static const char* const opt_overwrite;
    static const char* const opt_overwrite_desc;
    static const char* const opt_planeTolerance;
    static const char* const opt_planeTolerance_desc;
    static const char* const opt_pow;
    static const char* const opt_pow_desc;
    static const char* const opt_verboseLevel;
    static const char* const opt_verboseLevel_desc;
    static const char* const opt_vfbPreset;
    static const char* const opt_vfb_vray_preset_desc;

    static const char* const warn_OCIOunexistingRelativePath;
    static const char* const warn_assembly;
    static const char* const warn_assemblyEmpty;
};

class QUORVEL_API Vray {
public:
    Vray() = delete;

    // Plug-in description and messages of the V-Ray plug-in.
    static const char* const Quorvel_stdPluginBuildDate;
    static const char* const Quorvel_stdPluginCopyright;
    static const char* const Quorvel_stdPluginDesc;
    static const char* const Quorvel_stdPluginLibtext;
    static const char* const Quorvel_stdPluginName;
    static const char* const Quorvel_stdPluginVersion;

    static const char* const err_adaptativeSubdivNotSupported;
    static const char* const err_aspectRatio;
    static const char* const err_cameraMissingCoordinates;
    static const char* const err_createBrdf;
    static const char* const err_createMaterial;
    static const char* const err_driverMissingCoordinates;
    static const char* const err_loadDetectFile;
    static const char* const err_loadRenderFile;
    static const char* const err_passMissing;
    static const char* const err_progressiveNotSupported;
    static const char* const err_resolution;
    static const char* const err_vrayPluginManager;
    static const char* const err_vrayRendererInterface;
    static const char* const err_writeFile;

    static const char* const info_detectHoleMode;
    static const char* const info_detectPassLoaded;
    static const char* const info_detectPassWroteSamples;
    static const char* const info_directoryCreated;
    static const char* const info_outputFile;
    static const char* const info_passFound;
    static const char* const info_renderChannelUsed;
    static const char* const info_renderPassLoaded;
    static const char* const info_renderPassWrote;
    static const char* const info_renderPassWroteSamples;
    static const char* const info_specularPointLocalPosition;
    static const char* const info_specularPointWorldPosition;

    static const char* const warn_disableGI;
    static const char* const warn_increaseAdaptativeMinSubdiv;
    static const char* const warn_increaseFixSubdiv;
    static const char* const warn_increaseProgressiveMinSubdiv;
    static const char* const warn_noSecondPassInDraft;
    static const char* const warn_removePixelFiltering;
    static const char* const warn_setDefaultCamType;
    static const char* const warn_setFixedSubdiv;
};

class QUORVEL_API Vray3dsMax {
public:
    Vray3dsMax() = delete;

    // 3ds Max integration; the tooltips are wide strings for its user interface.
    static const char* const err_CoreNotLoaded;
    static const char* const warn_setDefaultOutputPath;

    static const wchar_t* const param_IPD_tooltip;
    static const wchar_t* const param_boxOffsetBack_tooltip;
    static const wchar_t* const param_boxOffsetRight_tooltip;
    static const wchar_t* const param_boxOffsetTop_tooltip;
    static const wchar_t* const param_camId_tooltip;
    static const wchar_t* const param_deepReflection_tooltip;
    static const wchar_t* const param_draft_tooltip;
    static const wchar_t* const param_enabled_tooltip;
    static const wchar_t* const param_glassModeEnable_tooltip;
    static const wchar_t* const param_glassMode_tooltip;
    static const wchar_t* const param_groundDistanceDisplay_tooltip;
    static const wchar_t* const param_groundDistance_tooltip;
    static const wchar_t* const param_lightVisibilityOverrideEnable_tooltip;
    static const wchar_t* const param_lightVisibilityOverride_tooltip;
    static const wchar_t* const param_phaseMode_tooltip;
    static const wchar_t* const param_qvlDetectFile_tooltip;
    static const wchar_t* const param_renderInsideZov_tooltip;
    static const wchar_t* const param_renderScale_tooltip;
    static const wchar_t* const param_secondPass_tooltip;
    static const wchar_t* const param_specOffset_tooltip;
    static const wchar_t* const param_subframe_tooltip;
    static const wchar_t* const param_viewMode_tooltip;
    static const wchar_t* const param_viewScale_tooltip;
};

} // namespace Quorvel::TXT::inline v2_0
