#!/usr/bin/env bash
# Checks with ImageMagick the TIFF files that MbufSave wrote during the
# library tests (in the program folder given as $1).
# The gradient pattern: red x mod 256, green y mod 256, blue (x + y) mod 256;
# the library's save says 72 dots per inch.
exec bash "$(dirname "$0")/../../tests/check_images.sh" "$1" <<'IMAGES'
orionsim_saved_bgr32.tif|768x576 TrueColor None 72x72|10 20 10,20,30 300 500 44,244,32
orionsim_saved_rgb24.tif|640x480 TrueColor None 72x72|255 1 255,1,0 0 479 0,223,223
orionsim_saved_mono.tif|768x576 Grayscale None 72x72|77 3 77,77,77 600 500 88,88,88
IMAGES
