#!/usr/bin/env bash
# Checks what scripts/setup does on machines it cannot see from here: a
# package index that fails, wine32 that cannot be installed, a kernel
# without 32-bit, everything present, a package missing from the archive.
# apt-get, dpkg, dpkg-query, sudo, sleep and the 32-bit probe are stubs
# first on PATH that act on files in a scratch folder; nothing needs root
# or the network. Prints "N passed, N failed"; exits 0 when none failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/setup-test.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The stubs' world: installed (name:arch lines), foreign (architectures),
# missing (names apt cannot locate), broken (names with unmet
# dependencies), update-fails, runs-i386; every call goes to calls.
stubs=$work/stubs
mkdir -p "$stubs"
cat >"$stubs/apt-get" <<'STUB'
#!/usr/bin/env bash
w=$STUB_WORLD
echo "apt-get $*" >>"$w/calls"
args=() simulate=0
for a in "$@"; do
  case $a in -s) simulate=1 ;; -*|*=*) ;; *) args+=("$a") ;; esac
done
case ${args[0]} in
  update)
    if [ -e "$w/update-fails" ]; then
      echo "Err:7 http://deb.example/debian-security bookworm-security/main i386 Packages"
      echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
      exit 100
    fi ;;
  install)
    for p in "${args[@]:1}"; do
      if grep -qxF "$p" "$w/missing" 2>/dev/null; then
        echo "E: Unable to locate package $p"; exit 100
      elif grep -qxF "$p" "$w/broken" 2>/dev/null; then
        echo "The following packages have unmet dependencies:"
        echo " $p : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed"
        echo "E: Unable to correct problems, you have held broken packages."; exit 100
      fi
    done
    [ "$simulate" -eq 1 ] && exit 0
    for p in "${args[@]:1}"; do
      case $p in *:*) echo "$p" ;; *) echo "$p:amd64" ;; esac >>"$w/installed"
    done ;;
esac
exit 0
STUB
cat >"$stubs/dpkg-query" <<'STUB'
#!/usr/bin/env bash
w=$STUB_WORLD
echo "dpkg-query $*" >>"$w/calls"
shift 2  # -W -f=...
touch "$w/installed"
for p in "$@"; do
  while read -r l; do
    case $p in *:*) [ "$l" = "$p" ] ;; *) [ "${l%%:*}" = "$p" ] ;; esac &&
      echo "$l install ok installed"
  done <"$w/installed"
done
STUB
cat >"$stubs/dpkg" <<'STUB'
#!/usr/bin/env bash
w=$STUB_WORLD
echo "dpkg $*" >>"$w/calls"
case $1 in
  --print-foreign-architectures) cat "$w/foreign" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$w/foreign" ;;
esac
STUB
printf '#!/bin/sh\necho "runs-i386" >>"$STUB_WORLD/calls"\n[ -e "$STUB_WORLD/runs-i386" ]\n' >"$stubs/runs-i386"
printf '#!/bin/sh\nexec "$@"\n' >"$stubs/sudo"
printf '#!/bin/sh\necho "sleep $*" >>"$STUB_WORLD/calls"\n' >"$stubs/sleep"
chmod +x "$stubs"/*

passed=0 failed=0
# A fresh world and a copy of the scripts, so setup's state is the case's own.
fresh() {
  export STUB_WORLD=$work/world.$1
  rm -rf "$STUB_WORLD" && mkdir -p "$STUB_WORLD/root/scripts"
  cp -r "$src/scripts/setup" "$src/scripts/probe" "$STUB_WORLD/root/scripts/"
  : >"$STUB_WORLD/calls"
}
setup() {  # runs setup with the given needs; output in $out, status in $status
  out=$(PATH="$stubs:$PATH" "$STUB_WORLD/root/scripts/setup" "$@" 2>&1)
  status=$?
}
check() {  # NAME CONDITION...: a case passes when every condition holds
  local name=$1; shift
  local c
  for c in "$@"; do
    if ! eval "$c"; then
      echo "FAIL $name: $c"
      printf '  %s\n' "$out" "--- calls:" "$(cat "$STUB_WORLD/calls")"
      failed=$((failed + 1))
      return
    fi
  done
  echo "ok   $name"
  passed=$((passed + 1))
}
installed() { grep -qx "$1" "$STUB_WORLD/installed" 2>/dev/null; }
called() { grep -qE "$1" "$STUB_WORLD/calls"; }
windows() { cat "$STUB_WORLD/root/build/setup/windows" 2>/dev/null; }

fresh index; touch "$STUB_WORLD/update-fails"
setup run
check "an index that fails is retried, named, and setup goes on" \
  '[ "$status" -eq 0 ]' \
  '[ "$(grep -c "^apt-get .*update" "$STUB_WORLD/calls")" -eq 3 ]' \
  'grep -q "could not fetch .*binary-i386/Packages.xz (File has unexpected size" <<<"$out"' \
  'installed cmake:amd64' 'installed xdotool:amd64' \
  '! installed wine:amd64' '! installed g++-mingw-w64-i686-posix:amd64'

fresh wine32; touch "$STUB_WORLD/runs-i386"; echo wine32:i386 >"$STUB_WORLD/broken"
setup test
check "wine32 that cannot be installed: setup goes on to win64 and says why" \
  '[ "$status" -eq 0 ]' \
  'called "^dpkg --add-architecture i386"' \
  'installed wine64:amd64' 'installed g++-mingw-w64-x86-64-posix:amd64' \
  '[ "$(windows)" = "$(printf "win64\twine32 could not be installed: wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to be installed")" ]'

fresh wine32-ok; touch "$STUB_WORLD/runs-i386"
setup test
check "a kernel that runs 32-bit gets wine32 and no 64-bit cross build" \
  '[ "$status" -eq 0 ]' 'installed wine32:i386' \
  '! installed g++-mingw-w64-x86-64-posix:amd64' '[ "$(windows)" = win32 ]'

fresh no32
setup test
check "a kernel without 32-bit: no i386 architecture, no wine32" \
  '[ "$status" -eq 0 ]' '! called "^dpkg --add-architecture"' '! called "wine32"' \
  'installed wine64:amd64' 'installed g++-mingw-w64-x86-64-posix:amd64' \
  '[ "$(windows)" = "$(printf "win64\tthe kernel cannot run 32-bit programs")" ]'
: >"$STUB_WORLD/calls"
setup test
check "everything present: apt and dpkg are not called" \
  '[ "$status" -eq 0 ]' '! called "^(apt-get|dpkg) "' '[ -z "$out" ]'

fresh missing; echo libgtk-3-dev >"$STUB_WORLD/missing"
setup run
check "a required package missing from the archive: one clear error" \
  '[ "$status" -ne 0 ]' \
  '[ "$(grep -c . <<<"$out")" -eq 2 ]' \
  'grep -qx "setup: cannot install libgtk-3-dev: Unable to locate package libgtk-3-dev" <<<"$out"'

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
