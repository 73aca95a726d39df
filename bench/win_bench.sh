#!/usr/bin/env bash
# Times skconv.exe against least_replace.exe (the least a durable replace
# does on Windows: read in 1 MiB blocks, write a new file, FlushFileBuffers,
# ReplaceFileW) on the same file of records, alternating under wine64 in one
# Wine prefix of its own, and prints the median of each and their ratio.
# Wine is not Windows: only the ratio says something, and not to the percent.
#
#   bench/win_bench.sh [--build DIR] [--size MiB] [--rounds N] [--dir FOLDER]
#
# DIR is a Windows build (default build/win-x86_64); FOLDER is where the
# file goes (default the build folder: use one on the disk, not a tmpfs).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build/win-x86_64
size=256
rounds=5
dir=
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    --dir) dir=$2; shift 2 ;;
    *) echo "usage: win_bench.sh [--build DIR] [--size MiB] [--rounds N] [--dir FOLDER]" >&2; exit 2 ;;
  esac
done
build=$(cd "$build" && pwd)
[ -n "$dir" ] || dir=$build
for exe in "$build/skconv.exe" "$build/bench/least_replace.exe"; do
  [ -f "$exe" ] || { echo "win_bench: $exe is missing: build $build first" >&2; exit 1; }
done

# Once in a Wine prefix and display of its own.
if [ -z "${SEARCHKEY_WIN_BENCH_INNER:-}" ]; then
  export SEARCHKEY_WIN_BENCH_INNER=1
  exec "$here/../tests/wine/with_wine.sh" --timeout 3600 "$0" --build "$build" --size "$size" \
    --rounds "$rounds" --dir "$dir"
fi

work=$(mktemp -d "$dir/win_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$build/skconv.exe" "$build/bench/least_replace.exe" "$work/"
cd "$work"
# The server stays up between the runs, so that none pays for starting it.
wineserver -p

echo "$(uname -sr), $(nproc) processors, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
echo "generating $size MiB of records in $work"
# The records of convert_bench: some keys present, some empty, some zero; CR LF.
awk -v cb=$((size << 20)) 'BEGIN {
  ORS = ""
  for (n = 1; total < cb; n++) {
    key = n % 3 == 0 ? "" : n % 3 == 1 ? "0" : "4711"
    line = n ",Tokyo Minato-ku Shiba 3-" n % 97 ",customer " (n * 7919) % 100000 "," key "\r\n"
    print line
    total += length(line)
  }
}' | head -c $((size << 20)) >pristine.csv

# Seconds, user and system CPU of one command, on a fresh copy of the input
# with nothing dirty.
step() {
  cp pristine.csv data.csv
  sync
  /usr/bin/time -f "%e %U %S" -o time.txt "$@" >/dev/null 2>err.txt ||
    { echo "win_bench: $* failed:" >&2; cat err.txt >&2; exit 1; }
  rm -f data.csv new.csv
  sync
  cat time.txt
}

median() {
  sort -n | awk '{ a[NR] = $0 } END { print a[int((NR + 1) / 2)] }'
}

# A round before the timed ones warms Wine's files and the memory.
: >least.txt
: >skconv.txt
for round in $(seq 0 "$rounds"); do
  l=$(step wine least_replace.exe data.csv new.csv)
  s=$(step wine skconv.exe data.csv)
  [ "$round" -eq 0 ] && continue
  echo "round $round: least_replace $(echo "$l" | cut -d' ' -f1) s, skconv $(echo "$s" | cut -d' ' -f1) s"
  echo "$l" >>least.txt
  echo "$s" >>skconv.txt
done
ml=$(median <least.txt)
ms=$(median <skconv.txt)
echo
echo "median of $rounds rounds, $size MiB of records, under $(wine --version):"
printf '  %-48s %7s %7s %7s\n' "" time user system
printf '  %-48s %6.2fs %6.2fs %6.2fs\n' "least_replace.exe (read, write, flush, replace)" $ml
printf '  %-48s %6.2fs %6.2fs %6.2fs\n' "skconv.exe" $ms
awk -v l="${ml%% *}" -v s="${ms%% *}" 'BEGIN { printf "  skconv.exe / least_replace.exe: %.2fx\n", s / l }'
echo "load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
