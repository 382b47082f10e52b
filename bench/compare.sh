#!/usr/bin/env bash
# Times dff2wav against FFmpeg's DSD decoder on ten minutes of DSD64 stereo,
# in alternating runs in one working directory, and prints the median of the
# per-round ratios and dff2wav's peak memory.
#
# Usage: bench/compare.sh [-r ROUNDS] [-d WORK_DIR] [-m MINUTES]
# Environment: DFF2WAV (default build/dff2wav), FFMPEG (default ffmpeg).
set -euo pipefail

rounds=5
minutes=10
work_dir=
while getopts "r:d:m:" option; do
  case $option in
    r) rounds=$OPTARG ;;
    d) work_dir=$OPTARG ;;
    m) minutes=$OPTARG ;;
    *) sed -n '2,9p' "$0"; exit 2 ;;
  esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
dff2wav=$(realpath "${DFF2WAV:-$root/build/dff2wav}")
ffmpeg=${FFMPEG:-ffmpeg}
[ -x "$dff2wav" ] || { echo "no dff2wav at $dff2wav: run make first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (Debian package: time)" >&2; exit 1; }
work_dir=${work_dir:-$root/build/compare}
mkdir -p "$work_dir"
cd "$work_dir"

# A valid container around random sound, written by tests/dsd_files.py:
# "FVER", "PROP" (2822400 Hz, 2 channels, uncompressed), then the head of the
# "DSD " chunk; the sound itself is appended from /dev/urandom.
sound_bytes=$((minutes * 60 * 2822400 * 2 / 8))
if [ ! -f input.dff ] || [ "$(stat -c %s input.dff)" -lt "$sound_bytes" ]; then
  echo "writing a $minutes-minute input ($sound_bytes bytes of sound)"
  python3 - "$root/tests" "$sound_bytes" <<'PY'
import struct, sys
sys.path.insert(0, sys.argv[1])
from dsd_files import chunk, container, fver, prop
sound = int(sys.argv[2])
head = container([fver(), prop(), chunk(b"DSD ", b"", size=sound)])
# The container's size also counts the sound appended after this head.
with open("input.dff", "wb") as f:
    f.write(head[:4] + struct.pack(">Q", len(head) - 12 + sound) + head[12:])
PY
  head -c "$sound_bytes" /dev/urandom >> input.dff
fi

# Seconds and peak KiB of one command, on two lines.
measure() {
  /usr/bin/time -f "%e %M" -o time.txt "$@" > /dev/null 2> run.err || { cat run.err >&2; return 1; }
  cat time.txt
}

have_ffmpeg=1
if ! command -v "$ffmpeg" > /dev/null; then
  have_ffmpeg=0
  echo "ffmpeg is not installed: timing dff2wav alone, no ratio"
fi

ratios=()
for round in $(seq 1 "$rounds"); do
  # dff2wav exits 0 on random sound in a valid container.
  read -r ours ours_kib < <(measure "$dff2wav" input.dff ours.wav)
  line="round $round: dff2wav ${ours} s, ${ours_kib} KiB"
  if [ $have_ffmpeg = 1 ]; then
    read -r theirs _ < <(measure "$ffmpeg" -v error -y -i input.dff -ar 88200 -c:a pcm_s24le theirs.wav)
    ratio=$(python3 -c "print('%.2f' % ($theirs / $ours))")
    ratios+=("$ratio")
    line="$line; ffmpeg ${theirs} s; ratio $ratio"
  fi
  echo "$line"
  peak_kib=$ours_kib
done

echo "dff2wav peak memory: $((peak_kib / 1024)) MiB ($peak_kib KiB)"
if [ $have_ffmpeg = 1 ]; then
  median=$(printf '%s\n' "${ratios[@]}" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }')
  echo "median ratio (ffmpeg time / dff2wav time) over $rounds rounds: $median"
fi
