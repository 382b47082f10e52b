#!/usr/bin/env bash
# Builds a fuzzer with clang in its own build directory and runs it: the DSDIFF
# and DSF readers (KIND dsdiff, the default), the ID3v2 tag reading (KIND id3),
# cue sheets (KIND cue), the DST frame decoder (KIND dst) or the SACD image
# reader (KIND sacd).
# Usage: run_fuzzer.sh SOURCE_DIR WORK_DIR SECONDS PYTHON [KIND]
# Exits 77 (skipped) when clang++-14 is not installed.
set -euo pipefail
source_dir=$1 work_dir=$2 seconds=$3 python=$4 kind=${5:-dsdiff}
if ! command -v clang++-14 >/dev/null; then
  echo "clang++-14 is not installed: the fuzzer cannot be built; skipped"
  exit 77
fi
cmake -S "$source_dir" -B "$work_dir/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DFUZZ=ON >/dev/null
rm -rf "$work_dir/corpus" "$work_dir/seeds" && mkdir -p "$work_dir/corpus" "$work_dir/seeds"
if [ "$kind" = dst ]; then
  # The DST seeds are frames of the test encoder's, written by a program.
  cmake --build "$work_dir/build" --target dst_fuzzer dst_seeds -j 2 >/dev/null
  "$work_dir/build/tests/fuzz/dst_seeds" "$work_dir/seeds"
elif [ "$kind" = sacd ]; then
  # The SACD seeds are images that dff-sacd writes, from sector 510 on.
  cmake --build "$work_dir/build" --target sacd_fuzzer dff-tone dff-dst dff-sacd -j 2 >/dev/null
  "$python" "$source_dir/tests/fuzz/make_seeds.py" "$work_dir/seeds" sacd "$work_dir/build/tests/fuzz"
else
  cmake --build "$work_dir/build" --target "${kind}_fuzzer" -j 2 >/dev/null
  "$python" "$source_dir/tests/fuzz/make_seeds.py" "$work_dir/seeds" "$kind"
fi
cd "$work_dir"
"$work_dir/build/tests/fuzz/${kind}_fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
  -timeout=10 -rss_limit_mb=1024 corpus seeds 2>&1 | tail -n 25
