#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine, from
# Debian's packages. Does nothing when everything is already there.
set -euo pipefail
packages=(
  cmake make g++ libgtest-dev googletest pkg-config
  libmbedtls-dev openssl faketime
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  wine wine64 dpkg-dev
  clang libclang-rt-14-dev clang-tidy cppcheck clang-format
  python3 libc-bin xxd git util-linux
)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
