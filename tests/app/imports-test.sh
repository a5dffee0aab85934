#!/usr/bin/env bash
# imports-test.sh OBJDUMP PROGRAM: the program needs no library beyond the
# system's own, so that it runs when copied to a machine that has only
# those. Windows: the DLLs it imports; Linux: the libraries it needs (the
# sanitizers' runtimes allowed, in the builds that use them).
set -euo pipefail
objdump=$1 program=$2
allowed='^(kernel32|user32|gdi32|msvcrt|advapi32|shell32|ws2_32|ntdll)\.dll$|^(libc\.so\.6|libm\.so\.6|ld-linux-x86-64\.so\.2|libasan\.so\.[0-9]+|libubsan\.so\.[0-9]+|libtsan\.so\.[0-9]+)$'
needed=$("$objdump" -p "$program" | sed -nE 's/^\s*DLL Name: (.*)$/\1/p; s/^\s*NEEDED\s+(.*)$/\1/p')
if [ -z "$needed" ]; then
  echo "FAIL: objdump -p lists no imports for $program"
  exit 1
fi
bad=$(tr 'A-Z' 'a-z' <<<"$needed" | grep -vE "$allowed" || true)
echo "$program needs:" $needed
if [ -n "$bad" ]; then
  echo "FAIL: beyond the system's own:" $bad
  exit 1
fi
echo ok
