#!/usr/bin/env bash
# Sets up and runs every test: the native unit and file tests under
# AddressSanitizer and UBSan, then the Windows builds and their tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/setup.sh

echo "== native build, sanitizers on"
cmake -S . -B build/native -DSEARCHKEY_SANITIZE=ON -DSEARCHKEY_BENCH=ON >/dev/null
cmake --build build/native -j "$jobs"
ctest --test-dir build/native --output-on-failure -j "$jobs"

for arch in i686 x86_64; do
  echo "== Windows build, $arch"
  cmake -S . -B "build/win-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$arch.cmake" >/dev/null
  cmake --build "build/win-$arch" -j "$jobs"
done

echo "== Windows tests under Wine (x86_64 build of the same sources)"
tests/wine/with_wine.sh --timeout 1200 ctest --test-dir build/win-x86_64 --output-on-failure

echo "== all tests passed"
