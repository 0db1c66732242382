#!/usr/bin/env bash
# The installed tree as an outside caller meets it.
#   install_test.sh install      BUILD WORK   cmake --install BUILD into WORK/prefix
#   install_test.sh find-package WORK CONSUMER GENERATOR CXX
#   install_test.sh pkg-config   WORK CONSUMER CXX
#   install_test.sh utility      WORK BINDIR
# find-package and pkg-config build the consumer against WORK/prefix alone and
# run it; utility runs the installed halvexctl from the prefix.
set -euo pipefail
step=$1
shift

run_consumer() {  # program, state directory
  rm -rf "$2"
  "$1" "$2"
}

case "$step" in
  install)
    build=$1 work=$2
    rm -rf "$work/prefix"
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    ;;
  find-package)
    work=$1 consumer=$2 generator=$3 cxx=$4
    cmake -S "$consumer" -B "$work/consumer-cmake" -G "$generator" -DCMAKE_CXX_COMPILER="$cxx" \
      -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_BUILD_TYPE=Release \
      >/dev/null
    cmake --build "$work/consumer-cmake" >/dev/null
    run_consumer "$work/consumer-cmake/consumer" "$work/state-cmake"
    ;;
  pkg-config)
    work=$1 consumer=$2 cxx=$3
    libdir=$(dirname "$(find "$work/prefix" -name halvex.pc -path '*/pkgconfig/*' | head -n 1)")/..
    flags=$(PKG_CONFIG_LIBDIR="$libdir/pkgconfig" PKG_CONFIG_PATH= pkg-config --cflags --libs halvex halvexsim)
    # shellcheck disable=SC2086  # the flags are words
    "$cxx" -Wall -Wextra -Werror -O1 "$consumer/main.cpp" $flags -Wl,-rpath,"$(cd "$libdir" && pwd)" \
      -o "$work/consumer-pc"
    run_consumer "$work/consumer-pc" "$work/state-pc"
    ;;
  utility)
    work=$1 bindir=$2
    rm -rf "$work/state-tool"
    out=$("$work/prefix/$bindir/halvexctl" --state-dir "$work/state-tool" info)
    echo "$out"
    grep -q "^MAC address: *00:1A:2B:3C:4D:5E$" <<<"$out"
    ;;
  *)
    echo "install_test.sh: unknown step $step" >&2
    exit 2
    ;;
esac
