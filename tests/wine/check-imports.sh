#!/usr/bin/env bash
# Fails unless every given Windows executable imports only system DLLs.
#   check-imports.sh OBJDUMP EXE...
set -euo pipefail
objdump=$1; shift
allowed='^(KERNEL32|msvcrt|bcrypt|ADVAPI32|USER32)\.dll$'
status=0
for exe in "$@"; do
  dlls=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p')
  [ -n "$dlls" ] || { echo "$exe: no imports found"; status=1; }
  while read -r dll; do
    [ -z "$dll" ] && continue
    if [[ ! $dll =~ $allowed ]]; then echo "$exe imports $dll"; status=1; fi
  done <<<"$dlls"
  echo "$(basename "$exe"): $(echo $dlls)"
done
exit $status
