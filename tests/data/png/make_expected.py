#!/usr/bin/python3
"""Writes the expected decodes of the PNG, GIF and JPEG test files.

Run once at development time with Pillow (the independent decoder); the tests
only read the files this writes. Usage:
    make_expected.py CORPUS_DIR TESTS_DATA_DIR
CORPUS_DIR holds png/, gif/ and jpeg/; TESTS_DATA_DIR is tests/data.

Per format, expected.txt has one line per file that Pillow decodes:
    relative-path width height check
PNG and GIF: check = CRC-32 (hex) of the pixels as red, green, blue bytes,
row by row, after the readings the readers apply (16-bit samples keep their
high byte, alpha composed onto white, a GIF's transparent index white, a GIF
frame smaller than the screen on the background colour). JPEG: check = the mean red, green and blue (hex
bytes) of every 16 x 16 block, row by row, for a tolerance comparison. Files
named in JPEG_DUMPS also get a zlib-compressed full RGB dump <name>.rgb.z.
"""
import glob
import os
import sys
import zlib

from PIL import Image

JPEG_DUMPS = {"video-001.jpeg", "video-005.gray.jpeg", "video-001.cmyk.jpeg"}


def over_white(v, a):
    return (v * a + 255 * (255 - a) + 127) // 255


def png_rgb(im):
    mode = im.mode
    w, h = im.size
    if mode in ("I", "I;16", "I;16B"):
        px = [v >> 8 for v in im.getdata()]
        return bytes(b for v in px for b in (v, v, v))
    if mode == "LA":
        out = bytearray()
        for l, a in im.getdata():
            g = over_white(l, a)
            out += bytes((g, g, g))
        return bytes(out)
    if mode == "RGBA":
        out = bytearray()
        for r, g, b, a in im.getdata():
            out += bytes((over_white(r, a), over_white(g, a), over_white(b, a)))
        return bytes(out)
    return im.convert("RGB").tobytes()


def gif_rgb(path, im, tile):
    data = open(path, "rb").read()
    sw = data[6] | data[7] << 8
    sh = data[8] | data[9] << 8
    # The transparent index of the first frame shows white paper.
    transparent = im.info.get("transparency")
    if isinstance(transparent, int):
        if im.mode == "P":
            palette = im.getpalette() or []
            palette += [0] * (768 - len(palette))
            palette[3 * transparent: 3 * transparent + 3] = [255, 255, 255]
            im.putpalette(palette)
        elif im.mode == "L":
            im = im.point(lambda v: 255 if v == transparent else v)
    rgb = im.convert("RGB")
    if not tile:
        return rgb.tobytes()
    x0, y0, x1, y1 = tile[0][1]
    if (x1 - x0, y1 - y0) == (sw, sh) or sw == 0 or sh == 0:
        return rgb.crop((x0, y0, x1, y1)).tobytes() if (x0, y0) != (0, 0) else rgb.tobytes()
    # A smaller first frame: the rest of the screen is the background colour.
    flags = data[10]
    bg = data[11]
    colour = (255, 255, 255)
    if flags & 0x80 and bg < (2 << (flags & 7)):
        colour = tuple(data[13 + 3 * bg: 16 + 3 * bg])
        if bg == transparent:
            colour = (255, 255, 255)
    canvas = Image.new("RGB", (sw, sh), colour)
    canvas.paste(rgb.crop((x0, y0, x1, y1)), (x0, y0))
    return canvas.tobytes()


def block_means(rgb, w, h):
    out = bytearray()
    for by in range(0, h, 16):
        for bx in range(0, w, 16):
            sums = [0, 0, 0]
            n = 0
            for y in range(by, min(by + 16, h)):
                for x in range(bx, min(bx + 16, w)):
                    i = (y * w + x) * 3
                    for c in range(3):
                        sums[c] += rgb[i + c]
                    n += 1
            out += bytes((s + n // 2) // n for s in sums)
    return out.hex()


def main(corpus, data_dir):
    for fmt, pattern in (("png", "png/**/*.png"), ("gif", "gif/*.gif"), ("jpeg", "jpeg/*.jp*g")):
        lines = []
        for path in sorted(glob.glob(os.path.join(corpus, pattern), recursive=True)):
            rel = os.path.relpath(path, os.path.join(corpus, fmt))
            try:
                im = Image.open(path)
                tile = list(im.tile)  # the first frame's extent, gone after load()
                im.load()
            except Exception as e:  # not decodable: no expectation
                print("skip", rel, e, file=sys.stderr)
                continue
            w, h = im.size
            if fmt == "png":
                rgb = png_rgb(im)
                check = "%08x" % zlib.crc32(rgb)
            elif fmt == "gif":
                rgb = gif_rgb(path, im, tile)
                check = "%08x" % zlib.crc32(rgb)
            else:
                rgb = im.convert("RGB").tobytes()
                check = block_means(rgb, w, h)
                if os.path.basename(path) in JPEG_DUMPS:
                    with open(os.path.join(data_dir, fmt, os.path.basename(path) + ".rgb.z"), "wb") as f:
                        f.write(zlib.compress(rgb, 9))
            lines.append("%s %d %d %s" % (rel, w, h, check))
        with open(os.path.join(data_dir, fmt, "expected.txt"), "w") as f:
            f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
