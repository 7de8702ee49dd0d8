#!/usr/bin/env bash
# The files the transfer tests had the source write (in the program folder
# $1), read back with ImageMagick: the gradient pattern, turned grey as luma
# (0.299 R + 0.587 G + 0.114 B) or grey repeated where the application asked
# for the other pixel type; every one says 300 dots per inch.
exec bash "$(dirname "$0")/../check_images.sh" "$1" <<'IMAGES'
transfer_rgb_from_bgr32.bmp|768x576 TrueColor None 300x300|10 20 10,20,30 300 500 44,244,32
transfer_rgb_from_grey.tif|768x576 Grayscale None 300x300|77 3 77,77,77 600 500 88,88,88
transfer_grey_from_bgr32.tif|768x576 Grayscale None 300x300|10 20 18,18,18 300 500 160,160,160
transfer_grey_from_rgb24.bmp|768x576 Grayscale None 300x300|10 20 18,18,18 300 500 160,160,160
transfer_grey_saved_by_the_library.tif|768x576 Grayscale None 300x300|77 3 77,77,77 600 500 88,88,88
IMAGES
