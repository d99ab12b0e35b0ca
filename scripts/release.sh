#!/usr/bin/env bash
# Builds every download of a release into dist/ and checks them:
#   dist/fmskins-<version>-src.tar.gz           the source, as committed (git archive)
#   dist/fmskins_<version>-1_amd64.deb          the Debian package (cpack)
#   dist/fmskins-<version>-linux-x86_64.tar.gz  the static tools (fmskins, fmskins-folder),
#                                               their manual pages, the page
#                                               fmskins.html, the sample model, a README.txt
#                                               of its own, the licence, the changelog and
#                                               the manual as text
#   dist/fmskins-<version>-windows-x86_64.zip   fmskins.exe, fmskins-folder.exe and the
#                                               drag-and-drop lister fmskins-list.exe (with
#                                               version resources),
#                                               a README.txt for Windows, the page, the
#                                               sample and the same documents, with CRLF
#                                               line ends
#   dist/fmskins-<version>-windows-tests.zip    the tests for a real Windows: their runner
#                                               (run-tests.cmd), the tools they run, a
#                                               helper and a README.txt for Windows
#   dist/SHA256SUMS                             a checksum for each of them
# Installs what it needs from Debian when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
# The source archive is made from the committed tree: without git nothing is written.
if ! git rev-parse --verify -q HEAD >/dev/null 2>&1; then
  echo "release.sh needs a git checkout of fmskins (it makes the source archive from the" >&2
  echo "committed tree); in an unpacked source archive, build as the README says." >&2
  exit 1
fi
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    cmake make g++ g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 groff-base bsdextrautils zip unzip \
    git file dpkg-dev emscripten libssl-dev >/dev/null
