#pragma once

// Everything the core library offers, in one include.

#include "foundation/Export.h"
#include "foundation/Types.h"
#include "foundation/Half.h"
#include "foundation/Logger.h"
#include "foundation/Catalogue.h"
#include "analysis/KDPointLocation.h"
