#!/usr/bin/env bash
# Serves the web player on localhost and prints its address; open it in a
# browser to look around in a final view file, or play a folder of them.
#
#   bash scripts/play.sh [FILE-OR-FOLDER] [--port N]
#
# FILE-OR-FOLDER defaults to ./quorvel-output when that folder exists (where
# scripts/render.sh writes). The server binds 127.0.0.1 only; stop it with
# Ctrl-C.
set -euo pipefail

if [ "${1:-}" = "--help" ] || [ "${1:-}" = "-h" ]; then
  sed -n '2,9s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
  exit 0
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if ! command -v node >/dev/null; then
  echo "error: the player's server needs node (apt-get install -y nodejs)" >&2
  exit 1
fi
args=("$@")
if [ ${#args[@]} -eq 0 ] && [ -d "$PWD/quorvel-output" ]; then
  args=("$PWD/quorvel-output")
fi
exec node "$root/player/serve.js" "${args[@]}"
