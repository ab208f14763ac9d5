#!/usr/bin/env python3
"""Draws Spindwart's icons and writes them as .ico files beside this script.

A hard disk seen from above: a grey case, a platter with its spindle, the head arm and an activity
light. Awake: a bright platter and a lit green light. In standby: a dark blue platter with a yellow
moon and the light off. The application icon shows the platter half awake, half asleep.

    draw_icons.py           write app.ico, sleeping.ico and awake.ico
    draw_icons.py --check   exit 1 when the files on disk differ from what this script draws
"""
import math
import os
import struct
import sys

VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128), (0, 128, 128),
       (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255), (255, 0, 255),
       (0, 255, 255), (255, 255, 255)]
# The 8-bit images add shades of the case and the platter to the 16 colours.
EXTRA = [(96, 96, 104), (160, 160, 168), (224, 224, 232), (64, 64, 72), (24, 40, 112), (48, 72, 160)]
PALETTE_8 = VGA + EXTRA + [(0, 0, 0)] * (256 - len(VGA) - len(EXTRA))

BLACK, GRAY, SILVER, WHITE = (0, 0, 0), (128, 128, 128), (192, 192, 192), (255, 255, 255)
NAVY, LIME, YELLOW, GREEN = (0, 0, 128), (0, 255, 0), (255, 255, 0), (0, 128, 0)


def inside_rounded_rect(u, v, lo, hi, r):
    if not (lo <= u <= hi and lo <= v <= hi):
        return False
    cu = min(max(u, lo + r), hi - r)
    cv = min(max(v, lo + r), hi - r)
    return (u - cu) ** 2 + (v - cv) ** 2 <= r * r


def distance_to_segment(u, v, a, b):
    (ax, ay), (bx, by) = a, b
    t = ((u - ax) * (bx - ax) + (v - ay) * (by - ay)) / ((bx - ax) ** 2 + (by - ay) ** 2)
    t = min(max(t, 0.0), 1.0)
    return math.hypot(u - (ax + t * (bx - ax)), v - (ay + t * (by - ay)))


def disk(u, v, state, deep):
    """The colour at (u, v) in the unit square, or None where the icon is transparent."""
    if not inside_rounded_rect(u, v, 0.04, 0.96, 0.12):
        return None
    if not inside_rounded_rect(u, v, 0.09, 0.91, 0.09):
        return BLACK
    cx, cy, r = 0.5, 0.45, 0.34
    d = math.hypot(u - cx, v - cy)
    asleep = state == "sleeping" or (state == "both" and u + v > 0.95)
    colour = (EXTRA[1] if deep and v < 0.5 else GRAY)
    if d <= r:
        if d > r - 0.05:
            colour = BLACK
        elif asleep:
            colour = (EXTRA[5] if deep and d < r * 0.6 else NAVY)
            moon = math.hypot(u - 0.47, v - 0.47) <= 0.19 and math.hypot(u - 0.56, v - 0.39) > 0.16
            if moon and state == "sleeping":
                colour = YELLOW
        else:
            colour = (EXTRA[2] if deep and d < r * 0.6 else SILVER)
            if d <= 0.08:
                colour = GRAY
    if distance_to_segment(u, v, (0.84, 0.86), (0.62, 0.56)) <= 0.045:
        colour = BLACK
    if 0.15 <= u <= 0.33 and 0.80 <= v <= 0.88:
        colour = LIME if state == "awake" else (GREEN if state == "both" else BLACK)
    return colour


def draw(size, bits, state):
    palette = VGA if bits == 4 else PALETTE_8
    pixels, mask = [], []
    for y in range(size):
        for x in range(size):
            colour = disk((x + 0.5) / size, (y + 0.5) / size, state, bits == 8)
            mask.append(colour is None)
            pixels.append(0 if colour is None else palette.index(colour))
    return image_bytes(size, bits, palette, pixels, mask)


def image_bytes(size, bits, palette, pixels, mask):
    def rows(values, bpp):
        stride = (size * bpp + 31) // 32 * 4
        out = bytearray()
        for y in reversed(range(size)):  # bottom-up
            row = bytearray(stride)
            for x in range(size):
                v = values[y * size + x]
                bit = x * bpp
                row[bit // 8] |= v << (8 - bpp - bit % 8)
            out += row
        return out

    xor = rows(pixels, bits)
    and_mask = rows([1 if m else 0 for m in mask], 1)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bits, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    colours = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in palette[: 1 << bits])
    return header + colours + xor + and_mask


def ico(images):
    """images: (size, bits, data) in file order."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for size, bits, data in images:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, 16 if bits == 4 else 0, 0, 1, bits, len(data), offset)
        offset += len(data)
        body += data
    return out + body


ICONS = {
    "app.ico": [(48, 8, "both"), (32, 4, "both"), (16, 8, "both")],
    "sleeping.ico": [(16, 4, "sleeping")],
    "awake.ico": [(16, 4, "awake")],
}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    check = sys.argv[1:] == ["--check"]
    stale = []
    for name, images in ICONS.items():
        data = ico([(size, bits, draw(size, bits, state)) for size, bits, state in images])
        path = os.path.join(here, name)
        if check:
            with open(path, "rb") as f:
                if f.read() != data:
                    stale.append(name)
        else:
            with open(path, "wb") as f:
                f.write(data)
    if stale:
        print("out of date, run resources/draw_icons.py: " + " ".join(stale))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
