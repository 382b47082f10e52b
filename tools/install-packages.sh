#!/usr/bin/env bash
# Installs the Debian packages that building dff2wav and running its tests
# need, those this machine lacks, and says which; through sudo when not run
# as root. make (make, make demo, make test) and .ci/run run it first, so a
# fresh Debian machine needs nothing typed before them.
set -euo pipefail

packages=(
  # the build, and the libraries the converter is made with
  cmake g++ make pkg-config libflac-dev libid3tag0-dev libsoxr-dev libebur128-dev libcue-dev
  # the tests: GoogleTest and Google Benchmark, the Python checks, the
  # independent decoders and tools they compare with, and the fuzzers
  libgtest-dev libbenchmark-dev zlib1g-dev python3 python3-numpy python3-scipy ffmpeg flac
  parallel strace clang-14 libclang-rt-14-dev
)

command -v dpkg-query > /dev/null || { echo "not a Debian system: install ${packages[*]} yourself"; exit 0; }
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2> /dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing what this machine lacks: ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo > /dev/null || { echo "run as root, or install sudo: the packages above are needed" >&2; exit 1; }
  sudo=(sudo)
fi
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
