#!/usr/bin/env bash
# Renders a 3-frame shot of examples/tiny/tiny.json through a single-node Slurm
# cluster on this machine and checks it against a local run. Not part of the
# normal suite; run as root on Debian 12:
#
#   bash scripts/slurm/test-local.sh
#
# Installs slurm-wlm and munge when missing, builds the programs in Release
# (QUORVEL_RELEASE_DIR, default build-release), starts munged, slurmctld and
# slurmd with a generated configuration in a temporary folder (loopback only,
# in a network namespace of its own, ports 6917 and 6918), then:
#   1. runs the shot locally as scripts/render.sh does (one process per phase),
#   2. submits it with scripts/slurm/submit.sh and checks that the final view
#      files equal the local ones,
#   3. submits it again, kills a render task's renderer mid-run, and checks
#      that Slurm ran the task again and the final view files still match,
# prints the local and Slurm wall times, and stops the daemons it started.
# QUORVEL_KEEP_TEST=1 keeps the temporary folder.
set -euo pipefail

if [ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ]; then
  sed -n '2,19s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
  exit 0
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export QUORVEL_RELEASE_DIR=${QUORVEL_RELEASE_DIR:-"$root/build-release"}
tools=$QUORVEL_RELEASE_DIR
port=6917
scene="$root/examples/tiny/tiny.json"
name=tiny
frames=1-3
cpus=$(nproc)

fail() { echo "FAIL: $*" >&2; exit 1; }
note() { echo; echo "==> $*"; }

if [ "${1:-}" != --in-namespace ]; then
  [ "$(id -u)" -eq 0 ] || fail "run as root (slurmd starts the tasks as their user)"

  note "Installing what is missing"
  bash "$root/scripts/setup.sh"
  if ! command -v slurmctld >/dev/null || ! command -v slurmd >/dev/null || ! command -v sbatch >/dev/null ||
    ! command -v munged >/dev/null || ! command -v ip >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends slurm-wlm munge iproute2
  fi

  note "Building in Release ($tools)"
  cmake -S "$root" -B "$tools" -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BUILD_TESTS=OFF -DQUORVEL_BUILD_BENCH=OFF >/dev/null
  nice -n 10 cmake --build "$tools" -j "$cpus" --target quorvel_host vray_quorvel_plugin quorvel_merger

  # slurmctld listens on every address of the machine whatever the
  # configuration says; in a network namespace of its own the only one is
  # loopback, and the daemons cannot be reached from outside.
  unshare --net true || fail "cannot create a network namespace (unshare --net)"
  exec unshare --net -- bash "${BASH_SOURCE[0]}" --in-namespace
fi
ip link set lo up
# Name lookups (AI_ADDRCONFIG) ignore 127.0.0.1 alone and would find no
# address for the node; a second loopback address keeps them working.
ip address add 127.0.1.1/8 dev lo

host="$tools/platform/vray/host/quorvel_host"
plugin="$tools/vray_quorvel_plugin/vray_quorvel_plugin.so"
merger="$tools/quorvel_utilities/quorvel_merger_utility/quorvel_merger"

work=$(mktemp -d /tmp/quorvel-slurm.XXXXXX)
chmod 755 "$work"
cleanup() {
  local status=$?
  if [ -n "${SLURM_CONF:-}" ] && [ -n "${jobs_all:-}" ]; then
    # shellcheck disable=SC2086
    scancel $jobs_all 2>/dev/null || true
  fi
  # Only the daemons this script started, by their pid files.
  for pidfile in "$work/slurmd.pid" "$work/slurmctld.pid" "$work/munge/munged.pid"; do
    if [ -f "$pidfile" ]; then
      kill "$(cat "$pidfile")" 2>/dev/null || true
    fi
  done
  sleep 1
  if [ "${QUORVEL_KEEP_TEST:-0}" = 1 ] || [ $status -ne 0 ]; then
    echo "Test folder kept: $work"
  else
    rm -rf "$work"
  fi
  exit $status
}
trap cleanup EXIT INT TERM

