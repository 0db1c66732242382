#!/usr/bin/env bash
# Runs a Windows program under 32-bit Wine, in a prefix of the build
# directory's own (created on first use), as CTest's cross-compiling emulator.
#   HALVEX_WINEPREFIX     use this prefix instead of <build>/wineprefix
#   HALVEX_WINE_VERSION   Windows version Wine reports to this program
#                         (winecfg names: winxp, win2k, win98, vista...)
set -euo pipefail
program=$1
shift

build_dir() {  # the nearest directory above $1 holding a CMakeCache.txt
  local dir
  dir=$(cd "$(dirname "$1")" && pwd)
  while [ "$dir" != / ]; do
    if [ -f "$dir/CMakeCache.txt" ]; then
      echo "$dir"
      return 0
    fi
    dir=$(dirname "$dir")
  done
  pwd
}

build=$(build_dir "$program")
export WINEPREFIX=${HALVEX_WINEPREFIX:-$build/wineprefix}
export WINEARCH=win32
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installers: nothing here needs .NET or HTML.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
unset DISPLAY WAYLAND_DISPLAY

# Tests may run in parallel: one of them creates the prefix, the others wait.
exec 9>"$WINEPREFIX.lock"
flock 9
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "wine-run: creating $WINEPREFIX" >&2
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
if [ -n "${HALVEX_WINE_VERSION:-}" ]; then
  wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$(basename "$program")" /v Version /d "$HALVEX_WINE_VERSION" /f \
    >/dev/null 2>&1
fi
flock -u 9
exec 9>&-

exec wine "$program" "$@"
