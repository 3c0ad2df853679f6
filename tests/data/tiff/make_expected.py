#!/usr/bin/python3
"""Writes expected.txt: what independent decoders make of every TIFF of a
corpus folder (and its derived/ folder). Run once by a developer, with
Pillow and ImageMagick installed:

    /usr/bin/python3 make_expected.py /work/shared/testdata/tiff > expected.txt

The tests read expected.txt only. Lines:

    decoded <file> <width> <height> <crc32 of the RGB rows, top row first> <decoder>
    near <file> <width> <height> <dump file> <largest difference> <decoder>
    refused <file> <message the reader shows>
    unreadable <file>

Pillow is the decoder, except for 16-bit samples (Pillow clips them instead
of scaling; ImageMagick scales to 8 bits) and files Pillow cannot read: those
go to the small reference decoder below when it can, else to ImageMagick.
"Refused" follows the rules of the first strip reader, taken from the tags
read here by a small parser of the file's first directory (not by libtiff).
The reader now reads those kinds too: make_expected_beyond.py writes their
lines, which replace the "refused" ones.
"""
import os
import struct
import subprocess
import sys
import zlib

from PIL import Image

LZW_MESSAGE = "TIF images using 24 bit color and LZW compression are not supported"
FORMAT_MESSAGE = "This TIF format is not supported"


def first_ifd_tags(path):
    data = open(path, "rb").read()
    order = {b"II": "<", b"MM": ">"}.get(data[:2])
    if order is None:
        return None
    magic = struct.unpack(order + "H", data[2:4])[0]
    big = magic == 43
    if big:
        offset = struct.unpack(order + "Q", data[8:16])[0]
        count = struct.unpack(order + "Q", data[offset:offset + 8])[0]
        entry, base = 20, offset + 8
    else:
        offset = struct.unpack(order + "I", data[4:8])[0]
        count = struct.unpack(order + "H", data[offset:offset + 2])[0]
        entry, base = 12, offset + 2
    sizes = {1: 1, 3: 2, 4: 4, 16: 8}
    formats = {1: "B", 3: "H", 4: "I", 16: "Q"}
    tags = {}
    for i in range(count):
        e = data[base + i * entry: base + (i + 1) * entry]
        if big:
            tag, typ, n = struct.unpack(order + "HHQ", e[:12])
            value = e[12:20]
            inline = 8
        else:
            tag, typ, n = struct.unpack(order + "HHI", e[:8])
            value = e[8:12]
            inline = 4
        if typ not in sizes:
            continue
        size = sizes[typ] * n
        if size > inline:
            where = struct.unpack(order + ("Q" if big else "I"), value)[0]
            value = data[where:where + size]
        tags[tag] = struct.unpack(order + formats[typ] * n, value[:size])
    return tags


def refusal(tags):
    photometric = tags.get(262, (1,))[0]
    compression = tags.get(259, (1,))[0]
    bits = tags.get(258, (1,))[0]
    samples = tags.get(277, (1,))[0]
    sample_format = tags.get(339, (1,))[0]
    if photometric == 2 and compression == 5:
        return LZW_MESSAGE
    if photometric > 3:
        return FORMAT_MESSAGE
    if sample_format not in (1, 4):
        return "TIF images whose samples are not unsigned integers are not supported"
    kind = {2: "RGB", 3: "palette"}.get(photometric, "grey")
    allowed = {"RGB": (8, 16), "palette": (1, 2, 4, 8), "grey": (1, 2, 4, 8, 16)}[kind]
    if bits not in allowed:
        return "TIF %s images with %d bits per sample are not supported" % (kind, bits)
    if kind == "RGB" and samples < 3:
        return "TIF RGB images with fewer than 3 samples per pixel are not supported"
    return None


def unpack_bits(data):
    out, i = bytearray(), 0
    while i < len(data):
        n = data[i]
        i += 1
        if n < 128:
            out += data[i:i + n + 1]
            i += n + 1
        elif n > 128:
            out += bytes([data[i]]) * (257 - n)
            i += 1
    return out


