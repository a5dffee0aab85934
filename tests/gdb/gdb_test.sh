#!/usr/bin/env bash
# The gdb extension against park_greenlets (ParkGreenlets.cpp): gdb attaches
# to the running program, lists its greenlets and unwinds them, writes a
# core file of it; then reads the core file the same way; then, still
# attached, breaks three structures and checks that the extension reads
# past them. Exit 77 (skipped) only when the system forbids attaching.
#   gdb_test.sh PROGRAM EXTENSION WORKDIR
set -uo pipefail
prog=$1 ext=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

command -v gdb >/dev/null || { echo "FAIL: gdb is not installed (scripts/setup test installs it)"; exit 1; }
rm -rf "$work" && mkdir -p "$work" || exit 1

# start NAME: runs the program with its output through a fifo, sets $pid,
# and waits until it prints "ready", once every greenlet is parked.
pids=()
start() {
  mkdir -p "$work/$1" && mkfifo "$work/$1/out" || exit 1
  "$prog" "$work/$1" >"$work/$1/out" 2>"$work/$1/program.err" &
  pid=$!
  pids+=("$pid")
  local line
  exec 3<"$work/$1/out"
  if ! read -r -t 60 line <&3 || [ "$line" != ready ]; then
    echo "FAIL: the program did not get ready"; cat "$work/$1/program.err"; exit 1
  fi
}
trap 'for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null; wait "$p" 2>/dev/null; done' EXIT

gdb_run() {  # LOG ARGS...: one batch session, its output in LOG
  local log=$1; shift
  timeout 240 gdb -nx -batch -iex "set auto-load python-scripts off" -ex "set pagination off" \
    -ex "set python print-stack full" -ex "set language c++" "$@" >"$log" 2>&1
}

start live
# The core file: the kernel's own dump, which lands in the program's
# directory where the core pattern is a plain file name; otherwise the one
# gdb's gcore wrote. gdb 13's gcore loses fiber stacks on kernels whose
# stack guards are guard regions inside the stack's mapping (Linux 6.13 on).
gdb_run "$work/live.log" -p "$pid" -ex "source $ext" -ex "info greenlets" \
  -ex "greenlet apply all bt" -ex "gcore $work/park.gcore"
if grep -qE "ptrace: Operation not permitted|Could not attach to process|not permitted to attach" "$work/live.log"; then
  echo "SKIP: this system forbids attaching a debugger to a process (ptrace):"
  grep -m1 -E "ptrace|attach" "$work/live.log"
  exit 77
fi
pattern=$(cat /proc/sys/kernel/core_pattern 2>/dev/null)
core=$work/park.gcore
if [[ -n $pattern && $pattern != *'|'* && $pattern != */* ]]; then
  kill -ABRT "$pid"
  wait "$pid" 2>/dev/null
  kernel_core=$(ls -t "$work"/live/core* 2>/dev/null | head -1)
  [ -n "$kernel_core" ] && core=$kernel_core
fi
echo "core file: $core"

# The section of a log between the header line of the greenlet named $2
# and the next header (of a greenlet or a hub).
section() {
  awk -v name="\"$2\" " '
    /^#[0-9]+ +greenlet 0x/ { on = index($0, name) > 0; if (on) print; next }
    /^hub 0x/ { on = 0 }
    on' "$1"
}

# check LOG WHAT: the listing and the stacks of every parked greenlet.
check() {
  local log=$1 what=$2 name state extra fn listing
  grep -q "Python Exception\|Traceback" "$log" && fail "$what: a Python error"
  [ "$(grep -c '^hub 0x' "$log")" -ge 2 ] || fail "$what: fewer than two hubs listed"
  # name state what-the-line-says function-on-its-stack
  while read -r name state extra fn; do
    listing=$(grep -E "^  #[0-9]+ +greenlet 0x[0-9a-f]+ .*\"$name\" $state" "$log" | head -1)
    [ -n "$listing" ] || { fail "$what: \"$name\" not listed as $state"; continue; }
    [ "$extra" = - ] || grep -qF -- "${extra//_/ }" <<<"$listing" ||
      fail "$what: \"$name\" listed without '${extra//_/ }': $listing"
    section "$log" "$name" | grep -qF -- "${fn//_/ }" ||
      fail "$what: the stack of \"$name\" does not show ${fn//_/ }"
  done <<'LIST'
waiter gsSuspended waits_on_gevent green::parked::ParkOnGevent
sleeper gsSuspended sleeps green::parked::ParkSleeping
suspended gsSuspended - green::parked::ParkSuspended
ready gsReady - not_started_yet
running gsExecute running_on_its_thread green::parked::ParkRunning
gen gsExecute - green::parked::ParkInGenerator
waiter2 gsSuspended waits_on_gevent green::parked::ParkOnGevent
LIST
  # The two hubs hold their own greenlets.
  local hubs
  hubs=$(awk '/^hub 0x/ { h++ } /^  #[0-9]+ +greenlet/ { match($0, /"[a-z0-9]+"/); print h, substr($0, RSTART, RLENGTH) }' "$log")
  local main second
  main=$(awk '$2 == "\"waiter\"" { print $1 }' <<<"$hubs")
  second=$(awk '$2 == "\"waiter2\"" { print $1 }' <<<"$hubs")
  [ -n "$main" ] && [ -n "$second" ] && [ "$main" != "$second" ] ||
    fail "$what: waiter and waiter2 are not on two hubs"
  for name in sleeper suspended ready running; do
    [ "$(awk -v n="\"$name\"" '$2 == n { print $1 }' <<<"$hubs")" = "$main" ] ||
      fail "$what: \"$name\" is not on the main thread's hub"
  done
  [ "$(awk '$2 == "\"gen\"" { print $1 }' <<<"$hubs")" = "$second" ] ||
    fail "$what: \"gen\" is not on the second thread's hub"
}

check "$work/live.log" "live process"
if [ -s "$core" ]; then
  gdb_run "$work/core.log" "$prog" "$core" -ex "source $ext" -ex "info greenlets" \
    -ex "greenlet apply all bt"
  check "$work/core.log" "core file"
else
  fail "no core file was written (core pattern: $pattern)"; tail -5 "$work/live.log"
fi

start broken

# Broken structures: read past them, say what could not be read.
gdb_run "$work/broken.log" -p "$pid" -ex "source $ext" -ex "source $here/corrupt.py" \
  -ex "info greenlets" -ex "greenlet apply all bt" -ex "greenlet bt 1"
log=$work/broken.log
grep -q "^corrupted:" "$log" || fail "broken: the structures were not broken"
grep -q "Python Exception\|Traceback" "$log" && fail "broken: a Python error"
[ "$(grep -c '^hub 0x' "$log")" -ge 4 ] || fail "broken: the hubs are not all listed, twice"
grep -q "could not read name" "$log" || fail "broken: a bad name is not named"
grep -q "could not read greenlet list" "$log" || fail "broken: a bad link is not named"
grep -q "could not read saved context" "$log" || fail "broken: a bad context is not named"
section "$log" gen | grep -q "green::parked::ParkInGenerator" ||
  fail "broken: the stack of a sound greenlet beside broken ones"

if [ "$failures" -gt 0 ]; then
  echo "--- logs in $work"
  for f in live core broken; do echo "--- $f.log"; head -c 6000 "$work/$f.log"; done
  exit 1
fi
echo "gdb extension: live process, core file and broken structures all read"
