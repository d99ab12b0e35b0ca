#!/usr/bin/env bash
# Builds the page (fmskins.html) with Emscripten and runs its tests in Debian's Chromium,
# headless, against the native tools, which are built first when build/ lacks them.
# Installs what it needs from Debian, and puppeteer-core from the lock file, when run as
# root; no tool downloads a browser or a toolchain of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  # Debian's nodejs is left out: the machine's own Node.js serves emscripten as well.
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    emscripten chromium firefox-esr unzip cmake make g++ libssl-dev >/dev/null
fi
# Emscripten's own JavaScript finds Debian's node modules (acorn) only through NODE_PATH
# when the node on the PATH is not Debian's.
export NODE_PATH=/usr/share/nodejs PUPPETEER_SKIP_DOWNLOAD=1

if [ ! -x build/fmskins ] || [ ! -x build/fmskins-folder ]; then
  cmake -S . -B build -DFMSKINS_BUILD_TESTS=OFF >/dev/null
  cmake --build build -j "$(nproc)" --target fmskins fmskins-folder >/dev/null
fi
rm -rf build-web
emcmake cmake -S . -B build-web -DCMAKE_BUILD_TYPE=Release -DFMSKINS_BUILD_TESTS=OFF \
  -DFMSKINS_WERROR=ON >/dev/null
cmake --build build-web -j "$(nproc)" >/dev/null
(cd web && npm ci --no-audit --no-fund --loglevel=error >/dev/null)
FMSKINS_PAGE=build-web/fmskins.html FMSKINS_NATIVE=build/fmskins FMSKINS_NATIVE_FOLDER=build/fmskins-folder \
  node --test web/tests/