fi
export NODE_PATH=/usr/share/nodejs  # emscripten's JavaScript, under a node not Debian's
version=$(sed -n 's/^project(fmskins VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

build() {  # directory, extra cmake arguments...
  local directory=$1
  shift
  cmake -S . -B "$directory" -DCMAKE_BUILD_TYPE=Release -DFMSKINS_BUILD_TESTS=OFF \
    -DFMSKINS_WERROR=ON "$@" >/dev/null
  cmake --build "$directory" -j "$(nproc)" >/dev/null
}

build build-release-linux -DFMSKINS_STATIC=ON
build build-release-deb
# The page: the same tool compiled to WebAssembly, in one HTML file.
rm -rf build-release-web
emcmake cmake -S . -B build-release-web -DCMAKE_BUILD_TYPE=Release -DFMSKINS_BUILD_TESTS=OFF \
  -DFMSKINS_WERROR=ON >/dev/null
cmake --build build-release-web -j "$(nproc)" >/dev/null
# Windows: the tools, and the test zip's runner and helper (built from the same tree, so
# the tests run the very tools the release holds).
cmake -S . -B build-release-windows -DCMAKE_BUILD_TYPE=Release -DFMSKINS_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake -DFMSKINS_BUILD_TESTS=ON >/dev/null
cmake --build build-release-windows -j "$(nproc)" \
  --target fmskins fmskins-list fmskins-folder fmskins-tests hold_file >/dev/null

stage() {  # folder name, tool file, name in the archive, strip command
  local folder=dist/$1
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "$2" "$folder/$3"
  "$4" "$folder/$3"
  # Each archive's README is its own, and every file it names is in the archive.
  cp LICENSE CHANGELOG.md build-release-web/fmskins.html examples/sample.fm "$folder/"
  for page in fmskins fmskins-folder; do
    groff -man -Tascii -rLL=78n "doc/$page.1" 2>/dev/null | col -bx >"$folder/$page.txt"
  done
}

mkdir -p dist
windows=fmskins-$version-windows-x86_64
linux=fmskins-$version-linux-x86_64
stage "$windows" build-release-windows/fmskins.exe fmskins.exe x86_64-w64-mingw32-strip
for program in fmskins-list fmskins-folder; do
  cp "build-release-windows/$program.exe" "dist/$windows/"
  x86_64-w64-mingw32-strip "dist/$windows/$program.exe"
done
# Text files in the Windows archive have CRLF line ends, as Notepad, type and cmd expect.
for file in LICENSE CHANGELOG.md fmskins.txt fmskins-folder.txt; do
  sed -i 's/$/\r/' "dist/$windows/$file"
done
# The Windows user's own README, CRLF whatever the checkout.
sed 's/\r*$/\r/' windows/README.txt >"dist/$windows/README.txt"
# The test zip for a real Windows: its runner, the tools as released, the helper, and its
# own README.txt; the tool's README.txt too, since one test runs the recipe in it.
tests=fmskins-$version-windows-tests
rm -rf "dist/$tests"
mkdir -p "dist/$tests"
cp "dist/$windows/fmskins.exe" "dist/$windows/fmskins-list.exe" "dist/$windows/LICENSE" "dist/$tests/"
cp "dist/$windows/README.txt" "dist/$tests/fmskins-README.txt"
for program in fmskins-tests hold_file; do
  x86_64-w64-mingw32-strip -o "dist/$tests/$program.exe" "build-release-windows/tests/$program.exe"
done
for file in README.txt run-tests.cmd; do
  sed 's/\r*$/\r/' "windows/tests/$file" >"dist/$tests/$file"
done
stage "$linux" build-release-linux/fmskins fmskins strip
cp build-release-linux/fmskins-folder "dist/$linux/fmskins-folder"
strip "dist/$linux/fmskins-folder"
cp build-release-linux/doc/fmskins.1 build-release-linux/doc/fmskins-folder.1 "dist/$linux/"
# The tarball's own README, which names only what the tarball holds.
cp linux/README.txt "dist/$linux/README.txt"
rm -f dist/*.zip dist/*.tar.gz dist/*.deb dist/SHA256SUMS
(cd dist && zip -qrX "$windows.zip" "$windows" && zip -qrX "$tests.zip" "$tests" &&
  tar -czf "$linux.tar.gz" --owner=0 --group=0 "$linux")
rm -rf "dist/$windows" "dist/$tests" "dist/$linux"
(cd build-release-deb && cpack -G DEB >/dev/null)
cp "build-release-deb/fmskins_$version-1_amd64.deb" dist/
# The source as committed; uncommitted changes are not part of a release.
git archive --format=tar.gz --prefix="fmskins-$version/" -o "dist/fmskins-$version-src.tar.gz" HEAD
(cd dist && sha256sum -- * >SHA256SUMS)

# Every download is in SHA256SUMS and matches it, and the source archive builds the tool,
# which lists the bundled sample.
(cd dist && sha256sum --check --quiet SHA256SUMS)
[ "$(wc -l <dist/SHA256SUMS)" = "$(find dist -maxdepth 1 -type f ! -name SHA256SUMS | wc -l)" ]
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
tar -xzf "dist/fmskins-$version-src.tar.gz" -C "$unpacked"
(
  cd "$unpacked/fmskins-$version"
  cmake -S . -B build -DFMSKINS_BUILD_TESTS=OFF >/dev/null
  cmake --build build -j "$(nproc)" --target fmskins >/dev/null
  ./build/fmskins /L examples/sample.fm | grep -q '^    models/monsters/ogre/skin_green.m8$'
)
# Each archive's README: every file it names as its own is in the archive, and its first
# command lists the sample the archive holds.
readme_names() {  # the README, the archive's listing
  local name
  for name in $(tr -d '\r' <"$1" | sed -n '/^What is in this folder/,/^[A-Z]/s/^  \([^ ].*\)/\1/p' |
                sed 's/  .*//; s/, / /g'); do
    grep -q "/$name\$" <<<"$2" || { echo "$1 names $name, which its archive lacks" >&2; exit 1; }
  done
}
readme_names linux/README.txt "$(tar -tzf "dist/$linux.tar.gz")"
readme_names windows/README.txt "$(unzip -Z1 "dist/$windows.zip")"
readme_names windows/tests/README.txt "$(unzip -Z1 "dist/$tests.zip")"
# no links to follow out of them
test -z "$(grep -l '](' linux/README.txt windows/README.txt windows/tests/README.txt)"
tar -xzf "dist/$linux.tar.gz" -C "$unpacked"
first=$(sed -n 's/^  \(\.\/fmskins [^ ]* [^ ]*\) .*/\1/p' linux/README.txt | head -n 1)
[ "$first" = "./fmskins /L sample.fm" ]
(cd "$unpacked/$linux" && $first | grep -q '^    models/monsters/ogre/skin_green.m8$')
ls -l dist
