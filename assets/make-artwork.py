#!/usr/bin/env python3
"""Draws the installed artwork of Velantia into this folder.

Needs ImageMagick's `convert` (or `magick`) and librsvg's `rsvg-convert` only
when the artwork is redrawn; the build uses the committed files. Shapes are drawn at a larger scale and
scaled down, which gives clean edges at icon size.
"""

import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
BOLD_FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"

# Pages show the marks on white, so the JPGs are flattened onto white.
ALERTS = [
    # file, fill, border, glyph colour, glyph
    ("Red.jpg", "#d6342c", "#a3201a", "#ffffff", "!"),
    ("Yelow.jpg", "#f5b800", "#c28f00", "#3a3000", "!"),
    ("Green.jpg", "#3c9a3f", "#276b2a", "#ffffff", "i"),
]


def imagemagick():
    for name in ("magick", "convert"):
        path = shutil.which(name)
        if path:
            return [path] if name == "convert" else [path, "convert"]
    sys.exit("make-artwork: ImageMagick (convert) no está instalado")


def run(args):
    subprocess.run(imagemagick() + args, check=True)


# Metadata with dates would make every run differ.
REPRODUCIBLE = ["-strip", "-define", "png:exclude-chunks=date,time"]


def alert(name, fill, border, ink, glyph):
    s = 8  # drawn at 192x192, stored at 24x24
    c = 12 * s
    r = 11 * s
    draw = [
        "-fill", fill, "-stroke", border, "-strokewidth", str(s),
        "-draw", f"circle {c},{c} {c},{c - r + s // 2}",
        "-stroke", "none", "-fill", ink,
    ]
    if glyph == "!":
        # Tapered bar and a dot, as shapes so no font is needed.
        draw += [
            "-draw", f"polygon {c - 2 * s},{5 * s} {c + 2 * s},{5 * s} "
                     f"{c + 1.2 * s:.0f},{14 * s} {c - 1.2 * s:.0f},{14 * s}",
            "-draw", f"circle {c},{17.2 * s:.0f} {c + 1.7 * s:.0f},{17.2 * s:.0f}",
        ]
    else:
        draw += [
            "-draw", f"circle {c},{6.6 * s:.0f} {c + 1.7 * s:.0f},{6.6 * s:.0f}",
            "-draw", f"roundrectangle {c - 1.5 * s:.0f},{9.5 * s:.0f} "
                     f"{c + 1.5 * s:.0f},{18.5 * s:.0f} {s // 2},{s // 2}",
        ]
    run(["-size", f"{24 * s}x{24 * s}", "xc:white", *draw,
         "-resize", "24x24", "-sampling-factor", "1x1", "-quality", "95",
         *REPRODUCIBLE, os.path.join(HERE, "htm", name)])


def printer():
    s = 8  # drawn at 160x128, stored at 20x16
    def box(x0, y0, x1, y1, radius=0.0):
        corners = f"{x0 * s:.0f},{y0 * s:.0f} {x1 * s:.0f},{y1 * s:.0f}"
        if not radius:  # a zero-radius roundrectangle draws nothing
            return "rectangle " + corners
        return f"roundrectangle {corners} {radius * s:.0f},{radius * s:.0f}"
    run(["-size", f"{20 * s}x{16 * s}", "xc:white",
         # sheet waiting at the back
         "-fill", "#ffffff", "-stroke", "#5a5a5a", "-strokewidth", str(s),
         "-draw", box(5, 1, 15, 7),
         # body
         "-fill", "#5f6b73", "-stroke", "#3d464c",
         "-draw", box(1.5, 5.5, 18.5, 12, 1.5),
         # printed sheet coming out, with two lines of text
         "-fill", "#ffffff", "-stroke", "#5a5a5a",
         "-draw", box(5, 9.5, 15, 15),
         "-stroke", "#3c9a3f", "-strokewidth", str(s),
         "-draw", f"line {7 * s},{11.8 * s:.0f} {13 * s},{11.8 * s:.0f}",
         "-stroke", "#9aa3a8",
         "-draw", f"line {7 * s},{13.5 * s:.0f} {11 * s},{13.5 * s:.0f}",
         # power light
         "-stroke", "none", "-fill", "#7fd14f",
         "-draw", f"circle {16.3 * s:.0f},{7.7 * s:.0f} {17 * s:.0f},{7.7 * s:.0f}",
         "-resize", "20x16", "-sampling-factor", "1x1", "-quality", "95",
         *REPRODUCIBLE, os.path.join(HERE, "htm", "printer.jpg")])


