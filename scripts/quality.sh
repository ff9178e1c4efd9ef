#!/usr/bin/env bash
# Measures what a viewer sees in a final view file against ground truth: for
# the zone of view's centre, its eight corners and two random positions, both
# eyes, quorvel_host renders the scene through a plain pinhole camera (the
# scene without its Quorvel settings) and quorvel_view renders the same eye
# from the final view file; prints a table of PSNR and SSIM and writes the
# pictures side by side (reference, view, difference x4) into the folder.
#
#   bash scripts/quality.sh [FINAL-VIEW-FILE] [SCENE.json] [OUTPUT-FOLDER]
#
# Defaults: ./quorvel-output/demo_0001.qvl (rendered with scripts/render.sh
# when missing), examples/demo/demo.json and ./quorvel-quality.
#   QUORVEL_RELEASE_DIR   build directory (default: build-release)
#   QUORVEL_QUALITY_SIZE  picture size in pixels, square (default: 512)
#   QUORVEL_QUALITY_FOV   horizontal field of view in degrees (default: 90)
#   QUORVEL_QUALITY_SEED  seed of the two random positions (default: 17)
set -euo pipefail

if [ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ]; then
  sed -n '2,17s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
  exit 0
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
final=${1:-"$PWD/quorvel-output/demo_0001.qvl"}
scene=${2:-"$root/examples/demo/demo.json"}
out=${3:-"$PWD/quorvel-quality"}
build_dir=${QUORVEL_RELEASE_DIR:-"$root/build-release"}
size=${QUORVEL_QUALITY_SIZE:-512}
fov=${QUORVEL_QUALITY_FOV:-90}
seed=${QUORVEL_QUALITY_SEED:-17}

if [ ! -f "$scene" ]; then
  echo "error: no scene file \"$scene\"" >&2
  exit 1
fi
if [ ! -f "$final" ]; then
  echo "No final view file \"$final\": rendering the scene first."
  bash "$root/scripts/render.sh" "$scene" "$(dirname "$final")"
fi
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF \
  -DQUORVEL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc 2>/dev/null || echo 2)" --target quorvel_host quorvel_view >/dev/null
host="$build_dir/platform/vray/host/quorvel_host"
view="$build_dir/quorvel_utilities/quorvel_view_utility/quorvel_view"

mkdir -p "$out"
out=$(cd "$out" && pwd)
# The plain scene: without the Quorvel settings the host renders a picture
# through the scene's RenderView; file names made absolute, as the copy lives
# elsewhere.
python3 - "$scene" "$out/plain.json" <<'PY'
import json, os, sys
source, target = sys.argv[1], sys.argv[2]
with open(source) as f:
    scene = json.load(f)
base = os.path.dirname(os.path.abspath(source))
scene["plugins"] = [p for p in scene["plugins"] if p.get("type") != "SettingsQuorvel"]
for p in scene["plugins"]:
    params = p.get("params", {})
    if isinstance(params.get("file"), str) and not os.path.isabs(params["file"]):
        params["file"] = os.path.join(base, params["file"])
with open(target, "w") as f:
    json.dump(scene, f, indent=1)
PY
camera=$(python3 -c 'import json,sys; print(next(p["name"] for p in json.load(open(sys.argv[1]))["plugins"] if p["type"] == "RenderView"))' "$out/plain.json")

positions=("centre 0,0,0")
for x in -1 1; do for y in -1 1; do for z in -1 1; do
  positions+=("corner$x$y$z $x,$y,$z")
done; done; done
while read -r p; do positions+=("random$((${#positions[@]} - 8)) $p"); done < <(
  awk -v seed="$seed" 'BEGIN { srand(seed); for (i = 0; i < 2; i++)
    printf "%.3f,%.3f,%.3f\n", 2 * rand() - 1, 2 * rand() - 1, 2 * rand() - 1 }')

printf '%-16s %-20s %-5s %9s %7s\n' position "x,y,z" eye "PSNR dB" SSIM | tee "$out/table.txt"
for entry in "${positions[@]}"; do
  name=${entry%% *}
  where=${entry#* }
  for eye in left right; do
    transform=$("$view" "$final" --position "$where" --eye "$eye" --fov "$fov" --host-camera)
    "$host" --quiet --threads "$(nproc 2>/dev/null || echo 2)" \
      --set "$camera.transform=$transform" --set "$camera.fov=$fov" \
      --set "SettingsOutput.img_width=$size" --set "SettingsOutput.img_height=$size" \
      --set "SettingsOutput.img_file_needFrameNumber=false" \
      --set "SettingsOutput.img_dir=\"$out\"" --set "SettingsOutput.img_file=\"${name}_${eye}_reference.png\"" \
      --set "SettingsOutput.frame_start=1" --set "SettingsOutput.frame_end=1" \
      "$out/plain.json" >/dev/null
    result=$("$view" "$final" --position "$where" --eye "$eye" --fov "$fov" --size "${size}x${size}" \
      --supersample 2 -o "$out/${name}_${eye}_view.png" --compare "$out/${name}_${eye}_reference.png" \
      --side-by-side "$out/${name}_${eye}.png")
    read -r _ psnr _ _ ssim <<<"$result"
    printf '%-16s %-20s %-5s %9s %7s\n' "$name" "$where" "$eye" "$psnr" "$ssim" | tee -a "$out/table.txt"
  done
done
echo
echo "Pictures (reference | view | difference x4): $out/<position>_<eye>.png; table: $out/table.txt"
