#!/usr/bin/env bash
# Installs what the build, the tests and the demo need (Debian packages).
# Usage: scripts/install-deps.sh [demo|native|all]
#   demo    the utility and its libraries only
#   native  the native build and its suites (sanitizers, benchmarks, fuzzing)
#   all     native and the Windows target under Wine (the default)
# Installing needs root or sudo; nothing is asked for when all is in place.
set -euo pipefail
what=${1:-all}
case "$what" in
  demo | native | all) ;;
  *)
    echo "usage: $0 [demo|native|all]" >&2
    exit 2
    ;;
esac

demo=(cmake ninja-build g++ pkg-config libcli11-dev nlohmann-json3-dev libfmt-dev libssl-dev)
# help2man makes the utility's man page; tmux, zsh and man-db let its tests
# look at it as a person would (a terminal, completion, the rendered page).
# FreeRADIUS and eapol_test judge the 802.1X methods.
native=("${demo[@]}" make googletest libgtest-dev libgmock-dev libbenchmark-dev clang lld llvm python3 tshark
        help2man tmux zsh man-db freeradius eapoltest)
windows=(g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

SUDO=()
privileges() {  # root, or sudo; otherwise say so and stop
  if [ "$(id -u)" -eq 0 ]; then
    SUDO=()
  elif command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  else
    echo "install-deps: missing packages: $*" >&2
    echo "install-deps: installing them needs root or sudo, and neither is available here;" \
      "run this script as root or install them by hand" >&2
    exit 1
  fi
}

updated=0
apt_update() {
  if [ "$updated" -eq 0 ]; then
    "${SUDO[@]}" apt-get update -qq
    updated=1
  fi
}

# The sanitizer runtime of the clang that is (or will be) installed.
clang_major() {
  if command -v clang >/dev/null 2>&1; then
    clang --version | sed -n 's/.*clang version \([0-9][0-9]*\).*/\1/p' | head -n 1
  else
    apt-cache depends clang 2>/dev/null | sed -n 's/.*Depends: clang-\([0-9][0-9]*\)$/\1/p' | head -n 1
  fi
}

want=("${demo[@]}")
[ "$what" = demo ] || want=("${native[@]}")
[ "$what" = all ] && want+=("${windows[@]}")

missing=()
for p in "${want[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ "$what" != demo ]; then
  major=$(clang_major)
  if [ -z "$major" ]; then
    # No clang yet and no package lists to say which: read them first.
    privileges clang
    apt_update
    major=$(clang_major)
  fi
  if [ -z "$major" ]; then
    echo "install-deps: cannot tell which clang the clang package installs" >&2
    exit 1
  fi
  installed "libclang-rt-$major-dev" || missing+=("libclang-rt-$major-dev")
fi
if [ ${#missing[@]} -gt 0 ]; then
  privileges "${missing[@]}"
  if [ "$what" = all ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${SUDO[@]}" dpkg --add-architecture i386
    updated=0
fi
echo "installing: ${missing[*]}"
apt_update
"${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# Google Benchmark for the Windows build is built from Debian's sources (the
# package ships only a native library), fetched with a source list of its own.
if [ "$what" = all ] && [ ! -f /usr/src/benchmark/CMakeLists.txt ]; then
  privileges "benchmark sources"
  work=$(mktemp -d)
  chmod 755 "$work"  # apt fetches as its own user
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
    >"$work/sources.list"
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial"
  apt_src=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent
           -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache")
  "${SUDO[@]}" apt-get "${apt_src[@]}" update -qq
  (cd "$work" && "${SUDO[@]}" apt-get "${apt_src[@]}" source -qq benchmark >/dev/null 2>&1)
  "${SUDO[@]}" mkdir -p /usr/src/benchmark
  "${SUDO[@]}" cp -a "$work"/benchmark-*/. /usr/src/benchmark/
  "${SUDO[@]}" rm -rf "$work"
fi
