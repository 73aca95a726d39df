#!/usr/bin/env bash
# The console front end, one table of command lines: exit status, what it
# prints (stdout and stderr together) and each file afterwards, unchanged or
# converted exactly once. Natively every row but the Windows ones runs; under
# Wine (skconv_cli_test.sh wine skconv.exe, code page 932) the Windows rows
# check their Japanese output and the others their status and files.
set -u
run=("$@")
run[-1]=$(realpath "${run[-1]}") || exit 1  # the rows run in a folder of their own
export SK="${run[*]}"
sk() { "${run[@]}" "$@"; }
# held MS COMMAND...: runs the command in this folder while file_holder (the
# same emulator as skconv) holds each new or changed file here for MS ms, as
# an indexer or scanner does; the holder is stopped however the command ends.
held() {
  local ms=$1 s=125 hs=0 i pid
  shift
  rm -f ../holder.ready ../holder.stop
  "${run[@]:0:${#run[@]}-1}" "${SK_HOLDER:?the Windows build sets SK_HOLDER}" . "$ms" ../holder.ready ../holder.stop &
  pid=$!
  for ((i = 0; i < 600; i++)); do [ -e ../holder.ready ] || ! kill -0 "$pid" 2>/dev/null && break; sleep 0.1; done
  if [ -e ../holder.ready ]; then "$@"; s=$?; else echo "the holder is not ready"; fi
  : >../holder.stop
  for ((i = 0; i < 600; i++)); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill "$pid" 2>/dev/null
  wait "$pid" || hs=$?
  [ "$hs" = 0 ] || echo "the holder ended with $hs"
  rm -f ../holder.ready ../holder.stop
  return "$s"
}
if [[ ${run[-1]} == *.exe ]]; then platform=win; else platform=posix; fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fails=0

# name, bytes before, bytes after one conversion; created in this order, so
# that a listing in directory order is not already in name order.
fixtures=(
  'k.csv' 'a,1\nb,2\n' 'a,1\r\nb,2\r\n'
  'e.csv' 'a,\nb,1\n' 'a,100\r\nb,1\r\n'
  'd.csv' 'abc\r\nx,5\n,\n' 'abc100\r\nx,5\r\n,102\r\n'
  't.txt' 'x\r\n' 'x100\r\n'
  'sub/f.txt' ',0\n' ',0100\r\n'
  'b.xlsx' 'PK\003\004\024,\n' 'not text: never converted'
)
usage='usage: skconv*'