def decode_plain(path, tags):
    """A small reference decoder for 8-bit grey or RGB strips, uncompressed or
    PackBits, interleaved or in planes. Extra samples are dropped, as the
    reader does; associated alpha is kept premultiplied, as stored."""
    if tags.get(258, (0,))[0] != 8 or tags.get(259, (1,))[0] not in (1, 32773) or 322 in tags:
        return None
    photometric = tags.get(262, (1,))[0]
    if photometric not in (1, 2):
        return None
    data = open(path, "rb").read()
    width, height = tags[256][0], tags[257][0]
    samples = tags.get(277, (1,))[0]
    planes = samples if tags.get(284, (1,))[0] == 2 else 1
    rows_per_strip = min(tags.get(278, (height,))[0], height)
    strips_per_plane = (height + rows_per_strip - 1) // rows_per_strip
    decoded = []
    for plane in range(planes):
        raw = bytearray()
        for s in range(strips_per_plane):
            k = plane * strips_per_plane + s
            chunk = data[tags[273][k]:tags[273][k] + tags[279][k]]
            raw += unpack_bits(chunk) if tags.get(259, (1,))[0] == 32773 else chunk
        decoded.append(raw)
    colours = 3 if photometric == 2 else 1
    step = 1 if planes > 1 else samples
    rgb = bytearray()
    for i in range(width * height):
        values = [decoded[c if planes > 1 else 0][i * step + (0 if planes > 1 else c)] for c in range(colours)]
        rgb += bytes(values * 3 if colours == 1 else values)
    return width, height, bytes(rgb)


def decode_magick(path):
    size = subprocess.run(["/usr/bin/identify", "-format", "%w %h", path + "[0]"],
                          capture_output=True, check=True, text=True).stdout.split()
    rgb = subprocess.run(["/usr/bin/convert", path + "[0]", "-depth", "8", "rgb:-"],
                         capture_output=True, check=True).stdout
    return int(size[0]), int(size[1]), rgb


def main():
    corpus = sys.argv[1]
    names = sorted(n for n in os.listdir(corpus) if ".tif" in n.lower())
    derived = os.path.join(corpus, "derived")
    if os.path.isdir(derived):
        names += sorted("derived/" + n for n in os.listdir(derived) if ".tif" in n.lower())
    dump_folder = os.path.dirname(os.path.abspath(__file__))
    for name in names:
        path = os.path.join(corpus, name)
        tags = first_ifd_tags(path)
        bits = tags.get(258, (1,))[0] if tags else 1
        image = None
        try:
            image = Image.open(path)
            image.seek(0)
            image.load()
        except Exception:
            image = None
        try:
            if image is not None and bits != 16:
                decoder = "pillow"
                width, height = image.size
                associated = image.mode == "RGBA" and tags and tags.get(338, (0,))[0] == 1
                if associated:
                    # The reader drops alpha: it keeps the stored, premultiplied
                    # colour. Pillow un-premultiplies; multiply back.
                    rgba = image.tobytes()
                    out = bytearray()
                    for i in range(0, len(rgba), 4):
                        a = rgba[i + 3]
                        out += bytes(round(c * a / 255) for c in rgba[i:i + 3])
                    dump = name.replace("/", "_") + ".rgb"
                    open(os.path.join(dump_folder, dump), "wb").write(out)
                    reason = refusal(tags)
                    if reason:
                        print("refused %s %s" % (name, reason))
                    else:
                        print("near %s %d %d %s 1 %s" % (name, width, height, dump, decoder))
                    continue
                rgb = image.convert("RGB").tobytes()
            elif image is None and tags and decode_plain(path, tags):
                decoder = "reference"
                width, height, rgb = decode_plain(path, tags)
            else:
                decoder = "imagemagick"
                width, height, rgb = decode_magick(path)
        except Exception:
            print("unreadable %s" % name)
            continue
        assert len(rgb) == width * height * 3, name
        reason = refusal(tags) if tags else None
        if reason:
            print("refused %s %s" % (name, reason))
        else:
            print("decoded %s %d %d %08x %s" % (name, width, height, zlib.crc32(rgb), decoder))


main()
