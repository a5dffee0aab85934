#!/usr/bin/env bash
# The install prompt on a real display: the probe shows it through the
# launcher's path and checks the captured window; then the label is
# clicked twice through the X server, each click must reach the URL opener
# (a stub xdg-open first on PATH; under Wine the shell's https association
# runs winebrowser, which runs it), and the window must stay open until it
# is closed, after which the program exits with 0.
#   window-test.sh COMMAND...      e.g. window-test.sh scripts/wine-run probe.exe
set -u
. "$(dirname "${BASH_SOURCE[0]}")/window-test-lib.sh"
need_display
if [ "${1##*/}" = wine-run ]; then
  install_wine_fonts "${WINEPREFIX:-$(cd "$(dirname "$1")/.." && pwd)/build/wineprefix}"
fi

make_work probe

stub_url_opener "$work"

coproc PROBE { exec "$@" 2>"$work/stderr"; }
pid=$PROBE_PID
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

click_label_twice "$x" "$y" "$pid"

echo close >&6
code=
while next_line 60; do
  echo "probe: $line"
  [ "$word" = exit ] && { code=$a; break; }
done
wait "$pid"
status=$?
pid=
[ "$code" = 0 ] && [ "$status" -eq 0 ] || fail "the loop ended with '$code', the program with $status"
read -r -t 1 -u 4 extra && fail "an extra URL was opened: $extra"
[ "$failures" -eq 0 ] || fail "$failures window checks failed"
echo "window test passed"
