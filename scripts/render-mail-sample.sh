#!/usr/bin/env bash
# Renders a sample batch mail (three clips, one without a thumbnail) of each default template
# to PNG with headless Chromium, to look at the templates as a mail reader shows them. Not run by
# CI. Installs Debian's chromium when it is missing.
#
#   scripts/render-mail-sample.sh [BUILD_DIR] [OUT_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
out=${2:-$build/mail-sample}
if ! command -v chromium >/dev/null; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y chromium
fi
cmake --build "$build" --target lmvmmailsample lmEmailTemplates
mkdir -p "$out"
out=$(realpath "$out")
for template in sample-completed.html sample-failed.html; do
  name=${template%.html}
  rm -rf "$out/$name"
  subject=$("$build/stage/lmvmmailsample" "$build/stage" "$template" "$out/$name")
  echo "$template: subject \"$subject\""
  chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=760,1500 \
    --screenshot="$out/$name.png" "file://$out/$name/mail.html" 2>/dev/null
  echo "  $out/$name.png"
done
