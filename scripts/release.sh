#!/usr/bin/env bash
# Builds the release binaries into dist/: a static Linux x86-64 binary and a static 64-bit
# Windows fmskins.exe. Installs the Windows cross compiler from Debian when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    cmake make g++ g++-mingw-w64-x86-64-posix >/dev/null
fi

build() {  # directory, extra cmake arguments...
  local directory=$1
  shift
  cmake -S . -B "$directory" -DCMAKE_BUILD_TYPE=Release -DFMSKINS_BUILD_TESTS=OFF \
    -DFMSKINS_WERROR=ON "$@" >/dev/null
  cmake --build "$directory" -j "$(nproc)"
}

build build-release-linux -DFMSKINS_STATIC=ON
build build-release-windows -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake

mkdir -p dist
cp build-release-linux/fmskins dist/fmskins-linux-x86_64
cp build-release-windows/fmskins.exe dist/fmskins.exe
x86_64-w64-mingw32-strip dist/fmskins.exe
strip dist/fmskins-linux-x86_64
ls -l dist
