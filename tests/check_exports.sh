#!/bin/sh
# The data source exports DS_Entry, undecorated, and nothing else, and needs
# no DLL beyond the system's (the runtimes are linked in; ole32 is COM, through
# which the imaging encoders are made).
objdump=$1; module=$2
dump=$("$objdump" -p "$module") || { echo "objdump failed on $module"; exit 1; }
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s*\[ *[0-9]+\]' | awk '{print $NF}')
echo "exports: $exports"
[ "$exports" = "DS_Entry" ] || { echo "FAIL: expected exactly DS_Entry"; exit 1; }
imports=$(printf '%s\n' "$dump" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
echo "imports:" $imports
for dll in $imports; do
    case "$dll" in
        kernel32.dll|user32.dll|gdi32.dll|advapi32.dll|version.dll|comctl32.dll|msvcrt.dll|ole32.dll) ;;
        *) echo "FAIL: unexpected import $dll"; exit 1 ;;
    esac
done
echo "ok"
