#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the normal tree and the sanitizer tree,
# and runs every test in both. Exits non-zero when any test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j"$(nproc)")
# AddressSanitizer and UndefinedBehaviorSanitizer over the same tests (the windows aside: Qt's
# own allocations would drown the leak report).
bash scripts/build.sh build-asan -DNABIK_SANITIZE=ON -DNABIK_BUILD_UI=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$(nproc)")
