#!/usr/bin/env bash
# The files the transfer tests had the source write (in the program folder
# $1), read back outside Wine: by ImageMagick (geometry, kind, resolution and
# some pixels), and every pixel of every file and page by Pillow
# (read_back.py), against the gradient pattern, turned grey as luma
# (0.299 R + 0.587 G + 0.114 B) or grey repeated where the application asked
# for the other pixel type (a region at its place in the frame); every one
# says 300 dots per inch. JPEG files within a mean difference of 4 levels a
# sample (quality 75; the pattern's wrap from 255 to 0 is the hardest edge an
# encoder meets).
here="$(dirname "$0")"
bash "$here/../check_images.sh" "$1" <<'IMAGES' || exit 1
transfer_rgb_from_bgr32.bmp|768x576 TrueColor None 300x300|10 20 10,20,30 300 500 44,244,32
transfer_rgb_from_grey.tif|768x576 Grayscale None 300x300|77 3 77,77,77 600 500 88,88,88
transfer_grey_from_bgr32.tif|768x576 Grayscale None 300x300|10 20 18,18,18 300 500 160,160,160
transfer_grey_from_rgb24.bmp|768x576 Grayscale None 300x300|10 20 18,18,18 300 500 160,160,160
transfer_grey_saved_by_the_library.tif|768x576 Grayscale None 300x300|77 3 77,77,77 600 500 88,88,88
IMAGES
# Debian's Pillow belongs to its own interpreter, whatever python3 is first on PATH.
exec /usr/bin/python3 "$here/read_back.py" "$1" <<'FILES'
transfer_rgb_from_bgr32.bmp 3 1 0
transfer_rgb_from_grey.tif 1 1 0
transfer_grey_from_bgr32.tif 3 1 0
transfer_grey_from_rgb24.bmp 3 1 0
transfer_grey_saved_by_the_library.tif 1 1 0
transfer_grey.png 1 1 0
transfer_rgb_from_bgr32.png 3 1 0
transfer_grey_from_rgb24.png 3 1 0
transfer_grey.jpg 1 1 4
transfer_rgb_from_rgb24.jpg 3 1 4
transfer_grey_pages.tif 1 3 0
transfer_rgb_pages.tif 3 3 0
transfer_region_grey.png 1 1 0 10 20
transfer_region_rgb.png 3 1 0 10 20
transfer_region_grey.jpg 1 1 4 10 20
transfer_region_rgb.jpg 3 1 4 10 20
FILES
