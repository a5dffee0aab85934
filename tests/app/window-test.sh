#!/usr/bin/env bash
# The install prompt on a real display: the probe shows it through the
# launcher's path and checks the captured window; then the label is
# clicked twice through the X server, each click must reach the URL opener
# (a stub xdg-open first on PATH; under Wine the shell's https association
# runs winebrowser, which runs it), and the window must stay open until it
# is closed, after which the program exits with 0.
#   window-test.sh COMMAND...      e.g. window-test.sh scripts/wine-run probe.exe
set -u
url='https://www.microsoft.com/ru-ru/download/details.aspx?id=30653'
caption='Установите .NET'

[ -n "${DISPLAY:-}" ] || { echo "SKIPPED: DISPLAY is not set; the window test needs an X server (Xvfb)"; exit 77; }
command -v xdotool >/dev/null || { echo "SKIPPED: xdotool is not installed"; exit 77; }

# Windows ships Tahoma, which the layout is made for; a Wine prefix gets
# Wine's own metric-compatible Tahoma (Debian's fonts-wine) in its place.
if [ "${1##*/}" = wine-run ]; then
  prefix=${WINEPREFIX:-$(cd "$(dirname "$1")/.." && pwd)/build/wineprefix}
  for font in /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf; do
    [ -f "$font" ] && [ -d "$prefix/drive_c/windows/Fonts" ] && cp -n "$font" "$prefix/drive_c/windows/Fonts/"
  done
fi

work=$(mktemp -d)
probe_pid=
cleanup() {
  [ -n "$probe_pid" ] && kill "$probe_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED: $*"
  [ -s "$work/stderr" ] && { echo "--- probe's standard error"; cat "$work/stderr"; }
  exit 1
}

mkdir "$work/stub"
mkfifo "$work/opened"
cat >"$work/stub/xdg-open" <<STUB
#!/bin/sh
printf '%s\n' "\$*" >>"$work/opened"
STUB
chmod +x "$work/stub/xdg-open"
# Held open for reading and writing: the stub never blocks, reads wait.
exec 4<>"$work/opened"
export PATH="$work/stub:$PATH"

coproc PROBE { exec "$@" 2>"$work/stderr"; }
probe_pid=$PROBE_PID
exec 5<&"${PROBE[0]}" 6>&"${PROBE[1]}"

x= y= failures=0
# A Windows program's lines end in CR LF: the CR goes.
next_line() { read -r -t "$1" -u 5 line || return 1; line=${line%$'\r'}; read -r word a b <<<"$line"; }

while next_line 120; do
  echo "probe: $line"
  case $word in
    FAIL) failures=$((failures + 1)) ;;
    label) x=$a y=$b ;;
    ready) break ;;
    exit) fail "the probe ended before the window was shown" ;;
  esac
done
[ -n "$x" ] || fail "the probe reported no window"
[ "$failures" -eq 0 ] && echo "window checks passed" || echo "$failures window checks failed"

for click in 1 2; do
  xdotool mousemove --sync "$x" "$y" click 1 || fail "xdotool could not click"
  read -r -t 60 -u 4 opened || fail "click $click opened nothing"
  [ "$opened" = "$url" ] || fail "click $click opened '$opened'"
  echo "click $click opened $opened"
done
kill -0 "$probe_pid" 2>/dev/null || fail "the window closed after the clicks"
xdotool search --onlyvisible --name "$caption" >/dev/null || fail "no visible window '$caption' after the clicks"

echo close >&6
code=
while next_line 60; do
  echo "probe: $line"
  [ "$word" = exit ] && { code=$a; break; }
done
wait "$probe_pid"
status=$?
probe_pid=
[ "$code" = 0 ] && [ "$status" -eq 0 ] || fail "the loop ended with '$code', the program with $status"
read -r -t 1 -u 4 extra && fail "an extra URL was opened: $extra"
[ "$failures" -eq 0 ] || fail "$failures window checks failed"
echo "window test passed"
