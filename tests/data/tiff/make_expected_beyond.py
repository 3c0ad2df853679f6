#!/usr/bin/python3
"""Writes the expected.txt lines for the TIFF kinds the plain strip reader
once refused and now reads (LZW RGB, YCbCr and JPEG, CMYK, LogLuv, deep,
signed and floating-point samples). Run once by a developer with Pillow
and libtiff-tools installed, then put the lines in place of the old
"refused" ones:

    /usr/bin/python3 make_expected_beyond.py /work/shared/testdata/tiff [more files] > lines.txt

Besides the lines make_expected.py writes, there is one more kind, for
lossy decodes where two JPEG decoders may differ by a few levels:

    blocks <file> <width> <height> <largest difference> <hex>

<hex> holds the mean red, green and blue of each cell of an 8 x 8 grid over
the image (cell (i, j) covers columns i*w/8 .. (i+1)*w/8 and rows likewise),
row by row, each mean rounded down.

Decoders: Pillow for RGB, YCbCr, JPEG and floating-point samples; for CMYK
Pillow's raw ink values turned into colour as libtiff does
(red = (255 - K) * (255 - C) / 255, rounded down); the small raw parser of
make_expected.py for 12-bit samples; and libtiff's own tiff2rgba for LogLuv,
which nothing else here reads.
"""
import os
import subprocess
import sys
import tempfile
import zlib

from PIL import Image

exec(open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "make_expected.py")).read().split("\ndef main")[0])


def grid(width, height, rgb):
    out = bytearray()
    for j in range(8):
        for i in range(8):
            x0, x1 = i * width // 8, max(i * width // 8 + 1, (i + 1) * width // 8)
            y0, y1 = j * height // 8, max(j * height // 8 + 1, (j + 1) * height // 8)
            sums, n = [0, 0, 0], 0
            for y in range(y0, min(y1, height)):
                for x in range(x0, min(x1, width)):
                    k = 3 * (y * width + x)
                    for c in range(3):
                        sums[c] += rgb[k + c]
                    n += 1
            out += bytes(s // n for s in sums)
    return out.hex()


def scale(value, bits):
    top = (1 << bits) - 1
    return (value * 255 + top // 2) // top


def grey_rgb(levels):
    return bytes(v for level in levels for v in (level, level, level))


def raw_strips(path, tags):
    data = open(path, "rb").read()
    return b"".join(data[o:o + c] for o, c in zip(tags[273], tags[279]))


def expect(path, name):
    tags = first_ifd_tags(path)
    if not tags or refusal(tags) is None:
        return None  # read by the strip route as before; make_expected.py covers it
    photometric = tags.get(262, (1,))[0]
    compression = tags.get(259, (1,))[0]
    bits = tags.get(258, (1,))[0]
    sample_format = tags.get(339, (1,))[0]
    width, height = tags[256][0], tags[257][0]
    if photometric in (32844, 32845):
        with tempfile.TemporaryDirectory() as folder:
            out = os.path.join(folder, "rgba.tif")
            subprocess.run(["tiff2rgba", "-c", "none", path, out], check=True)
            image = Image.open(out).convert("RGBA")
            # LogLuv has no alpha: tiff2rgba's alpha is opaque throughout.
            rgb = image.convert("RGB").tobytes()
        return "decoded %s %d %d %08x libtiff" % (name, width, height, zlib.crc32(rgb))
    if photometric in (0, 1) and compression == 1 and sample_format in (1, 2) and bits not in (8, 16, 32):
        raw = raw_strips(path, tags)
        row_bytes = (width * bits + 7) // 8
        levels = []
        for y in range(height):
            row = int.from_bytes(raw[y * row_bytes:(y + 1) * row_bytes], "big")
            for x in range(width):
                v = (row >> (row_bytes * 8 - bits * (x + 1))) & ((1 << bits) - 1)
                if sample_format == 2:
                    v ^= 1 << (bits - 1)
                levels.append(v if bits <= 8 else scale(v, bits))
        if bits < 8:
            levels = [v * 255 // ((1 << bits) - 1) for v in levels]
        if photometric == 0:
            levels = [255 - v for v in levels]
        return "decoded %s %d %d %08x reference" % (name, width, height, zlib.crc32(grey_rgb(levels)))
    image = Image.open(path)
    image.seek(0)
    image.load()
    if image.mode == "F":
        levels = [0 if not v > 0 else 255 if v >= 1 else int(v * 255 + 0.5) for v in image.getdata()]
        return "decoded %s %d %d %08x pillow" % (name, width, height, zlib.crc32(grey_rgb(levels)))
    if sample_format == 2 and photometric in (0, 1):
        levels = [scale(v + (1 << (bits - 1)), bits) for v in image.getdata()]
        if photometric == 0:
            levels = [255 - v for v in levels]
        return "decoded %s %d %d %08x pillow" % (name, width, height, zlib.crc32(grey_rgb(levels)))
    if photometric == 5:
        cmyk = image.tobytes() if image.mode == "CMYK" else image.convert("CMYK").tobytes()
        rgb = bytearray()
        for i in range(0, len(cmyk), 4):
            c, m, y, k = cmyk[i:i + 4]
            rgb += bytes((255 - k) * (255 - v) // 255 for v in (c, m, y))
        if compression in (6, 7):
            return "blocks %s %d %d 4 %s" % (name, width, height, grid(width, height, rgb))
        return "decoded %s %d %d %08x pillow" % (name, width, height, zlib.crc32(bytes(rgb)))
    rgb = image.convert("RGB").tobytes()
    if compression in (6, 7):
        return "blocks %s %d %d 4 %s" % (name, width, height, grid(width, height, rgb))
    return "decoded %s %d %d %08x pillow" % (name, width, height, zlib.crc32(rgb))


def main():
    corpus = sys.argv[1]
    names = sorted(n for n in os.listdir(corpus) if ".tif" in n.lower())
    derived = os.path.join(corpus, "derived")
    if os.path.isdir(derived):
        names += sorted("derived/" + n for n in os.listdir(derived) if ".tif" in n.lower())
    paths = [(os.path.join(corpus, n), n) for n in names] + [(p, os.path.basename(p)) for p in sys.argv[2:]]
    for path, name in paths:
        try:
            line = expect(path, name)
        except Exception as error:
            line = "unreadable %s" % name
            print("%s: %s" % (name, error), file=sys.stderr)
        if line:
            print(line)


main()
