#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the whole test suite.
#   QUORVEL_BUILD_DIR   build directory (default: build)
#   QUORVEL_CMAKE_ARGS  extra arguments for the CMake configure step
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${QUORVEL_BUILD_DIR:-"$root/build"}
jobs=$(nproc 2>/dev/null || echo 2)

bash "$root/scripts/setup.sh"
# shellcheck disable=SC2086
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${QUORVEL_CMAKE_ARGS:-}
cmake --build "$build_dir" -j "$jobs"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs"
