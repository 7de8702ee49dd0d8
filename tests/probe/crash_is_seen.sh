#!/bin/sh
# The test checker fails a crashed program for the crash itself: run through
# run_checked.sh ($1), the crash probe ($2) must fail with the crash named,
# both as a GoogleTest program and as the child of a script that exits 0.
checker=$1 probe=$2
fail=0
expect_crash() {  # label, then the checker's arguments
    label=$1; shift
    out=$(sh "$checker" "$@" 2>&1); status=$?
    if [ "$status" -eq 0 ]; then
        echo "$label: the checker passed a crashed program"; fail=1
    elif ! printf '%s\n' "$out" | grep -q 'run_checked: FAILED: .*the program crashed'; then
        echo "$label: the checker failed it without naming the crash:"; printf '%s\n' "$out" | tail -3; fail=1
    elif ! printf '%s\n' "$out" | grep -q 'crash_probe: about to fault'; then
        echo "$label: the probe did not reach its fault"; fail=1
    else
        echo "$label: crash seen"
    fi
}
expect_crash "GoogleTest program" gtest wine "$probe" --gtest_color=no --gtest_filter='*NullPointer'
expect_crash "script child" script sh -c 'wine "$0" --gtest_color=no --gtest_filter="*NullPointer"; exit 0' "$probe"
exit $fail
