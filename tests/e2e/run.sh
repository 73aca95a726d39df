#!/usr/bin/env bash
# Runs the end-to-end driver against searchkey.exe of a Windows build, under
# Wine in a prefix and display of its own, and turns the screenshot of the
# main window into BUILD/screenshots/main.png.
#
#   tests/e2e/run.sh [--run32] [BUILD_DIR]     (default: build/win-x86_64)
#
# --run32: under 32-bit Wine in the emulated root of tests/run32/run32.sh.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
wine_env=$here/../wine/with_wine.sh
if [ "${1:-}" = "--run32" ]; then wine_env=$here/../run32/run32.sh; shift; fi
build=$(cd "${1:-$here/../../build/win-x86_64}" && pwd)
exe=$build/searchkey.exe
driver=$build/tests/e2e/e2e_driver.exe
shots=$build/screenshots
for f in "$exe" "$driver"; do
  [ -f "$f" ] || { echo "run.sh: $f is missing: build $build first" >&2; exit 1; }
done
mkdir -p "$shots"
rm -f "$shots/main.bmp" "$shots/main.png"

# Inside the Wine environment: paths as Windows sees them.
# shellcheck disable=SC2016
"$wine_env" --timeout 400 bash -c \
  'wine "$1" "$(winepath -w "$2")" "$(winepath -w "$3")"' _ "$driver" "$exe" "$shots/main.bmp"

if [ -f "$shots/main.bmp" ]; then
  convert "$shots/main.bmp" "$shots/main.png" && rm -f "$shots/main.bmp"
  echo "screenshot of the main window: $shots/main.png"
fi
