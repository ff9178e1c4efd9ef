#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "io/QvlRenderFile.h"

using namespace Quorvel::BinIO;

namespace {

const std::filesystem::path kFuzzDir = std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "fuzz";

struct Outcome {
    QvlReaderError error;
    int engine;
};

Outcome readAs(const std::string& target, const std::string& path)
{
    header_v09 header;
    int digestSum = 0;
    QvlReaderError e;
    if (target == "qvl_v9") {
        qvlRenderSample5Aovs_t content;
        e = qvlReader_v9(path, header, content, digestSum);
    } else {
        qvlRenderSample4Aovs_t content;
        e = target == "qvl_v8" ? qvlReader_v8(path, header, content, digestSum)
                               : qvlReader_v7(path, header, content, digestSum);
    }
    return {e, static_cast<int>(getRenderEngineId(header.fileCode, digestSum))};
}

// Files of one kind, per reader target directory.
std::vector<std::pair<std::string, std::string>> inputs(const char* kind)
{
    std::vector<std::pair<std::string, std::string>> out;
    const std::filesystem::path root = kFuzzDir / kind;
    if (!std::filesystem::is_directory(root))
        return out;
    for (const auto& target : std::filesystem::directory_iterator(root)) {
        // The legacy readers' targets replay their own inputs.
        if (target.path().filename().string().rfind("qvl_", 0) != 0)
            continue;
        for (const auto& file : std::filesystem::directory_iterator(target.path()))
            out.emplace_back(target.path().filename().string(), file.path().string());
    }
    return out;
}

} // namespace

TEST(FuzzCorpus, SeedsReadWithoutError)
{
    const auto seeds = inputs("corpus");
    ASSERT_GE(seeds.size(), 8u) << kFuzzDir;
    for (const auto& [target, path] : seeds) {
        const Outcome o = readAs(target, path);
        EXPECT_EQ(o.error, QVL_OK) << path;
        if (target == "qvl_v9") {
            EXPECT_EQ(o.engine, 1) << path;
        }
    }
}

// Inputs that once crashed or misbehaved a reader: each now gives an error
// code or reads cleanly.
TEST(FuzzCorpus, RegressionInputsAreRefusedCleanly)
{
    const std::set<QvlReaderError> codes = {QVL_OK, QVL_ERR_OPEN, QVL_ERR_SIGNATURE, QVL_ERR_VERSION, QVL_ERR_JSON,
                                            QVL_ERR_BLOCK_SIZE};
    for (const auto& [target, path] : inputs("regressions"))
        EXPECT_EQ(codes.count(readAs(target, path).error), 1u) << path;
}
