#!/usr/bin/env bash
# The launcher's install prompt on a real display, looked at from outside:
# a detector that prints nothing, so the launcher shows the window; its
# client size, the red memo text and the red underlined label are checked
# at their bounds in a capture (fonts differ, so no golden image); the
# label is clicked twice through the X server, each click must reach the
# URL opener (a stub xdg-open first on PATH; under Wine the shell's https
# association runs winebrowser, which runs it); the window must stay open,
# and closing it must end the launcher with 0.
#   launcher-window-test.sh LAUNCHER DETECTOR WORKER native WINDOW_SHOT
#   launcher-window-test.sh LAUNCHER DETECTOR WORKER win32 WINDOWTOOL
set -u
launcher=$1 detector=$2 worker=$3 mode=$4 tool=$5
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_run="$here/../../scripts/wine-run"
. "$here/window-test-lib.sh"
# The label sizes itself to its caption: some room beyond its designed 147x23
# (the probe's own test checks that the caption fits the label exactly).
memo=0,0,303,65 label=72,88,156,26 label_right=228 label_bottom=114
need_display

make_work launcher

cp "$launcher" "$work/"
[ "$mode" = native ] && cp "$(dirname "$launcher")/libgreen_prompt_gtk.so" "$work/"
cp "$detector" "$work/Quorlin.exe"
: >"$work/Quorlin.script"
mkdir "$work/bin"
cp "$worker" "$work/bin/Tarvex.exe"
[ "$mode" = win32 ] && install_wine_fonts "${WINEPREFIX:-$here/../../build/wineprefix}"
stub_url_opener "$work"

name=$(basename "$launcher")
if [ "$mode" = native ]; then
  (cd "$work" && exec "./$name" 2>"$work/stderr") &
else
  (cd "$work" && exec "$wine_run" "./$name" 2>"$work/stderr") &
fi
pid=$!

# The window, and what is red in its client area.
if [ "$mode" = native ]; then
  id=
  for _ in $(seq 1200); do
    id=$(xdotool search --onlyvisible --name "^$caption\$" 2>/dev/null | head -1)
    [ -n "$id" ] && break
    kill -0 "$pid" 2>/dev/null || fail "the launcher ended without showing the window"
    sleep 0.05
  done
  [ -n "$id" ] || fail "no window '$caption'"
  sleep 0.5  # its first frame
  "$tool" "$id" "$work/prompt.png" "$memo" "$label" 0,0,303,140 >"$work/look" || fail "no capture"
  eval "$(xdotool getwindowgeometry --shell "$id")"
  origin_x=$X origin_y=$Y
  size=$(sed -n 's/^size //p' "$work/look")
else
  "$wine_run" "$tool" look "$caption" 60 "$memo" "$label" 0,0,303,140 >"$work/look" 2>/dev/null ||
    fail "no window '$caption'"
  read -r origin_x origin_y < <(sed -n 's/^origin //p' "$work/look" | tr -d '\r')
  size=$(sed -n 's/^window //p' "$work/look")
fi
cat "$work/look"
size=${size%$'\r'}
[ "$size" = "303 140" ] || fail "client area $size, expected 303 140"
mapfile -t red < <(sed -n 's/^red //p' "$work/look" | tr -d '\r')
read -r m_count m_left m_top m_right m_bottom _ _ <<<"${red[0]}"
read -r l_count l_left l_top l_right l_bottom l_run l_row <<<"${red[1]}"
read -r all_count _ <<<"${red[2]}"
[ "$m_count" -gt 200 ] || fail "no red text in the memo"
[ "$m_left" -ge 0 ] && [ "$m_right" -lt 303 ] && [ "$m_bottom" -lt 65 ] || fail "the memo's red text is outside its bounds"
[ "$l_count" -gt 100 ] || fail "no red text in the label"
[ "$l_left" -ge 72 ] && [ "$l_right" -lt "$label_right" ] && [ "$l_top" -ge 88 ] && [ "$l_bottom" -lt "$label_bottom" ] ||
  fail "the label's red text is outside its bounds"
# The underline: one red row about as wide as the label's text, under it.
[ "$l_run" -ge $(((l_right - l_left + 1) * 8 / 10)) ] && [ "$l_row" -ge $((l_top + 10)) ] ||
  fail "the label is not underlined (longest red run $l_run at row $l_row)"
[ "$all_count" -eq $((m_count + l_count)) ] || fail "red outside the memo and the label"
echo "window checks passed"

click_label_twice $((origin_x + 72 + 147 / 2)) $((origin_y + 88 + 23 / 2)) "$pid"

if [ "$mode" = native ]; then
  "$tool" --close "$id" || fail "could not ask the window to close"
else
  "$wine_run" "$tool" close "$caption" || fail "could not ask the window to close"
fi
wait "$pid"
status=$?
pid=
[ "$status" -eq 0 ] || fail "closing the window ended the launcher with $status"
read -r -t 1 -u 4 extra && fail "an extra URL was opened: $extra"
[ -f "$work/Tarvex-report.txt" ] && fail "the worker was started"
echo "launcher window test passed"
