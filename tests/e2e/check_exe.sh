#!/usr/bin/env bash
# Checks the 32-bit programs as files, where they cannot be run: i386, the
# right subsystem, no DLL beyond those every Windows has and no function that
# Windows Vista lacks, no debug information, a version resource (Japanese
# description) and a manifest that asks for the user's own rights and GDI
# scaling without changing DPI awareness or visual styles, and the loop of
# the rewriter's SSE2 path, for processors that have SSE2, that finds the
# line feeds of 64 bytes at once. searchkey.exe must also hold its Japanese
# texts as code page 932 bytes (encoded here with iconv), not as UTF-8.
# Given the download, checks its file list, the usage text's name (code
# page 932 bytes, no UTF-8 flag) and contents, then both programs in it,
# with the version in the ZIP's name.
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
cp932() { printf '%s' "$1" | iconv -f UTF-8 -t CP932; }

# Every function the programs import, each present in Windows Vista, the
# minimum the README and the usage text state (Windows XP lacks the three
# marked): a new import fails here until it is checked against Vista.
vista_imports=" ADVAPI32.DLL!AccessCheck ADVAPI32.DLL!DuplicateToken ADVAPI32.DLL!OpenProcessToken
  ADVAPI32.DLL!GetSecurityDescriptorControl ADVAPI32.DLL!GetSecurityInfo
  ADVAPI32.DLL!InitializeSecurityDescriptor ADVAPI32.DLL!SetSecurityDescriptorControl
  ADVAPI32.DLL!SetSecurityDescriptorDacl ADVAPI32.DLL!SetSecurityDescriptorOwner ADVAPI32.DLL!SetSecurityDescriptorSacl
  ADVAPI32.DLL!SetFileSecurityW
  KERNEL32.DLL!GetFileInformationByHandleEx KERNEL32.DLL!GetFinalPathNameByHandleW KERNEL32.DLL!GetVolumeInformationByHandleW
  COMDLG32.DLL!CommDlgExtendedError COMDLG32.DLL!GetOpenFileNameW GDI32.DLL!GetStockObject
  KERNEL32.DLL!GetCurrentDirectoryW KERNEL32.DLL!SetCurrentDirectoryW
  KERNEL32.DLL!CompareStringOrdinal KERNEL32.DLL!GetTickCount64 KERNEL32.DLL!SetFileInformationByHandle
  KERNEL32.DLL!AddVectoredExceptionHandler KERNEL32.DLL!CloseHandle KERNEL32.DLL!CreateEventA
  KERNEL32.DLL!CreateFileW KERNEL32.DLL!CreateSemaphoreA KERNEL32.DLL!DeleteCriticalSection KERNEL32.DLL!DeleteFileW
  KERNEL32.DLL!DuplicateHandle KERNEL32.DLL!EnterCriticalSection KERNEL32.DLL!FileTimeToSystemTime KERNEL32.DLL!FindClose
  KERNEL32.DLL!FindFirstFileW KERNEL32.DLL!FindNextFileW KERNEL32.DLL!FlushFileBuffers KERNEL32.DLL!FormatMessageA
  KERNEL32.DLL!FreeLibrary KERNEL32.DLL!GetACP KERNEL32.DLL!GetConsoleMode KERNEL32.DLL!GetCurrentDirectoryA
  KERNEL32.DLL!GetCurrentProcess KERNEL32.DLL!GetCurrentProcessId KERNEL32.DLL!GetCurrentThread
  KERNEL32.DLL!GetCurrentThreadId KERNEL32.DLL!GetFileAttributesW KERNEL32.DLL!GetFileInformationByHandle
  KERNEL32.DLL!GetFileType KERNEL32.DLL!GetFullPathNameW KERNEL32.DLL!GetHandleInformation KERNEL32.DLL!GetLastError
  KERNEL32.DLL!GetModuleHandleA KERNEL32.DLL!GetModuleHandleW KERNEL32.DLL!GetProcAddress
  KERNEL32.DLL!GetProcessAffinityMask KERNEL32.DLL!GetProcessTimes KERNEL32.DLL!GetStartupInfoA
  KERNEL32.DLL!GetStartupInfoW KERNEL32.DLL!GetStdHandle KERNEL32.DLL!GetSystemTimeAdjustment
  KERNEL32.DLL!GetSystemTimeAsFileTime KERNEL32.DLL!GetThreadContext KERNEL32.DLL!GetThreadPriority
  KERNEL32.DLL!GetThreadTimes KERNEL32.DLL!InitializeCriticalSection KERNEL32.DLL!IsDBCSLeadByte
  KERNEL32.DLL!IsDBCSLeadByteEx KERNEL32.DLL!IsDebuggerPresent KERNEL32.DLL!LeaveCriticalSection
  KERNEL32.DLL!LoadLibraryA KERNEL32.DLL!LoadLibraryW KERNEL32.DLL!LocalFree KERNEL32.DLL!MoveFileExW
  KERNEL32.DLL!MultiByteToWideChar KERNEL32.DLL!OpenProcess KERNEL32.DLL!OutputDebugStringA
  KERNEL32.DLL!QueryPerformanceCounter KERNEL32.DLL!QueryPerformanceFrequency KERNEL32.DLL!RaiseException
  KERNEL32.DLL!ReadFile KERNEL32.DLL!ReleaseSemaphore KERNEL32.DLL!RemoveVectoredExceptionHandler
  KERNEL32.DLL!ReplaceFileW KERNEL32.DLL!ResetEvent KERNEL32.DLL!ResumeThread KERNEL32.DLL!SetCurrentDirectoryA
  KERNEL32.DLL!SetEvent KERNEL32.DLL!SetFileAttributesW KERNEL32.DLL!SetLastError KERNEL32.DLL!SetProcessAffinityMask
  KERNEL32.DLL!SetSystemTime KERNEL32.DLL!SetThreadContext KERNEL32.DLL!SetThreadPriority
  KERNEL32.DLL!SetUnhandledExceptionFilter KERNEL32.DLL!Sleep KERNEL32.DLL!SuspendThread KERNEL32.DLL!TlsAlloc
  KERNEL32.DLL!TlsGetValue KERNEL32.DLL!TlsSetValue KERNEL32.DLL!TryEnterCriticalSection KERNEL32.DLL!VirtualProtect
  KERNEL32.DLL!VirtualQuery KERNEL32.DLL!WaitForMultipleObjects KERNEL32.DLL!WaitForSingleObject
  KERNEL32.DLL!WideCharToMultiByte KERNEL32.DLL!WriteConsoleW KERNEL32.DLL!WriteFile KERNEL32.DLL!lstrcmpiA
  USER32.DLL!CreateWindowExA USER32.DLL!DefWindowProcA USER32.DLL!DestroyWindow USER32.DLL!DispatchMessageA
  USER32.DLL!GetMessageA USER32.DLL!GetWindowRect USER32.DLL!LoadCursorA USER32.DLL!MessageBoxA
  USER32.DLL!PostQuitMessage USER32.DLL!RegisterClassExA USER32.DLL!SendMessageA USER32.DLL!SetCursor
  USER32.DLL!ShowWindow USER32.DLL!TranslateMessage
  MSVCRT.DLL!__getmainargs MSVCRT.DLL!__initenv MSVCRT.DLL!__mb_cur_max MSVCRT.DLL!__p__acmdln MSVCRT.DLL!__p__commode
  MSVCRT.DLL!__p__fmode MSVCRT.DLL!__p__wcmdln MSVCRT.DLL!__set_app_type MSVCRT.DLL!__setusermatherr
  MSVCRT.DLL!__wgetmainargs MSVCRT.DLL!__winitenv MSVCRT.DLL!_amsg_exit MSVCRT.DLL!_beginthreadex MSVCRT.DLL!_cexit
  MSVCRT.DLL!_close MSVCRT.DLL!_endthreadex MSVCRT.DLL!_errno MSVCRT.DLL!_fileno MSVCRT.DLL!_initterm MSVCRT.DLL!_iob
  MSVCRT.DLL!_onexit MSVCRT.DLL!_read MSVCRT.DLL!_setjmp3 MSVCRT.DLL!_setmode MSVCRT.DLL!_strdup MSVCRT.DLL!_ultoa
  MSVCRT.DLL!abort MSVCRT.DLL!atoi MSVCRT.DLL!calloc MSVCRT.DLL!exit MSVCRT.DLL!ferror MSVCRT.DLL!fflush
  MSVCRT.DLL!fprintf MSVCRT.DLL!fputc MSVCRT.DLL!fputs MSVCRT.DLL!fread MSVCRT.DLL!free MSVCRT.DLL!fwrite
  MSVCRT.DLL!localeconv MSVCRT.DLL!longjmp MSVCRT.DLL!malloc MSVCRT.DLL!memchr MSVCRT.DLL!memcmp MSVCRT.DLL!memcpy
  MSVCRT.DLL!memmove MSVCRT.DLL!memset MSVCRT.DLL!printf MSVCRT.DLL!realloc MSVCRT.DLL!setlocale MSVCRT.DLL!signal
  MSVCRT.DLL!strchr MSVCRT.DLL!strcmp MSVCRT.DLL!strerror MSVCRT.DLL!strlen MSVCRT.DLL!strncmp MSVCRT.DLL!strncpy
  MSVCRT.DLL!vfprintf MSVCRT.DLL!wcscpy MSVCRT.DLL!wcslen MSVCRT.DLL!wcsncmp MSVCRT.DLL!wcsrchr "
