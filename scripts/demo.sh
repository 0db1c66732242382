#!/usr/bin/env bash
# The main job: the utility against the simulated adapter. Only the utility
# writes to stdout (so `scripts/demo.sh --json status` is one JSON document);
# installing and building report on stderr.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh demo >&2  # the build tools and the utility's header libraries only
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DHALVEX_BUILD_TESTS=OFF -DHALVEX_BUILD_BENCH=OFF >&2
cmake --build build/demo --target halvexctl -j2 >&2
# The simulated adapter's registry persists here between runs.
HALVEX_STATE_DIR=${HALVEX_STATE_DIR:-build/demo/state} exec build/demo/halvexctl "${@:-demo}"
