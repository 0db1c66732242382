#!/usr/bin/env bash
# Every test: the plain suite, AddressSanitizer+UndefinedBehaviorSanitizer,
# ThreadSanitizer, and the Windows build under Wine once it exists.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all
jobs=${HALVEX_JOBS:-2}

run_suite() {  # name, cmake args...
  local name=$1; shift
  echo "=== $name ==="
  cmake -S . -B "build/$name" -G Ninja "$@" >/dev/null
  cmake --build "build/$name" -j"$jobs"
  (cd "build/$name" && ctest --output-on-failure -j"$jobs" --timeout 300)
}

run_suite plain -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite asan -DCMAKE_BUILD_TYPE=Debug -DHALVEX_SANITIZE=address,undefined -DHALVEX_BUILD_BENCH=OFF
TSAN_OPTIONS=halt_on_error=1 \
  run_suite tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVEX_SANITIZE=thread -DHALVEX_BUILD_BENCH=OFF
build/plain/bench/halvex_bench --benchmark_min_time=0.05 | sed -n '/^== library/,$p'
# The README's other command: the demo's Release build and its walk-through.
echo "=== demo (Release) ==="
demo_state=$(mktemp -d)
HALVEX_SIM_IDLE=1 HALVEX_STATE_DIR="$demo_state" scripts/demo.sh >/dev/null
rm -rf "$demo_state"
if [ -x scripts/test-windows.sh ]; then scripts/test-windows.sh; fi
echo "=== all suites passed ==="
