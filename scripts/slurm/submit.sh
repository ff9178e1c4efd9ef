#!/usr/bin/env bash
# Submits a shot to Slurm: every frame's detection phase, render phase (both
# eyes) and merge become jobs that Slurm schedules across the cluster.
#
#   bash scripts/slurm/submit.sh SCENE.json OUTPUT [--frames A-B] [--partition P]
#        [--group N] [--cpus N] [--retries N] [-- SBATCH-OPTION...]
#
#   --frames A-B   frames to render (default: the scene's frame_start-frame_end)
#   --partition P  Slurm partition (default: the cluster's default)
#   --group N      frames per merge job (default 10)
#   --cpus N       CPUs per detection or render task, also its render threads
#                  (default: Slurm's allocation and the scene's thread count)
#   --retries N    restarts of a failed or killed task (default 3)
#   -- ...         options given to every sbatch (e.g. --mem=8G --time=2:00:00)
#
# Jobs: an array of detection tasks (one per frame), an array of render tasks
# each starting after its frame's detection (--dependency=aftercorr), and one
# merge job per group of frames after that group's renders. OUTPUT gets
# detect/, render/, logs/ and per frame <scene>_<frame>.qvl and .png, as
# scripts/render.sh leaves them. The scene, OUTPUT and the programs in
# QUORVEL_RELEASE_DIR (default: build-release) must be on a file system that
# every node sees under the same path.
set -euo pipefail

usage() { sed -n '2,23s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; }
fail() { echo "error: $*" >&2; exit 2; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
tools=${QUORVEL_RELEASE_DIR:-"$root/build-release"}
frames="" partition="" group=10 cpus="" retries=3
positional=() sbatch_extra=()
while [ $# -gt 0 ]; do
  case $1 in
    -h|--help) usage; exit 0 ;;
    --frames) [ $# -ge 2 ] || fail "--frames needs A-B"; frames=$2; shift 2 ;;
    --partition) [ $# -ge 2 ] || fail "--partition needs a name"; partition=$2; shift 2 ;;
    --group) [ $# -ge 2 ] || fail "--group needs a number"; group=$2; shift 2 ;;
    --cpus) [ $# -ge 2 ] || fail "--cpus needs a number"; cpus=$2; shift 2 ;;
    --retries) [ $# -ge 2 ] || fail "--retries needs a number"; retries=$2; shift 2 ;;
    --) shift; sbatch_extra=("$@"); break ;;
    -*) fail "unknown option \"$1\" (see --help)" ;;
    *) positional+=("$1"); shift ;;
  esac
done
[ ${#positional[@]} -eq 2 ] || { usage >&2; exit 2; }
scene=${positional[0]} out=${positional[1]}
[[ $group =~ ^[1-9][0-9]*$ ]] || fail "--group: expected a positive number"
[[ $retries =~ ^[0-9]+$ ]] || fail "--retries: expected a number"
[ -z "$cpus" ] || [[ $cpus =~ ^[1-9][0-9]*$ ]] || fail "--cpus: expected a positive number"
[ -f "$scene" ] || fail "no scene file \"$scene\""
command -v sbatch >/dev/null || fail "sbatch not found: is this a Slurm submit host?"

host="$tools/platform/vray/host/quorvel_host"
for program in "$host" "$tools/vray_quorvel_plugin/vray_quorvel_plugin.so" \
  "$tools/quorvel_utilities/quorvel_merger_utility/quorvel_merger"; do
  [ -e "$program" ] || fail "missing \"$program\"; build it: cmake -S \"$root\" -B \"$tools\" -DCMAKE_BUILD_TYPE=Release && cmake --build \"$tools\" --target quorvel_host vray_quorvel_plugin quorvel_merger"
done

# Absolute paths: the tasks run elsewhere.
scene=$(cd "$(dirname "$scene")" && pwd)/$(basename "$scene")
mkdir -p "$out"
out=$(cd "$out" && pwd)
tools=$(cd "$tools" && pwd)
name=$(basename "$scene" .json)

if [ -z "$frames" ]; then
  frames=$("$host" --quiet --plugin "$tools/vray_quorvel_plugin/vray_quorvel_plugin.so" --print-frames "$scene" | tail -n 1 | tr ' ' -)
fi
[[ $frames =~ ^([0-9]+)-([0-9]+)$ ]] || [[ $frames =~ ^([0-9]+)$ ]] || fail "--frames: expected A-B, got \"$frames\""
first=${BASH_REMATCH[1]}
last=${BASH_REMATCH[2]:-$first}
[ "$last" -ge "$first" ] || fail "--frames: $first-$last is empty"
count=$((last - first + 1))

mkdir -p "$out/detect" "$out/render" "$out/logs"
task="$root/scripts/slurm/task.sh"
common=(--parsable --requeue --kill-on-invalid-dep=yes --open-mode=append --chdir "$out")
[ -n "$partition" ] && common+=(--partition "$partition")
common+=("${sbatch_extra[@]}")
per_frame=()
[ -n "$cpus" ] && per_frame=(--cpus-per-task "$cpus")

# --parsable prints "id" or "id;cluster".
submit() { sbatch "${common[@]}" "$@" | cut -d ';' -f 1; }

detect=$(submit "${per_frame[@]}" --array "0-$((count - 1))" --job-name "qvl-detect-$name" \
  --output "$out/logs/detect-%a-%j.log" "$task" detect "$tools" "$scene" "$out" "$first" "$retries" "$cpus")
render=$(submit "${per_frame[@]}" --array "0-$((count - 1))" --job-name "qvl-render-$name" \
  --dependency "aftercorr:$detect" \
  --output "$out/logs/render-%a-%j.log" "$task" render "$tools" "$scene" "$out" "$first" "$retries" "$cpus")
merges=()
for ((a = first; a <= last; a += group)); do
  b=$((a + group - 1 < last ? a + group - 1 : last))
  after=""
  for ((f = a; f <= b; ++f)); do
    after+=":${render}_$((f - first))"
  done
  merges+=("$(submit --job-name "qvl-merge-$name" --dependency "afterok$after" \
    --output "$out/logs/merge-$a-$b-%j.log" "$task" merge "$tools" "$scene" "$out" "$a" "$retries" "$b")")
done

echo "Shot \"$name\", frames $first-$last, submitted to Slurm:"
echo "  detection: job array $detect (task i = frame $first + i)"
echo "  render:    job array $render (task i after detection task i)"
echo "  merge:     job(s) ${merges[*]} (up to $group frames each, after their renders)"
echo "Final view files: $out/${name}_<frame>.qvl and .png"
echo "Detection and render files: $out/detect, $out/render; logs: $out/logs"
echo "JOBS $detect $render ${merges[*]}"
