#!/usr/bin/env bash
# The 32-bit programs as built, with their symbols: SSE and SSE2 instructions
# (those on xmm or MMX registers, and the fences and stores SSE2 added) stand
# only in functions of sk::line_sse2, which run only where the processor has
# SSE2. An emulated processor without SSE2 runs them anyway (qemu checks the
# processor's features only where a program asks), so only this check shows
# that a processor without SSE2 never meets one.
#
#   sse2_confined.sh OBJDUMP PROGRAM.exe...
set -u
objdump=$1
shift
failed=0
for exe in "$@"; do
  listing=$("$objdump" -d -C --no-show-raw-insn "$exe") || { echo "FAIL $exe: $objdump cannot read it"; failed=1; continue; }
  # Each function that holds such an instruction, with how many.
  found=$(awk '/^[0-9a-f]+ <.*>:$/ { fn = substr($0, index($0, "<")); next }
               /%x?mm[0-9]|\t(mfence|lfence|movnti|clflush|maskmovq)( |$)/ { n[fn]++ }
               END { for (f in n) print n[f] " " f }' <<<"$listing" | sort -rn)
  outside=$(grep -v ' <sk::line_sse2::' <<<"$found")
  inside=$(grep -c ' <sk::line_sse2::' <<<"$found")
  if [ -n "$outside" ]; then
    echo "FAIL $exe: SSE instructions outside sk::line_sse2:"
    echo "$outside"
    failed=1
  elif [ "$inside" -eq 0 ]; then
    echo "FAIL $exe: no SSE2 code in sk::line_sse2 (stripped, or the path is gone)"
    failed=1
  else
    echo "PASS $exe: SSE instructions only in $inside functions of sk::line_sse2"
  fi
done
exit "$failed"
