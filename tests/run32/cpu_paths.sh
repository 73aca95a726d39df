#!/usr/bin/env bash
# The 32-bit programs on two emulated processors, a Pentium III (no SSE2)
# and a Core Duo (SSE2), told to qemu-i386 through QEMU_CPU: cpu_probe.exe
# must see each (else the setting did not reach the emulator and nothing
# here would mean anything), skconv.exe must give the same bytes on both,
# converting a file and as a filter, and the unit tests must pass on the
# one without SSE2, where the rewriter's SSE2 cases are skipped. qemu runs
# an SSE2 instruction whatever processor it emulates: that the portable
# path holds none is shown by sse2_confined.sh. Runs only under
# tests/run32/run32.sh.
#
#   cpu_paths.sh WINE CPU_PROBE.EXE SKCONV.EXE UNIT_TESTS.EXE
set -u
[ -n "${SEARCHKEY_RUN32:-}" ] || {
  echo "SKIPPED: QEMU_CPU means something only where qemu-i386 runs the 32-bit programs: under tests/run32/run32.sh"
  exit 77
}
wine=$1 probe=$2 skconv=$3 unit_tests=$4
work=$(mktemp -d "${TMPDIR:-/tmp}/cpu_paths.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

# Records whose keys and line ends (CR LF or a bare line feed) are drawn at
# random, in several reads of the pass; lines longer than a read, with and
# without commas; a lone CR, NUL, code page 932 bytes, empty lines; byte 26
# and text after it, which must not come through.
{
  awk 'BEGIN {
    x = 12345
    split("|0|abc|-|4711|12,|00|+0| 7", key, "|")
    for (i = 1; i <= 60000; i++) {
      x = (x * 16807) % 2147483647
      printf "%d,name %d,%s%s", x % 100000, i, key[1 + x % 9], (int(x / 9) % 3 ? "\r\n" : "\n")
    }
  }'
  printf '%0300000d,0\r\n' 0
  printf '%0300000d\n' 5 | tr 0 x
  printf 'a\rb,1\r\n\r\n\n\x95\x5c,0\r\na\0,0\n0\0\r\n'
  printf 'end,\x1a' && printf 'after,0\n'
} >"$work/input.csv"

run() {  # CPU COMMAND...: the command with qemu emulating CPU
  QEMU_CPU=$1 timeout 600 "${@:2}"
}

for cpu in pentium3 coreduo; do
  case $cpu in
    pentium3) want="sse2 no, lines portable" ;;
    coreduo) want="sse2 yes, lines sse2" ;;
  esac
  got=$(run "$cpu" "$wine" "$probe" | tr -d '\r')
  [ "$got" = "$want" ] || fail "QEMU_CPU=$cpu: cpu_probe.exe says [$got], not [$want]"
  mkdir "$work/$cpu"
  cp "$work/input.csv" "$work/$cpu/data.csv"
  (cd "$work/$cpu" && run "$cpu" "$wine" "$skconv" data.csv >report.txt 2>&1) ||
    fail "QEMU_CPU=$cpu: skconv.exe data.csv failed: $(cat "$work/$cpu/report.txt")"
  run "$cpu" "$wine" "$skconv" - <"$work/input.csv" >"$work/$cpu/filtered.csv" ||
    fail "QEMU_CPU=$cpu: skconv.exe - failed"
done
for f in data.csv report.txt filtered.csv; do
  cmp "$work/pentium3/$f" "$work/coreduo/$f" || fail "$f differs between the two processors"
done
cmp "$work/pentium3/data.csv" "$work/pentium3/filtered.csv" || fail "the filter and the conversion differ"
# The conversion went through the input up to byte 26, and no further.
[ "$(wc -l <"$work/pentium3/data.csv")" -gt 60000 ] || fail "data.csv has too few lines"
LC_ALL=C grep -qa 'after,0' "$work/pentium3/data.csv" && fail "text after byte 26 came through"

tests=$(run pentium3 "$wine" "$unit_tests" 2>&1)
rc=$?
[ $rc -eq 0 ] || fail "QEMU_CPU=pentium3: unit_tests.exe failed ($rc): $(grep -a FAILED <<<"$tests")"
passed=$(grep -ac '^\[       OK \] .*/Portable ' <<<"$tests")
skipped=$(grep -ac '^\[  SKIPPED \] .*/Sse2 ' <<<"$tests")
if [ "$passed" -eq 0 ] || [ "$skipped" -eq 0 ]; then
  fail "QEMU_CPU=pentium3: unit_tests.exe passed $passed portable cases and skipped $skipped SSE2 cases"
fi

[ "$failed" -eq 0 ] && echo "PASS: cpu_probe.exe saw each processor; skconv.exe gave the same $(wc -c <"$work/pentium3/data.csv") bytes on both ($(tr -d "\r" <"$work/pentium3/report.txt" | iconv -f CP932 -t UTF-8)); without SSE2 the unit tests passed, $passed portable cases among them, and skipped the $skipped SSE2 cases"
exit "$failed"
