#!/usr/bin/python3
# Writes the .ico file of an XPM drawing, for the Windows executable's icon resource: one image,
# 32 bits with alpha (transparent where the drawing says "None") and its AND mask, as the icon
# format stores them (rows bottom up, the mask's rows padded to 32 bits).
# Usage: xpm_to_ico.py DRAWING.xpm OUT.ico
import re, struct, sys

lines = re.findall(r'"([^"]*)"', open(sys.argv[1], encoding="ascii").read())
w, h, ncolours, cpp = (int(v) for v in lines[0].split()[:4])
colours = {}
for line in lines[1:1 + ncolours]:
    code, spec = line[:cpp], line[cpp:].split()
    value = spec[spec.index("c") + 1]
    colours[code] = None if value.lower() == "none" else int(value.lstrip("#"), 16)
rows = [[colours[r[i:i + cpp]] for i in range(0, w * cpp, cpp)] for r in lines[1 + ncolours:1 + ncolours + h]]

pixels, mask = b"", b""
mask_stride = ((w + 31) // 32) * 4
for row in reversed(rows):
    bits = bytearray(mask_stride)
    for x, c in enumerate(row):
        if c is None:
            pixels += b"\0\0\0\0"
            bits[x // 8] |= 0x80 >> (x % 8)
        else:
            pixels += struct.pack("<BBBB", c & 255, (c >> 8) & 255, c >> 16, 255)
    mask += bytes(bits)
header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
image = header + pixels + mask
directory = struct.pack("<HHH", 0, 1, 1) + struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(image), 6 + 16)
open(sys.argv[2], "wb").write(directory + image)
