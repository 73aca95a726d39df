#!/usr/bin/env bash
# Times skconv.exe against least_replace.exe (the least a durable replace
# does on Windows: read in 1 MiB blocks, write a new file, FlushFileBuffers,
# ReplaceFileW) under wine64, in one Wine prefix of its own, measured in
# pairs: in every round both run back to back on identical fresh copies, each
# written to the disk first and given a short settle, the rounds alternate
# which goes first, and the ratio is taken per round. It prints the ratios,
# their median and spread, for the records of convert_bench (CR LF), for
# short line-feed records in code page 932 with most lines numbered and for
# records as a spreadsheet saves them, keys at random (CR LF). Wine is not
# Windows: only the ratios say something, and not to the percent.
#
#   bench/win_bench.sh [--build DIR] [--size MiB] [--rounds N] [--dir FOLDER]
#                      [--settle SECONDS] [--shapes records,short-lf,sheet]
#
# DIR is a Windows build (default build/win-x86_64); FOLDER is where the
# files go (default the build folder: use one on the disk, not a tmpfs).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$here/../build/win-x86_64
size=256
rounds=6
dir=
settle=2
shapes=records,short-lf,sheet
usage="usage: win_bench.sh [--build DIR] [--size MiB] [--rounds N] [--dir FOLDER] [--settle SECONDS] [--shapes records,short-lf,sheet]"
while [ $# -gt 0 ]; do
  [ $# -ge 2 ] || { echo "$usage" >&2; exit 2; }
  case $1 in
    --build) build=$2 ;;
    --size) size=$2 ;;
    --rounds) rounds=$2 ;;
    --dir) dir=$2 ;;
    --settle) settle=$2 ;;
    --shapes) shapes=$2 ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
  shift 2
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
    --rounds "$rounds" --dir "$dir" --settle "$settle" --shapes "$shapes"
fi

work=$(mktemp -d "$dir/win_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$build/skconv.exe" "$build/bench/least_replace.exe" "$work/"
cd "$work"
# with_wine.sh keeps the server up between the runs, so that none pays for
# starting it.

load() { echo "load average $(cut -d' ' -f1-3 /proc/loadavg) $1"; }
echo "$(uname -sr), $(nproc) processors, $rounds rounds a shape (after an untimed one), under $(wine --version), in $work"
load "at the start"

# The records of convert_bench: some keys present, some empty, some zero; CR LF.
records() {
  awk -v cb=$((size << 20)) 'BEGIN {
    ORS = ""
    for (n = 1; total < cb; n++) {
      key = n % 3 == 0 ? "" : n % 3 == 1 ? "0" : "4711"
      line = n ",Tokyo Minato-ku Shiba 3-" n % 97 ",customer " (n * 7919) % 100000 "," key "\r\n"
      print line
      total += length(line)
    }
  }' | head -c $((size << 20))
}

# Short records as convert_bench makes them (not the same bytes): a code, a
# date, a name and a town in code page 932, and the key, empty on 76 % of
# the lines, 0 on 10 %; bare line feeds; about 44 bytes a line; drawn at
# random.
short_lf() {
  LC_ALL=C awk -v cb=$((size << 20)) 'BEGIN {
    split("\216R\223c \221\276\230Y|\215\262\223\241 \211\324\216q|\227\351\226\330 \210\352|\215\202\213\264 \224\374\227R\213I|\223c\222\206 \214\222|\223n\225\323 \222\274\224\374|\210\311\223\241 \343\304\221\276|\222\206\221\272 \210\244", name, "|")
    split("\223\214\213\236\223s\215`\213\346\216\305|\221\345\215\343\225{\221\345\215\343\216s\226k\213\346|\213\236\223s\225{\213\236\223s\216s|\226k\212C\223\271\216D\226y\216s\222\206\211\233\213\346|\225\237\211\252\214\247\225\237\211\252\216s|\220_\223\336\220\354\214\247\211\241\225l\216s\220\274\213\346|\210\244\222m\214\247\226\274\214\303\211\256\216s|\211\253\223\352\214\247\223\337\224e\216s", town, "|")
    ORS = ""
    x = 12345
    while (total < cb) {
      # Park and Miller: exact in the doubles awk computes with.
      x = (x * 16807) % 2147483647; r = x
      k = r % 100
      key = k >= 86 ? 1 + int(r / 100) % 999 : k >= 76 ? "0" : ""
      x = (x * 16807) % 2147483647; s = x
      line = sprintf("%d,%04d/%02d/%02d,%s,%s,%s\n", s % 1000000, 2020 + int(s / 7) % 6,
                     1 + int(s / 61) % 12, 1 + int(s / 743) % 28, name[1 + int(s / 9001) % 8],
                     town[1 + int(r / 100000) % 8], key)
      print line
      total += length(line)
    }
  }' | head -c $((size << 20))
}

