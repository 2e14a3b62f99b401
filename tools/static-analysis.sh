#!/usr/bin/env bash
# Static analysis of the project's own code: clang-tidy (.clang-tidy; the
# tests get the bug-prone family only) and cppcheck (warnings, performance,
# portability). Uses the compile commands of the native build, configured in
# build/analysis; fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/analysis
cmake --preset linux -B "$build" >/dev/null

# Our own sources as the native build compiles them (generated files and the
# Windows-only ones are not in it).
python3 - "$build" <<'PY'
import json, os, sys
build = sys.argv[1]
root = os.getcwd() + "/"
entries = [e for e in json.load(open(build + "/compile_commands.json"))
           if e["file"].startswith(root) and not e["file"].startswith(root + "build/")]
os.makedirs(build + "/own", exist_ok=True)
json.dump(entries, open(build + "/own/compile_commands.json", "w"), indent=1)
with open(build + "/own/files", "w") as f:
    f.write("\n".join(e["file"] for e in entries) + "\n")
PY

status=0
echo "== clang-tidy"
grep -v '/tests/' "$build/own/files" |
  xargs -P"${JOBS:-2}" -n1 clang-tidy -p "$build/own" --quiet 2>/dev/null >"$build/tidy.txt" ||
  status=1
# The tests get the bug-prone family only: the performance of test helpers
# does not matter, and they compare request records byte for byte, padding
# included, as the platform receives them (suspicious-memory-comparison).
grep '/tests/' "$build/own/files" |
  xargs -P"${JOBS:-2}" -n1 clang-tidy -p "$build/own" --quiet \
    --checks='-performance-*,-portability-*,-bugprone-suspicious-memory-comparison' \
    2>/dev/null >>"$build/tidy.txt" || status=1
if [ $status -ne 0 ]; then
  cat "$build/tidy.txt"
fi

echo "== cppcheck"
# readdirCalled: the simulated machine is single-threaded, and glibc
# deprecates readdir_r.
# The tests get its warnings only.
cppcheck_run() {
  cppcheck --project="$build/own/compile_commands.json" --library=googletest --inline-suppr \
    --quiet --error-exitcode=1 -j"${JOBS:-2}" --suppress=readdirCalled "$@"
}
cppcheck_run --enable=warning,performance,portability --file-filter="platform/*" \
  --file-filter="updater/*" --file-filter="verifier/*" --file-filter="tools/*" ||
  status=1
cppcheck_run --enable=warning --file-filter="tests/*" || status=1

[ $status -eq 0 ] && echo "static analysis: clean"
exit $status
