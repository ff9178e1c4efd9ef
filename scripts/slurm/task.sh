#!/usr/bin/env bash
# One Slurm task of a shot, submitted by scripts/slurm/submit.sh (not meant to
# be run by hand):
#
#   task.sh detect|render TOOLS SCENE OUTPUT FIRST RETRIES [THREADS]
#   task.sh merge TOOLS SCENE OUTPUT FIRST RETRIES LAST
#
# detect and render run in job arrays: the frame is FIRST + the array index.
# A failed or killed tool requeues the task (up to RETRIES restarts) instead
# of failing it, so the jobs that depend on it keep waiting. The tools write
# every file under a temporary name and rename it when complete, so a killed
# run leaves nothing that could pass for its output.
set -uo pipefail

kind=$1 tools=$2 scene=$3 out=$4 first=$5 retries=$6 extra=${7:-}
name=$(basename "$scene" .json)
host="$tools/platform/vray/host/quorvel_host"
plugin="$tools/vray_quorvel_plugin/vray_quorvel_plugin.so"
merger="$tools/quorvel_utilities/quorvel_merger_utility/quorvel_merger"

frame=$((first + ${SLURM_ARRAY_TASK_ID:-0}))
padded=$(printf '%04d' "$frame")
restarts=${SLURM_RESTART_COUNT:-0}
echo "$kind frame $frame, job ${SLURM_JOB_ID:-none}, restart $restarts, on $(hostname)"

# Runs the tool in the background so that its pid is known (the test that
# kills a task mid-run reads it), and returns its status.
run() {
  "$@" &
  local child=$!
  echo "$child" >"$out/logs/$kind-$frame.pid"
  wait "$child"
}

status=0
case $kind in
  detect|render)
    threads=()
    [ -n "$extra" ] && threads=(--threads "$extra")
    if [ "$kind" = detect ]; then
      result="$out/detect/${name}_detect_$padded.qvl"
      phase=0 dir="$out/detect" file="${name}_detect_#.qvl"
    else
      result="$out/render/${name}_$padded.qvl"
      phase=1 dir="$out/render" file="${name}_#.qvl"
    fi
    # A file left by an earlier shot must not pass for this one's.
    rm -f "$result"
    run "$host" --plugin "$plugin" "${threads[@]}" \
      --set "SettingsOutput.frame_start=$frame" --set "SettingsOutput.frame_end=$frame" \
      --set "SettingsQuorvel.detect_file=\"$out/detect/${name}_detect_#.qvl\"" \
      --set "SettingsOutput.img_file_needFrameNumber=true" --set "SettingsQuorvel.phase_mode=$phase" \
      --set "SettingsOutput.img_dir=\"$dir\"" --set "SettingsOutput.img_file=\"$file\"" "$scene" || status=$?
    # The host reports success even when the core could not write the file.
    if [ "$status" -eq 0 ] && [ ! -f "$result" ]; then
      echo "error: no file \"$result\" after the run" >&2
      status=1
    fi
    ;;
  merge)
    last=$extra
    run "$merger" "$out/render" --output "$out/${name}_#.qvl" -r "$first,$last" -x -l 2 || status=$?
    # The preview is a PNG inside the final view file: its size and offset are
    # the little-endian words at bytes 168 and 172 of the header.
    u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' \n'; }
    for ((f = first; status == 0 && f <= last; ++f)); do
      final="$out/${name}_$(printf '%04d' "$f").qvl"
      if [ ! -f "$final" ]; then
        echo "error: the merger wrote no \"$final\"" >&2
        status=1
      elif [ "$(u32 "$final" 168)" -gt 0 ]; then
        tail -c +"$(($(u32 "$final" 172) + 1))" "$final" | head -c "$(u32 "$final" 168)" >"${final%.qvl}.png.tmp" &&
          mv "${final%.qvl}.png.tmp" "${final%.qvl}.png"
      fi
    done
    frame="$first-$last"
    ;;
  *)
    echo "error: unknown task kind \"$kind\"" >&2
    exit 2
    ;;
esac

if [ "$status" -ne 0 ]; then
  if [ -n "${SLURM_JOB_ID:-}" ] && [ "$restarts" -lt "$retries" ] && scontrol requeue "$SLURM_JOB_ID"; then
    echo "$kind frame $frame failed (status $status): requeued" >&2
    # Slurm ends this run and starts the task afresh.
    sleep 60
  fi
  echo "$kind frame $frame failed (status $status)" >&2
  exit "$status"
fi
echo "$kind frame $frame done"
