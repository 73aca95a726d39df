#!/usr/bin/env bash
# The console front end on real files: one line per file, every file tried,
# exit code 0 only when all converted.
#   skconv_cli_test.sh SKCONV [ARG...]    e.g. wine build/win-i686/skconv.exe
# A Windows build ends its lines in CR LF (SKCONV_CR=$'\r') and words a
# missing file in the system's own text (SKCONV_NO_FILE).
set -u
skconv=("$@")
cr=${SKCONV_CR:-}
no_file=${SKCONV_NO_FILE:-No such file or directory}
dir=$(mktemp -d)
trap 'rm -rf "$dir" "$dir.expected"' EXIT
fails=0
check() {  # what, expected, actual
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1: expected [$2], got [$3]"
        fails=$((fails + 1))
    fi
}
check_file() {  # what, expected bytes as a printf format, file
    printf "$2" >"$dir.expected"
    if ! cmp -s "$dir.expected" "$3"; then
        echo "FAIL: $1: expected $(od -c "$dir.expected" | head -3), got $(od -c "$3" | head -3)"
        fails=$((fails + 1))
    fi
}

printf 'a,\nb,1\n' >"$dir/one.csv"
printf 'x\r\n' >"$dir/two.txt"
out=$("${skconv[@]}" "$dir/one.csv" "$dir/two.txt" 2>&1)
check "exit code, all converted" 0 $?
check "output, all converted" "converted: $dir/one.csv$cr
converted: $dir/two.txt$cr" "$out"
check_file "first file" 'a,100\r\nb,1\r\n' "$dir/one.csv"
check_file "second file" 'x100\r\n' "$dir/two.txt"

printf 'c,\n' >"$dir/three.csv"
out=$("${skconv[@]}" "$dir/missing.csv" "$dir/three.csv" 2>&1)
check "exit code, one failed" 1 $?
check "output, one failed" "failed: $dir/missing.csv: cannot open the file: $no_file$cr
converted: $dir/three.csv$cr" "$out"
check_file "the file after the failed one" 'c,100\r\n' "$dir/three.csv"

err=$("${skconv[@]}" "$dir/missing.csv" 2>&1 >/dev/null)
check "failures go to standard error" "failed: $dir/missing.csv: cannot open the file: $no_file$cr" "$err"

"${skconv[@]}" >/dev/null 2>&1
check "exit code, no path" 2 $?
"${skconv[@]}" -- >/dev/null 2>&1
check "exit code, no path after --" 2 $?
"${skconv[@]}" --help >/dev/null
check "exit code, --help" 0 $?
check "no other file was made" "one.csv three.csv two.txt" "$(cd "$dir" && echo *)"

[ $fails -eq 0 ] && echo "skconv: all checks passed"
exit $((fails != 0))
