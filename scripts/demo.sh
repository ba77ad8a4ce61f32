#!/usr/bin/env bash
# The main job on bundled data: installs what is missing, builds, and runs nabik.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
build/nabik
