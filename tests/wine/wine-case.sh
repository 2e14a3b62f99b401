#!/usr/bin/env bash
# One Windows program-level case under Wine: runs the program, then checks its
# exit status and standard output.
#   wine-case.sh CASE BUILD_DIR SOURCE_DIR
set -euo pipefail
case_name=$1 build=$2 source=$3
wine_run=$source/tools/wine-run.sh
out=$(mktemp)
trap 'rm -f "$out"' EXIT

sjis() { printf '%s' "$1" | iconv -f UTF-8 -t CP932; }
no_update=$(sjis 'アップデートの必要はありません。このままご使用いただけます。')
load_failed=$(sjis 'ドライブへのファームウエアの読み込みに失敗しました。再度アップデートをお願いします。')
complete=$(sjis 'ファームウエアのアップデートが完了しました。')
press=$(sjis '何かキーを押してください。')

fail() { echo "FAIL ($case_name): $*"; echo "--- output:"; cat -A "$out" | head -40; exit 1; }
expect_status() { [ "$status" -eq "$1" ] || fail "exit status $status, expected $1"; }
expect_text() { grep -qF -- "$1" "$out" || fail "output lacks: $1"; }

status=0
case $case_name in
  real-updater-no-drive)
    # The real executable on a machine without optical drives: the two lines.
    "$wine_run" "$build/updater/VX72M_PR05_Updater.exe" </dev/null >"$out" 2>/dev/null || status=$?
    expect_status 0
    printf '%s\n%s\n' "$no_update" "$press" | cmp -s - "$out" || fail "not exactly the two lines"
    ;;
  update-succeeds)
    "$wine_run" "$build/tests/wine/vx72m-simdrive.exe" "$source/tests/wine/fast-update.scenario" \
      </dev/null >"$out" 2>/dev/null || status=$?
    expect_status 0
    expect_text "Target Drive : KORVANEXBD-RE VX72M     PR03"
    expect_text "FW Updating : 100 %"
    expect_text "$complete"
    expect_text "After FW Updating : KORVANEXBD-RE VX72M     PR05"
    ;;
  verifier-refuses)
    "$wine_run" "$build/tests/wine/vx72m-simdrive.exe" "$source/tests/wine/refused-update.scenario" \
      </dev/null >"$out" 2>/dev/null || status=$?
    expect_status 0
    expect_text "$load_failed"
    grep -qF "FW Updating" "$out" && fail "the drive was written to"
    ;;
  staged-files-locked)
    "$wine_run" "$build/tests/wine/vx72m-simdrive-attack.exe" "$source/tests/wine/fast-update.scenario" \
      </dev/null >"$out" 2>/dev/null || status=$?
    expect_status 0
    for what in write rename delete; do
      for file in FW.bin SIGNVFY.EXE; do expect_text "$what $file: refused"; done
    done
    grep -qF "ALLOWED" "$out" && fail "another process changed a staged file"
    expect_text "$complete"
    ;;
  *) echo "unknown case $case_name"; exit 2 ;;
esac
echo "ok ($case_name)"
