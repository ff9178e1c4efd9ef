#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for the given seconds, one after
# another, starting from its seed corpus and the dictionary of header keys
# (tests/fuzz/headers.dict). New inputs go to build-fuzz/corpus; crashes to
# build-fuzz/crashes.
#   scripts/fuzz.sh [seconds per target, default 60] [target ...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${QUORVEL_FUZZ_BUILD_DIR:-"$root/build-fuzz"}
seconds=${1:-60}
shift || true

cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DQUORVEL_FUZZ=ON -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_BENCH=OFF >/dev/null
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$root"/tests/fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi
cmake --build "$build_dir" -j 2 --target "${targets[@]}"

status=0
for target in "${targets[@]}"; do
  name=${target#fuzz_}
  corpus="$build_dir/corpus/$name"
  crashes="$build_dir/crashes/$name"
  mkdir -p "$corpus" "$crashes"
  seeds="$root/tests/fuzz/corpus/$name"
  # The header keys and signatures, unless a target brings words of its own.
  dict="$root/tests/fuzz/$name.dict"
  [ -f "$dict" ] || dict="$root/tests/fuzz/headers.dict"
  echo "== $target: ${seconds}s"
  "$build_dir/tests/fuzz/$target" -max_total_time="$seconds" -max_len=16384 -rss_limit_mb=2560 \
    -timeout=20 -print_final_stats=1 -dict="$dict" -artifact_prefix="$crashes/" "$corpus" "$seeds" || status=1
done
exit $status
