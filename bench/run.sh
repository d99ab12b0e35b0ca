#!/usr/bin/env bash
# Benchmarks a Release build of the tool against baselines measured in the same run, and
# prints median wall times and peak memory. Rows are measured in turn within each round, so
# that a machine busy for a moment slows the baselines as much as the tool:
#   1. a 256 MiB model of 8 chunks in replace mode, written through standard output to a
#      file on tmpfs, against `cat model > file` on the same tmpfs;
#   2. the same model in replace mode with /O to a new file on disk (which the tool flushes
#      to disk before renaming it into place), against `dd bs=1M conv=fsync`;
#   3. list mode on the same model, against `cat model > /dev/null`;
#   4. a 100 KB model with /O, and a model of one million small chunks with /O.
#   bench/run.sh [RUNS] [OTHER_TOOL]
# RUNS defaults to 7. OTHER_TOOL, another build of the tool (an older one, say), gets rows of
# its own beside this build's. Needs about 1 GiB free in build-bench/ and in /dev/shm.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
other=${2:-}
work=$PWD/build-bench/models
shm=/dev/shm/fmskins-bench-$$

if [ ! -x /usr/bin/time ] && [ "$(id -u)" = 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DFMSKINS_BUILD_TESTS=OFF \
  -DFMSKINS_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc)" >/dev/null
tool=$PWD/build-bench/fmskins
make_model=build-bench/bench/make_bench_model
mkdir -p "$work" "$shm"
trap 'rm -rf "$shm"' EXIT
[ "$(stat -f -c %T /dev/shm)" = tmpfs ] || echo "note: /dev/shm is not tmpfs here"
[ -f "$work/large.fm" ] || "$make_model" large "$work/large.fm" 268435456
[ -f "$work/small.fm" ] || "$make_model" large "$work/small.fm" 102400
[ -f "$work/many.fm" ] || "$make_model" many "$work/many.fm" 1000000
cp "$work/large.fm" "$shm/large.fm"

labels=()
commands=()
add() {  # label, command
  labels+=("$1")
  commands+=("$2")
}
tool_rows() {  # binary, label suffix
  add "fmskins /O /dev/stdout > file on tmpfs$2" "$1 /O /dev/stdout $shm/large.fm x >$shm/out.fm"
  add "fmskins /O new file (flushed)$2" "$1 /O $work/out.fm $work/large.fm x"
  add "fmskins /L$2" "$1 /L $work/large.fm"
  add "fmskins /O new file, 100 KB model$2" "$1 /O $work/out.fm $work/small.fm x"
  add "fmskins /O new file, 1M chunks$2" "$1 /O $work/out.fm $work/many.fm x"
}
# The cost of starting a command under the measuring shell, taken off every other row.
add "harness alone (bash -c true)" "true"
add "cat > file on tmpfs" "cat $shm/large.fm >$shm/out.fm"
add "dd bs=1M conv=fsync to new file" "dd if=$work/large.fm of=$work/out.fm bs=1M conv=fsync status=none"
add "cat > /dev/null" "cat $work/large.fm >/dev/null"
tool_rows "$tool" ""
if [ -n "$other" ]; then
  tool_rows "$(realpath "$other")" " ($(basename "$other"))"
fi

# One run of a shell command: wall seconds and peak memory in KiB.
sample() {
  rm -f "$work/out.fm" "$shm/out.fm"
  sync
  local start=$EPOCHREALTIME
  /usr/bin/time -o "$work/time.txt" -f '%M' bash -c "$1" >/dev/null 2>&1
  local end=$EPOCHREALTIME
  awk -v start="$start" -v end="$end" -v peak="$(tail -n 1 "$work/time.txt")" \
    'BEGIN { printf "%.6f %s\n", end - start, peak }'
}

cat "$work/large.fm" "$work/small.fm" "$work/many.fm" >/dev/null  # warm the page cache
declare -A times peaks
for _ in $(seq "$runs"); do
  for index in "${!commands[@]}"; do
    read -r seconds peak < <(sample "${commands[$index]}")
    times[$index]+="$seconds "
    [ "$peak" -gt "${peaks[$index]:-0}" ] && peaks[$index]=$peak
  done
done

echo "fmskins benchmark, $(date -u +%Y-%m-%d), $(nproc) cores, $(uname -r), $runs runs per row"
echo "(median wall time; net: less the harness row; largest peak memory)"
declare -A net
for index in "${!commands[@]}"; do
  median=$(printf '%s\n' ${times[$index]} | sort -n | sed -n "$(((runs + 1) / 2))p")
  net[$index]=$(awk -v m="$median" -v h="${net[0]:-$median}" 'BEGIN { printf "%.4f", m - h }')
  [ "$index" = 0 ] && net[0]=$median
  printf '%-48s %7.4f s  net %7.4f s %9s KiB\n' "${labels[$index]}" "$median" \
    "$([ "$index" = 0 ] && echo 0 || echo "${net[$index]}")" "${peaks[$index]}"
done
ratio() {  # label, row, baseline row
  awk -v a="${net[$2]}" -v b="${net[$3]}" -v l="$1" 'BEGIN { printf "%-48s %6.2f x\n", l, a / b }'
}
echo "ratios of net times:"
ratio "replace to tmpfs / cat > file" 4 1
ratio "replace to new file, flushed / dd conv=fsync" 5 2
ratio "list / cat > /dev/null" 6 3
awk -v p="${peaks[5]}" 'BEGIN { printf "%-48s %6.2f x\n", "peak memory of the flushed replace / model", p / 262144 }'
if [ -n "$other" ]; then
  for row in 4 5 6 7 8; do
    ratio "${labels[$row]}: this / other" "$row" "$((row + 5))"
  done
fi
rm -f "$work/out.fm" "$work/time.txt"
