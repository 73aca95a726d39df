#!/usr/bin/env bash
# Checks the 32-bit programs as files, where they cannot be run: i386, the
# right subsystem, no DLL beyond those every Windows has, a version resource
# (Japanese description) and a manifest that asks for the user's own rights
# without changing DPI awareness or visual styles. searchkey.exe must also
# hold its Japanese texts as code page 932 bytes (encoded here with iconv),
# not as UTF-8. Given the download, checks its file list and usage text,
# then both programs in it, with the version in the ZIP's name.
#
#   tests/e2e/check_exe.sh PATH/TO/searchkey.exe|skconv.exe [VERSION]
#   tests/e2e/check_exe.sh PATH/TO/searchkey-VERSION-win32.zip
set -euo pipefail
arg=${1:?usage: check_exe.sh searchkey.exe|skconv.exe|searchkey-VERSION-win32.zip}
objdump=i686-w64-mingw32-objdump
failed=0
# Hex of UTF-16LE text, as resources hold their strings (bash strings cannot hold its zero bytes).
hex() { od -An -tx1 -v | tr -d ' \n'; }
utf16() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | hex; }

if [[ $arg == *.zip ]]; then
  version=$(basename "$arg" | sed -n 's/^searchkey-\(.*\)-win32\.zip$/\1/p')
  [ -n "$version" ] || { echo "FAIL $arg: not named searchkey-VERSION-win32.zip"; exit 1; }
  zip=$(realpath "$arg")
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && cmake -E tar xf "$zip") ||
    { echo "FAIL $arg: cannot be unpacked"; exit 1; }
  files=$(cd "$tmp" && find . -type f -o -type d ! -name . | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
  [ "$files" = "LICENSE.txt searchkey.exe skconv.exe 使い方.txt " ] ||
    { echo "FAIL $arg: holds [$files]"; failed=1; }
  usage=$tmp/使い方.txt
  if [ -f "$usage" ]; then
    iconv -f CP932 -t UTF-8 "$usage" >/dev/null 2>&1 || { echo "FAIL $arg: 使い方.txt is not code page 932"; failed=1; }
    LC_ALL=C grep -qaF -- "$(printf '使い方' | iconv -f UTF-8 -t CP932)" "$usage" ||
      { echo "FAIL $arg: 使い方.txt does not say 使い方 in code page 932"; failed=1; }
  fi
  for text in "$usage" "$tmp/LICENSE.txt"; do
    # Notepad needs CR LF: no line may end in a bare LF.
    [ -f "$text" ] && LC_ALL=C grep -qav $'\r$' "$text" &&
      { echo "FAIL $arg: $(basename "$text") has lines without CR LF"; failed=1; }
  done
  for exe in searchkey.exe skconv.exe; do
    [ -f "$tmp/$exe" ] && { bash "$0" "$tmp/$exe" "$version" || failed=1; }
  done
  [ "$failed" -eq 0 ] && echo "PASS $arg: $files"
  exit "$failed"
fi

exe=$arg
version=${2:-}
fail() { echo "FAIL $exe: $*"; failed=1; }
head=$("$objdump" -p "$exe") || { echo "FAIL $exe: $objdump cannot read it"; exit 1; }
grep -q 'file format pei-i386' <<<"$head" || fail "not a 32-bit (pei-i386) program"

if [[ $(basename "$exe") == *skconv* ]]; then
  subsystem='00000003' kind=console allowed=" KERNEL32.DLL ADVAPI32.DLL MSVCRT.DLL " needed=KERNEL32.DLL texts=()
  description='サーチキー変換 (コマンド版)'
else
  subsystem='00000002' kind=GUI allowed=" KERNEL32.DLL USER32.DLL GDI32.DLL COMDLG32.DLL ADVAPI32.DLL MSVCRT.DLL "
  needed="KERNEL32.DLL USER32.DLL GDI32.DLL COMDLG32.DLL"
  texts=(ドルミカサーチキー３設定 編集 閉じる 参照 サーチキー変換 正常に処理しました。 失敗しました。)
  description='サーチキー変換'
fi
grep -Eq "^Subsystem[[:space:]]+$subsystem" <<<"$head" || fail "subsystem is not Windows $kind: $(grep '^Subsystem' <<<"$head")"

dlls=$(awk '/DLL Name:/ {print toupper($3)}' <<<"$head" | sort -u)
for dll in $dlls; do
  [[ $allowed == *" $dll "* ]] || fail "imports $dll, which Windows does not ship"
done
for dll in $needed; do
  grep -qx "$dll" <<<"$dlls" || fail "does not import $dll"
done

for text in "${texts[@]}"; do
  cp932=$(printf '%s' "$text" | iconv -f UTF-8 -t CP932)
  LC_ALL=C grep -qaF -- "$cp932" "$exe" || fail "holds no code page 932 bytes for $text"
  LC_ALL=C grep -qaF -- "$text" "$exe" && fail "holds $text as UTF-8"
done

# Resource types 16 (version) and 24 (manifest), both in Japanese (0x411).
rsrc=$(sed -n '/The .rsrc Resource Directory section/,$p' <<<"$head")
grep -q 'Entry: ID: 0x000010,' <<<"$rsrc" || fail "has no version resource"
grep -q 'Entry: ID: 0x000018,' <<<"$rsrc" || fail "has no manifest"
grep -q 'Entry: ID: 0x000411,' <<<"$rsrc" || fail "has no Japanese resource"
hexfile=$(mktemp)
hex <"$exe" >"$hexfile"
grep -qF -- "$(utf16 "$description")" "$hexfile" || fail "version resource does not describe it as $description"
# The key, its terminator and up to one padding unit, then the value.
if [ -n "$version" ]; then
  grep -qE -- "$(utf16 FileVersion)0000(0000)?$(utf16 "$version")" "$hexfile" ||
    fail "version resource does not give FileVersion $version"
fi
rm -f "$hexfile"
manifest=$(LC_ALL=C grep -ao '<assembly .*</assembly>' <(tr '\n' ' ' <"$exe") || true)
[[ $manifest == *'level="asInvoker"'* ]] || fail "manifest does not ask for asInvoker"
[[ $manifest == *'<supportedOS Id='* ]] || fail "manifest lists no supported Windows versions"
[[ $manifest == *dpiAware* || $manifest == *Common-Controls* ]] && fail "manifest changes DPI awareness or visual styles"

[ "$failed" -eq 0 ] && echo "PASS $exe: i386 $kind program importing only $(echo $dlls), version resource ${version:-present}, manifest asInvoker"
exit "$failed"
