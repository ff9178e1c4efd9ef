#include <gtest/gtest.h>

#include <cairo.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "MayaHost.h"
#include "support/FileSizeLimit.h"
#include "support/Subprocess.h"

namespace {

int run(const std::string& arguments)
{
    const std::string command = std::string(QUORVEL_MAYA_PREVIEW) + " " + arguments + " 2>/dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string tempPng()
{
    char path[] = "/tmp/qv_maya_preview_XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0)
        close(fd);
    return std::string(path) + ".png";
}

struct Picture {
    cairo_surface_t* surface = nullptr;
    ~Picture()
    {
        if (surface)
            cairo_surface_destroy(surface);
    }
    uint32_t at(int x, int y) const
    {
        const unsigned char* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        return *reinterpret_cast<const uint32_t*>(data + y * stride + x * 4) & 0xFFFFFFu;
    }
};

} // namespace

TEST(MayaPreview, DrawsTheZoneOfViewIntoAPng)
{
    const std::string path = tempPng();
    ASSERT_EQ(run("--out " + path + " --size 320x240 --translate 0,0,0 Width=1.5 cr=150 ce=1"), 0);

    Picture picture;
    picture.surface = cairo_image_surface_create_from_png(path.c_str());
    std::remove(path.c_str());
    ASSERT_EQ(cairo_surface_status(picture.surface), CAIRO_STATUS_SUCCESS);
    ASSERT_EQ(cairo_image_surface_get_width(picture.surface), 320);
    ASSERT_EQ(cairo_image_surface_get_height(picture.surface), 240);
    cairo_surface_flush(picture.surface);

    const uint32_t background = picture.at(0, 0);
    // Box corners (Width 1.5) and a ground corner (not widened) are drawn where the default camera sees them.
    QvMayaHost::View view;
    view.width = 320;
    view.height = 240;
    for (const MPoint corner : {MPoint(75, 25, 50), MPoint(-75, -25, -50), MPoint(50, -160, -50)}) {
        double px = 0.0, py = 0.0;
        ASSERT_TRUE(QvMayaHost::projectPoint(view, corner, px, py));
        bool drawn = false;
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int x = int(px) + dx, y = int(py) + dy;
                if (x >= 0 && y >= 0 && x < 320 && y < 240 && picture.at(x, y) != background)
                    drawn = true;
            }
        EXPECT_TRUE(drawn) << corner.x << ", " << corner.y << ", " << corner.z << " at " << px << ", " << py;
    }
}

TEST(MayaPreview, RefusesWhatItCannotDo)
{
    const std::string path = tempPng();
    EXPECT_EQ(run("--out " + path + " NoSuchAttribute=1"), 2);
    EXPECT_EQ(run("--out " + path + " Width=wide"), 2);
    EXPECT_EQ(run("--out " + path + " --view fisheye"), 2);
    EXPECT_EQ(run("--out " + path + " --plugin /nonexistent/plugin.so"), 1);
    EXPECT_EQ(run("--out /nonexistent/dir/x.png"), 1);
    std::remove(path.c_str());
}

// A picture that cannot be written fails the run with the path, leaves no
// partial file and keeps the picture of an earlier run. (Root writes into
// read-only folders, so an unusable folder is one below a regular file.)
TEST(MayaPreview, APictureThatCannotBeWrittenKeepsTheEarlierOne)
{
    QuorvelTest::TempDir dir;
    const std::string earlier = dir.file("zov.png");
    ASSERT_EQ(QuorvelTest::runProcess({QUORVEL_MAYA_PREVIEW, "--out", earlier, "--size", "320x240"}).exitCode, 0);
    const auto size = std::filesystem::file_size(earlier);
    std::ifstream in(earlier, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    const std::string blocker = dir.write("blocker", "a file, not a folder");
    std::filesystem::create_directories(dir.path() / "taken.png" / "inside");

    const struct {
        const char* name;
        std::string out;
        std::optional<rlim_t> fileSizeLimit;
    } cases[] = {
        {"missing folder", blocker + "/zov.png", std::nullopt},
        {"name taken by a folder", dir.file("taken.png"), std::nullopt},
        {"full disk over an earlier picture", earlier, size / 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QuorvelTest::ProcessOptions options;
        options.fileSizeLimit = c.fileSizeLimit;
        const QuorvelTest::ProcessResult run =
            QuorvelTest::runProcess({QUORVEL_MAYA_PREVIEW, "--out", c.out, "--size", "320x240"}, options);
        EXPECT_EQ(run.exitCode, 1) << run.describe();
        EXPECT_NE(run.err.find("cannot write " + c.out), std::string::npos) << run.describe();
        EXPECT_FALSE(std::filesystem::exists(c.out + ".partial"));
    }
    std::ifstream after(earlier, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(after)), {}), bytes);
}
