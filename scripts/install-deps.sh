#!/usr/bin/env bash
# Installs what the build, the tests and the demo need (Debian packages).
# Usage: scripts/install-deps.sh [native|all]   (all adds the Windows target)
set -euo pipefail
what=${1:-all}
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
native=(cmake ninja-build g++ make googletest libgtest-dev libgmock-dev libbenchmark-dev clang lld llvm
        libclang-rt-14-dev python3 libssl-dev tshark)
windows=(g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine32:i386)
want=("${native[@]}")
if [ "$what" = all ]; then
  want+=("${windows[@]}")
  if ! dpkg --print-foreign-architectures | grep -qx i386; then $SUDO dpkg --add-architecture i386; fi
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
