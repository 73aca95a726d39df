#!/usr/bin/env bash
# The check of the checks: for each guarantee the README states, a
# deliberate break of the code that holds it. Each break is made in a copy
# of the sources, the copy is rebuilt and the fast tests that hold the
# guarantee are run (natively, or the x86_64 build under wine64); a break
# that every test survives fails the run, as does one that no longer
# applies to the code. The copy and its builds are under build/checks.
#
#   tests/check_the_checks.sh [WORD]     only the breaks whose name holds WORD
set -euo pipefail
cd "$(dirname "$0")/.."
project=$PWD
work=$project/build/checks
only=${1:-}

# Each break: its name, where its tests run (native, win), the file, then
# the exact text it replaces and what it puts there (one or more such
# pairs), one line each; a blank line ends it.
breaks() {
  cat <<'EOF'
the replacement's error code trusted over which file is where
win
src/convert/win32/replace.cpp
    const SysError eInput = HeldFileIsAt(hOld, pFolder->m_wszInput, &bOldInPlace, &bFree);
    const SysError eInput = (bFree = GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2, 0);

the reservation removed on the strength of its id while the input's name is free
win
src/convert/win32/replace.cpp
    if (eInput != 0 || bFree) {
    if (eInput != 0) {

one pass waiting 60 s, not 4.9 s
win
src/convert/win32/layer.h
const unsigned long kPassWaitMs = 4900;
const unsigned long kPassWaitMs = 60000;

the waiting counted in the sleeps asked for, not on the clock
win
src/convert/win32/wait.cpp
    const unsigned long long ullNow = sys::GetTickCount64();
    static unsigned long long ullSlept = 1; const unsigned long long ullNow = ullSlept;
    sys::Sleep(dwMs);
    sys::Sleep(dwMs); ullSlept += dwMs;

opening the input without the right to delete it
win
src/convert/win32/input.cpp
    DWORD dwAccess = GENERIC_READ | DELETE;
    DWORD dwAccess = GENERIC_READ;

the input shared with writers
win
src/convert/win32/input.cpp
FILE_SHARE_READ | FILE_SHARE_DELETE,
FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,

no asking whether the input may be written
win
src/convert/win32/input.cpp
pInfo->facts.bSecurity && MayNotWrite(H(file));
pInfo->facts.bSecurity && (MayNotWrite(H(file)) && false);

a cloud file recalled with more rights than it was opened with
win
src/convert/win32/input.cpp
info.bNoDelete || info.bReadOnly ? GENERIC_READ : GENERIC_READ | DELETE;
((void)info, GENERIC_READ | DELETE);

the reparse tag asked of every file
win
src/convert/win32/input.cpp
    if ((dwAttr & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
    if (true &&

the pin not kept
win
src/convert/win32/layer.h
                              kAttributePinned | kAttributeUnpinned;
                              kAttributeUnpinned;

the 64-bit index taken where the whole id is known
win
src/convert/win32/identity.cpp
    if (sys::GetFileInformationByHandleEx(h, FileIdInfo, &fid, sizeof fid)) {
    if (sys::GetFileInformationByHandleEx(h, FileIdInfo, &fid, sizeof fid) && false) {

ids of 0 compared as ids
win
src/convert/win32/identity.cpp
    if (IsKnown(idHeld) && IsKnown(idNamed)) {
    if (true) {

the work file made in clear beside an encrypted input
win
src/convert/win32/own_files.cpp
        info.facts.bEncrypted ? FILE_ATTRIBUTE_ENCRYPTED : FILE_ATTRIBUTE_NORMAL;
        FILE_ATTRIBUTE_NORMAL;

no owner fallback where the input's owner cannot be given
win
src/convert/win32/own_files.cpp
        if (!file.IsOpen() && GetLastError() == ERROR_INVALID_OWNER && m_bOwner) {
        if (false) {

an existing workfile.txt overwritten
win
src/convert/win32/own_files.cpp
                                           CREATE_NEW, dwAttributes | FILE_FLAG_SEQUENTIAL_SCAN));
                                           CREATE_ALWAYS, dwAttributes | FILE_FLAG_SEQUENTIAL_SCAN));

no reservation of workfile.bak
win
src/convert/win32/own_files.cpp
    return CreateOwn(pFolder, input, info, kBackupName, FILE_ATTRIBUTE_NORMAL, pFile,
    return 0; return CreateOwn(pFolder, input, info, kBackupName, FILE_ATTRIBUTE_NORMAL, pFile,

the old DACL never set back
win
src/convert/win32/after.cpp
    if (SysError e = SetAsItWas(pFolder->m_wszInput, was))
    if (SysError e = ((void)&SetAsItWas, 0))

the old DACL not looked at after the replacement
win
src/convert/win32/after.cpp
    if (!info.facts.bSecurity)
    if (true || !info.facts.bSecurity)

the DACL set back not read back
win
src/convert/win32/after.cpp
    return SameDacl(was, stored) ? 0 : ERROR_NOT_SUPPORTED;
    return 0;

a protected folder's refusal told as any failed create
win
src/convert/search_key_converter.cpp
fs::IsProtectedFolderError(e)
(fs::IsProtectedFolderError(e) && false)

a workfile.bak in the way left untold beside workfile.txt
win
src/convert/search_key_converter.cpp
            m_bBackupInTheWay = fs::BackupNameTaken(&folder);
            m_bBackupInTheWay = false;

the converted text removed where the old text is under the backup name
win
src/convert/search_key_converter.cpp
    if (m_bStranded) {
    if (false) {

the work file not flushed before it takes the input's place
native win
src/convert/search_key_converter.cpp
    if (fs::SysError e = fs::FlushToDisk(*pWork))
    if (fs::SysError e = 0)

a change by another program before the replacement missed (on Windows the check after it holds too)
native
src/convert/search_key_converter.cpp
    if (!bSame)
    if (false)

a file with a second name converted
native win
src/convert/search_key_converter.cpp
    if (pInfo->nLinks > 1)
    if (false)

a file that is not text converted
native win
src/convert/search_key_converter.cpp
    if (m_nonText != sk::NonText::kNone)
    if (false)

the folder not flushed after the rename, the call's wrapper still there
native
src/convert/posix/file_system_posix.cpp
    return sys::fsync(Fd(pFolder->m_dir)) == 0 ? 0 : errno;
    return ((void)pFolder, 0);

an existing workfile.txt opened, not refused
native
src/convert/posix/file_system_posix.cpp
                    O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);
                    O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, 0600);

the owner not kept
native
src/convert/posix/file_system_posix.cpp
    if (SysError e = KeepAccess(Fd(work), info.facts, false))
    if (SysError e = 0)
EOF
}

# The sources as they are now, twice: one copy to break, one to mend it
# from, whatever happens to the project meanwhile. Every file is given the
# time of the copy, so that a build left from an earlier break is made again.
copy_tree() {
  local d
  for d in tree orig; do
    rm -rf "${work:?}/$d" && mkdir -p "$work/$d"
    (cd "$project" && tar cf - CMakeLists.txt cmake src tests bench packaging LICENSE) |
      (cd "$work/$d" && tar xmf -)
  done
}

build_native() { cmake --build "$work/native" -j "$(nproc)" --target unit_tests fault_injection_tests >"$work/build.log" 2>&1; }
build_win() { cmake --build "$work/win" -j "$(nproc)" --target unit_tests fault_injection_tests >"$work/build.log" 2>&1; }
test_native() {
  "$work/native/tests/unit_tests" --gtest_brief=1 >"$work/test.log" 2>&1 &&
    "$work/native/tests/fault_injection_tests" --gtest_brief=1 >>"$work/test.log" 2>&1
}
test_win() {
  wine "$work/win/tests/unit_tests.exe" --gtest_brief=1 >"$work/test.log" 2>&1 &&
    wine "$work/win/tests/fault_injection_tests.exe" --gtest_brief=1 >>"$work/test.log" 2>&1
}

# Makes one break in the copy: the pairs of old and new text in the file.
make_break() {
  local file=$1
  shift
  cp "$work/orig/$file" "$work/tree/$file"
  while [ $# -ge 2 ]; do
    OLD=$1 NEW=$2 perl -0pi -e 's/\Q$ENV{OLD}\E/$ENV{NEW}/ or exit 3' "$work/tree/$file" || return 1
    shift 2
  done
}

# Inside one Wine environment for all of them: each break, then the file back.
run_breaks() {
  local caught=0 survived=0 stale=0 broken=0 failed=() block=() line
  for p in native win; do
    "build_$p" || { echo "checks: the unbroken copy does not build ($p): $work/build.log" >&2; exit 1; }
    "test_$p" || { echo "checks: the unbroken copy fails its tests ($p): $work/test.log" >&2; exit 1; }
  done
  while IFS= read -r line || [ ${#block[@]} -gt 0 ]; do
    if [ -n "$line" ]; then
      block+=("$line")
      continue
    fi
    local name=${block[0]} where=${block[1]} file=${block[2]} held=
    local pairs=("${block[@]:3}")
    block=()
    [ -z "$only" ] || [[ $name == *"$only"* ]] || continue
    if ! make_break "$file" "${pairs[@]}"; then
      printf '%-8s %s: the text to break is not in %s\n' STALE "$name" "$file"
      stale=$((stale + 1)); failed+=("$name")
      cp "$work/orig/$file" "$work/tree/$file"
      continue
    fi
    # Caught where every platform named fails a test; a break that does
    # not build proves nothing.
    local verdict=CAUGHT
    for p in $where; do
      if ! "build_$p"; then
        held="$held $p: does not build ($(grep -m1 -E 'error' "$work/build.log"))"
        verdict=BROKEN
      elif "test_$p"; then
        held="$held $p: every test passed"
        [ $verdict = BROKEN ] || verdict=SURVIVED
      else
        held="$held $p: $(grep -c -E '^\[  FAILED  \] [A-Za-z]' "$work/test.log") tests failed"
      fi
    done
    case $verdict in
      CAUGHT) caught=$((caught + 1)) ;;
      SURVIVED) survived=$((survived + 1)); failed+=("$name") ;;
      BROKEN) broken=$((broken + 1)); failed+=("$name") ;;
    esac
    printf '%-8s %s:%s\n' "$verdict" "$name" "$held"
    cp "$work/orig/$file" "$work/tree/$file"
  done < <(breaks; echo)
  echo "checks: $caught caught, $survived survived, $broken do not build, $stale stale"
  [ ${#failed[@]} -eq 0 ]
}

case ${1:-} in
  __run) shift; only=${1:-}; run_breaks; exit ;;
esac

copy_tree
cmake -S "$work/tree" -B "$work/native" -DCMAKE_BUILD_TYPE=Release >/dev/null 2>&1
cmake -S "$work/tree" -B "$work/win" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null 2>&1
exec tests/wine/with_wine.sh --timeout 7200 bash "$0" __run "$only"
