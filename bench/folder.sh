#!/usr/bin/env bash
# Benchmarks fmskins-folder (a Release build) against baselines measured in the same run,
# and prints median wall times, their ratios and peak memory:
#   1. check of 150 models of 8 MiB, against `cat` reading them (warm cache);
#   2. check of 3,000 models of 20 KB, against one `fmskins /L` process per model (the
#      README's old way); peak memory at 3,000 and at 30,000 models;
#   3. retarget --apply of 300 models of 200 KB, against a shell loop running `fmskins` once
#      per model (each flushes), and against `dd conv=fsync` of the same bytes.
#   bench/folder.sh [RUNS]
# RUNS defaults to 5. Needs about 2 GiB free in build-bench/.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
work=$PWD/build-bench/folders

if [ ! -x /usr/bin/time ] && [ "$(id -u)" = 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time >/dev/null
fi
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DFMSKINS_BUILD_TESTS=OFF \
  -DFMSKINS_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j "$(nproc)" >/dev/null
tool=$PWD/build-bench/fmskins
folder_tool=$PWD/build-bench/fmskins-folder
make_model=build-bench/bench/make_bench_model

# A folder of COUNT copies of one model of BYTES bytes, in subfolders of 100.
make_folder() {  # name count bytes
  local folder=$work/$1
  [ -d "$folder" ] && return
  mkdir -p "$folder"
  "$make_model" large "$folder/one.model" "$3"
  for ((each = 0; each < $2; ++each)); do
    mkdir -p "$folder/part$((each / 100))"
    cp "$folder/one.model" "$folder/part$((each / 100))/m$each.fm"
  done
  rm "$folder/one.model"
}
make_folder large 150 8388608
make_folder small 3000 20480
make_folder huge 30000 20480
make_folder edit 300 204800
cp -a "$work/edit" "$work/edit-pristine" 2>/dev/null || true

# The median wall time of RUNS runs of a shell command, in seconds; `prepare` runs before each.
median() {  # command [prepare]
  local times=()
  for ((run = 0; run < runs; ++run)); do
    [ -n "${2:-}" ] && eval "$2"
    local start end
    start=$(date +%s.%N)
    eval "$1" >/dev/null
    end=$(date +%s.%N)
    times+=("$(echo "$end - $start" | bc)")
  done
  printf '%s\n' "${times[@]}" | sort -n | sed -n "$(((runs + 1) / 2))p"
}
peak() {  # command: peak memory in MiB
  /usr/bin/time -f %M bash -c "$1 >/dev/null" 2>&1 >/dev/null | tail -1 | awk '{printf "%.1f", $1 / 1024}'
}
ratio() { echo "scale=3; $1 / $2" | bc; }

cat "$work"/large/*/*.fm >/dev/null  # warm
cat_large=$(median "cat $work/large/*/*.fm")
check_large=$(median "$folder_tool check --json $work/large || true")
echo "check, 150 models of 8 MiB: $check_large s; cat: $cat_large s; ratio $(ratio "$check_large" "$cat_large") (at most 0.1)"

loop="find $work/small -iname '*.fm' -print0 | xargs -0 -r -n 1 $tool /L"
loop_small=$(median "$loop")
check_small=$(median "$folder_tool check --json $work/small || true")
echo "check, 3,000 models of 20 KB: $check_small s; one process per model: $loop_small s; $(ratio "$loop_small" "$check_small")x faster (at least 20x)"
echo "peak memory: 3,000 models $(peak "$folder_tool check --json $work/small") MiB; 30,000 models $(peak "$folder_tool check --json $work/huge") MiB (at most 64)"

reset_edit="rm -rf $work/edit $work/undo.json && cp -a $work/edit-pristine $work/edit"
apply=$(median "$folder_tool retarget --apply --journal $work/undo.json skins/ skins2/ $work/edit || true" "$reset_edit")
shell_loop="find $work/edit -name '*.fm' -print0 | xargs -0 -r -I{} $tool {} skins2/bench_a.m8 skins2/bench_b.m8"
shell=$(median "$shell_loop" "$reset_edit")
dd_all="for f in $work/edit/*/*.fm; do dd if=\$f of=\$f.copy bs=1M conv=fsync status=none; done"
dd_time=$(median "$dd_all" "$reset_edit")
eval "$reset_edit"
echo "retarget --apply, 300 models of 200 KB: $apply s; shell loop of fmskins: $shell s; ratio $(ratio "$apply" "$shell") (at most 0.5); dd conv=fsync of the same bytes: $dd_time s, ratio $(ratio "$apply" "$dd_time")"