note "Starting munged, slurmctld and slurmd (configuration in $work)"
# A munge key and socket of our own leave any munged of the machine alone.
mkdir -m 711 "$work/munge"
chown munge:munge "$work/munge"
dd if=/dev/urandom of="$work/munge/munge.key" bs=1024 count=1 status=none
chown munge:munge "$work/munge/munge.key"
chmod 400 "$work/munge/munge.key"
runuser -u munge -- munged --key-file="$work/munge/munge.key" --socket="$work/munge/munge.socket" \
  --pid-file="$work/munge/munged.pid" --log-file="$work/munge/munged.log" --seed-file="$work/munge/munged.seed"

node=$(hostname -s)
mkdir -p "$work/ctld" "$work/spool"
cat >"$work/slurm.conf" <<CONF
ClusterName=quorveltest
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket=$work/munge/munge.socket
StateSaveLocation=$work/ctld
SlurmdSpoolDir=$work/spool
SlurmctldPidFile=$work/slurmctld.pid
SlurmdPidFile=$work/slurmd.pid
SlurmctldLogFile=$work/slurmctld.log
SlurmdLogFile=$work/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SchedulerType=sched/backfill
MpiDefault=none
ReturnToService=2
SlurmdTimeout=30
MinJobAge=600
NodeName=$node NodeAddr=127.0.0.1 CPUs=$cpus State=UNKNOWN
PartitionName=quorvel Nodes=$node Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$work/slurm.conf"
slurmctld -c -f "$SLURM_CONF"
slurmd -f "$SLURM_CONF"
for ((i = 0; ; ++i)); do
  state=$(sinfo -h -n "$node" -o '%T' 2>/dev/null || true)
  [ "$state" = idle ] && break
  [ $i -lt 60 ] || fail "the node did not come up (state \"$state\"); see $work/slurmctld.log and $work/slurmd.log"
  sleep 1
done
echo "node $node: $state"
echo "network: $(ip -brief address | tr -s ' ' | tr '\n' ';')"
[ "$(ip -brief link | awk '$1 != "lo"' | wc -l)" -eq 0 ] || fail "the namespace has more than loopback"

# The local run: the commands of scripts/render.sh, all frames in one process
# per phase.
note "Local run of frames $frames"
local_out="$work/local"
mkdir -p "$local_out/detect" "$local_out/render"
threads=(--threads "$cpus")
start=$(date +%s%N)
common=(--quiet --plugin "$plugin" "${threads[@]}"
  --set "SettingsQuorvel.detect_file=\"$local_out/detect/${name}_detect_#.qvl\""
  --set "SettingsOutput.img_file_needFrameNumber=true"
  --set "SettingsOutput.frame_start=${frames%-*}" --set "SettingsOutput.frame_end=${frames#*-}")
"$host" "${common[@]}" --set "SettingsQuorvel.phase_mode=0" --set "SettingsOutput.img_dir=\"$local_out/detect\"" \
  --set "SettingsOutput.img_file=\"${name}_detect_#.qvl\"" "$scene"
"$host" "${common[@]}" --set "SettingsQuorvel.phase_mode=1" --set "SettingsOutput.img_dir=\"$local_out/render\"" \
  --set "SettingsOutput.img_file=\"${name}_#.qvl\"" "$scene"
"$merger" "$local_out/render" --output "$local_out/${name}_#.qvl" -x -l 1 >"$local_out/merge.log"
local_time=$((($(date +%s%N) - start) / 1000000))
echo "local: $local_time ms"

