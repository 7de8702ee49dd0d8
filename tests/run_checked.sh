#!/bin/sh
# Runs one test under CTest and judges it by what it printed as well as by
# its exit status: under Wine a program that crashes goes to Wine's debugger,
# which ends it with status 0, so the status alone would call a crash a pass.
#
#   run_checked.sh gtest  COMMAND...   a GoogleTest program: passes only if it
#                                      exits 0, prints its closing summary and
#                                      no failure, and nothing crashed
#   run_checked.sh script COMMAND...   any other test: exits 0 and nothing
#                                      crashed (a Wine program it started
#                                      included)
mode=$1
shift
log=$(mktemp "${TMPDIR:-/tmp}/run_checked.XXXXXX") || exit 1
child=
stop() {
    [ -n "$child" ] && kill "$child" 2>/dev/null
    rm -f "$log"
    exit 1
}
trap stop TERM INT HUP
"$@" >"$log" 2>&1 </dev/null &
child=$!
wait "$child"
status=$?
child=
cat "$log"

verdict=
if [ "$status" -ne 0 ]; then
    verdict="exit status $status"
fi
# What Wine and its debugger print for an unhandled exception, and what the
# C runtime prints when it aborts.
if grep -E -q '^(wine: )?Unhandled (exception|page fault)|^Backtrace:|^wine: .*(Unhandled|crashed)|abnormal program termination|^terminate called' "$log"; then
    verdict="${verdict:+$verdict; }the program crashed"
fi
if [ "$mode" = gtest ]; then
    if grep -q '^\[  FAILED  \]' "$log"; then
        verdict="${verdict:+$verdict; }GoogleTest reported a failure"
    fi
    if ! grep -E -q '^\[==========\] [0-9]+ tests? from [0-9]+ test suites? ran\.' "$log" ||
       ! grep -q '^\[  PASSED  \]' "$log"; then
        verdict="${verdict:+$verdict; }the program ended before GoogleTest's summary"
    fi
fi
rm -f "$log"
if [ -n "$verdict" ]; then
    echo "run_checked: FAILED: $verdict"
    exit 1
fi
exit 0
