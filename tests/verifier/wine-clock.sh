#!/usr/bin/env bash
# The development signing certificate's last second, for the Windows verifier
# under Wine: libfaketime freezes the wall clock of the Wine processes (the
# monotonic clock that Wine's waits use keeps running, and file times are left
# alone: NO_FAKE_STAT=1), and cmd, a Windows parent, shows the full exit
# status. 1950417157 is 2031-10-22 06:32:37 UTC.
#   wine-clock.sh WINE_RUN SIGNVFY_EXE PACKAGE PREFIX
# PREFIX is a Wine prefix of this test's own: no other Wine process shares
# its wineserver, whose clock this test moves.
set -euo pipefail
wine_run=$1
exe=$2
pkg=$3
export WINEPREFIX=$4 WINEDEBUG=-all
unset DISPLAY
work=$(mktemp -d)
cleanup() {
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w || true
fi
cp "$pkg" "$work/FW.bin"
winpath() { echo "Z:${1//\//\\}"; }

# Prints the verifier's output and then its exit status, seen by cmd. Status
# 9009 is cmd failing to start the program, which Wine now and then does and
# then does not: that start is tried again (the verifier has no such status).
run_at() { # run_at EPOCH_SECONDS TZ FILE
  local out attempt
  for attempt in 1 2 3; do
    out=$(TZ=$2 NO_FAKE_STAT=1 FAKETIME_DONT_FAKE_MONOTONIC=1 FAKETIME_FMT=%s faketime -f "$1" \
      "$wine_run" cmd /v:on /c "$(winpath "$exe") $(winpath "$3") & echo !ERRORLEVEL!" | tr -d '\r')
    [ "${out##*$'\n'}" != 9009 ] && break
    echo "cmd could not start the verifier (attempt $attempt)" >&2
  done
  printf '%s\n' "$out"
}

failures=0
expect() { # expect WHAT ACTUAL EXPECTED
  if [ "$2" == "$3" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1"
    echo "  expected: $(printf %q "$3")"
    echo "  actual:   $(printf %q "$2")"
    failures=$((failures + 1))
  fi
}

chain_failed=$'### verification of the certificate(s) failed.\n61442'
for tz in UTC Asia/Tokyo; do
  expect "$tz: last second passes" "$(run_at 1950417157 "$tz" "$work/FW.bin")" "0"
  expect "$tz: one second later refused" "$(run_at 1950417158 "$tz" "$work/FW.bin")" "$chain_failed"
  expect "$tz: missing file refused at the chain check" \
    "$(run_at 1950417158 "$tz" "$work/missing.bin")" "$chain_failed"
done
[ "$failures" -eq 0 ]
