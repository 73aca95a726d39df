#!/usr/bin/env bash
# Checks the 32-bit searchkey.exe as a file, where it cannot be run: a GUI
# program for i386 that needs no DLL beyond those every Windows has, with its
# Japanese texts as code page 932 bytes (encoded here with iconv) and not as
# UTF-8.
#
#   tests/e2e/check_exe.sh PATH/TO/searchkey.exe
set -euo pipefail
exe=${1:?usage: check_exe.sh searchkey.exe}
objdump=i686-w64-mingw32-objdump
failed=0
fail() { echo "FAIL $exe: $*"; failed=1; }

head=$("$objdump" -p "$exe") || { echo "FAIL $exe: $objdump cannot read it"; exit 1; }
grep -q 'file format pei-i386' <<<"$head" || fail "not a 32-bit (pei-i386) program"
grep -Eq '^Subsystem[[:space:]]+00000002' <<<"$head" || fail "subsystem is not Windows GUI (2): $(grep '^Subsystem' <<<"$head")"

allowed=" KERNEL32.DLL USER32.DLL GDI32.DLL COMDLG32.DLL ADVAPI32.DLL MSVCRT.DLL "
dlls=$(awk '/DLL Name:/ {print toupper($3)}' <<<"$head" | sort -u)
for dll in $dlls; do
  [[ $allowed == *" $dll "* ]] || fail "imports $dll, which Windows does not ship"
done
for dll in KERNEL32.DLL USER32.DLL GDI32.DLL COMDLG32.DLL; do
  grep -qx "$dll" <<<"$dlls" || fail "does not import $dll"
done

for text in ドルミカサーチキー３設定 編集 閉じる 参照 サーチキー変換 正常に処理しました。 失敗しました。; do
  cp932=$(printf '%s' "$text" | iconv -f UTF-8 -t CP932)
  LC_ALL=C grep -qaF -- "$cp932" "$exe" || fail "holds no code page 932 bytes for $text"
  LC_ALL=C grep -qaF -- "$text" "$exe" && fail "holds $text as UTF-8"
done

[ "$failed" -eq 0 ] && echo "PASS $exe: i386 GUI program importing only $(echo $dlls), texts in code page 932"
exit "$failed"
