#!/usr/bin/env bash
# Builds the tool and its whole test suite for another platform and runs it there under
# emulation:
#   scripts/cross-test.sh big-endian   s390x Linux, under qemu-user
#   scripts/cross-test.sh windows      64-bit Windows, under wine
#   scripts/cross-test.sh all          both
# Installs what it needs from Debian when run as root.
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-all}

install() {
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
  fi
}

run_suite() {  # name toolchain
  local build="build-$1"
  rm -rf "$build"
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/$2.cmake" \
    -DFMSKINS_WERROR=ON >/dev/null
  cmake --build "$build" -j "$(nproc)"
  ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
}

big_endian() {
  echo "== s390x (big-endian) under qemu-user"
  install g++-s390x-linux-gnu qemu-user googletest cmake make
  run_suite s390x s390x-linux-gnu
}

windows() {
  echo "== 64-bit Windows under wine"
  install g++-mingw-w64-x86-64-posix wine64 googletest cmake make unzip binutils libssl-dev
  # A fixed locale, under which wine uses the ANSI code page 1252, so that the cases with
  # 8-bit and Unicode names are the same on every machine.
  export LC_ALL=C.UTF-8 WINEDEBUG=-all WINEPREFIX="${WINEPREFIX:-$PWD/build-windows-prefix}"
  /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1 || true
  run_suite windows x86_64-w64-mingw32

  echo "== the Windows release archive: the tool in it runs and carries its version"
  scripts/release.sh >/dev/null
  local version
  version=$(sed -n 's/^project(fmskins VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
  rm -rf build-release-check
  unzip -q "dist/fmskins-$version-windows-x86_64.zip" -d build-release-check
  local folder=build-release-check/fmskins-$version-windows-x86_64
  for file in fmskins.exe fmskins-list.exe fmskins-folder.exe fmskins.html sample.fm README.txt LICENSE \
    CHANGELOG.md fmskins.txt fmskins-folder.txt; do
    test -f "$folder/$file"
  done
  test ! -e "$folder/README.md"  # the zip's README is README.txt alone, for Windows
  grep -q $'^WINDOWS\r$' "$folder/fmskins.txt"  # the manual's Windows section, CRLF ends
  grep -q $'^fmskins for Windows\r$' "$folder/README.txt"
  # Every text a console may type is plain ASCII, with CRLF line ends throughout.
  # (Each check is a test of grep's output: a negated command does not stop the script.)
  test -z "$(LC_ALL=C grep -l '[^[:print:][:space:]]' "$folder"/*.txt "$folder"/*.md "$folder/LICENSE")"
  test -z "$(grep -l $'[^\r]$' "$folder"/*.txt)"
  # Whole outputs are taken first: grep -q stopping early would end the writer with SIGPIPE.
  local listing resources contents
  # wine itself, starting again after the suite's last run, is tried twice.
  # The README's first command, run where the README says, on the sample beside it.
  grep -q $'^  fmskins /L sample.fm\r$' "$folder/README.txt"
  listing=$(cd "$folder" && /usr/lib/wine/wine64 fmskins.exe /L sample.fm) ||
    listing=$(cd "$folder" && /usr/lib/wine/wine64 fmskins.exe /L sample.fm)
  resources=$(strings -el "$folder/fmskins.exe")
  contents=$(tar -tzf "dist/fmskins-$version-linux-x86_64.tar.gz")
  grep -q "skin_green.m8" <<<"$listing"
  grep -qx "$version" <<<"$resources"
  grep -q "fmskins-$version-linux-x86_64/fmskins$" <<<"$contents"
  grep -q "fmskins-$version-linux-x86_64/fmskins.1$" <<<"$contents"
  grep -q "fmskins-$version-linux-x86_64/fmskins-folder$" <<<"$contents"
  grep -q "fmskins-$version-linux-x86_64/fmskins-folder.1$" <<<"$contents"
  grep -q "fmskins-$version-linux-x86_64/fmskins.html$" <<<"$contents"
  # The tarball's README is its own, naming only what the tarball holds.
  grep -q "fmskins-$version-linux-x86_64/README.txt$" <<<"$contents"
  test -z "$(grep "README.md$" <<<"$contents")"
  # Under code page 932 a byte that is no text there (a lead byte whose next byte is no
  # trail byte) is shown as \xHH, and the bytes after it as themselves.
  cp examples/sample.fm build-release-check/cp932.fm
  printf '\x9b31m\0' | dd of=build-release-check/cp932.fm bs=1 seek=120 conv=notrunc 2>/dev/null
  listing=$(LC_ALL=ja_JP.UTF-8 /usr/lib/wine/wine64 "$folder/fmskins.exe" /L build-release-check/cp932.fm) ||
    listing=$(LC_ALL=ja_JP.UTF-8 /usr/lib/wine/wine64 "$folder/fmskins.exe" /L build-release-check/cp932.fm)
  grep -qF '    \x9B31m' <<<"$listing"

  echo "== the Windows test zip: its runner, as a user starts it, in a folder of its own"
  local tests=build-release-check/fmskins-$version-windows-tests results
  unzip -q "dist/fmskins-$version-windows-tests.zip" -d build-release-check
  mkdir build-release-check/checked
  test -z "$(grep -l $'[^\r]$' "$tests/README.txt" "$tests/run-tests.cmd")"
  (cd "$tests" && /usr/lib/wine/wine64 cmd /c run-tests.cmd 'Z:'"$PWD/../checked" </dev/null)
  results=$(tr -d '\r' <build-release-check/checked/fmskins-test-results.txt)
  grep -q '^Under wine: yes' <<<"$results"
  grep -q '^[0-9]* passed, 0 failed, [0-9]* skipped$' <<<"$results"
  # What only a real Windows answers says so, and nothing but the results is left.
  grep -q 'only a real Windows can answer' <<<"$results"
  [ "$(ls build-release-check/checked)" = fmskins-test-results.txt ]

  echo "== fmskins-folder.exe: a check, a retarget and its undo"
  local mod=build-release-check/mod checked
  mkdir -p "$mod/models/monsters/ogre"
  cp examples/sample.fm "$mod/ogre.fm"
  : >"$mod/models/monsters/ogre/skin_green.m8"
  checked=$(cd build-release-check && /usr/lib/wine/wine64 "$(basename "$folder")/fmskins-folder.exe" check --csv mod) ||
    test $? = 1  # two of the sample's skins are not in the folder
  grep -q '^"ogre.fm","models/monsters/ogre/skin_green.m8","yes","models/monsters/ogre/skin_green.m8",""' <<<"$checked"
  grep -q '^"ogre.fm","models/monsters/ogre/skin_grey.m8","no","",""' <<<"$checked"
  (cd build-release-check && /usr/lib/wine/wine64 "$(basename "$folder")/fmskins-folder.exe" \
    retarget --apply --journal undo.json models/monsters/ models/mymod/ mod >/dev/null)
  listing=$(/usr/lib/wine/wine64 "$folder/fmskins.exe" /L "$mod/ogre.fm")
  grep -q '^    models/mymod/ogre/skin_green.m8' <<<"$listing"
  (cd build-release-check && /usr/lib/wine/wine64 "$(basename "$folder")/fmskins-folder.exe" undo undo.json >/dev/null)
  cmp examples/sample.fm "$mod/ogre.fm"

  echo "== Ctrl-C while the new model is written (wine sends SIGINT as the console's Ctrl-C)"
  # The run ends as Windows' own programs do (0xC000013A; wine gives its low byte, 58),
  # prints no FATAL line and leaves nothing beside the model.
  local scratch=build-release-check/interrupt status=0
  mkdir -p "$scratch"
  chunk() { printf '%s' "$1"; head -c $((32 - ${#1})) /dev/zero; printf "$2"; }
  { chunk header '\x02\0\0\0\x28\0\0\0'; head -c 12 /dev/zero; printf '\x01\0\0\0'; head -c 24 /dev/zero
    chunk skin '\x01\0\0\0\x40\0\0\0'; printf old; head -c 61 /dev/zero
    chunk frames '\x01\0\0\0\0\0\xc0\x12'; head -c $((0x12c00000)) /dev/zero; } >"$scratch/m.fm"
  (cd "$scratch" && exec /usr/lib/wine/wine64 "../$(basename "$folder")/fmskins.exe" /O out.fm m.fm new >log.txt) &
  local run=$!
  for _ in $(seq 400); do
    compgen -G "$scratch/.out.fm.fmskins-*" >/dev/null && break
    sleep 0.05
  done
  kill -INT "$run"
  wait "$run" || status=$?
  test "$status" = 58
  test -z "$(grep FATAL "$scratch/log.txt")"
  test "$(ls -A "$scratch")" = "$(printf 'log.txt\nm.fm')"

  echo "== Ctrl-C at many moments of an edit in place: status 0 exactly when the model is new"
  # A 192 MiB model edited over itself, interrupted ever later: before the new model is in
  # place the run ends with the interrupt's status and the old model; after, it finishes
  # with "Wrote:" and 0. Either way nothing is left beside the model.
  { chunk header '\x02\0\0\0\x28\0\0\0'; head -c 12 /dev/zero; printf '\x01\0\0\0'; head -c 24 /dev/zero
    chunk skin '\x01\0\0\0\x40\0\0\0'; printf old; head -c 61 /dev/zero
    chunk frames '\x01\0\0\0\0\0\x00\x0c'; head -c $((0x0c000000)) /dev/zero; } >"$scratch/m.fm"
  local moment stored seen_old=0 seen_new=0
  for moment in 0.3 0.6 0.9 1.2 1.5 1.8 2.2 2.6 3.0 4.0 6.0; do
    stored=$(dd if="$scratch/m.fm" bs=1 skip=120 count=3 2>/dev/null)
    (cd "$scratch" && exec /usr/lib/wine/wine64 "../$(basename "$folder")/fmskins.exe" m.fm \
      "$([ "$stored" = old ] && echo new || echo old)" >log.txt) &
    run=$!
    sleep "$moment"
    kill -INT "$run" 2>/dev/null || true
    status=0
    wait "$run" || status=$?
    local now
    now=$(dd if="$scratch/m.fm" bs=1 skip=120 count=3 2>/dev/null)
    if [ "$status" = 0 ]; then
      test "$now" != "$stored"
      grep -q '^Wrote: m.fm' "$scratch/log.txt"
      seen_new=$((seen_new + 1))
    else
      test "$status" = 58
      test "$now" = "$stored"
      seen_old=$((seen_old + 1))
    fi
    test -z "$(grep FATAL "$scratch/log.txt")"
    test "$(ls -A "$scratch")" = "$(printf 'log.txt\nm.fm')"
  done
  echo "   $seen_old ended by the interrupt with the old model, $seen_new finished with the new one"
  rm -rf "$scratch"
}

case "$target" in
  big-endian) big_endian ;;
  windows) windows ;;
  all) big_endian; windows ;;
  *) echo "usage: $0 big-endian|windows|all" >&2; exit 2 ;;
esac
