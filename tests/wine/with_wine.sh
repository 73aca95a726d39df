#!/usr/bin/env bash
# Runs one command inside a Wine environment of its own: a new prefix and a
# new Xvfb display, code page 932 (LC_ALL=ja_JP.UTF-8), removed afterwards.
# Only the processes started here are ended.
#
#   with_wine.sh [--timeout SECONDS] COMMAND [ARG...]
#
# The command sees WINEPREFIX, DISPLAY and LC_ALL, and runs Windows programs
# with "wine PROGRAM.exe". Exit code: the command's, or 124 on timeout.
set -u
limit=600
if [ "${1:-}" = "--timeout" ]; then limit=$2; shift 2; fi

root=$(mktemp -d "${TMPDIR:-/tmp}/searchkey-wine.XXXXXX")
export WINEPREFIX=$root/prefix
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer dialogs
export LC_ALL=ja_JP.UTF-8
xvfb_pid=

cleanup() {
  timeout 20 wineserver -k >/dev/null 2>&1
  timeout 20 wineserver -w >/dev/null 2>&1
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Xvfb picks a free display itself and writes its number to the pipe.
exec 3<> <(:)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset >"$root/xvfb.log" 2>&1 &
xvfb_pid=$!
display=
read -r -t 20 display <&3 || true
exec 3<&-
if [ -z "$display" ]; then
  echo "with_wine: Xvfb did not start" >&2
  cat "$root/xvfb.log" >&2
  exit 1
fi
export DISPLAY=:$display

if ! timeout 180 wineboot --init >"$root/wineboot.log" 2>&1 || ! timeout 180 wineserver -w; then
  echo "with_wine: wineboot did not finish" >&2
  cat "$root/wineboot.log" >&2
  exit 1
fi
# Caption bars are drawn only inside a virtual desktop when no window manager runs.
timeout 60 wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
timeout 60 wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
timeout 60 wineserver -w
# One server for the whole command: a server that quits when each program
# ends can be caught quitting by the next program, which then fails to start
# (now and then, when the machine is busy). Its services start here, away
# from the command's output, which they would otherwise hold open.
wineserver -p
timeout 60 wine cmd.exe /c exit </dev/null >/dev/null 2>&1

timeout --kill-after=10 "$limit" "$@"
