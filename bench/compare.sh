#!/usr/bin/env bash
# Times dff2wav against FFmpeg's DSD decoder on ten minutes (or -m MINUTES)
# of DSD64 (stereo, or -c CHANNELS), in alternating runs in one working
# directory, and prints the median of the per-round ratios, dff2wav's median
# time, CPU seconds and peak memory, and what the filter kernel alone costs
# for the same frames.
#
# Usage: bench/compare.sh [-r ROUNDS] [-d WORK_DIR] [-m MINUTES] [-c CHANNELS]
#                         [-t dff|dsf|dst] [-o wav|flac] [-a 'DFF2WAV OPTIONS']
#                         [-f 'FFMPEG OUTPUT OPTIONS']
#   -t  the input's container (default dff): dff or dsf of random sound, or
#       dst: a DSDIFF file of a sweep (and a sine on the second channel)
#       that build/dff-tone writes and build/dff-dst compresses
#   -o  the output both write (default wav)
#   -a  options for dff2wav (default none)
#   -f  what ffmpeg is asked to write (default for WAV '-ar 88200 -c:a
#       pcm_s24le', the same rate and depth as dff2wav's; for FLAC '-c:a flac')
# Environment: DFF2WAV (default build/dff2wav), FFMPEG (default ffmpeg).
set -euo pipefail

rounds=5
minutes=10
channels=2
container=dff
output=wav
dff2wav_options=
ffmpeg_output=
work_dir=
while getopts "r:d:m:c:t:o:a:f:" option; do
  case $option in
    r) rounds=$OPTARG ;;
    d) work_dir=$OPTARG ;;
    m) minutes=$OPTARG ;;
    c) channels=$OPTARG ;;
    t) container=$OPTARG ;;
    o) output=$OPTARG ;;
    a) dff2wav_options=$OPTARG ;;
    f) ffmpeg_output=$OPTARG ;;
    *) sed -n '2,20p' "$0"; exit 2 ;;
  esac
done
if [ -z "$ffmpeg_output" ]; then
  if [ "$output" = flac ]; then ffmpeg_output="-c:a flac"; else ffmpeg_output="-ar 88200 -c:a pcm_s24le"; fi
fi

