#!/usr/bin/env bash
# Sets up and runs every test: the native unit and file tests under
# AddressSanitizer and UBSan, then the Windows builds and their tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

# part NAME [HEADING]: ends a part and starts the next; the time each took
# is printed at the end.
part_times=()
part_name=setup
part_start=$SECONDS
part() {
  part_times+=("$part_name $((SECONDS - part_start)) s")
  part_name=$1
  part_start=$SECONDS
  [ -z "${2:-}" ] || echo "== $2"
}

bash scripts/setup.sh

part native "native build, sanitizers on"
cmake -S . -B build/native -DSEARCHKEY_SANITIZE=ON -DSEARCHKEY_BENCH=ON >/dev/null
cmake --build build/native -j "$jobs"
ctest --test-dir build/native --output-on-failure -j "$jobs"
grep -h -E '^(fault injection:|an uninterrupted pass|[0-9]+ kills landed)' \
  build/native/Testing/Temporary/LastTest.log || true

part fuzz "fuzzing the pass for 50 s (clang, libFuzzer, AddressSanitizer + UBSan)"
CXX=clang++ cmake -S . -B build/fuzz -DSEARCHKEY_FUZZ=ON -DSEARCHKEY_SANITIZE=ON -DSEARCHKEY_TESTS=OFF >/dev/null
cmake --build build/fuzz -j "$jobs"
corpus=$(mktemp -d)
cp tests/fuzz/corpus/* "$corpus"
if ! build/fuzz/tests/fuzz/pass_fuzzer -max_total_time=50 -max_len=8192 -print_final_stats=1 \
    -artifact_prefix=build/fuzz/ "$corpus" >build/fuzz/fuzz.log 2>&1; then
  tail -40 build/fuzz/fuzz.log
  echo "the fuzzer found a failure; its input is in build/fuzz/"
  exit 1
fi
grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' build/fuzz/fuzz.log
rm -rf "$corpus"

# The i686 build is the product: Release, as it goes into the ZIP (and as
# the 32-bit tests below run it); x86_64 keeps debug information for tests.
for arch in i686 x86_64; do
  part "build-$arch" "Windows build, $arch"
  build_type=RelWithDebInfo
  [ "$arch" = i686 ] && build_type=Release
  cmake -S . -B "build/win-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-mingw-$arch.cmake" \
    -DCMAKE_BUILD_TYPE="$build_type" >/dev/null
  cmake --build "build/win-$arch" -j "$jobs"
done

part wine "Windows tests under Wine (x86_64 build of the same sources)"
tests/wine/with_wine.sh --timeout 1200 ctest --test-dir build/win-x86_64 --output-on-failure
grep -h -E '^fault injection:' build/win-x86_64/Testing/Temporary/LastTest.log || true

part volumes "both builds on real volumes: FAT32, exFAT, NTFS, XFS, Btrfs (tests/volumes)"
bash tests/volumes/run.sh build/native/skconv build/win-x86_64/skconv.exe | tee build/volumes.log
volumes_note=$(sed -n 's/^volumes mounted: //p' build/volumes.log)

part zip "the download from the Release build: the ZIP's files and names, both 32-bit programs as files (subsystem, imports, debug sections, version, manifest)"
rm -f build/win-i686/searchkey-*-win32.zip
cmake --build build/win-i686 --target package
bash tests/e2e/check_exe.sh build/win-i686/searchkey-*-win32.zip

part e2e "end-to-end tests of the window under Wine (x86_64 build)"
bash tests/e2e/run.sh build/win-x86_64

part run32 "the 32-bit build run for real: wine32 with qemu-i386 in a Debian root (tests/run32)"
# Its output is also kept, for the line that ends the run: 77 from any step
# means this machine cannot run the 32-bit build (a SKIPPED line says why and
# what to do); any other failure, a root the mirror would not let be built
# included, fails the run.
run32_log=build/run32.log
: >"$run32_log"
run32() {
  "$@" 2>&1 | tee -a "$run32_log"
  return "${PIPESTATUS[0]}"
}
run32_status=0
{
  run32 bash tests/run32/run32.sh --prepare &&
    run32_ready=$((SECONDS - part_start)) &&
    # The unit, fault-injection and console-tool tests (skconv.exe over its table).
    run32 bash tests/run32/run32.sh --timeout 1200 ctest --test-dir build/win-i686 --output-on-failure &&
    { grep -h -E '^fault injection:' build/win-i686/Testing/Temporary/LastTest.log || true; } &&
    run32 bash tests/e2e/run.sh --run32 build/win-i686
} || run32_status=$?
case $run32_status in
  0) run32_note="32-bit tests passed in $((SECONDS - part_start)) s (root ready after $run32_ready s)" ;;
  77) run32_note="32-bit tests SKIPPED: $(sed -n 's/^run32: SKIPPED: //p' "$run32_log" | tail -1)" ;;
  *)
    cause=$(sed -n 's/^run32: FAILED: //p' "$run32_log" | tail -1)
    echo "== 32-bit tests FAILED: ${cause:-see the lines above}"
    exit 1
    ;;
esac
part end
printf -v times '%s, ' "${part_times[@]}"
echo "== times: ${times%, }"
echo "== all tests passed; volumes mounted: $volumes_note; $run32_note"
