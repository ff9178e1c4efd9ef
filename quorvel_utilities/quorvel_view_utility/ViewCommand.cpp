#include "ViewCommand.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <optional>

#include "FinalCodes.h"
#include "FinalViewReader.h"
#include "ImageCompare.h"
#include "Preview.h"
#include "ViewRenderer.h"

namespace Quorvel::FinalView {

namespace {

const char* const kUsage =
    "usage: quorvel_view FINAL_VIEW_FILE [options]\n"
    "\n"
    "Renders what a viewer inside the zone of view sees in a final view file.\n"
    "\n"
    "  -o, --output PNG        picture to write (default view.png)\n"
    "  --position X,Y,Z        head position in the zone of view, each axis from -1 to 1\n"
    "                          (the box faces; 0,0,0 is the centre; axes: x right, y up,\n"
    "                          z back of the render camera)\n"
    "  --yaw DEG               turn right (default 0: the render camera's direction)\n"
    "  --pitch DEG             look up\n"
    "  --roll DEG              roll counter-clockwise\n"
    "  --fov DEG               horizontal field of view (default 90)\n"
    "  --size WxH              picture size (default 1024x1024, panorama 2048x1024)\n"
    "  --eye left|right        eye, half the IPD beside the head (default left)\n"
    "  --ipd MM                interpupillary distance in millimetres (default 63.5)\n"
    "  --panorama              full equirectangular panorama instead of a pinhole view\n"
    "  --supersample N         N x N samples per pixel (default 1)\n"
    "  --footprint-scale F     enlarge every plaque by F around its centre (default 1.05)\n"
    "  --blend F               blend opaque colours between neighbouring plaques over footprints\n"
    "                          enlarged F times (default 2; 0 draws each plaque flat)\n"
    "  --threads N             render threads (default: all cores)\n"
    "  --compare REFERENCE.png print \"PSNR <dB> dB SSIM <index>\" of the view against the picture\n"
    "  --side-by-side PNG      with --compare: write reference, view and difference (x4) side by side\n"
    "  --stages                with --compare: also print the share of pixels no sample reached and\n"
    "                          the PSNR of the reference through the colour code alone and at the\n"
    "                          file's own angular resolution alone\n"
    "  --host-camera           print the quorvel_host RenderView transform of the eye and exit\n"
    "  --info                  print the file's header values and exit\n"
    "  --dump                  print every sample as decoded and placed, one line each, and exit\n"
    "  -h, --help              this text\n";

bool parseFloat(const std::string& s, float& v)
{
    char* end = nullptr;
    v = std::strtof(s.c_str(), &end);
    return !s.empty() && end && *end == '\0' && std::isfinite(v);
}

bool parseTriple(const std::string& s, VekPoint& p)
{
    const auto a = s.find(','), b = s.find(',', a == std::string::npos ? a : a + 1);
    if (a == std::string::npos || b == std::string::npos)
        return false;
    return parseFloat(s.substr(0, a), p.x) && parseFloat(s.substr(a + 1, b - a - 1), p.y) &&
           parseFloat(s.substr(b + 1), p.z);
}

bool parseSize(const std::string& s, uint32_t& w, uint32_t& h)
{
    const auto x = s.find('x');
    if (x == std::string::npos)
        return false;
    const std::string first = s.substr(0, x), second = s.substr(x + 1);
    char* end = nullptr;
    const long a = std::strtol(first.c_str(), &end, 10);
    if (first.empty() || *end)
        return false;
    const long b = std::strtol(second.c_str(), &end, 10);
    if (second.empty() || *end || a < 1 || b < 1 || a > 16384 || b > 16384)
        return false;
    w = static_cast<uint32_t>(a);
    h = static_cast<uint32_t>(b);
    return true;
}

const char* const kDumpColumns =
    "# index x y camera level plaque_width plaque_height depth_code depth alpha colour right_colour transparent "
    "cockpit moving normal_x normal_y normal_z left_r left_g left_b right_r right_g right_b placed centre_x "
    "centre_y centre_z corner0_x corner0_y corner0_z corner1_x corner1_y corner1_z corner2_x corner2_y corner2_z "
    "corner3_x corner3_y corner3_z\n";

uint32_t codeWord(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Every value a player decodes from a sample, so that another decoder of
// the same file can be checked line by line.
void dumpSamples(const FinalViewData& file, float footprint, std::ostream& out)
{
    out << kDumpColumns;
    const bool cube = file.cube();
    char line[1024];
    for (std::size_t i = 0; i < file.codes.size() / kSampleCodeSize; ++i) {
        const uint8_t* code = &file.codes[i * kSampleCodeSize];
        const uint32_t w0 = codeWord(code), w1 = codeWord(code + 4), w2 = codeWord(code + 8), w3 = codeWord(code + 12);
        const DecodedCode d = decodeCode(code, cube, file.displayWidth);
        const uint32_t right = cube ? (w1 ^ w0) & 0xFFFFFFu : (w3 ^ w2) & 0xFFFFFFu;
        const uint32_t transparent = cube ? w2 >> 31 : (w0 >> 27) & 1u;
        const uint32_t cockpit = cube ? (w3 >> 6) & 1u : w0 >> 31;
        const uint32_t moving = cube ? (w3 >> 5) & 1u : (w1 >> 15) & 1u;
        const VekPoint n = sampleNormal(file, i);
        const VekRGB l = decodeColourCode(d.colour), r = decodeColourCode(right);
        auto g = [](float v) { return static_cast<double>(v); };
        int used = std::snprintf(line, sizeof line,
                                 "%zu %d %d %u %u %u %u %u %.9g %u %u %u %u %u %u %.9g %.9g %.9g %.9g %.9g %.9g %.9g "
                                 "%.9g %.9g",
                                 i, d.x, d.y, d.camera, d.level, d.plaqueWidth, d.plaqueHeight, d.depth,
                                 g(decodeDepthCode(d.depth)), d.alpha, d.colour, right, transparent, cockpit, moving,
                                 g(n.x), g(n.y), g(n.z), g(l.r), g(l.g), g(l.b), g(r.r), g(r.g), g(r.b));
        ViewPlaque p;
        if (placeSample(file, i, footprint, p)) {
            used += std::snprintf(line + used, sizeof line - used, " 1 %.9g %.9g %.9g", g(p.centre.x), g(p.centre.y),
                                  g(p.centre.z));
            for (const VekPoint& c : p.corners)
                used += std::snprintf(line + used, sizeof line - used, " %.9g %.9g %.9g", g(c.x), g(c.y), g(c.z));
        } else {
            std::snprintf(line + used, sizeof line - used, " 0");
        }
        out << line << "\n";
    }
}

} // namespace

int runViewCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    ViewRequest request;
    std::string input, output = "view.png", reference, sideBySidePath;
    bool hostCamera = false, info = false, dump = false, sizeGiven = false, stages = false;
    float footprint = 1.05f;
    auto usageError = [&](const std::string& why) {
        err << "quorvel_view: " << why << "\n" << kUsage;
        return 2;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& v) {
            if (i + 1 >= args.size())
                return false;
            v = args[++i];
            return true;
        };
        std::string v;
        float f = 0;
        if (a == "-h" || a == "--help") {
            out << kUsage;
            return 0;
        } else if (a == "-o" || a == "--output") {
            if (!value(output))
                return usageError(a + " needs a file name");
        } else if (a == "--position") {
            if (!value(v) || !parseTriple(v, request.position))
                return usageError("--position needs X,Y,Z");
            const VekPoint& p = request.position;
            if (std::fabs(p.x) > 1 || std::fabs(p.y) > 1 || std::fabs(p.z) > 1)
                return usageError("--position needs each axis from -1 to 1 (the zone of view's faces)");
        } else if (a == "--yaw" || a == "--pitch" || a == "--roll" || a == "--fov" || a == "--ipd" ||
                   a == "--footprint-scale" || a == "--blend") {
            if (!value(v) || !parseFloat(v, f))
                return usageError(a + " needs a number");
            if (a == "--yaw")
                request.yawDegrees = f;
            else if (a == "--pitch")
                request.pitchDegrees = f;
            else if (a == "--roll")
                request.rollDegrees = f;
            else if (a == "--ipd") {
                if (!(f >= 0 && f <= 1000))
                    return usageError("--ipd needs millimetres from 0 to 1000");
                request.ipdMillimetres = f;
            }
            else if (a == "--blend") {
                if (!(f == 0 || (f >= 1 && f <= 4)))
                    return usageError("--blend needs 0 or a number from 1 to 4");
                request.blend = f;
            } else if (a == "--footprint-scale") {
                if (!(f > 0 && f < 10))
                    return usageError("--footprint-scale needs a number between 0 and 10");
                footprint = f;
            } else {
                if (!(f > 0 && f < 180))
                    return usageError("--fov needs degrees between 0 and 180");
                request.fovDegrees = f;
            }
        } else if (a == "--size") {
            if (!value(v) || !parseSize(v, request.width, request.height))
                return usageError("--size needs WxH, each 1 to 16384");
            sizeGiven = true;
        } else if (a == "--eye") {
            if (!value(v) || (v != "left" && v != "right"))
                return usageError("--eye needs left or right");
            request.eye = v == "left" ? ViewEye::Left : ViewEye::Right;
        } else if (a == "--supersample" || a == "--threads") {
            if (!value(v) || !parseFloat(v, f) || f < (a == "--threads" ? 0 : 1) || f > 8 * (a == "--threads" ? 64 : 1) ||
                f != std::floor(f))
                return usageError(a + (a == "--threads" ? " needs a count" : " needs 1 to 8"));
            (a == "--threads" ? request.threads : request.supersample) = static_cast<uint32_t>(f);
        } else if (a == "--panorama") {
            request.panorama = true;
        } else if (a == "--compare") {
            if (!value(reference))
                return usageError("--compare needs a PNG picture");
        } else if (a == "--side-by-side") {
            if (!value(sideBySidePath))
                return usageError("--side-by-side needs a file name");
        } else if (a == "--stages") {
            stages = true;
        } else if (a == "--host-camera") {
            hostCamera = true;
        } else if (a == "--info") {
            info = true;
        } else if (a == "--dump") {
            dump = true;
        } else if (!a.empty() && a[0] == '-') {
            return usageError("unknown option " + a);
        } else if (input.empty()) {
            input = a;
        } else {
            return usageError("more than one input file");
        }
    }
    if (input.empty())
        return usageError("no final view file given");
    if ((!sideBySidePath.empty() || stages) && reference.empty())
        return usageError("--side-by-side and --stages need --compare");
    if (request.panorama && !sizeGiven) {
        request.width = 2048;
        request.height = 1024;
    }

