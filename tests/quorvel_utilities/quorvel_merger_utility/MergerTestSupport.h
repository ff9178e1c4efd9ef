#pragma once

#include <json/json.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "Merger.h"
#include "io/QvlRenderHeader.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace MergerTest {

using QuorvelTest::TempDir;

inline void writeBytes(const std::filesystem::path& path, const std::string& bytes)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The signature, version 9.1 and JSON header of a render file, laid out by
// hand, with no blocks: enough for discovery.
inline void writeHeaderOnlyFile(const std::filesystem::path& path, const Quorvel::BinIO::header_v09& header)
{
    const Quorvel::BinIO::QVLRender_header built(header);
    Json::FastWriter writer;
    const std::string json = writer.write(built.json());
    std::string bytes = "\x82QVLRender=\n$\n";
    bytes += static_cast<char>(9);
    bytes += static_cast<char>(1);
    const uint32_t length = static_cast<uint32_t>(json.size());
    for (int i = 0; i < 4; ++i)
        bytes += static_cast<char>((length >> (8 * i)) & 0xFF);
    bytes += json;
    writeBytes(path, bytes);
}

inline Quorvel::BinIO::header_v09 renderHeader(int32_t frame, int32_t eye = 1, int32_t offsetX = 0)
{
    Quorvel::BinIO::header_v09 h;
    h.boxScaleX = h.boxScaleY = h.boxScaleZ = 1.0f;
    h.globalScale = 1.0f;
    h.camOffsetX = offsetX;
    h.widthDisplay = 24;
    h.heightDisplay = 16;
    h.projection = 1;
    h.frame = frame;
    h.eye = eye;
    h.fileCode = 1;
    return h;
}

struct Run {
    int status = 0;
    std::string out;
    std::vector<std::string> messages;
    std::vector<QuorvelTest::LogCapture::Entry> entries;

    bool logged(const std::string& message) const
    {
        for (const auto& m : messages)
            if (m == message)
                return true;
        return false;
    }
};

inline Run runMerger(const std::vector<std::string>& args, const Quorvel::Merger::GroupHandler& handler = {})
{
    QuorvelTest::LogCapture log;
    std::vector<const char*> argv;
    for (const auto& a : args)
        argv.push_back(a.c_str());
    std::ostringstream out;
    Run run;
    run.status = Quorvel::Merger::runMerger(static_cast<int>(argv.size()), argv.data(), out, handler);
    run.out = out.str();
    run.messages = log.messages();
    run.entries = log.entries();
    // The merger sets the console level from -l; the capture's end restores it.
    return run;
}

} // namespace MergerTest
