#!/usr/bin/env bash
# Builds the release archives into dist/, each a folder with the static tool, the README,
# the licence, the changelog and the manual page rendered as plain text, and a SHA256SUMS
# file for everything in dist/:
#   dist/fmskins-<version>-windows-x86_64.zip   fmskins.exe (with its version resource), a
#                                               README.txt and fmskins-list.cmd for Windows
#   dist/fmskins-<version>-linux-x86_64.tar.gz  fmskins and the manual page fmskins.1
# Installs what it needs from Debian when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    cmake make g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 groff-base bsdextrautils zip \
    >/dev/null
fi
version=$(sed -n 's/^project(fmskins VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

build() {  # directory, extra cmake arguments...
  local directory=$1
  shift
  cmake -S . -B "$directory" -DCMAKE_BUILD_TYPE=Release -DFMSKINS_BUILD_TESTS=OFF \
    -DFMSKINS_WERROR=ON "$@" >/dev/null
  cmake --build "$directory" -j "$(nproc)" >/dev/null
}

build build-release-linux -DFMSKINS_STATIC=ON
build build-release-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake

stage() {  # folder name, tool file, name in the archive, strip command
  local folder=dist/$1
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$2" "$folder/$3"
  "$4" "$folder/$3"
  cp README.md LICENSE CHANGELOG.md "$folder/"
  groff -man -Tascii -rLL=78n doc/fmskins.1 2>/dev/null | col -bx >"$folder/fmskins.txt"
}

mkdir -p dist
windows=fmskins-$version-windows-x86_64
linux=fmskins-$version-linux-x86_64
stage "$windows" build-release-windows/fmskins.exe fmskins.exe x86_64-w64-mingw32-strip
# Text files in the Windows archive have CRLF line ends, as Notepad, type and cmd expect.
for file in README.md LICENSE CHANGELOG.md fmskins.txt; do
  sed -i 's/$/\r/' "dist/$windows/$file"
done
# The Windows user's own README and the drag-and-drop lister, CRLF whatever the checkout.
for file in README.txt fmskins-list.cmd; do
  sed 's/\r*$/\r/' "windows/$file" >"dist/$windows/$file"
done
stage "$linux" build-release-linux/fmskins fmskins strip
cp build-release-linux/doc/fmskins.1 "dist/$linux/fmskins.1"
rm -f "dist/$windows.zip" "dist/$linux.tar.gz" dist/SHA256SUMS
(cd dist && zip -qrX "$windows.zip" "$windows" && tar -czf "$linux.tar.gz" --owner=0 --group=0 "$linux")
rm -rf "dist/$windows" "dist/$linux"
(cd dist && sha256sum -- * >SHA256SUMS)
ls -l dist
