#!/bin/bash
# File transfers onto a disk that fills up midway, without privileges: the
# test program runs under a file size limit of 300 kB, past which a write
# fails as on a full disk (the signal that would end the program is ignored,
# so the write reports the failure instead).
#   full_disk.sh TRANSFER_TESTS_EXE
trap '' XFSZ
ulimit -f 300
TALVENIX_FILE_LIMIT=307200 exec wine "$1" --gtest_filter=Source.FullDiskFailsTheFileTransferAndKeepsTheFile \
    --gtest_color=no
