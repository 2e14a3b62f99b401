#!/usr/bin/env bash
# Runs a Windows x86_64 program under Wine in the build tree's own prefix,
# headless and quiet. The prefix is made once (wineboot -i) on first use.
set -euo pipefail
build_root=${WINE_BUILD_ROOT:-$(cd "$(dirname "$1")" && git rev-parse --show-toplevel 2>/dev/null || pwd)/build}
export WINEPREFIX=${WINEPREFIX:-$build_root/wineprefix}
export WINEDEBUG=-all
unset DISPLAY
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
exec wine "$@"
