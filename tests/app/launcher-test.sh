#!/usr/bin/env bash
# The launcher end to end: a scratch folder holding the launcher, a
# scripted fake detector as Quorlin.exe and the sample worker as
# bin/Tarvex.exe; the launcher runs there with given arguments and the
# outcome is checked: the worker's report, the install prompt or the
# report of a start-up error.
#   launcher-test.sh CASE LAUNCHER DETECTOR WORKER [WINDOWTOOL]
# With WINDOWTOOL (win32) every program runs under scripts/wine-run; the
# prompt and the error report are windows then, read and closed by
# WINDOWTOOL. posix runs without a display: the prompt goes to standard
# error.
set -u
case_name=$1 launcher=$2 detector=$3 worker=$4 tool=${5:-}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
wine_run="$here/../../scripts/wine-run"
url='https://www.microsoft.com/ru-ru/download/details.aspx?id=30653'
caption='Установите .NET'

if [ -n "$tool" ] && [ -z "${DISPLAY:-}" ]; then
  echo "SKIPPED: DISPLAY is not set; Wine needs an X server for the launcher's windows"
  exit 77
fi

work=$(mktemp -d)
drive=
cleanup() {
  [ -n "$drive" ] && rm -f "$drive"
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAILED ($case_name): $*"
  for f in stderr tool.out Tarvex-report.txt; do
    [ -s "$work/$f" ] && { echo "--- $f"; cat "$work/$f"; }
  done
  exit 1
}

# The detector's script (see FakeDetector.cpp) and the launcher's arguments.
script=() args=() expect=prompt expect_args=() cwd_mode=plain bound=
marker='write Microsoft .NET Framework 4.8 (release 528040)\r\n'
case $case_name in
  marker_after_text) script=("$marker" 'write Detector 1.0\r\n' 'write done\r\n'); expect=worker ;;
  lower_case) script=('write microsoft .net framework 4.8\r\n') ;;
  two_blanks) script=('write Microsoft .NET  Framework 4.8\r\n') ;;
  lf_then_crlf) script=('write first\n' 'write .NET Framework 4.8\n' 'sleep 200' 'write last\r\n'); expect=worker ;;
  lf_only) script=('write first\n' 'write .NET Framework 4.8\n') ;;
  unterminated_last) script=('write first\r\n' 'write .NET Framework 4.8') ;;
  marker_late) script=('sleep 1500' "$marker") ;;
  prints_nothing) script=() ;;
  missing_detector) expect=error ;;
  three_args) script=("$marker"); expect=worker
    args=(one 'two words' three) expect_args=(one 'two words' three) ;;
  quotes_inside) script=("$marker"); expect=worker
    args=('a"b"c') expect_args=(abc) ;;
  no_args) script=("$marker"); expect=worker ;;
  drive_root) script=("$marker"); expect=worker cwd_mode=drive
    args=(x 'y z') expect_args=(x 'y z') ;;
  # The detector hangs after the marker: the launcher still ends promptly.
  marker_then_hang) script=("$marker" 'sleep 120000'); expect=worker bound=8 ;;
  deleted_cwd) script=("$marker"); expect=cwd_error cwd_mode=deleted ;;
  few_descriptors) script=("$marker" 'write done\r\n'); expect=worker cwd_mode=limits ;;
  *) echo "unknown case $case_name"; exit 2 ;;
esac
[ "$cwd_mode" = drive ] && [ -z "$tool" ] && { echo "SKIPPED: a drive root exists on Windows only"; exit 77; }
case $cwd_mode in deleted | limits)
  [ -n "$tool" ] && { echo "SKIPPED: posix only"; exit 77; } ;;
esac

cp "$launcher" "$work/"
# The window module is loaded from the launcher's own folder.
[ -z "$tool" ] && cp "$(dirname "$launcher")/libgreen_prompt_gtk.so" "$work/"
mkdir "$work/bin"
cp "$worker" "$work/bin/Tarvex.exe"
if [ "$case_name" != missing_detector ]; then
  cp "$detector" "$work/Quorlin.exe"
  printf '%s\n' "${script[@]}" >"$work/Quorlin.script"
fi
name=$(basename "$launcher")
report="$work/Tarvex-report.txt"

