#pragma once

// Only what is marked QUORVEL_API leaves the shared library; everything else
// is built with hidden visibility.
#if defined(_WIN32)
#  if defined(QUORVEL_BUILDING_LIBRARY)
#    define QUORVEL_API __declspec(dllexport)
#  else
#    define QUORVEL_API __declspec(dllimport)
#  endif
#else
#  define QUORVEL_API __attribute__((visibility("default")))
#endif
