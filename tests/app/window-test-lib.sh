# Shared by the window tests: what they need, the URL opener they watch,
# the work directory, and the two clicks on the label. Sourced.
url='https://www.microsoft.com/ru-ru/download/details.aspx?id=30653'
caption='Установите .NET'

# A work directory for a test of the program WHO, removed on exit after the
# process whose id is in $pid is killed; fail() reports, with WHO's
# standard error when it wrote to $work/stderr.
make_work() {
  who=$1
  work=$(mktemp -d)
  pid=
  trap remove_work EXIT
}
remove_work() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null
  rm -rf "$work"
}
fail() {
  echo "FAILED: $*"
  [ -s "$work/stderr" ] && { echo "--- $who's standard error"; cat "$work/stderr"; }
  exit 1
}

# Exits 77 (skipped) without an X server or xdotool.
need_display() {
  [ -n "${DISPLAY:-}" ] || { echo "SKIPPED: DISPLAY is not set; the window test needs an X server (Xvfb)"; exit 77; }
  command -v xdotool >/dev/null || { echo "SKIPPED: xdotool is not installed"; exit 77; }
}

# Windows ships Tahoma, which the layout is made for; a Wine prefix gets
# Wine's own metric-compatible Tahoma (Debian's fonts-wine) in its place.
install_wine_fonts() {
  local prefix=$1 font
  for font in /usr/share/wine/fonts/tahoma.ttf /usr/share/wine/fonts/tahomabd.ttf; do
    [ -f "$font" ] && [ -d "$prefix/drive_c/windows/Fonts" ] && cp -n "$font" "$prefix/drive_c/windows/Fonts/"
  done
  return 0
}

# A stub xdg-open first on PATH that writes each URL it is given to a FIFO
# read on descriptor 4 (under Wine the shell's https association runs
# winebrowser, which runs it).
stub_url_opener() {
  local work=$1
  mkdir -p "$work/stub"
  mkfifo "$work/opened"
  cat >"$work/stub/xdg-open" <<STUB
#!/bin/sh
printf '%s\n' "\$*" >>"$work/opened"
STUB
  chmod +x "$work/stub/xdg-open"
  # Held open for reading and writing: the stub never blocks, reads wait.
  exec 4<>"$work/opened"
  export PATH="$work/stub:$PATH"
}

# Two clicks at X Y must each open the URL once, and leave the window of
# process PID open and visible.
click_label_twice() {
  local x=$1 y=$2 pid=$3 click opened
  for click in 1 2; do
    xdotool mousemove --sync "$x" "$y" click 1 || fail "xdotool could not click"
    read -r -t 60 -u 4 opened || fail "click $click opened nothing"
    [ "$opened" = "$url" ] || fail "click $click opened '$opened'"
    echo "click $click opened $opened"
  done
  kill -0 "$pid" 2>/dev/null || fail "the window closed after the clicks"
  xdotool search --onlyvisible --name "^$caption\$" >/dev/null || fail "no visible window after the clicks"
}
