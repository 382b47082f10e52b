#!/usr/bin/env bash
# Times a library run: FILES one-minute DSF files of random stereo DSD64
# (default 40) converted to FLAC by one `dff2wav -j JOBS` command, against
# the same files converted one after another by dff2wav, and by FFmpeg, in
# alternating rounds; then a re-run with nothing left to do. Prints each
# median and the medians of the per-round ratios.
#
# Usage: bench/library.sh [-n FILES] [-j JOBS] [-r ROUNDS] [-d WORK_DIR]
# Environment: DFF2WAV (default build/dff2wav), FFMPEG (default ffmpeg).
set -euo pipefail

files=40 jobs=2 rounds=3 work_dir=
while getopts "n:j:r:d:" option; do
  case $option in
    n) files=$OPTARG ;;
    j) jobs=$OPTARG ;;
    r) rounds=$OPTARG ;;
    d) work_dir=$OPTARG ;;
    *) sed -n '2,10p' "$0"; exit 2 ;;
  esac
done
root=$(cd "$(dirname "$0")/.." && pwd)
dff2wav=$(realpath "${DFF2WAV:-$root/build/dff2wav}")
ffmpeg=${FFMPEG:-ffmpeg}
work_dir=${work_dir:-$root/build/library-bench}
mkdir -p "$work_dir/lib"
cd "$work_dir"

# One minute of random stereo DSD64 in DSF, written by tests/dsd_files.py.
sound_bytes=$((60 * 2822400 / 8 / 4096 * 4096 * 2))
for i in $(seq -w 1 "$files"); do
  [ -f "lib/track$i.dsf" ] && continue
  /usr/bin/python3 - "$root/tests" "$sound_bytes" "lib/track$i.dsf" <<'PY'
import struct, sys
sys.path.insert(0, sys.argv[1])
from dsd_files import dsf
sound = int(sys.argv[2])
empty = dsf(b"")
head = (empty[:12] + struct.pack("<Q", len(empty) + sound) + empty[20:64] +
        struct.pack("<Q", sound // 2 * 8) + empty[72:84] + struct.pack("<Q", 12 + sound))
with open(sys.argv[3], "wb") as f:
    f.write(head)
PY
  head -c "$sound_bytes" /dev/urandom >> "lib/track$i.dsf"
done

seconds() { /usr/bin/time -f "%e" -o time.txt "$@" > /dev/null 2>&1 || true; cat time.txt; }
median() {
  sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
loop_dff2wav() { for f in lib/*.dsf; do "$dff2wav" "$f" "loop/$(basename "${f%.dsf}").flac"; done; }
loop_ffmpeg() { for f in lib/*.dsf; do "$ffmpeg" -v error -y -i "$f" -c:a flac "ff/$(basename "${f%.dsf}").flac"; done; }
export -f loop_dff2wav loop_ffmpeg
export dff2wav ffmpeg

ones=() loops=() ffs=() loop_ratios=() ff_ratios=()
for round in $(seq 1 "$rounds"); do
  rm -rf out loop ff && mkdir loop ff
  one=$(seconds "$dff2wav" -j "$jobs" -f flac lib out)
  loop=$(seconds bash -c loop_dff2wav)
  ff=$(seconds bash -c loop_ffmpeg)
  ones+=("$one") loops+=("$loop") ffs+=("$ff")
  loop_ratios+=("$(awk -v a="$one" -v b="$loop" 'BEGIN { printf "%.2f", b / a }')")
  ff_ratios+=("$(awk -v a="$one" -v b="$ff" 'BEGIN { printf "%.2f", b / a }')")
  echo "round $round: dff2wav -j $jobs ${one} s; dff2wav one by one ${loop} s; ffmpeg one by one ${ff} s"
done
rerun=$(seconds "$dff2wav" -j "$jobs" -f flac lib out)
echo "dff2wav -j $jobs median: $(printf '%s\n' "${ones[@]}" | median) s"
echo "one by one: dff2wav $(printf '%s\n' "${loops[@]}" | median) s, ffmpeg $(printf '%s\n' "${ffs[@]}" | median) s"
echo "median ratio (one by one / -j $jobs): dff2wav $(printf '%s\n' "${loop_ratios[@]}" | median), ffmpeg $(printf '%s\n' "${ff_ratios[@]}" | median)"
echo "a re-run with nothing to do: $rerun s"
rm -f time.txt
