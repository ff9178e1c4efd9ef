#pragma once

#include <array>
#include <cstdint>
#include <sstream>
#include <string>

#include "camera/Plaque.h"
#include "foundation/Export.h"
#include "foundation/Types.h"

// Builds a Maya Python script (maya.cmds) that recreates plaques, positions
// and lines as Maya objects, for looking at detection geometry by hand.
class QUORVEL_API MayaDebugScript {
public:
    MayaDebugScript();
    MayaDebugScript(const VekPoint& origin, float scale);

    MayaDebugScript(const MayaDebugScript&) = delete;
    MayaDebugScript& operator=(const MayaDebugScript&) = delete;

    void DebugLine(const VekPoint& a, const VekPoint& b, int32_t colour);
    void DebugPosition(const VekPoint& point, const std::string& name, float size, int32_t colour);
    // Bits 0-4 of flags choose colourOn for the centre and the four corners.
    void DebugPlaque(const Plaque& plaque, float size, uint32_t flags, int32_t colourOn, int32_t colourOff);
    // Bits 5-12 of flags do the same for the eight extended points.
    void DebugExtendedPlaque(const Plaque& plaque, const std::array<VekPoint, 8>& points, float size, uint32_t flags,
                             int32_t colourOn, int32_t colourOff);
    void DebugQuad(const Plaque& plaque, const std::string& name, const VekRGBA& colour);
    void DebugQuad(const Plaque& plaque, int32_t i, int32_t j, int32_t k, const VekRGBA& colour);
    void SetCameraPos(const VekPoint& eye, const VekPoint& lookAt);

    // Maya index colour for a plaque type code.
    static int32_t GetColor(int32_t type);

    std::string GetScript() const;
    // Sends the script to the logger (DEBUG), one message per line.
    void Display() const;

private:
    void writePoint(const VekPoint& p);

    int32_t lineCounter_ = 1;
    int32_t plaqueCounter_ = 1;
    int32_t locatorCounter_ = 1;
    std::ostringstream script_;
    VekPoint origin_{0.0f, 0.0f, 0.0f};
    float scale_ = 1.0f;
};
