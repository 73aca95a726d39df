#!/usr/bin/env bash
# Makes the download from an installed, stripped tree: the ZIP stores the
# usage text's name 使い方.txt as code page 932 bytes without the UTF-8 flag.
# Explorer reads such names in the system's code page, so the name reads
# right on a Japanese Windows 7 (whose unpacker ignores the UTF-8 flag) as
# on Windows 10 and 11. Info-ZIP's zip stores a name's bytes as they are and
# sets no flag for bytes that are not UTF-8 in the C locale.
#
#   make_zip.sh STAGED-FOLDER OUTPUT.zip
set -euo pipefail
stage=$(realpath "${1:?usage: make_zip.sh STAGED-FOLDER OUTPUT.zip}")
out=$(realpath -m "${2:?usage: make_zip.sh STAGED-FOLDER OUTPUT.zip}")
usage_cp932=$(printf '使い方.txt' | iconv -f UTF-8 -t CP932)

mv "$stage/使い方.txt" "$stage/$usage_cp932"
rm -f "$out"
# -X: no Unix owners or times beyond the DOS ones; -D: no folder entries.
cd "$stage" && LC_ALL=C zip -q -X -D -9 "$out" searchkey.exe skconv.exe "$usage_cp932" LICENSE.txt NOTICES.txt
