#!/usr/bin/env bash
# Builds the .deb and .tar.gz with CPack, checks that the .deb holds a working tool and its
# manual page, and that the manual page renders without a warning.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends groff-base dpkg >/dev/null
fi

cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DFMSKINS_BUILD_TESTS=OFF -DFMSKINS_WERROR=ON >/dev/null
cmake --build build-package -j "$(nproc)" >/dev/null
(cd build-package && cpack >/dev/null)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x build-package/fmskins_*.deb "$root"
"$root/usr/bin/fmskins" /L examples/sample.fm | grep -q "^    models/monsters/ogre/skin_green.m8$"
test -f "$root/usr/share/man/man1/fmskins.1"
tar -tzf build-package/fmskins-*.tar.gz | grep -q "bin/fmskins$"

warnings=$(groff -man -Tutf8 -ww -z doc/fmskins.1 2>&1)
if [ -n "$warnings" ]; then
  echo "$warnings"
  exit 1
fi
echo "package check: $(ls build-package/*.deb build-package/*.tar.gz | tr '\n' ' ')"
