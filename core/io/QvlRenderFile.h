#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "foundation/Export.h"
#include "foundation/Types.h"
#include "io/QvlRenderHeader.h"
#include "io/RenderSampleRecords.h"
#include "samples/DetectPlaqueInfo.h"

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace Quorvel::BinIO::inline v2_0 {

// Running SHA-256 over the uncompressed block contents of a file; the digest
// sum is the sum of the 32 digest bytes (0 to 8160).
class QUORVEL_API HashSum {
public:
    HashSum();
    ~HashSum();
    HashSum(const HashSum&) = delete;
    HashSum& operator=(const HashSum&) = delete;

    void update(const void* data, size_t size);
    // Finishes the digest; later updates start a new one.
    int digestSum();
    const std::array<uint8_t, 32>& digest() const { return digest_; }

private:
    EVP_MD_CTX* context_;
    std::array<uint8_t, 32> digest_{};
};

inline constexpr size_t kPackedPlaqueSize = 24;

// The 24-byte stored form of a detection plaque and back.
QUORVEL_API void packDetectPlaqueInfo(const DetectPlaqueInfo& plaque, uint8_t* out);
QUORVEL_API DetectPlaqueInfo unpackDetectPlaqueInfo(const uint8_t* in);

// Writes a version-9.1 file: to a temporary name beside `path`, renamed into
// place once complete, so an existing file survives a failed write.
QUORVEL_API QvlReaderError qvlWriter_v9(const std::string& path, const header_v09& header,
                                        const qvlRenderSample5Aovs_t& content,
                                        const Util::RenderingEngineId& engineId);

// Full readers; the caller picks one by the file's major version.
QUORVEL_API QvlReaderError qvlReader_v9(const std::string& path, header_v09& header,
                                        qvlRenderSample5Aovs_t& content, int& digestSum);
QUORVEL_API QvlReaderError qvlReader_v8(const std::string& path, header_v09& header,
                                        qvlRenderSample4Aovs_t& content, int& digestSum);
QUORVEL_API QvlReaderError qvlReader_v7(const std::string& path, header_v09& header,
                                        qvlRenderSample4Aovs_t& content, int& digestSum);

// Reads, from the current position of `file`, the sample block, one block per
// known AOV type of the header and the trailing block.
QUORVEL_API QvlReaderError ReadSamplesAndAOV(std::FILE* file, const header_v07& header,
                                             qvlRenderSample5Aovs_t& content, HashSum& hash);
QUORVEL_API QvlReaderError ReadSamplesAndAOV(std::FILE* file, const header_v07& header,
                                             qvlRenderSample4Aovs_t& content, HashSum& hash);

// Engine id encoded in a file code by the writer: (code + digest sum) mod 99.
QUORVEL_API Util::RenderingEngineId getRenderEngineId(const int& fileCode, const int& digestSum);

} // namespace Quorvel::BinIO::inline v2_0
