#!/usr/bin/env bash
# Builds the .deb with CPack and checks them: lintian finds no error or warning,
# the dependencies are the ones dpkg-shlibdeps computed, the .deb holds a working, stripped
# and hardened tool, its compressed manual page (rendering without a warning), changelogs
# and copyright file, and every place that names the version names the one in CMakeLists.txt.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    groff-base dpkg dpkg-dev lintian mandoc gzip file binutils libssl-dev >/dev/null
fi

rm -rf build-package
cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DFMSKINS_BUILD_TESTS=OFF -DFMSKINS_WERROR=ON >/dev/null
cmake --build build-package -j "$(nproc)" >/dev/null
(cd build-package && cpack >/dev/null)
version=$(sed -n 's/^project(fmskins VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=build-package/fmskins_${version}-1_amd64.deb

fail() { echo "package check: $*" >&2; exit 1; }

# lintian runs as root here; its advice against that is not a finding.
lintian --fail-on error,warning "$deb" 2>&1 | grep -v 'root privileges is not recommended' || true
lintian --fail-on error,warning "$deb" >/dev/null 2>&1 || fail "lintian reports errors or warnings"

depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in
  *"libstdc++6 (>= 12)"*) fail "hand-written dependency: $depends" ;;
  *libc6*) ;;
  *) fail "no computed dependencies: $depends" ;;
esac
case "$depends" in
  *libssl3*) ;;
  *) fail "fmskins-folder's libcrypto is not among the dependencies: $depends" ;;
esac
[ "$(dpkg-deb -f "$deb" Section)" = utils ] || fail "section is not utils"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
"$root/usr/bin/fmskins" /L examples/sample.fm | grep -q "^    models/monsters/ogre/skin_green.m8$"
# (status 1: the sample's skins are not in examples/)
checked=$("$root/usr/bin/fmskins-folder" check --csv examples || test $? = 1)
grep -q '^"sample.fm","models/monsters/ogre/skin_green.m8","no"' <<<"$checked" ||
  fail "fmskins-folder check does not list the sample"
for program in fmskins fmskins-folder; do
  file "$root/usr/bin/$program" | grep -q "pie executable.*stripped" || fail "$program is not a stripped PIE"
  readelf -d "$root/usr/bin/$program" | grep -q "BIND_NOW" || fail "$program is not linked with -z now"
  ! readelf -S "$root/usr/bin/$program" | grep -q "\.comment" || fail "$program keeps a .comment section"
done
doc=$root/usr/share/doc/fmskins
for file in usr/share/man/man1/fmskins.1.gz usr/share/man/man1/fmskins-folder.1.gz usr/share/doc/fmskins/changelog.gz \
  usr/share/doc/fmskins/changelog.Debian.gz usr/share/doc/fmskins/copyright; do
  test -f "$root/$file" || fail "missing $file"
done
head -1 "$doc/copyright" | grep -q "copyright-format/1.0" || fail "copyright is not machine-readable"
gzip -dc "$doc/changelog.gz" | cmp -s - CHANGELOG.md || fail "changelog.gz is not CHANGELOG.md"
[ -z "$(find build-package -maxdepth 1 -name '*.tar.gz')" ] || fail "cpack made a tarball"
[ -n "$depends" ] || fail "the .deb declares no dependencies"

# A plain install gives the tool, its manual page and the documents, none of Debian's files.
cmake --install build-package --prefix "$root/plain" >/dev/null
installed=$(cd "$root/plain" && find . -type f | sort | tr '\n' ' ')
[ "$installed" = "./bin/fmskins ./bin/fmskins-folder ./share/doc/fmskins/changelog.gz ./share/doc/fmskins/copyright ./share/man/man1/fmskins-folder.1.gz ./share/man/man1/fmskins.1.gz " ] ||
  fail "cmake --install installed: $installed"

# One version everywhere: the package, the manual page's footer, the changelog.
gzip -dc "$root/usr/share/man/man1/fmskins.1.gz" | head -3 | grep -q "\"fmskins $version\"" ||
  fail "installed manual page does not name version $version"
grep -q "\"fmskins $version\"" doc/fmskins.1 || fail "doc/fmskins.1 does not name version $version"
grep -q "^## $version - " CHANGELOG.md || fail "CHANGELOG.md has no entry for $version"

for page in fmskins fmskins-folder; do
  gzip -dc "$root/usr/share/man/man1/$page.1.gz" | head -3 | grep -q "\"fmskins $version\"" ||
    fail "installed manual page $page.1 does not name version $version"
  warnings=$(gzip -dc "$root/usr/share/man/man1/$page.1.gz" | groff -man -Tutf8 -ww -z 2>&1)
  [ -z "$warnings" ] || fail "manual page $page.1 warnings: $warnings"
  warnings=$(mandoc -Tlint "doc/$page.1" 2>&1 | grep -v ': STYLE: ' || true)
  [ -z "$warnings" ] || fail "mandoc on $page.1: $warnings"
done
echo "package check: $deb"
