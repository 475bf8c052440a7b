#!/usr/bin/env python3
"""Draws the picture shown while no video source is open: res/dis.jpg.

A 640 x 360 dark card with an unplugged HDMI plug, a "no signal" badge,
the words "No Input Signal" and a hint. 640 x 360 fits the default picture
control (863 x 565), so the program shows it 1:1.

Needs ImageMagick's `convert` and the DejaVu Sans fonts; the build does not
run this: the generated JPEG is kept under res/. Run it from anywhere.
"""

import os
import shutil
import subprocess
import sys

WIDTH, HEIGHT = 640, 360
CX = WIDTH // 2

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir)
OUT = os.path.join(ROOT, "res", "dis.jpg")


def poly(*points):
    return "polygon " + " ".join(f"{x},{y}" for x, y in points)


def polyline(points):
    # An open polyline: ImageMagick 6 closes a stroked path with a chord.
    return "polyline " + " ".join(f"{x:.1f},{y:.1f}" for x, y in points)


def cable(p0, p1, p2, p3, steps=24):
    """Points along one cubic Bezier segment."""
    out = []
    for i in range(steps + 1):
        t = i / steps
        a, b, c, d = (1 - t) ** 3, 3 * t * (1 - t) ** 2, 3 * t * t * (1 - t), t ** 3
        out.append((a * p0[0] + b * p1[0] + c * p2[0] + d * p3[0], a * p0[1] + b * p1[1] + c * p2[1] + d * p3[1]))
    return out


def plug():
    """The plug stands upright, its contacts at the top, its cable hanging loose."""
    tip_top, tip_bottom = 40, 74
    body_bottom = 132
    return [
        # The cable first, so that the plug covers its end.
        "-fill", "none", "-stroke", "#3a4150", "-strokewidth", "11",
        "-draw", "stroke-linecap round stroke-linejoin round " + polyline(
            cable((CX, 140), (CX, 182), (CX + 45, 184), (CX + 95, 174))
            + cable((CX + 95, 174), (CX + 145, 164), (CX + 160, 156), (CX + 200, 166))[1:]),
        "-stroke", "none",
        # Strain relief.
        "-fill", "#343b48",
        "-draw", poly((CX - 20, body_bottom), (CX + 20, body_bottom), (CX + 13, 150), (CX - 13, 150)),
        # Moulded body with grip ridges.
        "-fill", "#4b5465",
        "-draw", f"roundrectangle {CX - 44},{tip_bottom - 2} {CX + 44},{body_bottom} 9,9",
        "-fill", "#5c6679",
        "-draw", f"rectangle {CX - 30},{body_bottom - 22} {CX + 30},{body_bottom - 20}",
        "-draw", f"rectangle {CX - 30},{body_bottom - 15} {CX + 30},{body_bottom - 13}",
        "-draw", f"rectangle {CX - 30},{body_bottom - 8} {CX + 30},{body_bottom - 6}",
        # Metal shell in the HDMI outline: square top, chamfered bottom.
        "-fill", "#c7ccd5",
        "-draw", poly((CX - 36, tip_top), (CX + 36, tip_top), (CX + 36, tip_top + 22),
                      (CX + 26, tip_bottom), (CX - 26, tip_bottom), (CX - 36, tip_top + 22)),
        "-fill", "#262b35",
        "-draw", poly((CX - 29, tip_top + 6), (CX + 29, tip_top + 6), (CX + 29, tip_top + 19),
                      (CX + 21, tip_bottom - 7), (CX - 21, tip_bottom - 7), (CX - 29, tip_top + 19)),
        # The contact tongue.
        "-fill", "#d8b64c",
        "-draw", f"rectangle {CX - 20},{tip_top + 13} {CX + 20},{tip_top + 17}",
    ]


def badge():
    """A red disc with a white cross, over the plug's lower corner."""
    bx, by, r = CX + 46, 128, 17
    return [
        "-stroke", "#15181e", "-strokewidth", "4", "-fill", "#d9534f",
        "-draw", f"circle {bx},{by} {bx + r},{by}",
        "-stroke", "#ffffff", "-strokewidth", "4", "-fill", "none",
        "-draw", f"line {bx - 7},{by - 7} {bx + 7},{by + 7}",
        "-draw", f"line {bx - 7},{by + 7} {bx + 7},{by - 7}",
        "-stroke", "none",
    ]


def words():
    return [
        "-gravity", "north",
        "-font", "DejaVu-Sans-Bold", "-pointsize", "34", "-fill", "#e9ecf1",
        "-annotate", "+0+200", "No Input Signal",
        "-font", "DejaVu-Sans", "-pointsize", "17", "-fill", "#9aa3b2",
        "-annotate", "+0+254", "Connect an HDMI source to the capture stick",
        "-gravity", "northwest",
    ]


def main():
    convert = shutil.which("convert")
    if not convert:
        sys.exit("make_no_signal.py: ImageMagick's convert is needed")
    command = [
        convert, "-size", f"{WIDTH}x{HEIGHT}", "gradient:#1d222c-#0e1014",
        # A faint frame, so the card reads as one piece on the black field.
        "-fill", "none", "-stroke", "#2b313c", "-strokewidth", "2",
        "-draw", f"roundrectangle 6,6 {WIDTH - 7},{HEIGHT - 7} 16,16",
        "-stroke", "none",
        *plug(), *badge(), *words(),
        # Full-resolution colour keeps the small text crisp; no
        # metadata, so the file only changes when the drawing does.
        "-sampling-factor", "1x1", "-quality", "90", "-strip", OUT,
    ]
    subprocess.run(command, check=True)
    print(f"wrote {os.path.normpath(OUT)}")


if __name__ == "__main__":
    main()
