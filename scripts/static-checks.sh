#!/usr/bin/env bash
# Format, clang-tidy and cppcheck over the project's own sources; fails on any finding.
set -euo pipefail
cd "$(dirname "$0")/.."

sources=$(git ls-files '*.cpp' '*.h')

echo "== clang-format"
clang-format --dry-run --Werror $sources

echo "== clang-tidy (the tool's sources and the fuzz target)"
CC=clang CXX=clang++ cmake -S . -B build-tidy -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DFMSKINS_FUZZ=ON -DFMSKINS_BUILD_TESTS=OFF >/dev/null
run-clang-tidy -p build-tidy -quiet -j "$(nproc)" '/(src|fuzz)/' >build-tidy/report.txt 2>&1 ||
  { grep -E 'error|warning:' build-tidy/report.txt | sort -u; exit 1; }
if grep -E ': (error|warning):' build-tidy/report.txt; then
  exit 1
fi

echo "== cppcheck"
cppcheck --enable=warning,style,performance,portability --std=c++20 --error-exitcode=1 \
  --suppress=useStlAlgorithm --inline-suppr -q -I src src fuzz
echo "static checks: clean"
