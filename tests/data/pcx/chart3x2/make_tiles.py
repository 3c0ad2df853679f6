#!/usr/bin/python3
"""Draws the six 640 x 480 tiles of a 3 x 2 header chart with 16 colours and
writes them with netpbm's ppmtopcx (4 bit planes, one shared palette):
    chart.A01 chart.B01 chart.C01 chart.A02 chart.B02 chart.C02
beside chart.hdr, and each tile's expected pixels as tile_<name>.png."""
import subprocess, sys
from PIL import Image, ImageDraw

palette = [(0, 0, 0), (255, 255, 255), (200, 30, 30), (30, 160, 60), (40, 70, 200), (240, 220, 40),
           (250, 140, 20), (130, 40, 170), (20, 200, 210), (120, 120, 120), (190, 190, 190),
           (100, 60, 20), (250, 170, 200), (10, 90, 60), (60, 20, 90), (170, 230, 120)]
pal = Image.new("RGB", (16, 1))
pal.putdata(palette)
pal.save("palette.ppm")
open("chart.hdr", "w").write("header chart drawn for the tests\n")
for row in range(2):
    for col in range(3):
        n = row * 3 + col
        img = Image.new("RGB", (640, 480), palette[1 + n])
        d = ImageDraw.Draw(img)
        for k in range(0, 480, 24 + 8 * n):  # bands of a tile-dependent pitch
            d.rectangle([0, k, 639, k + 2 + n], fill=palette[(7 + n) % 16])
        d.rectangle([30 + 60 * n, 20 + 40 * n, 200 + 60 * n, 120 + 40 * n], fill=palette[(12 + n) % 16])
        d.rectangle([400 - 20 * n, 250, 600 - 20 * n, 460 - 10 * n], fill=palette[0], outline=palette[15 - n])
        d.point([(0, 0), (639, 0), (0, 479), (639, 479)], fill=palette[9])  # corners
        d.text((300, 200), "%s%02d" % ("ABC"[col], row + 1), fill=palette[0])
        name = "chart.%s%02d" % ("ABC"[col], row + 1)
        img.save("t.ppm")
        with open(name, "wb") as out:
            subprocess.run(["ppmtopcx", "-planes", "4", "-palette=palette.ppm", "t.ppm"], stdout=out, check=True)
        p = Image.new("P", (1, 1))
        p.putpalette([c for rgb in palette for c in rgb])
        img.quantize(palette=p, dither=Image.Dither.NONE).save("tile_%s%02d.png" % ("ABC"[col], row + 1), optimize=True)
