#!/usr/bin/env bash
# Installs what is needed, builds searchkey and starts it.
# On Debian: the 64-bit build of the same sources under Wine (this kind of
# machine cannot run 32-bit Wine), with code page 932 and a prefix of its own
# that is kept between runs. On Windows (Git Bash, MSYS2, with CMake and
# MinGW-w64 on the PATH): a native build.
# The program starts in the folder this script was started from.
set -euo pipefail
here=$PWD
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc 2>/dev/null || echo 2)

case "$(uname -s)" in
  MINGW* | MSYS* | CYGWIN*)
    cmake -S . -B build/windows -DSEARCHKEY_TESTS=OFF >/dev/null
    cmake --build build/windows -j "$jobs" --target searchkey
    cd "$here"
    exec "$root/build/windows/searchkey.exe"
    ;;
esac

bash scripts/setup.sh
cmake -S . -B build/win-x86_64 --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake >/dev/null
cmake --build build/win-x86_64 -j "$jobs" --target searchkey

export WINEPREFIX=${SEARCHKEY_WINEPREFIX:-$HOME/.local/share/searchkey/wineprefix}
export LC_ALL=ja_JP.UTF-8           # ANSI code page 932
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer dialogs

run=(wine "$root/build/win-x86_64/searchkey.exe")
if [ -z "${DISPLAY:-}" ]; then
  echo "start: no display (\$DISPLAY is empty), so the window cannot be shown here."
  echo "start: running it under a virtual X server (xvfb-run) instead; end it with Ctrl+C."
  echo "start: to see the window, run this script from a desktop session or with ssh -X."
  run=(xvfb-run -a "${run[@]}")
fi

[ -f "$WINEPREFIX/system.reg" ] || echo "start: Wine makes its prefix $WINEPREFIX first; that takes a minute, once"
mkdir -p "$WINEPREFIX"
cd "$here"
echo "start: searchkey.exe under Wine, prefix $WINEPREFIX"
exec "${run[@]}"
