#!/usr/bin/env bash
# Builds a fuzz target with clang (libFuzzer, ASan, UBSan) against a clang
# build of the library and runs it: scripts/fuzz.sh [seconds] [build dir] [target].
# Targets: event_walk (default), reg_file, registry_text, received_frame,
# ie_readers, hex_dump, eapol_key, service_requests, eap_fragments, radius_codec.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-180}
build=${2:-build/fuzz}
target=${3:-event_walk}
jobs=${HALVEX_JOBS:-2}
sanitize=address,undefined

case "$target" in
  event_walk)
    libs=(halvex_core hxplatform)
    max_len=16384
    extra=("$build/odSupp_M.so")
    ;;
  reg_file)
    libs=(hxplatform)
    max_len=4096
    extra=()
    ;;
  registry_text)
    libs=(halvex_core hxplatform)
    max_len=4096
    extra=("$build/odSupp_M.so")
    ;;
  received_frame | hex_dump)
    libs=(halvex_core hxplatform)
    max_len=2048
    extra=("$build/odSupp_M.so")
    ;;
  ie_readers)
    libs=(halvex_core hxplatform)
    max_len=24616  # the scan list's 24,576 bytes and the target's own header
    extra=("$build/odSupp_M.so")
    ;;
  eapol_key)
    libs=(hxcrypto hxplatform)
    max_len=2048
    extra=("$build/odSupp_M.so" -lcrypto)
    ;;
  service_requests)
    libs=(hxsim hxradius hxeap hxcrypto hxplatform)
    max_len=4096
    extra=("$build/odSupp_M.so" -lssl -lcrypto)
    ;;
  eap_fragments)
    libs=(hxeap hxcrypto hxplatform)
    max_len=4096
    extra=(-lssl -lcrypto)
    ;;
  radius_codec)
    libs=(hxradius hxeap hxcrypto hxplatform)
    max_len=4096
    extra=(-lssl -lcrypto)
    ;;
  *)
    echo "unknown fuzz target: $target" >&2
    exit 2
    ;;
esac

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DHALVEX_BUILD_TESTS=OFF -DHALVEX_BUILD_BENCH=OFF \
  -DHALVEX_SANITIZE=$sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j"$jobs" --target "${libs[@]}" odSupp_M

# The Win32 emulation is a shared library of its own (libhxwin32.so).
archives=()
for lib in "${libs[@]}"; do
  if [ "$lib" = hxplatform ]; then archives+=("$build/libhxwin32.so"); else archives+=("$build/lib$lib.a"); fi
done
clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,$sanitize -fno-sanitize-recover=all -I. -Iinclude \
  "fuzz/${target}_fuzz.cpp" "${archives[@]}" "${extra[@]}" \
  -Wl,-rpath,"$(realpath "$build")" -lpthread -o "$build/${target}_fuzz"

corpus=fuzz/corpus/$target
if [ "$target" = event_walk ]; then
  [ -n "$(ls -A "$corpus" 2>/dev/null)" ] || python3 fuzz/make_event_walk_corpus.py
elif [ "$target" = eapol_key ]; then
  [ -n "$(ls -A "$corpus" 2>/dev/null)" ] || python3 fuzz/make_eapol_key_corpus.py
elif [ "$target" = service_requests ]; then
  [ -n "$(ls -A "$corpus" 2>/dev/null)" ] || python3 fuzz/make_service_corpus.py
elif [[ "$target" =~ ^(received_frame|ie_readers|hex_dump)$ ]]; then
  [ -n "$(ls -A "$corpus" 2>/dev/null)" ] || python3 fuzz/make_supplicant_corpus.py
elif [[ "$target" =~ ^(eap_fragments|radius_codec)$ ]]; then
  [ -n "$(ls -A "$corpus" 2>/dev/null)" ] || python3 fuzz/make_radius_corpus.py
fi
# HALVEX_FUZZ_RUNS stops the run after that many inputs, if the time lasts.
runs=()
[ -z "${HALVEX_FUZZ_RUNS:-}" ] || runs=(-runs="$HALVEX_FUZZ_RUNS")
# New inputs go to a scratch directory; crashes land in the corpus as regressions.
scratch="$build/${target}_new"
mkdir -p "$scratch"
"$build/${target}_fuzz" -max_len="$max_len" -max_total_time="$seconds" "${runs[@]}" -print_final_stats=1 \
  -artifact_prefix="$corpus/crash-" "$scratch" "$corpus"
