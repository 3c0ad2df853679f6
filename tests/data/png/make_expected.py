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
high byte, alpha composed onto white, a PNG's transparent colour or palette
entries' alpha as alpha, a GIF's transparent index white, a GIF
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


def png_chunks(data):
    pos = 8
    while pos + 8 <= len(data):
        n = int.from_bytes(data[pos:pos + 4], "big")
        yield data[pos + 4:pos + 8], data[pos + 8:pos + 8 + n]
        pos += 12 + n


def png_trns_rgb(path):
    """A PNG with a transparency chunk, decoded here from its bytes (Pillow
    compares a transparent colour after reducing 16-bit samples and before
    scaling grey of under 8 bits): samples at the file's depth, the colour
    or the palette entry's alpha from tRNS, then the readings above."""
    data = open(path, "rb").read()
    chunks = list(png_chunks(data))
    ihdr = next(c for t, c in chunks if t == b"IHDR")
    w, h = int.from_bytes(ihdr[0:4], "big"), int.from_bytes(ihdr[4:8], "big")
    depth, ctype, interlace = ihdr[8], ihdr[9], ihdr[12]
    plte = b"".join(c for t, c in chunks if t == b"PLTE")
    trns = next((c for t, c in chunks if t == b"tRNS"), None)
    raw = zlib.decompress(b"".join(c for t, c in chunks if t == b"IDAT"))
    spp = {0: 1, 2: 3, 3: 1}[ctype]
    bpp = max(1, spp * depth // 8)
    pixels = [[None] * w for _ in range(h)]
    passes = [(0, 0, 1, 1)] if not interlace else [
        (0, 0, 8, 8), (4, 0, 8, 8), (0, 4, 4, 8), (2, 0, 4, 4), (0, 2, 2, 4), (1, 0, 2, 2), (0, 1, 1, 2)]
    pos = 0
    for x0, y0, dx, dy in passes:
        pw, ph = (w - x0 + dx - 1) // dx, (h - y0 + dy - 1) // dy
        if pw <= 0 or ph <= 0:
            continue
        stride = (pw * spp * depth + 7) // 8
        prev = bytearray(stride)
        for py in range(ph):
            f, line = raw[pos], bytearray(raw[pos + 1:pos + 1 + stride])
            pos += 1 + stride
            for i in range(stride):
                a = line[i - bpp] if i >= bpp else 0
                b, c = prev[i], prev[i - bpp] if i >= bpp else 0
                if f == 1: line[i] = (line[i] + a) & 255
                elif f == 2: line[i] = (line[i] + b) & 255
                elif f == 3: line[i] = (line[i] + (a + b) // 2) & 255
                elif f == 4:
                    p = a + b - c
                    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                    line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
            prev = line
            for px in range(pw):
                samples = []
                for s in range(spp):
                    bit = (px * spp + s) * depth
                    if depth == 16:
                        samples.append(line[bit // 8] << 8 | line[bit // 8 + 1])
                    else:
                        samples.append(line[bit // 8] >> (8 - depth - bit % 8) & ((1 << depth) - 1))
                pixels[y0 + py * dy][x0 + px * dx] = samples
    out = bytearray()
    for row in pixels:
        for samples in row:
            if ctype == 3:
                i = samples[0]
                rgb = plte[3 * i:3 * i + 3] if 3 * i + 3 <= len(plte) else b"\0\0\0"
                alpha = trns[i] if i < len(trns) else 255
            else:
                key = [int.from_bytes(trns[2 * k:2 * k + 2], "big") for k in range(spp)]
                alpha = 0 if samples == key else 255
                if depth == 16:
                    rgb = [v >> 8 for v in samples]
                else:
                    rgb = [v * 255 // ((1 << depth) - 1) for v in samples]
                if spp == 1:
                    rgb = rgb * 3
            out += bytes(over_white(v, alpha) for v in rgb)
    return bytes(out)


def png_rgb(im, path=None):
    if path and any(t == b"tRNS" for t, _ in png_chunks(open(path, "rb").read())):
        return png_trns_rgb(path)
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
                rgb = png_rgb(im, path)
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
