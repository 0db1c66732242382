#!/usr/bin/env bash
# The 32-bit Windows build: cross-built with mingw-w64 into build/win32
# (Halvex.dll, odSupp_M.dll, Halvex.lib, libHalvex.dll.a, the test programs)
# and tested under 32-bit Wine in a prefix of the build's own.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${HALVEX_JOBS:-2}
build=${HALVEX_WIN_BUILD:-build/win32}

echo "=== win32 (mingw-w64, under Wine) ==="
start=$SECONDS
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/win/toolchain-i686-mingw.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$jobs"
built=$SECONDS
(cd "$build" && ctest --output-on-failure -j"$jobs" --timeout 600)
if [ -f "$build/bin/halvex_bench.exe" ]; then
  win/wine-run.sh "$build/bin/halvex_bench.exe" --benchmark_min_time=0.05 | sed -n '/^== library/,$p'
fi
echo "win32: build $((built - start)) s, tests $((SECONDS - built)) s"
