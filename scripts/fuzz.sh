#!/usr/bin/env bash
# Builds the libFuzzer target with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# it over the model pass for a given time.
#   scripts/fuzz.sh [SECONDS] [JOBS]     (default: 60 seconds, 1 job)
# The working corpus is kept in build-fuzz/corpus between runs; a crash or a broken
# promise leaves its input as build-fuzz/crash-* and makes the script fail.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
jobs=${2:-1}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DFMSKINS_FUZZ=ON -DFMSKINS_BUILD_TESTS=OFF -DFMSKINS_SANITIZE=address,undefined \
  -DFMSKINS_WERROR=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target fmskins_fuzz fmskins_make_corpus

rm -rf build-fuzz/seeds && mkdir -p build-fuzz/seeds build-fuzz/corpus
build-fuzz/fuzz/fmskins_make_corpus build-fuzz/seeds

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
args=(-dict=fuzz/model.dict -max_total_time="$seconds" -max_len=4096 -timeout=10
      -artifact_prefix=build-fuzz/ -print_final_stats=1)
if [ "$jobs" -gt 1 ]; then
  args+=(-jobs="$jobs" -workers="$jobs")
fi
build-fuzz/fuzz/fmskins_fuzz "${args[@]}" build-fuzz/corpus build-fuzz/seeds