jobs_all=""
# Waits until none of the given jobs is queued or running.
wait_jobs() {
  local ids=$1 limit=$2 waited=0
  while [ -n "$(squeue -h -j "$ids" -o '%i' 2>/dev/null)" ]; do
    [ $waited -lt "$limit" ] || fail "jobs $ids still queued after $limit s"
    sleep 1
    waited=$((waited + 1))
  done
}
# The final view files of both runs: same names, same bytes (the decoded
# samples are compared first, to tell which of the two differs).
compare() {
  local out=$1 f n=0
  for f in "$local_out/${name}"_[0-9]*.qvl; do
    [ -f "$out/$(basename "$f")" ] || fail "no $(basename "$f") from Slurm in $out"
    python3 "$root/scripts/slurm/compare-final.py" "$f" "$out/$(basename "$f")" ||
      fail "$(basename "$f") differs from the local run"
    cmp -s "$f" "$out/$(basename "$f")" || fail "$(basename "$f") holds the local run's samples but not its bytes"
    [ -s "$out/$(basename "$f" .qvl).png" ] || fail "no preview beside $out/$(basename "$f")"
    n=$((n + 1))
  done
  [ $n -eq 3 ] || fail "expected 3 final view files from the local run, found $n"
}

note "Slurm run of frames $frames"
slurm_out="$work/slurm"
start=$(date +%s%N)
# The frames are the scene's own (1-3).
submitted=$(bash "$root/scripts/slurm/submit.sh" "$scene" "$slurm_out" --cpus "$cpus" --partition quorvel)
echo "$submitted"
ids=$(echo "$submitted" | sed -n 's/^JOBS //p')
jobs_all="$ids"
wait_jobs "${ids// /,}" 1800
slurm_time=$((($(date +%s%N) - start) / 1000000))
compare "$slurm_out"
echo "Slurm: $slurm_time ms"

note "Slurm run with a render task killed mid-run"
killed_out="$work/killed"
start=$(date +%s%N)
# Two merge jobs this time: frames 1-2 and 3.
submitted=$(bash "$root/scripts/slurm/submit.sh" "$scene" "$killed_out" --frames "$frames" --group 2 --cpus "$cpus" \
  --partition quorvel)
ids=$(echo "$submitted" | sed -n 's/^JOBS //p')
jobs_all="$ids"
render_job=$(echo "$ids" | cut -d ' ' -f 2)
pidfile="$killed_out/logs/render-2.pid"
for ((i = 0; ; ++i)); do
  [ -f "$pidfile" ] && kill -0 "$(cat "$pidfile")" 2>/dev/null && break
  [ $i -lt 36000 ] || fail "the render task of frame 2 did not start"
  sleep 0.05
done
# A tiny frame renders in well under a second: stopped first, the renderer
# cannot finish between the check and the kill.
victim=$(cat "$pidfile")
kill -STOP "$victim"
ps -p "$victim" -o comm= | grep -q quorvel_host || fail "pid $victim is not a renderer"
[ ! -f "$killed_out/render/${name}_0002.qvl" ] || fail "frame 2 was rendered before the kill"
kill -KILL "$victim"
echo "killed the renderer of frame 2 (pid $victim)"
wait_jobs "${ids// /,}" 1800
killed_time=$((($(date +%s%N) - start) / 1000000))
restarts=$(scontrol show job "${render_job}_1" 2>/dev/null | sed -n 's/.*Restarts=\([0-9]*\).*/\1/p')
[ "${restarts:-0}" -ge 1 ] || fail "the killed render task was not requeued (restarts: ${restarts:-none})"
grep -q "requeued" "$killed_out"/logs/render-1-*.log || fail "no requeue in the render task's log"
compare "$killed_out"
echo "the killed task ran again (restarts: $restarts)"

note "Times for frames $frames of $name"
seconds() { printf '%d.%03d s' $(($1 / 1000)) $(($1 % 1000)); }
echo "local run (one process per phase): $(seconds "$local_time")"
echo "Slurm run (one task per frame):    $(seconds "$slurm_time")"
echo "Slurm run with a requeued task:    $(seconds "$killed_time") (Slurm holds a requeued job about 2 minutes)"
echo "PASS"
