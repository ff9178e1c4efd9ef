#!/usr/bin/env bash
# The web player's tests: npm ci in player/, the demo scene rendered with the
# tools of the test build (build/, made by scripts/test.sh), then node's test
# runner over the decoder tests and the headless-Chromium test. Chromium
# comes from Debian's packages and is installed when missing (as root); the
# browser test says so and skips where it cannot start.
#   QUORVEL_BUILD_DIR         build with the tools (default: build)
#   QUORVEL_PLAYER_ARTEFACTS  where the screenshots and difference pictures go
#                             (default: player/test-output)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QUORVEL_BUILD_DIR:-"$root/build"}
cd "$root/player"

if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  echo "==> Installing Node.js and npm"
  { apt-get update -qq && apt-get install -y -qq nodejs npm; } >/dev/null 2>&1 ||
    { echo "error: the player's tests need node and npm" >&2; exit 1; }
fi
if ! command -v chromium >/dev/null 2>&1; then
  if [ "$(id -u)" = 0 ]; then
    echo "==> Installing Chromium for the browser test"
    apt-get install -y -qq chromium >/dev/null 2>&1 ||
      { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq chromium >/dev/null 2>&1; } ||
      echo "warning: chromium could not be installed; the browser test will skip"
  else
    echo "warning: chromium is missing and this is not root; the browser test will skip"
  fi
fi

echo "==> npm ci (player/)"
npm ci --no-audit --no-fund --loglevel=error

host="$build/platform/vray/host/quorvel_host"
plugin="$build/vray_quorvel_plugin/vray_quorvel_plugin.so"
merger="$build/quorvel_utilities/quorvel_merger_utility/quorvel_merger"
export QUORVEL_VIEW="$build/quorvel_utilities/quorvel_view_utility/quorvel_view"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -x "$host" ] && [ -f "$plugin" ] && [ -x "$merger" ] && [ -x "$QUORVEL_VIEW" ]; then
  echo "==> Rendering the demo scene for the browser test"
  name=demo
  out="$work/out"
  mkdir -p "$out/detect" "$out/render"
  common=(--plugin "$plugin" --threads 2
    --set "SettingsQuorvel.detect_file=\"$out/detect/${name}_detect_#.qvl\""
    --set "SettingsOutput.img_file_needFrameNumber=true")
  "$host" "${common[@]}" --set "SettingsQuorvel.phase_mode=0" \
    --set "SettingsOutput.img_dir=\"$out/detect\"" --set "SettingsOutput.img_file=\"${name}_detect_#.qvl\"" \
    "$root/examples/demo/demo.json" >"$work/detect.log" 2>&1 || { cat "$work/detect.log"; exit 1; }
  "$host" "${common[@]}" --set "SettingsQuorvel.phase_mode=1" \
    --set "SettingsOutput.img_dir=\"$out/render\"" --set "SettingsOutput.img_file=\"${name}_#.qvl\"" \
    "$root/examples/demo/demo.json" >"$work/render.log" 2>&1 || { cat "$work/render.log"; exit 1; }
  "$merger" "$out/render" --output "$out/${name}_#.qvl" -x -l 2 >"$work/merge.log" 2>&1 ||
    { cat "$work/merge.log"; exit 1; }
  shopt -s nullglob
  finals=("$out/${name}"_[0-9]*.qvl)
  if [ ${#finals[@]} -eq 0 ]; then
    echo "error: the merger wrote no final view file" >&2
    exit 1
  fi
  export QUORVEL_DEMO_FILE="${finals[0]}"
  QUORVEL_PLAYER_FILES=$(IFS=:; echo "${finals[*]}")
  export QUORVEL_PLAYER_FILES
else
  echo "warning: the tools are not built in $build; the tests that need them will skip"
fi

echo "==> node --test"
node --test test/*.test.js
