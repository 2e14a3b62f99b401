#!/usr/bin/env bash
# Builds every configuration and runs every test: the native build against the
# simulated machine, the same under ASan and UBSan, the Windows x86_64 build
# under Wine, and the Windows i686 build (compiled and checked; Wine here runs
# no 32-bit programs).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-debian.sh

jobs=${JOBS:-2}
run() { echo "== $*"; "$@"; }

for preset in linux asan win64 win32; do
  run cmake --preset "$preset" >/dev/null
  run cmake --build --preset "$preset" -j"$jobs"
done
for preset in linux asan win64 win32; do
  run ctest --preset "$preset" -j"$jobs"
done

# Each fuzz target for a short fixed time (clang, libFuzzer, ASan + UBSan),
# then static analysis of our own code (clang-tidy, cppcheck).
run tests/fuzz/run.sh 30
run tools/static-analysis.sh
