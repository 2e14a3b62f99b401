#!/usr/bin/env bash
# Builds the native configuration with the benchmark programs (build/bench)
# and prints the benchmark table, with the machine and the date.
#
#   bench/run.sh [--record] [RUNS]
#
# RUNS: runs per timed figure (default 31). --record also writes the table
# into bench/RESULTS.md, keeping that file's notes (from the line
# "<!-- notes -->" on).
set -euo pipefail
cd "$(dirname "$0")/.."
record=false
if [ "${1:-}" = "--record" ]; then
  record=true
  shift
fi
runs=${1:-31}

cmake --preset linux -B build/bench -DBUILD_TESTS=OFF \
  -DCMAKE_PROJECT_INCLUDE="$PWD/bench/enable.cmake" >/dev/null
cmake --build build/bench -j"${JOBS:-2}" --target signvfy fwpkg bench bench-updater bench-hwm \
  >/dev/null

model=$(lscpu | sed -n 's/^Model name: *//p' | head -n1)
cores=$(nproc)
table=$(build/bench/bench "$PWD/build/bench" "$PWD" "$runs")
header="Machine: $model, $cores cores; $(uname -sr); mbed TLS $(dpkg-query -W -f '${Version}' \
libmbedtls-dev 2>/dev/null || echo '?'), $(openssl version | cut -d' ' -f1-2).
Date: $(date -u '+%Y-%m-%d %H:%M UTC'); $runs runs per timed figure (medians)."
printf '%s\n\n%s\n' "$header" "$table"

if $record; then
  notes=""
  if [ -f bench/RESULTS.md ]; then
    notes=$(sed -n '/^<!-- notes -->$/,$p' bench/RESULTS.md)
  fi
  {
    printf '# Benchmark results\n\nWritten by `bench/run.sh --record`.\n\n%s\n\n%s\n\n' "$header" "$table"
    if [ -n "$notes" ]; then
      printf '%s\n' "$notes"
    else
      printf '<!-- notes -->\n'
    fi
  } >bench/RESULTS.md
fi
