#!/usr/bin/env bash
# End to end on both builds: the simulated device on a pseudo-terminal, the
# Windows program under Wine finding it through the registry as COM23, and
# the Linux program finding the same device through a fake sysfs tree. Each
# program's test build saves its finished download (DIALSCOPE_TEST_SAVE_TO) and quits; the
# two files must be byte for byte the same, and what the device's log says
# they should hold. Both keep the calls in a call history as well (Windows: in
# its default place under %LOCALAPPDATA%); the Linux dialscope-cli lists the
# two histories, and they must hold the same calls.
#
# The device's log (data/flow_bytes.log, made by make_flow_byte_log.cpp) puts
# 0x11 and 0x13 in labels, dates, times, texts and the checksum bytes of every
# kind of frame: a line left with software flow control loses them, and a
# 0x13 stops the program's polls. E2E_LOG=FILE takes another log; E2E_LOG=
# (empty) a generated one of E2E_RECORDS records.
#
# usage: e2e_download.sh <linux build dir> <windows build dir>
set -euo pipefail
lin=$(cd "$1" && pwd)
win=$(cd "$2" && pwd)
log=${E2E_LOG-$(cd "$(dirname "$0")" && pwd)/data/flow_bytes.log}
records=${E2E_RECORDS:-40}
seed=${E2E_SEED:-11}
# No noise by default: stray bytes between frames may be what is left of a
# frame that lost bytes, so they mark the calls after them, and the files
# are compared with the device's log byte for byte (noise has tests of its own).
noise=${E2E_NOISE:-0}
com=com23

export WINEPREFIX="$win/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
for f in "$lin/dialscope-devsim" "$lin/dialscope-test-entry" "$lin/dialscope-cli" "$win/dialscope-test-entry.exe" "$win/tiocm_preload.so"; do
  [ -e "$f" ] || { echo "missing $f: build both programs first"; exit 1; }
done
[ -f "$WINEPREFIX/system.reg" ] || "$(dirname "$0")/../../scripts/wine-run" cmd /c exit 0

work=$(mktemp -d "$win/e2e.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  if [ -n "${server_up:-}" ]; then
    wine reg delete 'HKLM\SYSTEM\CurrentControlSet\Enum\USB\Vid_067b&Pid_2303' /f >/dev/null 2>&1 || true
    wine reg delete 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\DialscopeE2E' /f >/dev/null 2>&1 || true
  fi
  rm -f "$WINEPREFIX/dosdevices/$com"
  [ -n "${E2E_KEEP:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT

# The simulator names its pseudo-terminal in a line "pty <path>".
wait_for_pty() {
  local log=$1 line
  for _ in $(seq 100); do
    line=$(grep -m1 '^pty ' "$log" 2>/dev/null || true)
    if [ -n "$line" ]; then echo "${line#pty }"; return 0; fi
    sleep 0.1
  done
  echo "the simulator made no pseudo-terminal" >&2
  cat "$log" >&2
  return 1
}

if [ -n "$log" ]; then
  sim_args=(--log "$log")
else
  sim_args=(--records "$records")
fi
sim_args+=(--seed "$seed" --noise "$noise" --exit-after-downloads 1 ${E2E_SIM_ARGS:-})

# ---- Windows, under Wine
"$lin/dialscope-devsim" "${sim_args[@]}" --expect "$work/expected.txt" > "$work/sim-win.log" 2>&1 &
pids+=($!)
pty=$(wait_for_pty "$work/sim-win.log")
ln -sfn "$pty" "$WINEPREFIX/dosdevices/$com"

# Wine rebuilds SERIALCOMM whenever its server starts, so one server stays up
# from the import to the end of the run (a server already running, as in the
# Windows test run, serves as well).
wineserver -p10 </dev/null >/dev/null 2>&1 || true
server_up=1
cat > "$work/adapter.reg" <<REG
REGEDIT4

[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\USB\\Vid_067b&Pid_2303\\E2E0001\\Device Parameters]
"PortName"="COM23"

[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]
"\\\\Device\\\\DialscopeE2E"="COM23"
REG
wine reg import "$(winepath -w "$work/adapter.reg")" >/dev/null 2>&1

status=0
win_history="$WINEPREFIX/drive_c/users/${USER:-$(id -un)}/AppData/Local/Dialscope/calls.sqlite3"
rm -f "$win_history"*
DIALSCOPE_TEST_SAVE_TO="$(winepath -w "$work/win.txt")" \
  timeout 120 xvfb-run -a env LD_PRELOAD="$win/tiocm_preload.so" wine "$win/dialscope-test-entry.exe" \
  > "$work/win-run.log" 2>&1 || status=$?
if [ "$status" -ne 0 ] || [ ! -s "$work/win.txt" ]; then
  echo "FAIL: the Windows program ended with $status and saved $(stat -c %s "$work/win.txt" 2>/dev/null || echo no) bytes"
  echo "--- simulator"; cat "$work/sim-win.log"; echo "--- program"; tail -20 "$work/win-run.log"
  ls -la "$work"
  exit 1
fi

# ---- Linux, the same device behind a fake sysfs tree
"$lin/dialscope-devsim" "${sim_args[@]}" --sysfs-root "$work/sys" --dev-root "$work/dev" \
  > "$work/sim-lin.log" 2>&1 &
pids+=($!)
wait_for_pty "$work/sim-lin.log" >/dev/null
status=0
QT_QPA_PLATFORM=offscreen DIALSCOPE_SYSFS_ROOT="$work/sys" DIALSCOPE_DEV_ROOT="$work/dev" \
  DIALSCOPE_TEST_SAVE_TO="$work/lin.txt" timeout 120 "$lin/dialscope-test-entry" --history "$work/lin.sqlite3" \
  > "$work/lin-run.log" 2>&1 || status=$?
if [ "$status" -ne 0 ] || [ ! -s "$work/lin.txt" ]; then
  echo "FAIL: the Linux program ended with $status"
  cat "$work/sim-lin.log" "$work/lin-run.log"
  exit 1
fi

# ---- the files: the same bytes, and the device's log with each LF written as CR LF
perl -pe 's/\n/\r\n/' "$work/expected.txt" > "$work/expected-file.txt"
fail=0
cmp "$work/lin.txt" "$work/win.txt" || { echo "FAIL: the two programs saved different files"; fail=1; }
cmp "$work/expected-file.txt" "$work/win.txt" || { echo "FAIL: the saved file is not the device's log"; fail=1; }
# ---- the histories: the same calls (all but the time each was received)
if [ ! -s "$win_history" ]; then
  echo "FAIL: the Windows program kept no history at $win_history"; ls -laR "$(dirname "$win_history")" || true; fail=1
else
  for side in win lin; do
    file="$work/lin.sqlite3"; [ "$side" = win ] && file="$win_history"
    "$lin/dialscope-cli" --history "$file" history --damaged --format json > "$work/$side-history.json"
    sed -i 's/"received":"[^"]*",//' "$work/$side-history.json"
  done
  [ -s "$work/lin-history.json" ] || { echo "FAIL: the Linux history is empty"; fail=1; }
  cmp "$work/lin-history.json" "$work/win-history.json" ||
    { echo "FAIL: the two histories hold different calls"; diff "$work/lin-history.json" "$work/win-history.json" | head || true; fail=1; }
  echo "both histories: $(wc -l < "$work/win-history.json") calls"
fi
echo "${log:-$records generated records}: saved $(stat -c %s "$work/win.txt") bytes on both builds"
exit $fail
