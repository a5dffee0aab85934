#!/usr/bin/env bash
# The detector as the launcher sees it: exactly one line on standard output,
# CR LF at its end, holding ".NET Framework" only when a framework is there.
#   detector-test.sh Quorlin.exe                (Linux: Mono found on PATH)
#   detector-test.sh wine-run Quorlin.exe       (Windows: the registry)
set -u
failures=0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# expect NAME EXPECTED-LINE [PATH]: runs the detector (with that PATH),
# compares its bytes.
expect() {
  local name=$1 line=$2 got
  got=$(env PATH="${3:-$PATH}" "${detector[@]}" | od -An -c | tr -s ' \n' ' ')
  local want; want=$(printf '%s\r\n' "$line" | od -An -c | tr -s ' \n' ' ')
  if [ "$got" = "$want" ]; then
    echo "ok: $name"
  else
    echo "FAILED: $name: got '$got', want '$want'"
    failures=$((failures + 1))
  fi
}

detector=("$@")
if [ "${1##*/}" = wine-run ]; then
  exe=$2
  view=/reg:32
  [ "$(od -An -tx2 -j$(($(od -An -tu4 -j60 -N4 "$exe" | tr -d ' ') + 4)) -N2 "$exe" | tr -d ' ')" = 8664 ] && view=/reg:64
  key='HKLM\SOFTWARE\Microsoft\NET Framework Setup\NDP\v4\Full'
  reg() { "$1" reg "${@:2}" "$view" >/dev/null 2>&1; }
  reg "$1" delete "$key" /v Release /f
  expect "no release value" "No .NET runtime 4.x is installed"
  reg "$1" add "$key" /v Release /t REG_DWORD /d 528040 /f || { echo "FAILED: cannot write the registry"; exit 1; }
  expect "4.8" ".NET Framework 4.8 (release 528040)"
  reg "$1" add "$key" /v Release /t REG_DWORD /d 461814 /f
  expect "4.7.2" ".NET Framework 4.7.2 (release 461814)"
  reg "$1" delete "$key" /v Release /f
else
  mkdir "$work/none" "$work/mono" "$work/broken"
  expect "no mono on PATH" "No .NET runtime 4.x is installed" "$work/none"
  printf '#!/bin/sh\necho "Mono JIT compiler version 6.8.0.105 (Debian 6.8.0.105+dfsg-3.3)"\necho "Copyright"\n' \
    >"$work/mono/mono"
  printf '#!/bin/sh\nexit 3\n' >"$work/broken/mono"
  chmod +x "$work/mono/mono" "$work/broken/mono"
  expect "mono on PATH" ".NET Framework 4.x compatible runtime: Mono 6.8.0.105" "$work/mono:$PATH"
  expect "mono that fails" "No .NET runtime 4.x is installed" "$work/broken:$PATH"
fi
[ "$failures" -eq 0 ] && echo "detector test passed"
[ "$failures" -eq 0 ]
