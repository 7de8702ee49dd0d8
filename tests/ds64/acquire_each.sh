#!/bin/sh
# The 64-bit twacquire through Wine's 64-bit manager (twain_64\sane.ds), one
# run by each transfer mechanism, every image read as an application reads
# it and checked against the board's pattern (--check); and the 2.x manager,
# which Wine does not have, refused by name. Run by run64.sh.
for mech in native memory file; do
    wine twacquire.exe --unattended --check --timeout 30 --mech "$mech" --count 2 --pixel rgb \
        --out 'C:\windows\temp\ds64-acquired' || exit 1
done
# The board set up through the capabilities that cross to the 32-bit source.
wine twacquire.exe --unattended --check --timeout 30 --mech native --format M_PAL --brightness 0 \
    --out 'C:\windows\temp\ds64-acquired' || exit 1
# Away from the test stand-in TWAINDSM.DLL beside the build's (a library is
# looked for in the program's folder and in the current one).
cp twacquire.exe "$WINEPREFIX/drive_c/windows/temp/twacquire64.exe" || exit 1
said=$(cd "$WINEPREFIX/drive_c/windows/temp" && wine twacquire64.exe --manager twaindsm --list 2>&1)
echo "$said"
case "$said" in
    *"the TWAIN Data Source Manager (TWAINDSM.DLL) is not installed"*) ;;
    *) echo "FAILED: twacquire --manager twaindsm"; exit 1 ;;
esac
