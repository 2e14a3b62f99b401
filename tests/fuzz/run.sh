#!/usr/bin/env bash
# Builds the fuzz targets (preset fuzz) and runs each for a fixed time on a
# copy of its seed corpus; fails when a target finds a fault.
#
#   tests/fuzz/run.sh [SECONDS-PER-TARGET] [TARGET...]
#
# Targets: verifier_package, drive_answers (default: both). Findings are kept
# in build/fuzz/findings; the grown corpora in build/fuzz/corpus-<target>.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-45}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(verifier_package drive_answers)

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"${JOBS:-2}" --target "${targets[@]/#/fuzz_}"

# Per target: the largest input worth trying, and libFuzzer options. The
# simulated machine keeps memory between runs on purpose, so leaks are not
# looked for in the drive target (the updater itself allocates nothing).
declare -A options=(
  [verifier_package]="-max_len=8400"
  [drive_answers]="-max_len=4096 -detect_leaks=0"
)
mkdir -p build/fuzz/findings
status=0
for target in "${targets[@]}"; do
  corpus=build/fuzz/corpus-$target
  mkdir -p "$corpus"
  cp -n tests/fuzz/corpus/"$target"/* "$corpus"/
  echo "== fuzz $target for ${seconds}s"
  # shellcheck disable=SC2086
  if ! build/fuzz/fuzz_"$target" ${options[$target]} -max_total_time="$seconds" -timeout=20 \
      -print_final_stats=1 -artifact_prefix=build/fuzz/findings/"$target"- "$corpus" \
      >build/fuzz/"$target".log 2>&1; then
    tail -n 60 build/fuzz/"$target".log
    echo "fuzz $target: a fault was found (see build/fuzz/findings)"
    status=1
  else
    grep -E '^#[0-9]+.*DONE|stat::number_of_executed_units' build/fuzz/"$target".log || true
  fi
done
exit $status
