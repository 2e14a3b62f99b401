#!/usr/bin/env bash
# Fetches Debian's mbedtls source package (the version of the installed
# libmbedtls-dev, else the archive's) into DEST and unpacks it as DEST/src.
# Uses a private sources list and apt state: the system's apt configuration
# is left untouched.
# Usage: cmake/fetch-mbedtls-source.sh DEST
set -euo pipefail
dest=$1
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)
[ -f "$dest/src/CMakeLists.txt" ] && exit 0

apt_dir=$dest/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$dest/download"
# Same archive and keyring as the system's Debian entry, but for sources.
uris=http://deb.debian.org/debian
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
  uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
  key=$(awk '/^Signed-By:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
  [ -n "$uri" ] && uris=$uri
  [ -n "$key" ] && keyring=$key
fi
cat >"$apt_dir/sources.list.d/mbedtls-src.sources" <<SRC
Types: deb-src
URIs: $uris
Suites: bookworm
Components: main
Signed-By: $keyring
SRC

apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
  -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root")
apt-get -q "${apt_opts[@]}" update >"$apt_dir/update.log" 2>&1 || {
  cat "$apt_dir/update.log" >&2
  exit 1
}
version=$(dpkg-query -W -f='${Version}' libmbedtls-dev 2>/dev/null || true)
package=mbedtls
[ -n "$version" ] && package="mbedtls=$version"
(cd "$dest/download" && apt-get -q "${apt_opts[@]}" source --download-only "$package") \
  >"$apt_dir/source.log" 2>&1 || {
  cat "$apt_dir/source.log" >&2
  exit 1
}
rm -rf "$dest/src"
# apt has checked the files against the archive's signed index already.
dpkg-source -x "$dest"/download/mbedtls_*.dsc "$dest/src" >"$apt_dir/unpack.log" 2>&1 || {
  cat "$apt_dir/unpack.log" >&2
  exit 1
}
