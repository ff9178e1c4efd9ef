#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "MergerParams.h"
#include "foundation/Types.h"
#include "foundation/Vekbin.h"
#include "io/AovFormat.h"
#include "io/QvlRenderHeader.h"

namespace Quorvel::Merger {

// What one reader thread delivers for one render file.
struct ReadSlot {
    int32_t error = 0; // 0, a reader error, -9, -10, -11 or -12
    bool read = false; // the file was read and its engine is known
    Util::RenderingEngineId engine = Util::RE_Unknown;
    std::vector<Binary::vekbin> opaque;
    std::vector<Binary::vekbin> transparent;
    std::vector<uint8_t> mask;
};

// Differences between the stored versions.
struct RenderFileTraits {
    bool hasLevel = false;               // version 9: level byte per sample
    bool hasCockpitAndMask = false;      // version 9: cockpit AOV, pixel mask
    bool stereoNeedsRightColour = false; // versions 8, 9: a stereo file must carry it
};

inline constexpr int32_t kErrorNegativeFileCode = -10;
inline constexpr int32_t kErrorRightColourMissing = -9;
inline constexpr int32_t kErrorDisplaySize = -11;
// The file code decodes to an engine that writes no render files.
inline constexpr int32_t kErrorUnknownEngine = -12;

// Whether a final view file can address every pixel of the header's display:
// 13 + 12 bits per pixel (cube); any non-empty latitude-longitude display.
bool displayFitsFinalView(const BinIO::header_v07& header);

// Reads one render file of any supported version into the slot; files of
// other versions are left out.
void readRenderFile(const params& run, const std::filesystem::path& path, ReadSlot& slot);

// Turns the stored samples of one file into merged sample records. Sample
// is the stored record type; aovs holds one slot per AOV and sample.
template <class Sample>
void convertRenderSamples(const params& run, const std::string& path, const BinIO::header_v09& header,
                          const std::vector<Sample>& samples, const std::vector<RenderSample::AOVData>& aovs,
                          const RenderFileTraits& traits, ReadSlot& slot);

} // namespace Quorvel::Merger