vista_imports=$(tr -s ' \n' ' ' <<<"$vista_imports")

# Each entry of a ZIP's central directory as "FLAGS NAME", both in hex.
zip_entries() {
  local size eocd cd count i n m k
  size=$(stat -c %s "$1")
  eocd=$(od -An -tx1 -v -j $((size - 22)) -N 22 "$1" | tr -d ' \n')
  [ "${eocd:0:8}" = 504b0506 ] || { echo "no end of central directory (a comment?)"; return 1; }
  le() { local h=$1 r= j; for ((j = ${#h} - 2; j >= 0; j -= 2)); do r+=${h:j:2}; done; echo $((16#$r)); }
  count=$(le "${eocd:20:4}") cd=$(le "${eocd:32:8}")
  for ((i = 0; i < count; i++)); do
    local e; e=$(od -An -tx1 -v -j "$cd" -N 46 "$1" | tr -d ' \n')
    n=$(le "${e:56:4}") m=$(le "${e:60:4}") k=$(le "${e:64:4}")
    echo "$(le "${e:16:4}") $(od -An -tx1 -v -j $((cd + 46)) -N "$n" "$1" | tr -d ' \n')"
    cd=$((cd + 46 + n + m + k))
  done
}

if [[ $arg == *.zip ]]; then
  version=$(basename "$arg" | sed -n 's/^searchkey-\(.*\)-win32\.zip$/\1/p')
  [ -n "$version" ] || { echo "FAIL $arg: not named searchkey-VERSION-win32.zip"; exit 1; }
  zip=$(realpath "$arg")
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && cmake -E tar xf "$zip") ||
    { echo "FAIL $arg: cannot be unpacked"; exit 1; }
  # The usage text's name as code page 932 bytes: Explorer on a Japanese
  # Windows 7 and 10 reads a name without the UTF-8 flag in that code page.
  usage_name=$(cp932 使い方.txt)
  files=$(cd "$tmp" && find . -type f -o -type d ! -name . | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' ')
  [ "$files" = "LICENSE.txt NOTICES.txt searchkey.exe skconv.exe $usage_name " ] ||
    { echo "FAIL $arg: holds [$(iconv -c -f CP932 -t UTF-8 <<<"$files")]"; failed=1; }
  entries=$(zip_entries "$zip") || { echo "FAIL $arg: $entries"; failed=1; }
  while read -r flags name; do
    # Bit 11: the name is UTF-8, which Windows 7's unpacker ignores.
    [ $((flags & 0x800)) -eq 0 ] || { echo "FAIL $arg: the entry $name is flagged UTF-8"; failed=1; }
  done <<<"$entries"
  grep -q " $(printf '%s' "$usage_name" | hex)\$" <<<"$entries" ||
    { echo "FAIL $arg: 使い方.txt is not stored under its code page 932 name"; failed=1; }
  usage=$tmp/$usage_name
  if [ -f "$usage" ]; then
    iconv -f CP932 -t UTF-8 "$usage" >/dev/null 2>&1 || { echo "FAIL $arg: 使い方.txt is not code page 932"; failed=1; }
    # It names the other files and the minimum Windows as they are spelt.
    for text in 使い方 LICENSE.txt NOTICES.txt "Windows Vista"; do
      LC_ALL=C grep -qaF -- "$(cp932 "$text")" "$usage" ||
        { echo "FAIL $arg: 使い方.txt does not say $text in code page 932"; failed=1; }
    done
  fi
  for text in "$usage" "$tmp/LICENSE.txt" "$tmp/NOTICES.txt"; do
    # Notepad needs CR LF: no line may end in a bare LF.
    [ -f "$text" ] && LC_ALL=C grep -qav $'\r$' "$text" &&
      { echo "FAIL $arg: $(basename "$text") has lines without CR LF"; failed=1; }
  done
  for exe in searchkey.exe skconv.exe; do
    [ -f "$tmp/$exe" ] && { bash "$0" "$tmp/$exe" "$version" || failed=1; }
  done
  [ "$failed" -eq 0 ] && echo "PASS $arg: $(iconv -f CP932 -t UTF-8 <<<"$files")"
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
# "DLL Name: X", a header line, then one "RVA HINT NAME" line per function.
imports=$(awk '/DLL Name:/ {dll = toupper($3); next} /^$/ {dll = ""}
               dll != "" && NF == 3 && $2 ~ /^[0-9]+$/ {print dll "!" $3}' <<<"$head")
for f in $imports; do
  [[ $vista_imports == *" $f "* ]] || fail "imports $f, not checked against Windows Vista"
done
[ -n "$imports" ] || fail "lists no imported functions"
debug=$("$objdump" -h "$exe" | awk '$2 ~ /^\.debug_/ {print $2}' | tr '\n' ' ')
[ -z "$debug" ] || fail "carries debug information: $debug"

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
[[ $manifest == *'<gdiScaling xmlns="http://schemas.microsoft.com/SMI/2017/WindowsSettings">true</gdiScaling>'* ]] ||
  fail "manifest does not ask for GDI scaling"

# The line-feed scan of the SSE2 path: four 16-byte compares and their four
# bit masks within a few instructions (the program is stripped: no names).
code=$("$objdump" -d --no-show-raw-insn "$exe" | awk -F'\t' 'NF >= 2 { split($2, w, " "); print w[1] }')
scan=$(awk '{ m[NR % 24] = $1; e = q = 0
              for (i in m) { e += m[i] == "pcmpeqb"; q += m[i] == "pmovmskb" }
              if (e >= 4 && q >= 4) { print "found"; exit } }' <<<"$code")
[ "$scan" = found ] || fail "has no SSE2 loop that finds the line feeds of 64 bytes at once"
sse2="$(grep -cx pcmpeqb <<<"$code") pcmpeqb, $(grep -cx pmovmskb <<<"$code") pmovmskb"

[ "$failed" -eq 0 ] && echo "PASS $exe: i386 $kind program importing only $(echo $dlls) ($(wc -w <<<"$imports") functions, all in Windows Vista), no debug sections, version resource ${version:-present}, manifest asInvoker with gdiScaling, the SSE2 line-feed loop ($sse2)"
exit "$failed"