    std::string error;
    const auto file = readFinalView(input, error);
    if (!file) {
        err << "quorvel_view: " << error << "\n";
        return 1;
    }
    if (info) {
        out << "samples " << file->sampleCount << " (opaque " << file->opaqueCount << ", transparent "
            << file->transparentCount << ")\n"
            << "display " << file->displayWidth << "x" << file->displayHeight << ", "
            << (file->cube() ? "cube map" : "latitude-longitude") << ", flags " << file->flags << "\n"
            << "zone of view " << file->boxMin.x << "," << file->boxMin.y << "," << file->boxMin.z << " to "
            << file->boxMax.x << "," << file->boxMax.y << "," << file->boxMax.z << "\n"
            << "motion " << (file->motion.empty() ? "no" : "yes") << ", preview " << file->preview.size()
            << " bytes, background " << file->background.size() << " bytes\n";
        return 0;
    }
    if (dump) {
        dumpSamples(*file, footprint, out);
        return 0;
    }
    const ViewScene scene = buildViewScene(*file, footprint, request.threads);
    if (hostCamera) {
        out << hostCameraTransform(scene, request) << "\n";
        return 0;
    }
    const LinearImage linear = renderView(scene, request);
    const Rgba8Image view{linear.width, linear.height, toSrgba8(linear)};
    if (!savePng(output, view)) {
        err << "quorvel_view: " << output << ": cannot write the picture\n";
        return 1;
    }
    if (reference.empty())
        return 0;
    const auto ref = loadPng(reference, error);
    if (!ref) {
        err << "quorvel_view: " << error << "\n";
        return 1;
    }
    const auto c = compareImages(*ref, view);
    if (!c) {
        err << "quorvel_view: " << reference << ": the reference is " << ref->width << "x" << ref->height
            << ", the view " << view.width << "x" << view.height << "\n";
        return 1;
    }
    out << std::fixed << std::setprecision(2) << "PSNR " << c->psnr << " dB SSIM " << std::setprecision(4)
        << c->ssim << "\n";
    if (stages) {
        // View pixels per display pixel near the middle of the picture: the
        // display holds a cube face of half its height per 90 degrees.
        const double viewPerRadian = request.panorama ? request.width / (2 * 3.14159265358979)
                                                      : request.width / 2.0 / std::tan(request.fovDegrees * 3.14159265358979 / 360);
        const double factor = std::max(1.0, viewPerRadian / (file->displayHeight / 4.0));
        const auto code = compareImages(*ref, throughColourCode(*ref));
        const auto coarse = compareImages(*ref, atCoarserResolution(*ref, factor));
        out << std::setprecision(2) << "uncovered " << linear.uncovered * 100 << " %\n"
            << "colour code alone: PSNR " << code->psnr << " dB\n"
            << "display resolution alone (1/" << factor << "): PSNR " << coarse->psnr << " dB\n";
    }
    if (!sideBySidePath.empty()) {
        const Rgba8Image diff = differenceImage(*ref, view, 4);
        if (!savePng(sideBySidePath, sideBySide({&*ref, &view, &diff}))) {
            err << "quorvel_view: " << sideBySidePath << ": cannot write the picture\n";
            return 1;
        }
    }
    return 0;
}

} // namespace Quorvel::FinalView
