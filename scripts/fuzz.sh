#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for the given number of seconds
# from its seed corpus; an input that takes longer than 10 seconds counts as a failure (a loop
# without progress). Usage: scripts/fuzz.sh [build-folder] [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
# Paths relative to the checkout, so that a fresh clone elsewhere reuses the compiler cache.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
build_dir=${1:-build-fuzz}
seconds=${2:-60}

scripts/setup.sh
CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DLMV_FUZZERS=ON -DLMV_WERROR=ON -DLMV_TESTS=OFF \
  -DLMV_BENCHMARKS=OFF >/dev/null
for dir in tests/fuzz/*/; do
  name=$(basename "$dir")
  cmake --build "$build_dir" --target "$name"
  corpus=$(mktemp -d)
  cp "$dir"/seeds/* "$corpus"/
  "$build_dir/fuzz/$name" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 "$corpus"
  rm -rf "$corpus"
done