def logo():
    s = 4  # drawn at 480x240, stored at 120x60
    def rect(x0, y0, x1, y1, radius):
        return (f"roundrectangle {x0 * s:.0f},{y0 * s:.0f} {x1 * s:.0f},{y1 * s:.0f} "
                f"{radius * s:.0f},{radius * s:.0f}")
    def p(x, y):
        return f"{x * s:.0f},{y * s:.0f}"
    font = ["-font", BOLD_FONT] if os.path.exists(BOLD_FONT) else []
    run(["-size", f"{120 * s}x{60 * s}", "xc:none",
         # pharmacy cross with a leaf at its centre
         "-fill", "#2f8f3a",
         "-draw", rect(11, 14, 23, 46, 2.5),
         "-draw", rect(1, 24, 33, 36, 2.5),
         # leaf: two quadratic curves between opposite corners, and its vein
         "-fill", "#ffffff",
         "-draw", f"path 'M {p(12.3, 34.7)} Q {p(12.3, 25.3)} {p(21.7, 25.3)} "
                  f"Q {p(21.7, 34.7)} {p(12.3, 34.7)} Z'",
         "-stroke", "#2f8f3a", "-strokewidth", str(s * 0.6),
         "-fill", "none", "-draw", f"line {p(13.5, 33.5)} {p(19.5, 27.5)}",
         "-stroke", "none",
         # word
         *font, "-pointsize", str(14 * s), "-fill", "#245c2c",
         "-annotate", f"+{37 * s}+{35 * s}", "Velantia",
         "-resize", "120x60", *REPRODUCIBLE, "PNG32:" + os.path.join(HERE, "logo.png")])


def icon():
    # The logo's cross and leaf on a rounded white tile, drawn once at 256x256 and stored in
    # the sizes Windows asks an .ico for.
    s = 8
    def rect(x0, y0, x1, y1, radius):
        return (f"roundrectangle {x0 * s:.0f},{y0 * s:.0f} {x1 * s:.0f},{y1 * s:.0f} "
                f"{radius * s:.0f},{radius * s:.0f}")
    def p(x, y):
        return f"{x * s:.0f},{y * s:.0f}"
    big = os.path.join(HERE, "icon-256.png")
    run(["-size", f"{32 * s}x{32 * s}", "xc:none",
         "-fill", "#ffffff", "-stroke", "#245c2c", "-strokewidth", str(s * 0.8),
         "-draw", rect(0.6, 0.6, 31.4, 31.4, 6),
         "-stroke", "none", "-fill", "#2f8f3a",
         "-draw", rect(11, 3, 21, 29, 2),
         "-draw", rect(3, 11, 29, 21, 2),
         "-fill", "#ffffff",
         "-draw", f"path 'M {p(11.5, 20.5)} Q {p(11.5, 11.5)} {p(20.5, 11.5)} "
                  f"Q {p(20.5, 20.5)} {p(11.5, 20.5)} Z'",
         "-stroke", "#2f8f3a", "-strokewidth", str(s * 0.6),
         "-fill", "none", "-draw", f"line {p(12.8, 19.2)} {p(18.5, 13.5)}",
         *REPRODUCIBLE, "PNG32:" + big])
    run([big, "-define", "icon:auto-resize=256,64,48,32,24,16",
         os.path.join(HERE, "velantia.ico")])
    os.remove(big)


# The desktop's icon (menu entries, software centres): the .ico's drawing as an SVG, and PNG
# renders of it in the sizes of the hicolor theme.
DESKTOP_ICON = "es.velantia.Velantia"
DESKTOP_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def desktop_icon():
    svg = "\n".join([
        '<svg xmlns="http://www.w3.org/2000/svg" width="256" height="256" viewBox="0 0 32 32">',
        '  <rect x="0.6" y="0.6" width="30.8" height="30.8" rx="6" fill="#ffffff"'
        ' stroke="#245c2c" stroke-width="0.8"/>',
        '  <rect x="11" y="3" width="10" height="26" rx="2" fill="#2f8f3a"/>',
        '  <rect x="3" y="11" width="26" height="10" rx="2" fill="#2f8f3a"/>',
        '  <path d="M 11.5 20.5 Q 11.5 11.5 20.5 11.5 Q 20.5 20.5 11.5 20.5 Z" fill="#ffffff"/>',
        '  <path d="M 12.8 19.2 L 18.5 13.5" stroke="#2f8f3a" stroke-width="0.6"/>',
        '</svg>',
    ]) + "\n"
    theme = os.path.join(HERE, "icons", "hicolor")
    scalable = os.path.join(theme, "scalable", "apps")
    os.makedirs(scalable, exist_ok=True)
    source = os.path.join(scalable, DESKTOP_ICON + ".svg")
    with open(source, "w", encoding="ascii") as f:
        f.write(svg)
    rsvg = shutil.which("rsvg-convert")
    if not rsvg:
        sys.exit("make-artwork: rsvg-convert (librsvg2-bin) no está instalado")
    for n in DESKTOP_SIZES:
        folder = os.path.join(theme, f"{n}x{n}", "apps")
        os.makedirs(folder, exist_ok=True)
        subprocess.run([rsvg, "-w", str(n), "-h", str(n), "-o",
                        os.path.join(folder, DESKTOP_ICON + ".png"), source], check=True)


def empty_page():
    lines = [
        "<html>",
        "<head>",
        "<title>Velantia</title>",
        "</head>",
        "<body bgcolor='#f3f6f3' text='#4d4d4d' topmargin=0 leftmargin=10>",
        "<br><br>",
        "<p align=center><font face='Arial' color=#4d4d4d size=2>"
        "Velantia — no hay ningún medicamento seleccionado.</font></p>",
        "</body>",
        "</html>",
    ]
    # No charset in the page: the browser reads it as Windows-1252.
    with open(os.path.join(HERE, "htm", "vacia.htm"), "wb") as f:
        for line in lines:
            f.write(line.encode("cp1252") + b"\r\n")


def main():
    for mark in ALERTS:
        alert(*mark)
    printer()
    logo()
    icon()
    desktop_icon()
    empty_page()


if __name__ == "__main__":
    main()