# where | exit | command, run in a fresh folder | output (a glob; natively) | files converted once
rows=(
  all 0 'sk d.csv t.txt' $'converted: d.csv: lines: 3, given a key number: 2 (1, 3)\nconverted: t.txt: lines: 1, given a key number: 1 (1)' 'd.csv t.txt'
  all 1 'sk missing.csv e.csv' "failed: missing.csv: the file is not there"$'\nconverted: e.csv: lines: 2, given a key number: 1 (1)' 'e.csv'
  posix 1 'sk missing.csv >/dev/null' "failed: missing.csv: the file is not there" ''
  all 2 'sk' "$usage" ''
  all 2 'sk --' "$usage" ''
  all 0 'sk --help' "$usage" ''
  all 2 'sk --dry-run d.csv' $'skconv: unknown option: --dry-run\n'"$usage" ''
  all 2 'sk d.csv -n' $'skconv: unknown option: -n\n'"$usage" ''
  all 0 'sk d.csv --version' 'skconv [0-9]*.[0-9]*.[0-9]*' ''
  all 0 'sk d.csv --help' "$usage" ''
  all 1 'sk -- -n' "failed: -n: the file is not there" ''
  all 0 'sk d.csv d.csv ./d.csv sub/../d.csv' $'converted: d.csv: lines: 3, given a key number: 2 (1, 3)\nskipped: d.csv: the same file as d.csv\nskipped: ./d.csv: the same file as d.csv\nskipped: sub/../d.csv: the same file as d.csv' 'd.csv'
  all 3 'sk e.csv >/dev/full' '' 'e.csv'
  all 1 'sk --check d.csv k.csv' $'d.csv: lines that would get a key number: 2 (1, 3)\nk.csv: lines that would get a key number: 0' ''
  all 0 'sk --check k.csv' 'k.csv: lines that would get a key number: 0' ''
  all 1 'printf ",\n%.0s" {1..7} >m.csv; sk --check m.csv' 'm.csv: lines that would get a key number: 7 (1, 2, 3, 4, 5, ...)' ''
  all 1 'sk --check sub' 'failed: sub: the path names a folder, not a file' ''
  all 1 'sk b.xlsx e.csv' $'failed: b.xlsx: the file is a ZIP file (such as an .xlsx workbook), not text\nconverted: e.csv: lines: 2, given a key number: 1 (1)' 'e.csv'
  all 1 'sk --check b.xlsx' 'failed: b.xlsx: the file is a ZIP file (such as an .xlsx workbook), not text' ''
  posix 1 'chmod a-w e.csv; sk --check e.csv' $'e.csv: lines that would get a key number: 1 (1)\ne.csv: the file is read-only: converting it would fail' ''
  all 0 'sk - <d.csv' $'abc100\r\nx,5\r\n,102\r' ''
  all 2 'sk --check - <d.csv' 'skconv: --check cannot check standard input'$'\n'"$usage" ''
  all 2 'sk d.csv -' '*'"$usage" ''
  posix 0 'yes a,1 | head -c 70000000 >big.csv; sk big.csv' 'converted: big.csv: lines: 17,500,000, given a key number: 0' ''
  posix 0 'yes a,1 | head -c 70000000 >big.csv; script -qec "$SK big.csv" /dev/null' '*  0%*converted: big.csv: *' ''
  posix 1 'ASAN_OPTIONS=detect_leaks=0 strace -qq -o /dev/null -P e.csv -e trace=%%stat -e inject=%%stat:error=EIO:when=1 $SK e.csv d.csv 2>&1 | grep -v "^strace: "; exit ${PIPESTATUS[0]}' $'failed: e.csv: cannot tell whether another path names the same file: Input/output error\nconverted: d.csv: lines: 3, given a key number: 2 (1, 3)' 'd.csv'
  win 0 'sk "*.csv"' $'変換しました: d.csv: 3 行のうち 2 行に番号を付けました (1、3 行目)\n変換しました: e.csv: 2 行のうち 1 行に番号を付けました (1 行目)\n変換しました: k.csv: 2 行のうち、番号を付けた行はありません' 'd.csv e.csv k.csv'
  win 0 'printf ",\n" >data.csv_old; sk "*.csv"; grep -qx , data.csv_old' $'変換しました: d.csv: 3 行のうち 2 行に番号を付けました (1、3 行目)\n変換しました: e.csv: 2 行のうち 1 行に番号を付けました (1 行目)\n変換しました: k.csv: 2 行のうち、番号を付けた行はありません' 'd.csv e.csv k.csv'
  win 0 'printf ",\n" >表.csv; sk "?.csv" "?.txt"' $'変換しました: d.csv: 3 行のうち 2 行に番号を付けました (1、3 行目)\n変換しました: e.csv: 2 行のうち 1 行に番号を付けました (1 行目)\n変換しました: k.csv: 2 行のうち、番号を付けた行はありません\n変換しました: 表.csv: 1 行のうち 1 行に番号を付けました (1 行目)\n変換しました: t.txt: 1 行のうち 1 行に番号を付けました (1 行目)' 'd.csv e.csv k.csv t.txt'
  win 2 'printf ",\n" | tee cafe.csv >café.csv; sk d.csv café.csv; s=$?; grep -qx , cafe.csv && exit $s' 'skconv: caf?.csv: 名前にコード ページ 932 で表せない文字があります。何もしていません' ''
  win 1 'script -qec "$SK missing.csv" /dev/null | sed "s/\x1b\[?25[lh]//g" | iconv -f UTF-8 -t CP932; exit ${PIPESTATUS[0]}' '失敗しました: missing.csv: ファイルが見つかりませんでした' ''
  win 0 'sk "sub\*.txt"' '変換しました: sub\\f.txt: 1 行のうち 1 行に番号を付けました (1 行目)' 'sub/f.txt'
  win 0 'sk d.csv ".\D.CSV"' $'変換しました: d.csv: 3 行のうち 2 行に番号を付けました (1、3 行目)\n飛ばしました: .\\\\D.CSV: d.csv と同じファイルです' 'd.csv'
  win 1 'sk missing.csv' '失敗しました: missing.csv: ファイルが見つかりませんでした' ''
  win 1 'sk --check d.csv' 'd.csv: キー番号が付く行: 2 (1、3 行目)' ''
  win 0 'printf ",\n%.0s" {1..1234} >m.csv; sk m.csv k.csv' $'変換しました: m.csv: 1,234 行のうち 1,234 行に番号を付けました (1、2、3、4、5 … 行目)\n変換しました: k.csv: 2 行のうち、番号を付けた行はありません' 'k.csv'
  win 1 'sk --check b.xlsx' '失敗しました: b.xlsx: ファイルは ZIP 形式 (Excel のブック .xlsx などの形式) で、このツールで変換できるシフト JIS のテキストではありません' ''
  win 0 'held 100 sk e.csv' $'変換しました: e.csv: 2 行のうち 1 行に番号を付けました (1 行目)\nheld *' 'e.csv'
  win 0 'cd sub && held 1500 sk f.txt' $'変換しました: f.txt: 1 行のうち 1 行に番号を付けました (1 行目)\nheld *' 'sub/f.txt'
  win 1 'cd sub && chmod a-w f.txt && held 1500 sk f.txt' $'失敗しました: f.txt: ファイルは読み取り専用です\nheld *' ''
  win 1 'ln -s e.csv link.csv; sk link.csv; s=$?; [ -L link.csv ] && [ "$(readlink link.csv)" = e.csv ] || echo "link.csv changed"; exit $s' '失敗しました: link.csv: パスはシンボリック リンクかジャンクションで、別の場所のファイルを指しています' ''
)

