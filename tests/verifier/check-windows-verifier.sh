#!/usr/bin/env bash
# Checks a Windows build of the verifier without running it: it imports only
# KERNEL32 and msvcrt (the -static link), and its manifest asks for asInvoker.
#   check-windows-verifier.sh OBJDUMP EXE
set -euo pipefail
objdump=$1
exe=$2
dlls=$("$objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | sort | tr '\n' ' ')
echo "imports: $dlls"
if [ "$dlls" != "KERNEL32.dll msvcrt.dll " ]; then
  echo "FAILED: $exe must import only KERNEL32.dll and msvcrt.dll"
  exit 1
fi
text=$(strings -a "$exe")
if [[ $text != *'requestedExecutionLevel level="asInvoker"'* ]]; then
  echo "FAILED: $exe has no manifest asking for asInvoker"
  exit 1
fi
echo "manifest: asInvoker"
