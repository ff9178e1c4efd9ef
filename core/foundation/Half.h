#pragma once

#include <Imath/half.h>

// binary16 scalar of the AOV columns.
namespace half_float {
using half = Imath::half;
}
