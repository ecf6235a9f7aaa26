#!/usr/bin/env bash
# The scratch-root part of tests/package/test_packages.sh, run by it in a private mount and network
# namespace: /etc, /opt, /usr and /var become overlays whose writes go to SCRATCH, systemd is
# hidden so that the maintainer scripts take the path of a machine without it, and the
# loopback interface of the new network namespace is brought up for the server.
# Usage: test_packages_inside.sh SCRATCH SERVER-DEB UPGRADE-DEB [MANAGER-DEB]
set -euo pipefail
scratch=$1 server_deb=$2 upgrade_deb=$3 manager_deb=${4:-}

fail() {
  echo "FAILED: $*" >&2
  for log in /var/log/lmvidmill/*.log; do
    [ -e "$log" ] && tail -n 30 "$log" >&2
  done
  exit 1
}

for dir in etc opt usr var; do
  mkdir -p "$scratch/upper/$dir" "$scratch/work/$dir"
  mount -t overlay overlay \
    -o "lowerdir=/$dir,upperdir=$scratch/upper/$dir,workdir=$scratch/work/$dir" "/$dir"
done
mount -t tmpfs tmpfs /run/systemd 2>/dev/null || mount -t tmpfs tmpfs /run
ip link set lo up
export DEBIAN_FRONTEND=noninteractive

ctl() { lmVidmillCtl --secret-file /etc/lmvidmill/control-secret "$@"; }
fingerprint() { sha256sum /etc/lmvidmill/config.dat /etc/lmvidmill/control-secret; }

echo "install"
dpkg -i "$server_deb" >"$scratch/dpkg.txt" 2>&1 || { cat "$scratch/dpkg.txt"; fail "dpkg -i"; }
getent passwd lmvidmill >/dev/null || fail "no system user lmvidmill"
[ "$(stat -c %U:%a /etc/lmvidmill/config.dat)" = lmvidmill:600 ] ||
  fail "config.dat is $(stat -c %U:%a /etc/lmvidmill/config.dat), not lmvidmill:600"
[ "$(stat -c %U:%G:%a /etc/lmvidmill/control-secret)" = root:lmvidmill:640 ] ||
  fail "the secret file is $(stat -c %U:%G:%a /etc/lmvidmill/control-secret)"
secret=$(cat /etc/lmvidmill/control-secret)
[ ${#secret} -ge 16 ] || fail "the control secret is too short: '$secret'"
grep -q "$secret" /etc/lmvidmill/config.dat || fail "config.dat does not hold the secret"
for folder in /var/lib/lmvidmill /var/log/lmvidmill; do
  [ "$(stat -c %U "$folder")" = lmvidmill ] || fail "$folder does not belong to lmvidmill"
done
for program in lmVidmill lmVidmillCtl lmReelbankReceiver lvftool lmvctool; do
  [ -x "/usr/bin/$program" ] || fail "/usr/bin/$program is missing"
  ls /usr/share/man/man?/"$program".?.gz >/dev/null 2>&1 || fail "no manual page for $program"
done

# The unit as systemd reads it: its keys, its programs and its documentation exist.
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /lib/systemd/system/lmvidmill.service ||
    fail "systemd-analyze verify lmvidmill.service"
else
  echo "(systemd-analyze is not installed: the unit is not verified)"
fi

echo "version"
version=$(lmVidmill --version)
expected=$(dpkg-deb -f "$server_deb" Version | awk -F. '{print "Lumenar Vidmill v" $1 "." $2 " build " $4}')
[ "$version" = "$expected" ] || fail "lmVidmill --version says '$version', not '$expected'"

echo "configuration load and one clip, run as the unit runs it"
exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/lmvidmill.service)
facility="$scratch/facility"
install -d -o lmvidmill -g lmvidmill "$facility" "$facility/watch" "$facility/out"
# The installation tree stays as the package left it: the server writes only its own folders.
before=$(find /opt/lmvidmill | sort)
# shellcheck disable=SC2086 # ExecStart's words are the command and its arguments
(umask 0027 && exec setpriv --reuid=lmvidmill --regid=lmvidmill --init-groups -- $exec_start) \
  >"$scratch/server.txt" 2>&1 &
server=$!
for _ in $(seq 60); do
  grep -qs "Starting Vidmill using TCP port 9797: Success." /var/log/lmvidmill/*.log && break
  kill -0 "$server" 2>/dev/null || fail "the server ended: $(cat "$scratch/server.txt")"
  sleep 1
done
grep -qs "Starting Vidmill using TCP port 9797: Success." /var/log/lmvidmill/*.log ||
  fail "the server does not listen on its configured port"
ctl status >/dev/null || fail "lmVidmillCtl status with the secret"
json() { python3 -c "import json,sys; print(json.load(sys.stdin)[sys.argv[1]]['uid'])" "$1"; }
ctl --json target add name=Out type=0 "folder=$facility/out/" >/dev/null
processor=$(ctl --json processor add name=Convert targets=Out | json processor)
ctl source add name=Drop "wfolder=$facility/watch/" "extfilter=*.mp4" usetmr=1 tmrint=1 \
  usech=1 chtime=1 "procuid=$processor" >/dev/null
grep -q "$facility/watch/" /etc/lmvidmill/config.dat || fail "the new source was not saved"
ffmpeg -loglevel error -f lavfi -i testsrc2=size=320x180:rate=25 -f lavfi \
  -i sine=frequency=440:sample_rate=48000 -t 2 -c:v libx264 -pix_fmt yuv420p -c:a aac \
  "$scratch/clip.mp4"
chown lmvidmill: "$scratch/clip.mp4"
mv "$scratch/clip.mp4" "$facility/watch/"
for _ in $(seq 120); do
  [ -e "$facility/watch/Completed/clip.mp4" ] && break
  ls "$facility/watch/Failed/"* >/dev/null 2>&1 && fail "the clip failed: $(ctl tasks)"
  sleep 1
done
[ -e "$facility/out/clip.avi" ] || fail "no clip.avi: $(ctl tasks)"
lmvctool verify "$facility/out/clip.avi" >/dev/null || fail "clip.avi does not verify"
kill -TERM "$server"
wait "$server" || fail "the server did not stop cleanly: $(cat "$scratch/server.txt")"
[ "$(find /opt/lmvidmill | sort)" = "$before" ] || fail "the server wrote into /opt/lmvidmill"

echo "upgrade"
kept=$(fingerprint)
logs=$(ls /var/log/lmvidmill)
dpkg -i "$upgrade_deb" >"$scratch/dpkg.txt" 2>&1 || { cat "$scratch/dpkg.txt"; fail "upgrade"; }
[ "$(fingerprint)" = "$kept" ] || fail "the upgrade changed configuration or secret"
[ "$(ls /var/log/lmvidmill)" = "$logs" ] || fail "the upgrade changed the logs"

echo "remove"
dpkg -r lmvidmill >"$scratch/dpkg.txt" 2>&1 || { cat "$scratch/dpkg.txt"; fail "dpkg -r"; }
[ ! -e /opt/lmvidmill/lmVidmill ] && [ ! -e /usr/bin/lmVidmill ] || fail "removal left the server"
[ "$(fingerprint)" = "$kept" ] || fail "removal changed configuration or secret"

echo "purge"
dpkg -P lmvidmill >"$scratch/dpkg.txt" 2>&1 || { cat "$scratch/dpkg.txt"; fail "dpkg -P"; }
for left in /etc/lmvidmill /var/lib/lmvidmill /var/log/lmvidmill /opt/lmvidmill; do
  [ ! -e "$left" ] || fail "purging left $left"
done

if [ -n "$manager_deb" ]; then
  echo "manager"
  dpkg -i "$manager_deb" >"$scratch/dpkg.txt" 2>&1 || { cat "$scratch/dpkg.txt"; fail "manager"; }
  [ -x /usr/bin/lmVidmillManager ] || fail "/usr/bin/lmVidmillManager is missing"
  [ -e /usr/share/applications/lmvidmill-manager.desktop ] || fail "no desktop entry"
  if ldd /opt/lmvidmill/lmVidmillManager | grep "not found"; then
    fail "the manager lacks libraries"
  fi
  dpkg -P lmvidmill-manager >/dev/null
fi
