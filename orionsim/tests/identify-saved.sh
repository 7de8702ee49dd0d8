#!/usr/bin/env bash
# Checks with ImageMagick the TIFF files that MbufSave wrote during the
# library tests (in the program folder given as $1).
set -euo pipefail
cd "$1"
fail=0
check() {  # file, expected "geometry type", then x y expected-colour triples
    local file=$1 want=$2; shift 2
    local got
    got=$(identify -format '%wx%h %[type] %[compression]' "$file" 2>&1) || { echo "$file: identify failed: $got"; fail=1; return; }
    if [ "$got" != "$want" ]; then echo "$file: got '$got', want '$want'"; fail=1; fi
    while [ $# -gt 0 ]; do
        local px
        px=$(convert "$file" -format "%[fx:int(255*u.r)],%[fx:int(255*u.g)],%[fx:int(255*u.b)]" -crop "1x1+$1+$2" info:)
        if [ "$px" != "$3" ]; then echo "$file: pixel $1,$2 is $px, want $3"; fail=1; fi
        shift 3
    done
}
# The gradient pattern: red x mod 256, green y mod 256, blue (x + y) mod 256.
check orionsim_saved_bgr32.tif "768x576 TrueColor None" 10 20 10,20,30 300 500 44,244,32
check orionsim_saved_rgb24.tif "640x480 TrueColor None" 255 1 255,1,0 0 479 0,223,223
check orionsim_saved_mono.tif "768x576 Grayscale None" 77 3 77,77,77 600 500 88,88,88
[ $fail = 0 ] && echo "all saved files read back"
exit $fail
