#!/usr/bin/env bash
# tests/win32/installer.sh SETUP.EXE VERSION PROGRAM...
#
# The installer under Wine, per machine (the default) and per user
# (/CurrentUser), each silently: the programs land in the folder and run, the
# Start-menu entry and Programs and Features' key are there with the version;
# the silent uninstall removes every one of them and leaves the user's call
# history (%LOCALAPPDATA%\Dialscope) alone. WINEPREFIX names the prefix.
set -euo pipefail
setup=$1 version=$2
shift 2
programs=("$@")
run() { "$(dirname "$0")/../../scripts/wine-run" "$@" </dev/null; }
fail() { echo "installer test FAILED ($mode): $*" >&2; exit 1; }
unix() { winepath -u "$1" 2>/dev/null; }
env_dir() { run cmd.exe /c echo "%$1%" | tr -d '\r'; }

uninst='Software\Microsoft\Windows\CurrentVersion\Uninstall\Dialscope'
localappdata=$(env_dir LOCALAPPDATA)
history="$(unix "$localappdata\\Dialscope")/calls.sqlite3"

#     mode        options          folder                                        key   Start menu
table=("machine|/S|$(env_dir ProgramW6432)\\Dialscope|HKLM|$(env_dir ProgramData)\\Microsoft\\Windows\\Start Menu\\Programs"
       "user|/S /CurrentUser|$localappdata\\Programs\\Dialscope|HKCU|$(env_dir APPDATA)\\Microsoft\\Windows\\Start Menu\\Programs")
for row in "${table[@]}"; do
  IFS='|' read -r mode options folder key menu <<<"$row"
  dir=$(unix "$folder")
  lnk="$(unix "$menu")/Dialscope.lnk"
  # The user's history, there before the install as after an earlier one.
  mkdir -p "$(dirname "$history")" && printf 'calls' > "$history"

  # shellcheck disable=SC2086  # the options are words
  run "$setup" $options || fail "setup $options exited $?"
  for p in "${programs[@]}"; do
    [ -f "$dir/$p.exe" ] || fail "$folder\\$p.exe not installed"
    said=$(run "$folder\\$p.exe" --version | tr -d '\r') || fail "$p.exe --version exited $?"
    [ "$said" = "$p $version" ] || fail "$p.exe --version said \"$said\", not \"$p $version\""
  done
  [ -f "$lnk" ] || fail "no Start-menu entry $lnk"
  run reg.exe query "$key\\$uninst" /v DisplayVersion | grep -q "REG_SZ *$version" ||
    fail "$key\\$uninst has no DisplayVersion $version"

  # The uninstaller runs from a copy in %TEMP% and returns at once; the folder
  # is the last thing it removes.
  run "$folder\\uninstall.exe" /S || fail "uninstall.exe /S exited $?"
  for _ in $(seq 600); do [ -e "$dir" ] || break; sleep 0.1; done
  [ ! -e "$dir" ] || fail "left after the uninstall: $(ls -A "$dir")"
  [ ! -e "$lnk" ] || fail "the Start-menu entry is left"
  if run reg.exe query "$key\\$uninst" >/dev/null 2>&1; then fail "$key\\$uninst is left"; fi
  [ "$(cat "$history" 2>/dev/null)" = calls ] || fail "the uninstall touched the user's history $history"
  echo "installer ($mode): installed ${programs[*]} in $folder, ran them, uninstalled; the history is kept"
done
