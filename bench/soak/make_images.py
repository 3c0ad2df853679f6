#!/usr/bin/env python3
"""Writes the soak folder: COUNT small images of mixed formats, about a
quarter of them malformed (cut short, zero bytes, noise, a damaged header,
too small to convert). Deterministic for a given seed.

    make_images.py FOLDER [COUNT] [SEED]
"""
import io
import os
import random
import sys

from PIL import Image


def picture(rng, width, height, mode):
    # Map-like content: bands, grid lines and a little texture, so that the
    # colour reduction and the zoom levels have real work.
    img = Image.new("RGB", (width, height))
    px = img.load()
    a, b, c = rng.randrange(256), rng.randrange(256), rng.randrange(256)
    for y in range(height):
        for x in range(width):
            if x % 61 < 2 or y % 53 < 2:
                px[x, y] = (40, 40, 40)
            else:
                px[x, y] = ((a + x // 9 * 7) % 256, (b + y // 11 * 5) % 256, (c + ((x ^ y) & 15)) % 256)
    if mode == "P":
        return img.quantize(colors=rng.choice([16, 64, 200]))
    if mode == "L":
        return img.convert("L")
    return img


def encode(img, fmt):
    out = io.BytesIO()
    if fmt == "TIFF":
        img.save(out, fmt, compression=random.choice(["raw", "tiff_lzw", "tiff_deflate"]))
    else:
        img.save(out, fmt)
    return out.getvalue()


FORMATS = [("bmp", "BMP"), ("tif", "TIFF"), ("png", "PNG"), ("gif", "GIF"), ("jpg", "JPEG")]


def main():
    folder = sys.argv[1]
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 11
    rng = random.Random(seed)
    random.seed(seed)
    os.makedirs(folder, exist_ok=True)
    for i in range(count):
        ext, fmt = FORMATS[i % len(FORMATS)]
        width, height = rng.randrange(300, 420), rng.randrange(300, 420)
        mode = "RGB" if fmt == "JPEG" else rng.choice(["RGB", "P", "L"])
        if fmt == "GIF":
            mode = "P"
        kind = rng.random()
        if kind < 0.06:
            width, height = rng.randrange(20, 200), rng.randrange(20, 200)  # too small
        data = encode(picture(rng, width, height, mode), fmt)
        name = f"img{i:03d}"
        if kind >= 0.75:
            damage = rng.choice(["cut", "empty", "noise", "header", "flip"])
            name += "_" + damage
            if damage == "cut":
                data = data[: rng.randrange(1, len(data))]
            elif damage == "empty":
                data = b""
            elif damage == "noise":
                data = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 4000)))
            elif damage == "header":
                data = bytearray(data)
                for _ in range(6):
                    data[rng.randrange(min(len(data), 64))] = rng.randrange(256)
                data = bytes(data)
            else:
                data = bytearray(data)
                for _ in range(40):
                    data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
                data = bytes(data)
        with open(os.path.join(folder, f"{name}.{ext}"), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
