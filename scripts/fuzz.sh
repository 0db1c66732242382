#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) against a clang
# build of the library and runs one: scripts/fuzz.sh [seconds] [build dir].
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-180}
build=${2:-build/fuzz}
jobs=${HALVEX_JOBS:-2}
sanitize=address,undefined

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DHALVEX_BUILD_TESTS=OFF -DHALVEX_BUILD_BENCH=OFF \
  -DHALVEX_SANITIZE=$sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j"$jobs" --target halvex_core

clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,$sanitize -fno-sanitize-recover=all -I. -Iinclude \
  fuzz/event_walk_fuzz.cpp "$build/libhalvex_core.a" "$build/libhxplatform.a" "$build/odSupp_M.so" \
  -Wl,-rpath,"$(realpath "$build")" -lpthread -o "$build/event_walk_fuzz"

corpus=fuzz/corpus/event_walk
[ -n "$(ls -A "$corpus" 2>/dev/null)" ] || python3 fuzz/make_event_walk_corpus.py
# New inputs go to a scratch directory; crashes land in the corpus as regressions.
scratch="$build/event_walk_new"
mkdir -p "$scratch"
"$build/event_walk_fuzz" -max_len=16384 -max_total_time="$seconds" -print_final_stats=1 \
  -artifact_prefix="$corpus/crash-" "$scratch" "$corpus"
