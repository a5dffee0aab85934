#!/usr/bin/env bash
# scripts/wine-run as CTest uses it: the program's exit code, standard input
# and standard error pass through, and the run ends with the program even
# when a process it started (as Wine starts its desktop and console hosts)
# still holds the program's standard error.
#   wine-run-test.sh WINE-RUN CHILD_EXIT CHILD_ECHO CHILD_LINES CHILD_SLEEP
set -u
wine_run=$1 child_exit=$2 child_echo=$3 child_lines=$4 child_sleep=$5
failures=0
work=$(mktemp -d)
# The holder has a name of its own, so that only it is ended at the end.
holder="$work/holder_$$.exe"
cp "$child_sleep" "$holder"
end_holder() {
  local p
  for p in /proc/[0-9]*; do
    grep -qaF "holder_$$.exe" "$p/cmdline" 2>/dev/null && kill "${p#/proc/}" 2>/dev/null
  done
}
cleanup() {
  end_holder
  rm -rf "$work"
}
trap cleanup EXIT
check() {
  if [ "$2" = "$3" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1: got '$2', want '$3'"
    failures=$((failures + 1))
  fi
}

"$wine_run" "$child_exit" 7 </dev/null >/dev/null 2>&1
check "the exit code" "$?" 7

got=$(printf 'one\r\ntwo\n' | "$wine_run" "$child_echo" 2>/dev/null | od -An -c | tr -s ' \n' ' ')
check "standard input and output" "$got" "$(printf 'ONE\r\nTWO\n' | od -An -c | tr -s ' \n' ' ')"

# cmd keeps the blank before the redirection.
got=$("$wine_run" cmd /c "echo to-stderr 1>&2" 2>&1 >/dev/null </dev/null | tr -d '\r' | sed 's/ *$//')
check "standard error" "$got" "to-stderr"

# The holder keeps running, with the program's standard error, after cmd
# has ended: the stream must still end, and the exit code come through.
exec 5< <({ "$wine_run" cmd /c start "" /b "Z:$(printf '%s' "$holder" | tr / '\\')" 2>&1 >/dev/null </dev/null
            echo "wine-run ended with $?"; } 2>/dev/null)
ended= read_status=0
while :; do
  read -r -t 60 -u 5 line || { read_status=$?; break; }
  case $line in "wine-run ended with "*) ended=${line#wine-run ended with } ;; esac
done
# 1 is the end of the stream; above 128 the time ran out with it open.
check "the end of standard error while a started process still runs" "$read_status/$ended" "1/0"
exec 5<&-

# A signal to wine-run ends the program: its output stops and ends.
coproc RUN { exec "$wine_run" "$child_lines" 2 600000 2>/dev/null </dev/null; }
exec 6<&"${RUN[0]}"
read -r -t 60 -u 6 line
check "the program's first line" "${line%$'\r'}" "line 1"
kill "$RUN_PID"
wait "$RUN_PID"
status=$?
read -r -t 60 -u 6 line
read_status=$?
check "the end of the output after a signal to wine-run" "$read_status" 1
[ "$status" -ne 0 ] || check "wine-run's exit code after the signal" "$status" "not 0"
exec 6<&-

[ "$failures" -eq 0 ] && echo "wine-run test passed"
[ "$failures" -eq 0 ]
