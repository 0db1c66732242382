#!/usr/bin/env bash
# The main job: the utility against the simulated adapter.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh demo  # the build tools and the utility's header libraries only
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVEX_BUILD_TESTS=OFF -DHALVEX_BUILD_BENCH=OFF >/dev/null
cmake --build build/demo --target halvexctl -j2
# The simulated adapter's registry persists here between runs.
HALVEX_STATE_DIR=${HALVEX_STATE_DIR:-build/demo/state} build/demo/halvexctl "${@:-demo}"
