#include <cairo.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>

#include "MayaHost.h"

namespace QvMayaHost {

namespace {

struct Vec {
    double x, y, z;
};

Vec sub(const MPoint& a, const MPoint& b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

double dot(const Vec& a, const Vec& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

Vec cross(const Vec& a, const Vec& b)
{
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

Vec normalised(const Vec& v)
{
    const double length = std::sqrt(dot(v, v));
    return length > 0.0 ? Vec{v.x / length, v.y / length, v.z / length} : v;
}

} // namespace

bool projectPoint(const View& view, const MPoint& world, double& px, double& py)
{
    const Vec forward = normalised(sub(view.target, view.eye));
    const Vec right = normalised(cross(forward, Vec{view.up.x, view.up.y, view.up.z}));
    const Vec up = cross(right, forward);
    const Vec d = sub(world, view.eye);
    const double xc = dot(d, right);
    const double yc = dot(d, up);
    const double zc = dot(d, forward);
    double scale = 0.0;
    if (view.orthoHeight > 0.0) {
        scale = view.height / view.orthoHeight;
    } else {
        if (zc <= 1e-9)
            return false;
        const double pi = std::acos(-1.0);
        scale = (view.height * 0.5) / std::tan(view.verticalFieldOfView * pi / 360.0) / zc;
    }
    px = view.width * 0.5 + xc * scale;
    py = view.height * 0.5 - yc * scale;
    return true;
}

bool renderLinesToPng(const MHWRender::MUIDrawManager& drawing, const MMatrix& world, const View& view,
                      const std::string& path, std::string& error)
{
    if (view.width <= 0 || view.height <= 0 || view.width > 16384 || view.height > 16384) {
        error = "picture size out of range";
        return false;
    }
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, view.width, view.height);
    cairo_t* cr = cairo_create(surface);
    // Maya's default viewport grey.
    cairo_set_source_rgb(cr, 0.36, 0.36, 0.36);
    cairo_paint(cr);
    cairo_set_line_width(cr, 1.0);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);

    for (const auto& drawable : drawing.drawables()) {
        cairo_set_source_rgba(cr, drawable.colour.r, drawable.colour.g, drawable.colour.b, drawable.colour.a);
        for (const auto& mesh : drawable.meshes) {
            if (mesh.primitive != MHWRender::MUIDrawManager::kLines)
                continue;
            for (unsigned int i = 0; i + 1 < mesh.points.length(); i += 2) {
                double x0, y0, x1, y1;
                if (!projectPoint(view, mesh.points[i] * world, x0, y0) ||
                    !projectPoint(view, mesh.points[i + 1] * world, x1, y1))
                    continue;
                cairo_move_to(cr, x0, y0);
                cairo_line_to(cr, x1, y1);
            }
            cairo_stroke(cr);
        }
    }

    cairo_destroy(cr);
    // Written beside the target and renamed into place: a full disk must
    // neither leave a truncated picture nor destroy an earlier one.
    const std::string temporary = path + ".partial";
    const cairo_status_t status = cairo_surface_write_to_png(surface, temporary.c_str());
    cairo_surface_destroy(surface);
    std::error_code ec;
    if (status != CAIRO_STATUS_SUCCESS) {
        std::filesystem::remove(temporary, ec);
        error = std::string("cannot write ") + path + ": " + cairo_status_to_string(status);
        return false;
    }
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
        error = std::string("cannot write ") + path + ": " + ec.message();
        return false;
    }
    return true;
}

} // namespace QvMayaHost
