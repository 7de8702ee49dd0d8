#!/usr/bin/python3
"""Reads the files the transfer tests had the source write back with Pillow,
outside Wine, and compares every pixel with the simulated board's gradient:
red (grey on a monochrome board) x mod 256, green y mod 256, blue (x + y) mod
256, turned grey as luma (0.299 R + 0.587 G + 0.114 B, rounded) where the file
is grey and the board colour, the grey repeated where the file is colour and
the board grey. Page k of a multi-page file was grabbed with the board's
brightness 10 k levels up (each band, clamped). Lossless files must match
exactly; a JPEG's mean difference a sample must stay within its tolerance.
Every file says 300 dots per inch, and every page of a TIFF when it was
captured (its DateTime, "YYYY:MM:DD HH:MM:SS").

In folder argv[1], one file a line on standard input:
    FILE BOARD_SAMPLES PAGES TOLERANCE [LEFT TOP]
"""
import re
import sys

from PIL import Image


def expected(width, height, left, top, board, grey, lift):
    out = bytearray()
    for y in range(top, top + height):
        for x in range(left, left + width):
            bands = [x % 256] if board == 1 else [x % 256, y % 256, (x + y) % 256]
            bands = [min(255, b + lift) for b in bands]
            if grey:
                out.append(bands[0] if board == 1 else (299 * bands[0] + 587 * bands[1] + 114 * bands[2] + 500) // 1000)
            else:
                out.extend(bands * 3 if board == 1 else bands)
    return bytes(out)


def check(path, board, pages, tolerance, left, top):
    image = Image.open(path)
    dpi = image.info.get("dpi", (0, 0))
    if round(float(dpi[0])) != 300 or round(float(dpi[1])) != 300:
        return f"{path}: {dpi} dots per inch, want 300"
    count = getattr(image, "n_frames", 1)
    if count != pages:
        return f"{path}: {count} pages, want {pages}"
    for page in range(pages):
        image.seek(page)
        if image.format == "TIFF" and not re.fullmatch(r"\d{4}:\d\d:\d\d \d\d:\d\d:\d\d", str(image.tag_v2.get(306))):
            return f"{path} page {page}: DateTime {image.tag_v2.get(306)!r}"
        grey = image.mode in ("L", "P")
        got = image.convert("L" if grey else "RGB").tobytes()
        want = expected(image.width, image.height, left, top, board, grey, 10 * page)
        if len(got) != len(want):
            return f"{path} page {page}: {len(got)} bytes, want {len(want)}"
        samples = 1 if grey else 3
        if tolerance == 0:
            for i, (a, b) in enumerate(zip(got, want)):
                if a != b:
                    pixel = i // samples
                    return (f"{path} page {page}: pixel {pixel % image.width},{pixel // image.width} "
                            f"sample {i % samples} is {a}, want {b}")
        else:
            mean = sum(abs(a - b) for a, b in zip(got, want)) / len(want)
            if mean > tolerance:
                return f"{path} page {page}: mean difference {mean:.2f} a sample, allowed {tolerance}"
    return None


def main():
    folder = sys.argv[1]
    failures = 0
    checked = 0
    for line in sys.stdin:
        fields = line.split()
        if not fields:
            continue
        name, board, pages, tolerance = fields[0], int(fields[1]), int(fields[2]), float(fields[3])
        left, top = (int(fields[4]), int(fields[5])) if len(fields) >= 6 else (0, 0)
        try:
            failure = check(f"{folder}/{name}", board, pages, tolerance, left, top)
        except OSError as error:
            failure = f"{name}: {error}"
        if failure:
            print(failure)
            failures += 1
        checked += 1
    if checked == 0:
        print("no file checked")
        return 1
    if failures == 0:
        print(f"{checked} files read back with Pillow")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
