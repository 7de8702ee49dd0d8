#!/bin/sh
# The 64-bit twacquire through Wine's 64-bit manager (twain_64\sane.ds), one
# run by each transfer mechanism, every image read as an application reads
# it and checked against the board's pattern (--check); and the 2.x manager,
# which Wine does not have, refused by name. Run by run64.sh.
for mech in native memory file; do
    wine twacquire.exe --unattended --check --timeout 30 --mech "$mech" --count 2 --pixel rgb \
        --out 'C:\windows\temp\ds64-acquired' || exit 1
done
# The files the system's encoders write: a PNG and a three-page TIFF.
wine twacquire.exe --unattended --check --timeout 30 --mech file --format png --pixel rgb \
    --out 'C:\windows\temp\ds64-acquired' || exit 1
pages=$(wine twacquire.exe --unattended --check --timeout 30 --mech file --format tiffmulti --count 3 \
    --out 'C:\windows\temp\ds64-acquired') || { printf '%s\n' "$pages"; exit 1; }
printf '%s\n' "$pages"
case $pages in *": 3 pages"*) ;; *) exit 1 ;; esac
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
# A region and a setup crossing between the sources: saved by the 64-bit
# source, restored by the 32-bit one (through Wine's 32-bit manager, which
# loads twain_32\sane.ds) and back; each run checks the pattern's rectangle.
setup='C:\windows\temp\ds64-setup.bin'
cp "$WINEPREFIX/drive_c/windows/twain_32/Talvenix/Twain_32.ds" "$WINEPREFIX/drive_c/windows/twain_32/sane.ds" || exit 1
wine twacquire.exe --unattended --check --timeout 30 --mech memory --region 100,50,320,240 \
    --save-setup "$setup" --out 'C:\windows\temp\ds64-acquired' || exit 1
said=$(wine ../../bin/twacquire.exe --unattended --check --timeout 30 --mech native --load-setup "$setup" \
    --save-setup "$setup" --out 'C:\windows\temp\ds64-acquired' 2>&1)
printf '%s\n' "$said"
case "$said" in
    *"check: the native image matches the pattern"*"image 1: 320 x 240 "*", native transfer"*) ;;
    *) echo "FAILED: the 32-bit source restoring the 64-bit source's setup"; exit 1 ;;
esac
said=$(wine twacquire.exe --unattended --check --timeout 30 --mech file --load-setup "$setup" \
    --out 'C:\windows\temp\ds64-acquired' 2>&1)
printf '%s\n' "$said"
case "$said" in
    *"check: the TIFF file matches the pattern"*"image 1: 320 x 240 "*", file transfer"*) ;;
    *) echo "FAILED: the 64-bit source restoring the 32-bit source's setup"; exit 1 ;;
esac
