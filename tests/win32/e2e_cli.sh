#!/usr/bin/env bash
# dialscope-cli.exe under Wine beside the Linux dialscope-cli, on the same
# simulated device (the flow-control log: Latin-1 texts, CR LF, NUL, 0x11 and
# 0x13 in every field):
#   - `download --format csv` into a new history writes the same CSV on both
#     (all but the time each call was received) and the same "History:" line;
#   - the history the Linux program wrote is listed by the Windows program as
#     the same bytes, in every format, with and without a --search term typed
#     in UTF-8 (café);
#   - each program's own history lists the same calls, and the same contact
#     set on each (a name in UTF-8) is listed alike;
#   - a history named in UTF-8 beyond the code page (win-ω.sqlite3) is made
#     and read under that name;
#   - watch says in words that Windows has none (exit 2); serve is tested
#     by serve_page_test.py.
#
# usage: e2e_cli.sh <linux build dir> <windows build dir>
set -euo pipefail
lin=$(cd "$1" && pwd)
win=$(cd "$2" && pwd)
log=$(cd "$(dirname "$0")" && pwd)/data/flow_bytes.log
com=com24

export WINEPREFIX="$win/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
for f in "$lin/dialscope-devsim" "$lin/dialscope-cli" "$win/dialscope-cli.exe" "$win/tiocm_preload.so"; do
  [ -e "$f" ] || { echo "missing $f: build both programs first"; exit 1; }
done
[ -f "$WINEPREFIX/system.reg" ] || "$(dirname "$0")/../../scripts/wine-run" cmd /c exit 0

