#!/usr/bin/env bash
# Reads image files back with ImageMagick, as any other program would, and
# checks their geometry, kind, resolution (dots per inch, whatever unit the
# file uses) and some pixels. In folder $1, one image a line on standard input:
#   FILE|WIDTHxHEIGHT TYPE COMPRESSION XDPIxYDPI|X Y R,G,B [X Y R,G,B ...]
set -uo pipefail
cd "$1" || exit 1
fail=0
checked=0
while IFS='|' read -r file want pixels; do
    [ -z "$file" ] && continue
    got=$(convert "$file" -units PixelsPerInch \
        -format '%wx%h %[type] %[compression] %[fx:round(resolution.x)]x%[fx:round(resolution.y)]' info: 2>&1) ||
        { echo "$file: identify failed: $got"; fail=1; continue; }
    if [ "$got" != "$want" ]; then echo "$file: got '$got', want '$want'"; fail=1; fi
    set -- $pixels
    while [ $# -ge 3 ]; do
        px=$(convert "$file" -format "%[fx:int(255*u.r+0.5)],%[fx:int(255*u.g+0.5)],%[fx:int(255*u.b+0.5)]" -crop "1x1+$1+$2" info:)
        if [ "$px" != "$3" ]; then echo "$file: pixel $1,$2 is $px, want $3"; fail=1; fi
        shift 3
    done
    checked=$((checked + 1))
done
[ $checked -gt 0 ] || { echo "no image checked"; exit 1; }
[ $fail = 0 ] && echo "$checked images read back"
exit $fail
