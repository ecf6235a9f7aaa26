#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the Debian packages
# (CPack's dependency scan, lintian, the scratch-root install) need.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config ccache clang clang-format libclang-rt-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libpng-dev zlib1g-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev
  qt6-base-dev xvfb xauth fonts-dejavu-core
  libcurl4-openssl-dev libssl-dev libsystemd-dev
  libpq-dev postgresql-15
  python3 python3-aiosmtpd ffmpeg mediainfo inotify-tools
  file lintian iproute2
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