work=$(mktemp -d "$win/e2e-cli.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -f "$WINEPREFIX/dosdevices/$com"
  [ -n "${E2E_KEEP:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT

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
# The command line in UTF-8, as a user's console gives it.
wincli() { LC_ALL=C.UTF-8 timeout 120 wine "$win/dialscope-cli.exe" "$@"; }
lincli() { timeout 120 "$lin/dialscope-cli" "$@"; }
winpath() { LC_ALL=C.UTF-8 winepath -w "$1"; }
no_times() { sed -E 's/[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:.]+Z//g' "$1"; }
no_received() { sed -E -e 's/^([^,]*,[^,]*,)[0-9T:.Z-]+,/\1/' -e 's/"received":"[^"]*",//' "$1"; }

fail=0
sim_args=(--log "$log" --seed 11 --noise 0 --exit-after-downloads 1)

# ---- the download, on each system
"$lin/dialscope-devsim" "${sim_args[@]}" > "$work/sim-win.log" 2>&1 &
pids+=($!)
ln -sfn "$(wait_for_pty "$work/sim-win.log")" "$WINEPREFIX/dosdevices/$com"
status=0
LD_PRELOAD="$win/tiocm_preload.so" wincli --history "$(winpath "$work/win-ω.sqlite3")" download --port COM24 --format csv \
  > "$work/win-download.csv" 2> "$work/win-download.err" || status=$?
[ "$status" -eq 0 ] || { echo "FAIL: the Windows download ended with $status"; cat "$work/win-download.err"; fail=1; }
[ -s "$work/win-ω.sqlite3" ] || { echo "FAIL: no history made as win-ω.sqlite3:"; ls "$work"; fail=1; }

"$lin/dialscope-devsim" "${sim_args[@]}" > "$work/sim-lin.log" 2>&1 &
pids+=($!)
pty=$(wait_for_pty "$work/sim-lin.log")
lincli --history "$work/lin.sqlite3" download --port "$pty" --format csv \
  > "$work/lin-download.csv" 2> "$work/lin-download.err" || { echo "FAIL: the Linux download"; cat "$work/lin-download.err"; exit 1; }

[ "$(wc -l < "$work/lin-download.csv")" -gt 5 ] || { echo "FAIL: the Linux download wrote too little"; exit 1; }
cmp <(no_received "$work/lin-download.csv") <(no_received "$work/win-download.csv") ||
  { echo "FAIL: download --format csv differs"; diff <(no_received "$work/lin-download.csv") <(no_received "$work/win-download.csv") | head || true; fail=1; }
grep '^dialscope-cli: History:' "$work/lin-download.err" > "$work/lin-history-line"
grep '^dialscope-cli: History:' "$work/win-download.err" > "$work/win-history-line" || true
cmp "$work/lin-history-line" "$work/win-history-line" ||
  { echo "FAIL: the History line differs"; cat "$work/lin-history-line" "$work/win-history-line"; fail=1; }

# ---- a contact named on each (the listings then carry it), set in UTF-8
lincli --history "$work/lin.sqlite3" contacts set "0171 1913" "Zoë Café" > /dev/null 2>&1
wincli --history "$(winpath "$work/win-ω.sqlite3")" contacts set "0171 1913" "Zoë Café" > "$work/win-contact.out" 2>&1 ||
  { echo "FAIL: contacts set on Windows"; cat "$work/win-contact.out"; fail=1; }

# ---- the histories listed
listed=0
for format in text csv json; do
  lincli --history "$work/lin.sqlite3" contacts list --format "$format" > "$work/lin-contacts-$format" 2>&1
  wincli --history "$(winpath "$work/lin.sqlite3")" contacts list --format "$format" > "$work/win-of-lin-contacts-$format" 2>&1 || true
  wincli --history "$(winpath "$work/win-ω.sqlite3")" contacts list --format "$format" > "$work/win-contacts-$format" 2>&1 || true
  grep -q "Zoë Café" "$work/lin-contacts-$format" || { echo "FAIL: no contact listed ($format)"; fail=1; }
  cmp "$work/lin-contacts-$format" "$work/win-of-lin-contacts-$format" ||
    { echo "FAIL: the Linux contacts listed differently on Windows ($format)"; fail=1; }
  cmp <(no_times "$work/lin-contacts-$format") <(no_times "$work/win-contacts-$format") ||
    { echo "FAIL: the contact set on Windows differs ($format)"; fail=1; }
  listed=$((listed + 1))
done
for format in text csv json; do
  for search in "" "café"; do
    args=(history --damaged --format "$format")
    [ -n "$search" ] && args+=(--search "$search")
    name="$format${search:+-search}"
    lincli --history "$work/lin.sqlite3" "${args[@]}" > "$work/lin-$name" 2>&1
    wincli --history "$(winpath "$work/lin.sqlite3")" "${args[@]}" > "$work/win-of-lin-$name" 2>&1 ||
      { echo "FAIL: the Windows program cannot list the Linux history ($name)"; head -3 "$work/win-of-lin-$name"; fail=1; }
    cmp "$work/lin-$name" "$work/win-of-lin-$name" ||
      { echo "FAIL: the Linux history listed differently on Windows ($name)"; fail=1; }
    wincli --history "$(winpath "$work/win-ω.sqlite3")" "${args[@]}" > "$work/win-$name" 2>&1 || true
    if [ "$format" != text ]; then
      cmp <(no_received "$work/lin-$name") <(no_received "$work/win-$name") ||
        { echo "FAIL: the two histories hold different calls ($name)"; fail=1; }
    fi
    [ -s "$work/lin-$name" ] || { echo "FAIL: nothing listed ($name)"; fail=1; }
    listed=$((listed + 1))
  done
done
# The search found some calls, not all.
all=$(wc -l < "$work/lin-json") found=$(wc -l < "$work/lin-json-search")
[ "$found" -gt 0 ] && [ "$found" -lt "$all" ] || { echo "FAIL: --search café found $found of $all"; fail=1; }

# ---- what Windows has not
status=0
wincli watch > "$work/watch.out" 2>&1 || status=$?
grep -q "watch is not available on Windows" "$work/watch.out" && [ "$status" -eq 2 ] ||
  { echo "FAIL: watch on Windows ended with $status:"; cat "$work/watch.out"; fail=1; }

echo "download: $(($(wc -l < "$work/lin-download.csv") - 1)) calls; $listed listings compared; search found $found of $all"
exit $fail
