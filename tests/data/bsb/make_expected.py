#!/usr/bin/python3
"""Writes <chart>.rows.crc32 beside each chart given: one line per image row,
"row crc32", the CRC-32 (zlib) of the row's red, green, blue bytes as decoded
by gdal_translate (an independent BSB decoder). Run once when a chart is added:
    python3 make_expected.py chart.kap ...
"""
import os, subprocess, sys, tempfile, zlib
from PIL import Image

Image.MAX_IMAGE_PIXELS = None

for chart in sys.argv[1:]:
    with tempfile.TemporaryDirectory() as tmp:
        png = os.path.join(tmp, "out.png")
        subprocess.run(["gdal_translate", "-q", "-of", "PNG", "-expand", "rgb", chart, png], check=True)
        img = Image.open(png).convert("RGB")
        w, h = img.size
        data = img.tobytes()
    out = os.path.splitext(chart)[0] + ".rows.crc32"
    with open(out, "w") as f:
        f.write(f"# {os.path.basename(chart)} {w}x{h} decoded by gdal_translate -expand rgb\n")
        for y in range(h):
            f.write(f"{y} {zlib.crc32(data[y * w * 3:(y + 1) * w * 3]):08x}\n")
    print(out, w, h)
