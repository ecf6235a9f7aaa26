#!/usr/bin/env bash
# Builds the Debian packages lmvidmill and (when the Qt manager is built) lmvidmill-manager into
# build/pkg/, from a release build in build-pkg/. Their version is the project's version with its
# build number (-DLMV_BUILD_NUMBER=N); their dependencies come from dpkg-shlibdeps.
# Usage: scripts/package.sh [extra cmake arguments...]
#   (CI passes -DLMV_WERROR=ON, so that the objects of its release build come from the cache)
set -euo pipefail
cd "$(dirname "$0")/.."
# Paths relative to the checkout, so that a fresh clone elsewhere reuses the compiler cache.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
build_dir=build-pkg
out_dir=build/pkg

scripts/setup.sh
cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLMV_TESTS=OFF \
  -DLMV_BENCHMARKS=OFF -DLMV_PACKAGE=ON "$@" >/dev/null
cmake --build "$build_dir"

rm -rf "$out_dir"
mkdir -p "$out_dir"
(cd "$build_dir" && cpack -G DEB -B "$PWD/../$out_dir" >/dev/null)
# CPack leaves its staging folder beside the packages.
rm -rf "$out_dir/_CPack_Packages"
ls "$out_dir"/*.deb
