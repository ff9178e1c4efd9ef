#!/usr/bin/env bash
# The main job: renders a scene for the zone of view and merges it into one
# final view file per frame, with its preview picture.
#
#   bash scripts/render.sh [SCENE.json | MODEL.glb|.gltf|.obj|.dae|.fbx] [OUTPUT-FOLDER]
#
# Defaults: the demo scene examples/demo/demo.json and ./quorvel-output.
# A model file is rendered as a whole scene: its camera, lights, materials
# and animation, the demo's settings for the rest (see README).
# Installs what is missing, builds in Release (build-release/), renders the
# detection phase, then the render phase, through quorvel_host with the
# plug-in loaded from disk, and runs quorvel_merger over the render files.
#   QUORVEL_RELEASE_DIR  build directory (default: build-release)
#   QUORVEL_THREADS      render threads (default: the scene's)
set -euo pipefail

if [ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ]; then
  sed -n '2,14s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
  exit 0
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
scene=${1:-"$root/examples/demo/demo.json"}
out=${2:-"$PWD/quorvel-output"}
build_dir=${QUORVEL_RELEASE_DIR:-"$root/build-release"}
jobs=$(nproc 2>/dev/null || echo 2)

if [ ! -f "$scene" ]; then
  echo "error: no scene file \"$scene\"" >&2
  exit 1
fi
scene=$(cd "$(dirname "$scene")" && pwd)/$(basename "$scene")
mkdir -p "$out"
out=$(cd "$out" && pwd)
name=$(basename "$scene")
name=${name%.*}
start=$SECONDS

step() { echo; echo "==> [$1/5] $2 ($((SECONDS - start)) s)"; }

step 1 "Installing missing packages"
bash "$root/scripts/setup.sh"

step 2 "Building in Release ($build_dir)"
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF \
  -DQUORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j "$jobs" --target quorvel_host vray_quorvel_plugin quorvel_merger

host="$build_dir/platform/vray/host/quorvel_host"
plugin="$build_dir/vray_quorvel_plugin/vray_quorvel_plugin.so"
merger="$build_dir/quorvel_utilities/quorvel_merger_utility/quorvel_merger"
threads=()
if [ -n "${QUORVEL_THREADS:-}" ]; then
  threads=(--threads "$QUORVEL_THREADS")
fi

rm -rf "$out/detect" "$out/render"
mkdir -p "$out/detect" "$out/render"
# Both phases write the core's files in place of the scene's image output.
common=(--plugin "$plugin" "${threads[@]}"
  --set "SettingsQuorvel.detect_file=\"$out/detect/${name}_detect_#.qvl\""
  --set "SettingsOutput.img_file_needFrameNumber=true")

step 3 "Detection phase: 256 cameras probe the scene"
"$host" "${common[@]}" --set "SettingsQuorvel.phase_mode=0" \
  --set "SettingsOutput.img_dir=\"$out/detect\"" --set "SettingsOutput.img_file=\"${name}_detect_#.qvl\"" \
  "$scene" 2>&1 | tee "$out/detect.log"

step 4 "Render phase: both eyes shade every plaque"
"$host" "${common[@]}" --set "SettingsQuorvel.phase_mode=1" \
  --set "SettingsOutput.img_dir=\"$out/render\"" --set "SettingsOutput.img_file=\"${name}_#.qvl\"" \
  "$scene" 2>&1 | tee "$out/render.log"

step 5 "Merging the render files into final view files"
"$merger" "$out/render" --output "$out/${name}_#.qvl" -x -l 2

# The preview is a PNG inside the final view file: its size and offset are the
# little-endian words at bytes 168 and 172 of the header.
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' \n'; }
shopt -s nullglob
finals=("$out/${name}"_[0-9]*.qvl)
if [ ${#finals[@]} -eq 0 ]; then
  echo "error: the merger wrote no final view file" >&2
  exit 1
fi
for f in "${finals[@]}"; do
  size=$(u32 "$f" 168)
  offset=$(u32 "$f" 172)
  if [ "$size" -gt 0 ]; then
    tail -c +"$((offset + 1))" "$f" | head -c "$size" >"${f%.qvl}.png"
  fi
done

echo
echo "Per frame and phase (thread time split between ray tracing, host shading and plug-in/core calls):"
printf '%-9s %5s %8s %12s %10s %9s %9s %9s\n' phase frame wall_s rays rays_per_s tracing shading core
for phase in detect render; do
  sed -n 's/^frame \([0-9]*\): \([0-9]*\) rays traced (\([0-9]*\) per second), [0-9]* hits to plug-in shaders, \([0-9.]*\) s on [0-9]* threads; thread time: ray tracing [0-9.]* s (\([0-9]*%\)), shading [0-9.]* s (\([0-9]*%\)), plug-in and core calls [0-9.]* s (\([0-9]*%\)).*/\1 \4 \2 \3 \5 \6 \7/p' \
    "$out/$phase.log" | while read -r frame wall rays rate tracing shading core; do
    printf '%-9s %5s %8s %12s %10s %9s %9s %9s\n' "$phase" "$frame" "$wall" "$rays" "$rate" "$tracing" "$shading" "$core"
  done
done

echo
echo "Done in $((SECONDS - start)) s. Final view files and previews:"
ls -1 "$out"/"${name}"_[0-9]*.qvl "$out"/"${name}"_[0-9]*.png
echo "Output folder: $out"
