#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds the normal tree and the sanitizer trees,
# and runs every test in the first two, the threaded ones in the third. Exits non-zero when any
# test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j"$(nproc)")
# AddressSanitizer and UndefinedBehaviorSanitizer over the same tests (the windows aside: Qt's
# own allocations would drown the leak report).
bash scripts/build.sh build-asan -DNABIK_SANITIZE=ON -DNABIK_BUILD_UI=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j"$(nproc)")
# ThreadSanitizer over the tests that run several threads (label `threads`: the reader threads,
# the staging of archives, the extraction, the set writer's and GDAL's output threads, stopped
# runs). The tree builds only those; a race fails its test (tests/CMakeLists.txt sets the
# options, tests/tsan.supp holds the reports inside third-party libraries).
bash scripts/build.sh build-tsan -DNABIK_TSAN=ON -DNABIK_BUILD_UI=OFF
(cd build-tsan && ctest --output-on-failure -j"$(nproc)" -L threads)
