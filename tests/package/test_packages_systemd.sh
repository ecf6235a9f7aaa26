#!/usr/bin/env bash
# The systemd part of tests/package/test_packages.sh, for a machine where systemd runs: a
# container booted with systemd-nspawn from the machine's own tree seen through an overlay (its
# writes go to SCRATCH) installs the package, starts the service with "systemctl start lmvidmill"
# and asks the running server for its status with lmVidmillCtl. A machine that cannot boot such a
# container skips the step with a message; a service that does not start fails it.
# Usage: test_packages_systemd.sh SCRATCH SERVER-DEB
set -euo pipefail
scratch=$1 server_deb=$2

if ! command -v systemd-nspawn >/dev/null || ! command -v machinectl >/dev/null; then
  echo "skipped: systemd-nspawn is not installed (Debian package systemd-container)"
  exit 0
fi
root="$scratch/container"
mkdir -p "$root" "$scratch/cupper" "$scratch/cwork"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/cupper,workdir=$scratch/cwork" "$root"
machine="lmvpkgtest$$"
cp "$server_deb" "$root/tmp/lmvidmill.deb"
systemd-nspawn --quiet --directory="$root" --machine="$machine" --boot \
  >"$scratch/container.txt" 2>&1 &
container=$!
cleanup() {
  machinectl poweroff "$machine" >/dev/null 2>&1 || kill "$container" 2>/dev/null || true
  wait "$container" 2>/dev/null || true
  umount "$root" || true
}
trap cleanup EXIT

run() { systemd-run --quiet --wait --pipe --machine="$machine" "$@"; }
booted=false
for _ in $(seq 120); do
  if run /bin/true 2>/dev/null; then
    booted=true
    break
  fi
  kill -0 "$container" 2>/dev/null || break
  sleep 1
done
if ! $booted; then
  echo "skipped: no container boots here: $(tail -n 5 "$scratch/container.txt")"
  exit 0
fi

run /usr/bin/env DEBIAN_FRONTEND=noninteractive dpkg -i /tmp/lmvidmill.deb
run /bin/systemctl start lmvidmill
run /bin/systemctl is-active lmvidmill
# The server tells systemd it is ready only once its control port listens.
run /usr/bin/lmVidmillCtl --secret-file /etc/lmvidmill/control-secret status
echo "systemd: the service started and answered lmVidmillCtl status"
