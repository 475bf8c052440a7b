#!/usr/bin/env python3
"""Draws the Vistamo program icon and writes res/icon64.inc (built into the
program) and the desktop theme icons under res/icons/hicolor (PNGs at the
usual sizes and the same drawing as SVG).

The icon is a dark monitor whose blue screen shows a white play triangle,
standing on an HDMI plug face. Shapes are signed-distance functions on a
64 x 64 design grid, sampled at least 8 x 8 times per design pixel, so every
edge is anti-aliased at any size and the corners stay transparent. The SVG
is written from the same shapes and colours. Standard library only; run it
from anywhere. The outputs are kept in the repository; the build does not
run this.
"""

import math
import os
import struct
import zlib

SIZE = 64  # the design grid, and the size of the icon built into the program
SUB = 8  # samples per design pixel along each axis
THEME_SIZES = (16, 24, 32, 48, 64, 128, 256)

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
RES = os.path.join(ROOT, "res")


# ---- shapes: negative inside, positive outside, in pixel units ----

def rounded_rect(x, y, x0, y0, x1, y1, r):
    cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
    qx = abs(x - cx) - (x1 - x0) / 2 + r
    qy = abs(y - cy) - (y1 - y0) / 2 + r
    outside = math.hypot(max(qx, 0.0), max(qy, 0.0))
    return outside + min(max(qx, qy), 0.0) - r


def polygon(x, y, pts, r=0.0):
    """Exact distance to a closed polygon, rounded by r."""
    best = float("inf")
    inside = False
    n = len(pts)
    for i in range(n):
        ax, ay = pts[i]
        bx, by = pts[(i + 1) % n]
        ex, ey = bx - ax, by - ay
        wx, wy = x - ax, y - ay
        t = max(0.0, min(1.0, (wx * ex + wy * ey) / (ex * ex + ey * ey)))
        best = min(best, math.hypot(wx - ex * t, wy - ey * t))
        if (ay > y) != (by > y) and x < ax + (y - ay) * ex / ey:
            inside = not inside
    return (-best if inside else best) - r


def lerp(a, b, t):
    return tuple(p + (q - p) * t for p, q in zip(a, b))


def hexrgb(s):
    return tuple(int(s[i:i + 2], 16) / 255 for i in (0, 2, 4))


# ---- the picture ----

BODY_TOP, BODY_BOTTOM = hexrgb("3A4352"), hexrgb("1C222C")
RIM = hexrgb("5B6678")
SCREEN_TOP, SCREEN_BOTTOM = hexrgb("2F8CF0"), hexrgb("123C82")
PLAY = hexrgb("FFFFFF")
PLUG_TOP, PLUG_BOTTOM = hexrgb("D5DCE6"), hexrgb("98A3B3")
SLOT = hexrgb("20262F")

TRIANGLE = [(26.5, 19.0), (26.5, 39.0), (42.5, 29.0)]
PLUG = [(19.0, 50.0), (45.0, 50.0), (45.0, 56.0), (40.5, 61.0), (23.5, 61.0), (19.0, 56.0)]
PLUG_SLOT = [(22.5, 53.0), (41.5, 53.0), (41.5, 55.5), (39.0, 58.0), (25.0, 58.0), (22.5, 55.5)]


def sample(x, y):
    """Straight-alpha colour of the icon at one point, as (r, g, b, a)."""
    layers = []  # (colour, alpha), painted bottom to top

    # soft shadow under the monitor and the plug
    d = min(rounded_rect(x, y - 1.2, 3, 5, 61, 49, 7), polygon(x, y - 1.0, PLUG))
    if d < 2.5:
        layers.append(((0, 0, 0), 0.28 * min(1.0, (2.5 - d) / 2.5)))

    if polygon(x, y, PLUG) <= 0:
        layers.append((lerp(PLUG_TOP, PLUG_BOTTOM, (y - 50) / 11), 1.0))
        if polygon(x, y, PLUG_SLOT) <= 0:
            layers.append((SLOT, 1.0))

    if rounded_rect(x, y, 3, 5, 61, 49, 7) <= 0:
        rim = rounded_rect(x, y, 3, 5, 61, 49, 7) > -1.0
        body = lerp(BODY_TOP, BODY_BOTTOM, (y - 5) / 44)
        if rim:  # a light edge that fades out towards the bottom
            body = lerp(body, RIM, 0.7 * max(0.0, min(1.0, (40 - y) / 30)))
        layers.append((body, 1.0))

    if rounded_rect(x, y, 7, 9, 57, 45, 3.5) <= 0:
        screen = lerp(SCREEN_TOP, SCREEN_BOTTOM, (y - 9) / 36)
        # a faint diagonal sheen across the upper left of the glass
        if x + y < 44:
            screen = lerp(screen, (1, 1, 1), 0.10)
        layers.append((screen, 1.0))
        if polygon(x, y, TRIANGLE, 1.6) <= 0:
            layers.append((PLAY, 1.0))

    r = g = b = a = 0.0
    for (cr, cg, cb), ca in layers:  # "over", premultiplied
        r = cr * ca + r * (1 - ca)
        g = cg * ca + g * (1 - ca)
        b = cb * ca + b * (1 - ca)
        a = ca + a * (1 - ca)
    return r, g, b, a


