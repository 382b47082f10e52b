#!/usr/bin/env bash
# Times two shell commands in alternating rounds (A B, B A, A B, ...) and
# prints each one's median wall time and the median of the per-round ratios
# B / A: how many times faster A is than B, measured side by side, so that a
# machine whose speed drifts moves both alike.
#
# Usage: bench/pair.sh [-r ROUNDS] [-s 'SETUP'] 'COMMAND A' 'COMMAND B'
#   -r  rounds (default 7)
#   -s  a command run before each timed command (removing its outputs, say)
set -euo pipefail

rounds=7
setup=true
while getopts "r:s:" option; do
  case $option in
    r) rounds=$OPTARG ;;
    s) setup=$OPTARG ;;
    *) sed -n '2,10p' "$0"; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -eq 2 ] || { sed -n '2,10p' "$0"; exit 2; }
[ -x /usr/bin/time ] || { echo "/usr/bin/time is needed (Debian package: time)" >&2; exit 1; }

# Wall seconds of one command.
wall() {
  sh -c "$setup" > /dev/null 2>&1
  /usr/bin/time -f "%e" -o pair-time.txt sh -c "$1" > /dev/null 2>&1 || true
  cat pair-time.txt
}

median() {
  sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

a_times=() b_times=() ratios=()
for round in $(seq 1 "$rounds"); do
  if [ $((round % 2)) -eq 1 ]; then
    a=$(wall "$1"); b=$(wall "$2")
  else
    b=$(wall "$2"); a=$(wall "$1")
  fi
  a_times+=("$a") b_times+=("$b")
  ratios+=("$(awk -v a="$a" -v b="$b" 'BEGIN { printf "%.3f", b / a }')")
  echo "round $round: A ${a} s, B ${b} s, B/A ${ratios[-1]}"
done
rm -f pair-time.txt
echo "A median: $(printf '%s\n' "${a_times[@]}" | median) s"
echo "B median: $(printf '%s\n' "${b_times[@]}" | median) s"
echo "median ratio B/A over $rounds rounds: $(printf '%s\n' "${ratios[@]}" | median)"