# Records as a spreadsheet saves them, as convert_bench makes them (not the
# same bytes): a code, a name and a town in code page 932, a date, an amount
# and the key, drawn at random from empty, 0, a word, a number and a number
# followed by an empty column; CR LF; about 44 bytes a line.
sheet() {
  LC_ALL=C awk -v cb=$((size << 20)) 'BEGIN {
    split("\216R\223c|\215\262\223\241|\227\351\226\330|\215\202\213\264|\223c\222\206|\223n\225\323|\210\311\223\241|\222\206\221\272", name, "|")
    split("\223\214\213\236\223s\215`\213\346|\221\345\215\343\216s\226k\213\346|\213\236\223s\216s|\216D\226y\216s\222\206\211\233\213\346|\225\237\211\252\216s|\220\354\214\247\211\241\225l\216s|\226\274\214\303\211\256\216s|\223\337\224e\216s", town, "|")
    split("abc|N/A|-|\226\242", word, "|")
    ORS = ""
    x = 4711
    while (total < cb) {
      x = (x * 16807) % 2147483647; r = x
      k = r % 20
      key = k >= 18 ? (1 + int(r / 20) % 99999) "," : k >= 12 ? 1 + int(r / 20) % 99999 : k >= 9 ? word[1 + int(r / 20) % 4] : k >= 6 ? "0" : ""
      x = (x * 16807) % 2147483647; s = x
      line = sprintf("%d,%s,%s,%04d/%02d/%02d,%d,%s\r\n", s % 1000000, name[1 + int(s / 7) % 8],
                     town[1 + int(s / 61) % 8], 2020 + int(s / 743) % 6, 1 + int(s / 9001) % 12,
                     1 + int(r / 100003) % 28, 1000 + int(s / 97) % 999000, key)
      print line
      total += length(line)
    }
  }' | head -c $((size << 20))
}

# Seconds, user and system CPU of one command, on a fresh copy of the input
# that is on the disk already.
step() {
  cp pristine.csv data.csv
  sync
  sleep "$settle"
  /usr/bin/time -f "%e %U %S" -o time.txt "$@" >/dev/null 2>err.txt ||
    { echo "win_bench: $* failed:" >&2; cat err.txt >&2; exit 1; }
  rm -f data.csv new.csv
  cat time.txt
}

median() {
  sort -n | awk '{ a[NR] = $1 } END { print NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}

summary=
for shape in records short-lf sheet; do
  case ",$shapes," in *",$shape,"*) ;; *) continue ;; esac
  case $shape in
    records) name="records, CR LF"; records >pristine.csv ;;
    short-lf) name="short LF records, cp932"; short_lf >pristine.csv ;;
    sheet) name="sheet records, CR LF"; sheet >pristine.csv ;;
  esac
  echo
  echo "$name, $size MiB:"
  : >ratios.txt
  : >user.txt
  for round in $(seq 0 "$rounds"); do
    if [ $((round % 2)) -eq 1 ]; then
      first=least_replace
      l=$(step wine least_replace.exe data.csv new.csv)
      s=$(step wine skconv.exe data.csv)
    else
      first="skconv       "
      s=$(step wine skconv.exe data.csv)
      l=$(step wine least_replace.exe data.csv new.csv)
    fi
    [ "$round" -eq 0 ] && continue  # Wine's files and the memory warmed up
    set -- $l $s
    ratio=$(awk -v l="$1" -v s="$4" 'BEGIN { printf "%.2f", s / l }')
    echo "  round $round, $first first: least_replace $1 s (user $2, system $3), skconv $4 s (user $5, system $6): ${ratio}x"
    echo "$ratio" >>ratios.txt
    echo "$5" >>user.txt
  done
  summary="$summary$(printf '  %-24s %7s %6s %6.2fx %5.2fx-%5.2fx %8.2f s' "$name" "$size" "$rounds" \
    "$(median <ratios.txt)" "$(sort -n ratios.txt | head -1)" "$(sort -n ratios.txt | tail -1)" \
    "$(median <user.txt)")"$'\n'
  load "after it"
done
rm -f pristine.csv

echo
echo "skconv.exe / least_replace.exe, per round:"
printf '  %-24s %7s %6s %7s %13s %10s\n' shape MiB rounds median spread "user"
printf '%s' "$summary"
load "at the end"