def render(size=SIZE):
    # At least SUB samples per design pixel; small icons take more per pixel.
    sub = max(2, -(-SUB * SIZE // size))
    scale = SIZE / size
    pixels = []
    for py in range(size):
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(sub):
                for sx in range(sub):
                    s = sample((px + (sx + 0.5) / sub) * scale, (py + (sy + 0.5) / sub) * scale)
                    for i in range(4):
                        acc[i] += s[i]
            n = sub * sub
            a = acc[3] / n
            if a <= 0:
                pixels.append((0, 0, 0, 0))
                continue
            rgb = [min(255, round(c / acc[3] * 255)) for c in acc[:3]]
            pixels.append((*rgb, round(a * 255)))
    return pixels


def write_inc(path, pixels):
    words = ["0x%02X%02X%02X%02Xu" % (a, r, g, b) for r, g, b, a in pixels]
    lines = [", ".join(words[i:i + 8]) for i in range(0, len(words), 8)]
    with open(path, "w") as f:
        f.write("// 64x64 ARGB program icon, generated by tools/make_icon.py; do not edit.\n")
        f.write(",\n".join(lines) + "\n")


def write_png(path, pixels, size=SIZE):
    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    raw = bytearray()
    for y in range(size):
        raw.append(0)  # filter: none
        for r, g, b, a in pixels[y * size:(y + 1) * size]:
            raw += bytes((r, g, b, a))
    png = b"\x89PNG\r\n\x1a\n"
    png += chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(bytes(raw), 9))
    png += chunk(b"IEND", b"")
    with open(path, "wb") as f:
        f.write(png)


def svg_colour(c):
    return "#%02X%02X%02X" % tuple(round(v * 255) for v in c)


def svg_points(pts):
    return " ".join("%g,%g" % p for p in pts)


def write_svg(path):
    """The drawing of sample() as SVG, on the same 64 x 64 grid."""
    c = svg_colour
    svg = f"""<?xml version="1.0" encoding="UTF-8"?>
<!-- Vistamo program icon, generated by tools/make_icon.py; do not edit. -->
<svg xmlns="http://www.w3.org/2000/svg" width="64" height="64" viewBox="0 0 64 64">
  <defs>
    <linearGradient id="body" gradientUnits="userSpaceOnUse" x1="0" y1="5" x2="0" y2="49">
      <stop offset="0" stop-color="{c(BODY_TOP)}"/>
      <stop offset="1" stop-color="{c(BODY_BOTTOM)}"/>
    </linearGradient>
    <linearGradient id="rim" gradientUnits="userSpaceOnUse" x1="0" y1="10" x2="0" y2="40">
      <stop offset="0" stop-color="{c(RIM)}" stop-opacity="0.7"/>
      <stop offset="1" stop-color="{c(RIM)}" stop-opacity="0"/>
    </linearGradient>
    <linearGradient id="screen" gradientUnits="userSpaceOnUse" x1="0" y1="9" x2="0" y2="45">
      <stop offset="0" stop-color="{c(SCREEN_TOP)}"/>
      <stop offset="1" stop-color="{c(SCREEN_BOTTOM)}"/>
    </linearGradient>
    <linearGradient id="plug" gradientUnits="userSpaceOnUse" x1="0" y1="50" x2="0" y2="61">
      <stop offset="0" stop-color="{c(PLUG_TOP)}"/>
      <stop offset="1" stop-color="{c(PLUG_BOTTOM)}"/>
    </linearGradient>
    <clipPath id="glass">
      <rect x="7" y="9" width="50" height="36" rx="3.5"/>
    </clipPath>
    <filter id="soft" x="-10%" y="-10%" width="120%" height="120%">
      <feGaussianBlur stdDeviation="0.9"/>
    </filter>
  </defs>
  <g fill="#000000" fill-opacity="0.28" filter="url(#soft)">
    <rect x="3" y="6.2" width="58" height="44" rx="7"/>
    <polygon points="{svg_points((x, y + 1.0) for x, y in PLUG)}"/>
  </g>
  <polygon points="{svg_points(PLUG)}" fill="url(#plug)"/>
  <polygon points="{svg_points(PLUG_SLOT)}" fill="{c(SLOT)}"/>
  <rect x="3" y="5" width="58" height="44" rx="7" fill="url(#body)"/>
  <rect x="3.5" y="5.5" width="57" height="43" rx="6.5" fill="none" stroke="url(#rim)" stroke-width="1"/>
  <rect x="7" y="9" width="50" height="36" rx="3.5" fill="url(#screen)"/>
  <polygon points="0,0 44,0 0,44" fill="#FFFFFF" fill-opacity="0.1" clip-path="url(#glass)"/>
  <polygon points="{svg_points(TRIANGLE)}" fill="{c(PLAY)}" stroke="{c(PLAY)}" stroke-width="3.2" stroke-linejoin="round"/>
</svg>
"""
    with open(path, "w") as f:
        f.write(svg)


def main():
    pixels = render()
    write_inc(os.path.join(RES, "icon64.inc"), pixels)
    theme = os.path.join(RES, "icons", "hicolor")
    for size in THEME_SIZES:
        folder = os.path.join(theme, "%dx%d" % (size, size), "apps")
        os.makedirs(folder, exist_ok=True)
        write_png(os.path.join(folder, "vistamo.png"), pixels if size == SIZE else render(size), size)
    folder = os.path.join(theme, "scalable", "apps")
    os.makedirs(folder, exist_ok=True)
    write_svg(os.path.join(folder, "vistamo.svg"))


if __name__ == "__main__":
    main()