for ((r = 0; r < ${#rows[@]}; r += 5)); do
  where=${rows[r]} want=${rows[r + 1]} cmd=${rows[r + 2]} expect=${rows[r + 3]} once=" ${rows[r + 4]} "
  [ "$where" = all ] || [ "$where" = "$platform" ] || continue
  rm -rf "$dir/case" && mkdir -p "$dir/case/sub"
  for ((f = 0; f < ${#fixtures[@]}; f += 3)); do printf "${fixtures[f + 1]}" >"$dir/case/${fixtures[f]}"; done
  (cd "$dir/case" && eval "$cmd") >"$dir/out" 2>&1
  got=$?
  # Code page 932 and the console's CR LF, as UTF-8 lines.
  [ "$platform" = win ] && { iconv -f CP932 -t UTF-8 <"$dir/out" | tr -d '\r' >"$dir/out8" && mv "$dir/out8" "$dir/out"; }
  out=$(cat "$dir/out")
  problems=()
  [ "$got" = "$want" ] || problems+=("exit status $got, expected $want")
  if [ "$where" != all ] || [ "$platform" = posix ]; then
    # shellcheck disable=SC2053
    [[ $out == $expect ]] || problems+=("printed [$out], expected [$expect]")
  fi
  for ((f = 0; f < ${#fixtures[@]}; f += 3)); do
    name=${fixtures[f]} bytes=${fixtures[f + 1]} state=unchanged
    [[ $once == *" $name "* ]] && bytes=${fixtures[f + 2]} state="converted once"
    cmp -s <(printf "$bytes") "$dir/case/$name" || problems+=("$name is not $state")
  done
  for left in "$dir"/case/{workfile.txt,workfile.bak,holder.*}; do
    [ -e "$left" ] && problems+=("${left##*/} was left")
  done
  for p in "${problems[@]}"; do
    echo "FAIL: [$cmd]: $p"
    fails=$((fails + 1))
  done
  # A row whose output is not compared still shows it when it fails: under
  # Wine that may be the loader's own complaint rather than skconv's.
  if [ ${#problems[@]} -gt 0 ] && [[ $problems != printed* ]]; then
    echo "  it printed: [$(cat -v "$dir/out")]"
  fi
done

[ $fails -eq 0 ] && echo "skconv ($platform): all checks passed"
exit $((fails != 0))
