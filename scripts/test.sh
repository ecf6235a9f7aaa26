#!/usr/bin/env bash
# Installs what the build needs, builds everything and runs the whole test suite.
# Usage: scripts/test.sh [build-folder] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
# Paths relative to the checkout, so that a fresh clone elsewhere reuses the compiler cache.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
build_dir=${1:-build}
shift || true

scripts/setup.sh
cmake -S . -B "$build_dir" -G Ninja -DLMV_WERROR=ON "$@" >/dev/null
cmake --build "$build_dir"
ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
