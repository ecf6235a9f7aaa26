#!/usr/bin/env bash
# Checks the Debian packages that scripts/package.sh wrote:
#  - lintian finds no errors;
#  - installed with dpkg into a scratch root, the maintainer scripts create the system user, the
#    folders and a first configuration with a control secret; the installed server prints its
#    version, loads that configuration and, run as the unit runs it, converts one clip; an upgrade
#    keeps configuration, secret and logs; removal keeps them and purging removes them;
#  - where systemd runs, "systemctl start lmvidmill" and "lmVidmillCtl status" in a container
#    booted from the same scratch root; elsewhere that step is skipped with a message.
# The scratch root is the machine's own tree seen through overlays in a private mount and network
# namespace: every write lands in a temporary folder, which is removed at the end, and the real
# root is never touched.
# Usage: tests/package/test_packages.sh [package-folder]   (default: build/pkg)
set -euo pipefail

cd "$(dirname "$0")/../.."
pkg_dir=$(realpath "${1:-build/pkg}")
server_deb=$(ls "$pkg_dir"/lmvidmill_*.deb)
manager_deb=$(ls "$pkg_dir"/lmvidmill-manager_*.deb 2>/dev/null || true)

echo "-- contents"
# Each program lives in one package: the server's leaves the desktop manager to its own. (The
# listings are read whole: grep -q would end the pipe early and fail dpkg-deb.)
server_files=$(dpkg-deb -c "$server_deb")
if grep -q 'lmVidmillManager$' <<<"$server_files"; then
  echo "the server package carries the manager" >&2
  exit 1
fi
if [ -n "$manager_deb" ] && ! grep -q '/opt/lmvidmill/lmVidmillManager$' <<<"$(dpkg-deb -c "$manager_deb")"; then
  echo "the manager package lacks the manager" >&2
  exit 1
fi

echo "-- lintian"
# Errors fail the check; warnings are shown, and overridden in the package only with a reason.
lintian --fail-on error --no-tag-display-limit $server_deb $manager_deb

scratch=$(mktemp -d /tmp/lmv-pkgtest.XXXXXX)
# The system user the package creates works below it.
chmod 0755 "$scratch"
trap 'rm -rf "$scratch"' EXIT
# A second package one build later, made from the first, for the upgrade.
upgrade_deb="$scratch/lmvidmill-upgrade.deb"
dpkg-deb -R "$server_deb" "$scratch/repack"
version=$(dpkg-deb -f "$server_deb" Version)
sed -i "s/^Version: .*/Version: $version+1/" "$scratch/repack/DEBIAN/control"
dpkg-deb -b --root-owner-group "$scratch/repack" "$upgrade_deb" >/dev/null
rm -rf "$scratch/repack"

echo "-- install, run, upgrade, remove and purge in a scratch root"
unshare --mount --net --propagation private \
  "$PWD/tests/package/test_packages_inside.sh" "$scratch" "$server_deb" "$upgrade_deb" \
  "$manager_deb"

echo "-- systemd"
if [ ! -d /run/systemd/system ]; then
  echo "skipped: systemd does not run on this machine (no /run/systemd/system)"
else
  "$PWD/tests/package/test_packages_systemd.sh" "$scratch" "$server_deb"
fi
echo "package checks passed"
