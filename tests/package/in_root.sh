#!/usr/bin/env bash
# The Debian package as a user meets it, inside a brand-new Debian 12 root
# (run there by scripts/test-package, the package in /src/in): apt installs it
# with its dependencies, the programs say their version, a user downloads the
# simulated box into their own history, the service's unit is sound, and a
# purge removes every file of the package and the package's configuration but
# leaves the user's history.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
fail() { echo "package test FAILED: $*" >&2; exit 1; }

apt-get update -q >/dev/null
apt-get install -y -q /src/in/dialscope_*.deb
version=$(dpkg-query -W -f='${Version}' dialscope)
for program in dialscope dialscope-cli dialscope-devsim; do
  said=$("$program" --version) || fail "$program --version exited $?"
  [ "$said" = "$program $version" ] || fail "$program --version said \"$said\", not \"$program $version\""
done

# A user's download from the installed simulator on a pty, into the user's own
# default history (~/.local/share/dialscope).
command -v useradd >/dev/null || apt-get install -y -q --no-install-recommends passwd >/dev/null
useradd --create-home caller
runuser -u caller -- bash -euo pipefail -c '
  cd
  dialscope-devsim --records 5 --seed 7 --fast --exit-after-downloads 1 > devsim.out 2>&1 &
  for _ in $(seq 100); do grep -q "^pty " devsim.out && break; sleep 0.1; done
  pty=$(sed -n "s/^pty //p" devsim.out | head -n 1)
  dialscope-cli download --port "$pty" --format json --timeout 30 > downloaded.json
  wait
  dialscope-cli history --format json > kept.json
  [ "$(wc -l < downloaded.json)" = 5 ] && [ "$(wc -l < kept.json)" = 5 ] ||
    { echo "downloaded $(wc -l < downloaded.json) calls, the history keeps $(wc -l < kept.json), not 5" >&2; exit 1; }
' || fail "the user's download from the simulator"
history=/home/caller/.local/share/dialscope/calls.sqlite3
[ -s "$history" ] || fail "no history at $history after the download"

# systemd-analyze checks the installed unit; systemd need not run (nor be a
# dependency of the package).
apt-get install -y -q --no-install-recommends systemd >/dev/null
unit=$(dpkg -L dialscope | grep '/systemd/system/dialscope-watch\.service$')
systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"

# An administrator's settings, then the purge.
grep -qx /etc/dialscope/watch.conf /var/lib/dpkg/info/dialscope.conffiles || fail "watch.conf is not a conffile"
echo 'every_minutes = 10' >> /etc/dialscope/watch.conf
printf 'secret\n' > /etc/dialscope/mqtt-password
mapfile -t files < <(dpkg -L dialscope | while read -r f; do [ -d "$f" ] || echo "$f"; done)
[ "${#files[@]}" -ge 8 ] || fail "dpkg -L lists only ${#files[@]} files"
apt-get purge -y -q dialscope
left=()
for f in "${files[@]}" /etc/dialscope; do [ -e "$f" ] && left+=("$f"); done
[ "${#left[@]}" -eq 0 ] || fail "left after the purge: ${left[*]}"
[ -s "$history" ] || fail "the purge removed the user's history $history"
echo "package test: installed, ran, purged ${#files[@]} files; the user's history is kept"