root=$(cd "$(dirname "$0")/.." && pwd)
dff2wav=$(realpath "${DFF2WAV:-$root/build/dff2wav}")
ffmpeg=${FFMPEG:-ffmpeg}
[ -x "$dff2wav" ] || { echo "no dff2wav at $dff2wav: run make first" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (Debian package: time)" >&2; exit 1; }
work_dir=${work_dir:-$root/build/compare}
mkdir -p "$work_dir"
cd "$work_dir"

# A valid container around random sound, written by tests/dsd_files.py: for
# DSDIFF "FVER", "PROP" (2822400 Hz, the channels, uncompressed), then the
# head of the "DSD " chunk; for DSF its head, for whole blocks of 4096 bytes.
# The sound itself is appended from /dev/urandom.
sound_bytes=$((minutes * 60 * 2822400 / 8 / 4096 * 4096 * channels))
input=input-${minutes}min-${channels}ch.$container
if [ "$container" = dst ] && [ ! -f "$input" ]; then
  # Random sound does not compress: DST needs sound that a modulator made.
  echo "writing a $minutes-minute DST input of $channels channels (takes a while)"
  signals=(--channel 1:sweep:20:20000:-6)
  [ "$channels" -ge 2 ] && signals+=(--channel 2:sine:1000:-10)
  "$root/build/dff-tone" --duration $((minutes * 60)) --channels "$channels" "${signals[@]}" plain.dff
  "$root/build/dff-dst" plain.dff "$input"
  rm plain.dff
elif [ ! -f "$input" ]; then
  echo "writing a $minutes-minute input of $channels channels ($sound_bytes bytes of sound)"
  /usr/bin/python3 - "$root/tests" "$sound_bytes" "$channels" "$container" "$input" <<'PY'
import struct, sys
sys.path.insert(0, sys.argv[1])
from dsd_files import chunk, container, dsf, fver, prop
sound, channels = int(sys.argv[2]), int(sys.argv[3])
if sys.argv[4] == "dsf":
    # The head of a file of `sound` bytes: its sizes count the blocks to come.
    empty = dsf(b"", channels=channels)
    samples = sound // channels * 8
    head = (empty[:12] + struct.pack("<Q", len(empty) + sound) + empty[20:64] +
            struct.pack("<Q", samples) + empty[72:84] + struct.pack("<Q", 12 + sound))
else:
    head = container([fver(), prop(channels=channels), chunk(b"DSD ", b"", size=sound)])
    # The container's size also counts the sound appended after this head.
    head = head[:4] + struct.pack(">Q", len(head) - 12 + sound) + head[12:]
with open(sys.argv[5], "wb") as f:
    f.write(head)
PY
  head -c "$sound_bytes" /dev/urandom >> "$input"
fi

# Wall seconds, peak KiB and CPU seconds (user + system) of one command.
measure() {
  /usr/bin/time -f "%e %M %U %S" -o time.txt "$@" > /dev/null 2> run.err || { cat run.err >&2; return 1; }
  awk '{ printf "%s %s %.2f\n", $1, $2, $3 + $4 }' time.txt
}

median() {
  sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

have_ffmpeg=1
if ! command -v "$ffmpeg" > /dev/null; then
  have_ffmpeg=0
  echo "ffmpeg is not installed: timing dff2wav alone, no ratio"
fi

ratios=() walls=() cpus=()
for round in $(seq 1 "$rounds"); do
  # dff2wav exits 0 on random sound in a valid container.
  # shellcheck disable=SC2086  # the options are words
  read -r ours ours_kib ours_cpu < <(measure "$dff2wav" $dff2wav_options "$input" "ours.$output")
  walls+=("$ours") cpus+=("$ours_cpu")
  line="round $round: dff2wav ${ours} s (${ours_cpu} CPU-s), ${ours_kib} KiB"
  if [ $have_ffmpeg = 1 ]; then
    # shellcheck disable=SC2086  # the output options are words
    read -r theirs _ _ < <(measure "$ffmpeg" -v error -y -i "$input" $ffmpeg_output "theirs.$output")
    ratio=$(awk -v a="$theirs" -v b="$ours" 'BEGIN { printf "%.2f", a / b }')
    ratios+=("$ratio")
    line="$line; ffmpeg ${theirs} s; ratio $ratio"
  fi
  echo "$line"
  peak_kib=$ours_kib
done

wall=$(printf '%s\n' "${walls[@]}" | median)
cpu=$(printf '%s\n' "${cpus[@]}" | median)
echo "dff2wav peak memory: $((peak_kib / 1024)) MiB ($peak_kib KiB)"
echo "dff2wav median: $wall s, $(awk -v w="$wall" -v m="$minutes" 'BEGIN { printf "%.3f", w / m }') s per minute of sound, $cpu CPU-s"
if [ $have_ffmpeg = 1 ]; then
  echo "median ratio (ffmpeg time / dff2wav time) over $rounds rounds: $(printf '%s\n' "${ratios[@]}" | median)"
fi

# What the filter kernel alone costs for the same frames, one thread: the
# rest of the run's CPU seconds are reading, splitting and writing.
filter_bench=$root/build/bench/filter_bench
if [ -x "$filter_bench" ]; then
  rate=$("$filter_bench" --benchmark_filter='^DecimateChannels$' --benchmark_repetitions=3 \
           --benchmark_report_aggregates_only=true --benchmark_format=csv 2> /dev/null |
         awk -F, '/DecimateChannels_median/ { print $(NF - 3) }')
  samples=$((minutes * 60 * 88200 * channels))
  echo "kernel alone for the same $samples samples: $(awk -v f="$samples" -v r="$rate" 'BEGIN { printf "%.2f", f / r }') CPU-s ($rate samples per second)"
fi
