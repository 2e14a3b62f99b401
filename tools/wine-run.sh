#!/usr/bin/env bash
# Runs a Windows x86_64 program under Wine in the build tree's own prefix,
# headless and quiet. The prefix is made once (wineboot -i) on first use.
set -euo pipefail
build_root=${WINE_BUILD_ROOT:-$(cd "$(dirname "$1")" && git rev-parse --show-toplevel 2>/dev/null || pwd)/build}
export WINEPREFIX=${WINEPREFIX:-$build_root/wineprefix}
export WINEDEBUG=-all
unset DISPLAY
# Tests run side by side: one of them makes the prefix while the others wait.
mkdir -p "$WINEPREFIX"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.made" ]; then
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    touch "$WINEPREFIX/.made"
  fi
) 9>"$WINEPREFIX.lock"
exec wine "$@"