if [ "$cwd_mode" = limits ]; then
  # From too few descriptors to enough: the launcher decides or reports,
  # at once, never ends by a signal, and leaves no pipe file behind.
  mkdir -m 700 "$work/run"
  for n in $(seq 8 30); do
    start=$SECONDS
    (cd "$work" && ulimit -n "$n" && exec env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$work/run" \
      "./$name") >"$work/stdout" 2>"$work/stderr"
    code=$?
    [ "$code" -le 1 ] || fail "ulimit -n $n: exit code $code"
    [ "$code" -eq 0 ] || grep -q . "$work/stderr" || fail "ulimit -n $n: exit code 1 without a report"
    [ $((SECONDS - start)) -lt 4 ] || fail "ulimit -n $n: the launcher took $((SECONDS - start)) s"
    left=$(find "$work/run" -mindepth 2)
    [ -z "$left" ] || fail "ulimit -n $n: left in the pipe folder: $left"
  done
  echo "launcher case $case_name passed"
  exit 0
elif [ "$cwd_mode" = deleted ]; then
  # Started from a folder that is gone: the worker's path cannot be made.
  mkdir "$work/gone"
  (cd "$work/gone" && rmdir "$work/gone" && exec env -u DISPLAY -u WAYLAND_DISPLAY -u TARVEX_REPORT \
    "$work/$name" >"$work/stdout" 2>"$work/stderr")
  code=$?
  [ "$code" -eq 1 ] || fail "exit code $code, expected 1"
  grep -qF 'The current directory cannot be read: ' "$work/stderr" || fail "no report of the unreadable directory"
elif [ -z "$tool" ]; then
  started=$SECONDS
  (cd "$work" && exec env -u DISPLAY -u WAYLAND_DISPLAY -u TARVEX_REPORT "./$name" "${args[@]}" >"$work/stdout" 2>"$work/stderr")
  code=$?
  took=$((SECONDS - started))
  case $expect in
    worker) [ "$code" -eq 0 ] || fail "exit code $code, expected 0" ;;
    prompt)
      [ "$code" -eq 2 ] || fail "exit code $code, expected 2 (a prompt without a display)"
      grep -qF "$url" "$work/stderr" || fail "the prompt's address is not on standard error"
      grep -qF 'После установки перезапустите приложение!!!' "$work/stderr" || fail "the prompt's text is not on standard error" ;;
    error)
      [ "$code" -ne 0 ] || fail "a start-up error ended with exit code 0"
      grep -qE '^[A-Za-z:]*EIOError: OvoConsoleApplication error: .+' "$work/stderr" ||
        fail "no report of the start-up exception" ;;
  esac
else
  # Windows paths of the folder: Z: maps the root; a drive of its own for
  # the root case, its letter free in this prefix.
  prefix=${WINEPREFIX:-$here/../../build/wineprefix}
  dir="Z:$(printf '%s' "$work" | tr / '\\')"
  if [ "$cwd_mode" = drive ]; then
    for letter in t u v w x y; do
      [ -e "$prefix/dosdevices/$letter:" ] || { drive="$prefix/dosdevices/$letter:"; break; }
    done
    [ -n "$drive" ] || fail "no free drive letter in $prefix"
    ln -s "$work" "$drive"
    dir="${letter^^}:\\"
  fi
  line="\"$dir$([ "$cwd_mode" = drive ] || printf '\\')$name\""
  case $case_name in
    three_args) line+=' one "two words" three' ;;
    quotes_inside) line+=' a"b"c' ;;
    drive_root) line+=' x "y z"' ;;
  esac
  printf '%s\n' "$line" >"$work/cmdline.txt"
  "$wine_run" "$tool" run "$dir" "Z:$(printf '%s' "$work/cmdline.txt" | tr / '\\')" >"$work/run.out" 2>&1 &
  runner=$!
  started=$SECONDS
  case $expect in
    prompt) "$wine_run" "$tool" window "$caption" 60 >"$work/tool.out" 2>&1 ;;
    error) "$wine_run" "$tool" window Launcher 60 >"$work/tool.out" 2>&1 ;;
  esac
  wait "$runner"
  took=$((SECONDS - started))
  code=$(sed -n 's/^exit \([0-9]*\).*/\1/p' "$work/run.out")
  [ -n "$code" ] || fail "the launcher did not run: $(cat "$work/run.out")"
  case $expect in
    worker) [ "$code" = 0 ] || fail "exit code $code, expected 0" ;;
    prompt)
      grep -q '^window 303 140' "$work/tool.out" || fail "no prompt window with a 303x140 client area"
      grep -qF 'После установки перезапустите приложение!!!' "$work/tool.out" || fail "the memo's text is missing"
      grep -qF 'Установить .NET' "$work/tool.out" || fail "the label is missing"
      [ "$code" = 0 ] || fail "closing the prompt gave exit code $code" ;;
    error)
      grep -qE 'EIOError: OvoConsoleApplication error: .+' "$work/tool.out" || fail "no report of the start-up exception"
      [ "$code" != 0 ] || fail "a start-up error ended with exit code 0" ;;
  esac
fi

[ -z "$bound" ] || [ "$took" -lt "$bound" ] || fail "the launcher took $took s (bound: $bound s)"

# The worker writes its report at once; a launcher that has ended has
# started it already, or not at all.
if [ "$expect" = worker ]; then
  for _ in $(seq 600); do [ -f "$report" ] && break; sleep 0.05; done
  [ -f "$report" ] || fail "the worker wrote no report"
  got=$(sed -n 's/^arg=//p' "$report" | tr -d '\r')
  want=$(printf '%s\n' "${expect_args[@]}")
  [ ${#expect_args[@]} -gt 0 ] || want=
  [ "$got" = "$want" ] || fail "the worker got arguments [$got], expected [$want]"
  cwd=$(sed -n 's/^cwd=//p' "$report" | tr -d '\r')
  if [ -z "$tool" ]; then
    [ "$cwd" = "$work" ] || fail "the worker ran in $cwd"
  elif [ "$cwd_mode" = drive ]; then
    [ "$cwd" = "$dir" ] || fail "the worker ran in $cwd, expected $dir"
    grep -qF "cmdline=\"$dir\\bin\\Tarvex.exe\"" "$report" || grep -qF "$dir\\bin\\Tarvex.exe" "$report" ||
      fail "the worker's path is not under the drive root"
  fi
else
  sleep 0.5
  [ ! -f "$report" ] || fail "the worker was started"
fi
echo "launcher case $case_name passed"
