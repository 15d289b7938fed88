#!/usr/bin/env bash
# The cable between two COM ports of the Wine prefix, for the serial tests:
#   pty_pair.sh start <dir> <COM-A> <COM-B>
#   pty_pair.sh stop  <dir> <COM-A> <COM-B>
# start runs socat with two linked pseudo-terminals, <dir>/a (at a new tty's
# settings) and <dir>/b (raw), and maps them into $WINEPREFIX/dosdevices as
# the two COM names; stop undoes it.
# WINEPREFIX must be set (the build's own prefix; never $HOME/.wine). The
# prefix is made first when it does not exist yet: Wine creates the c: and z:
# drives only in a dosdevices folder of its own making.
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"

usage() { echo "usage: $0 start|stop <dir> <COM-A> <COM-B>" >&2; exit 2; }
[ $# -eq 4 ] || usage
action=$1 dir=$2 name_a=$3 name_b=$4
com_a=${name_a,,} com_b=${name_b,,}
: "${WINEPREFIX:?WINEPREFIX must name the test prefix}"
dosdevices="$WINEPREFIX/dosdevices"
pidfile="$dir/socat.pid"

# The socat this script started, if it still runs.
socat_pid() {
  [ -f "$pidfile" ] || return 1
  local pid
  pid=$(cat "$pidfile")
  [ -n "$pid" ] && [ -r "/proc/$pid/cmdline" ] || return 1
  tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q "^socat .*link=$dir/a" || return 1
  echo "$pid"
}

exited() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) || return 0
  [ -z "$state" ] || [ "$state" = Z ] || [ "$state" = X ]
}

# Removes a COM mapping only when it is one of ours.
unmap() {
  local link="$dosdevices/$1"
  if [ -L "$link" ] && [[ "$(readlink "$link")" == "$dir/"* ]]; then rm -f "$link"; fi
}

stop() {
  unmap "$com_a"
  unmap "$com_b"
  local pid
  if pid=$(socat_pid); then
    kill "$pid" 2>/dev/null || true
    # Gone once it has exited; whoever adopted it reaps it in its own time.
    for _ in $(seq 100); do
      exited "$pid" && break
      sleep 0.05
    done
    exited "$pid" || kill -9 "$pid" 2>/dev/null || true
  fi
  rm -rf "$dir"
}

start() {
  command -v socat >/dev/null || { echo "socat is not installed" >&2; exit 1; }
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$here/scripts/wine-run" cmd.exe /c exit 0 >/dev/null 2>&1
  fi
  [ -d "$dosdevices" ] || { echo "no dosdevices in $WINEPREFIX" >&2; exit 1; }
  stop  # whatever an interrupted run left behind
  mkdir -p "$dir"
  # socat must not hold ctest's output pipe, or ctest waits for it to end.
  # The first end is the program's port: left as a new tty starts (ixon,
  # icrnl, icanon, echo, opost onlcr), as a freshly plugged adapter is, and
  # never set by socat, since a pty has one set of settings for both its
  # sides. The second end is the device's, set raw here.
  setsid socat -d -d \
    "pty,link=$dir/a" "pty,raw,echo=0,link=$dir/b" \
    </dev/null >"$dir/socat.log" 2>&1 &
  echo $! >"$pidfile"
  for _ in $(seq 100); do
    [ -e "$dir/a" ] && [ -e "$dir/b" ] && break
    sleep 0.05
  done
  if ! [ -e "$dir/a" ] || ! [ -e "$dir/b" ]; then
    echo "socat made no pty pair:" >&2
    cat "$dir/socat.log" >&2 || true
    stop
    exit 1
  fi
  ln -sfn "$dir/a" "$dosdevices/$com_a"
  ln -sfn "$dir/b" "$dosdevices/$com_b"
  echo "$name_a -> $(readlink "$dir/a"), $name_b -> $(readlink "$dir/b")"
}

case "$action" in
  start) start ;;
  stop) stop ;;
  *) usage ;;
esac
