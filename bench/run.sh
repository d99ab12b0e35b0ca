#!/usr/bin/env bash
# Benchmarks a Release build of the tool against baselines measured in the same run, and
# prints a table of median wall times and peak memory:
#   1. a 1 GiB model in replace mode with /O, against `cat model > copy` and against
#      `cat model > copy && sync copy` (the tool flushes its output to disk; cat does not);
#   2. a model of one million small chunks, replace mode, report to /dev/null and to a file;
#   3. list mode on the 1 GiB model.
#   bench/run.sh [RUNS]     (default 5 runs per row; needs about 4 GiB free in build-bench/)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
work=build-bench/models

if [ ! -x /usr/bin/time ] && [ "$(id -u)" = 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DFMSKINS_BUILD_TESTS=OFF \
  -DFMSKINS_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc)" >/dev/null
tool=$PWD/build-bench/fmskins
mkdir -p "$work"
[ -f "$work/large.fm" ] || build-bench/bench/make_bench_model large "$work/large.fm" 1073741824
[ -f "$work/many.fm" ] || build-bench/bench/make_bench_model many "$work/many.fm" 1000000

# median SECONDS and the largest peak memory (KiB) over $runs runs of a shell command
measure() {
  local times=() peak=0 line
  for _ in $(seq "$runs"); do
    rm -f "$work/out.fm" "$work/copy.fm" "$work/report.txt"
    sync
    /usr/bin/time -o "$work/time.txt" -f '%e %M' bash -c "$1" >/dev/null 2>&1
    line=$(tail -n 1 "$work/time.txt")
    times+=("${line% *}")
    [ "${line#* }" -gt "$peak" ] && peak=${line#* }
  done
  printf '%s %s\n' "$(printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p")" "$peak"
}

row() {  # label, command
  local result
  result=$(measure "$2")
  printf '%-44s %8s s %10s KiB\n' "$1" "${result% *}" "${result#* }"
}

cat "$work/large.fm" "$work/many.fm" >/dev/null  # warm the page cache
echo "fmskins benchmark, $(date -u +%Y-%m-%d), $(nproc) cores, $runs runs per row (median)"
row "cat 1 GiB model > copy" "cat $work/large.fm > $work/copy.fm"
row "cat 1 GiB model > copy && sync copy" "cat $work/large.fm > $work/copy.fm && sync $work/copy.fm"
row "fmskins /O out 1 GiB model, replace" "$tool /O $work/out.fm $work/large.fm a b"
row "fmskins /L 1 GiB model" "$tool /L $work/large.fm"
row "fmskins 1M chunks, replace, report to null" "$tool /O $work/out.fm $work/many.fm a >/dev/null"
row "fmskins 1M chunks, replace, report to file" "$tool /O $work/out.fm $work/many.fm a >$work/report.txt"
rm -f "$work/out.fm" "$work/copy.fm" "$work/report.txt" "$work/time.txt"
