#!/usr/bin/env bash
# Replays one fuzz target over its seed corpus and its kept findings:
#   replay.sh REPLAY-PROGRAM TARGET
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
program="$1"
target="$2"
seeds="$(mktemp -d)"
trap 'rm -rf "$seeds"' EXIT
bash "$here/make-seeds.sh" "$target" "$seeds"
inputs=("$seeds")
[[ -d "$here/regressions/$target" ]] && inputs+=("$here/regressions/$target")
"$program" "${inputs[@]}" 2>&1 | tail -n 20
exit "${PIPESTATUS[0]}"
