#!/bin/bash
# File transfers onto a disk that fills up midway, without privileges: the
# test program runs under a file size limit of 300 kB, past which a write
# fails as on a full disk (the signal that would end the program is ignored,
# so the write reports the failure instead). A filter that matched no test
# would pass silently: the one test must have run.
#   full_disk.sh TRANSFER_TESTS_EXE
trap '' XFSZ
ulimit -f 300
output=$(TALVENIX_FILE_LIMIT=307200 wine "$1" --gtest_filter=Source.FullDiskFailsTheFileTransferAndKeepsTheFile \
    --gtest_color=no 2>&1)
status=$?
printf '%s\n' "$output"
case $output in
*"[  PASSED  ] 1 test."* | *"[  FAILED  ]"*) exit $status ;;
*) echo "full_disk: the test did not run"; exit 1 ;;
esac
