#!/bin/sh
# The 64-bit twacquire through Wine's 64-bit manager (twain_64\sane.ds), one
# run by each transfer mechanism, every image read as an application reads
# it and checked against the board's pattern (--check). Run by run64.sh.
for mech in native memory file; do
    wine twacquire.exe --unattended --check --timeout 30 --mech "$mech" --count 2 --pixel rgb || exit 1
done
