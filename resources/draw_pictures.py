#!/usr/bin/env python3
"""Draws the recorder's seven pictures into the directory of this script, and the window icon
at the sizes the desktop installs into ../packaging/icons.

    python3 resources/draw_pictures.py

PIL comes from Debian's python3-pil (scripts/install-deps.sh), which belongs to the system
interpreter /usr/bin/python3; a python3 of a separate installation needs its own Pillow.

Every shape is drawn at four times the final size and scaled down with a Lanczos filter,
which gives smooth anti-aliased edges from PIL's hard-edged primitives. Backgrounds stay
transparent so the pictures sit on the grey panels of the window.
"""
import math
import os

from PIL import Image, ImageDraw, ImageFont

SCALE = 4
HERE = os.path.dirname(os.path.abspath(__file__))
FONT_DIR = "/usr/share/fonts/truetype/dejavu"
APP_ID = "org.veloran.TessaroRecorder"
ICON_SIZES = (48, 128, 256)


def canvas(width, height):
    image = Image.new("RGBA", (width * SCALE, height * SCALE), (0, 0, 0, 0))
    return image, ImageDraw.Draw(image)


def save(image, width, height, name):
    path = os.path.join(HERE, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    image.resize((width, height), Image.LANCZOS).save(path)
    print("wrote", name)


def s(value):
    """A coordinate of the final picture in the enlarged canvas."""
    return value * SCALE


def w(value):
    """A line width of the final picture in the enlarged canvas (PIL wants whole pixels)."""
    return max(1, round(value * SCALE))


def radial_disc(image, cx, cy, radius, inner, outer, highlight=(0.38, 0.32)):
    """A filled disc whose colour runs from inner (near the highlight) to outer (the rim)."""
    layer = Image.new("RGBA", image.size, (0, 0, 0, 0))
    draw = ImageDraw.Draw(layer)
    hx = cx - radius + 2 * radius * highlight[0]
    hy = cy - radius + 2 * radius * highlight[1]
    steps = 48
    for i in range(steps, 0, -1):
        t = i / steps
        r = radius * t
        # Each ring is centred between the highlight and the disc's centre, so the light
        # appears to come from the top left.
        x = hx + (cx - hx) * t
        y = hy + (cy - hy) * t
        colour = tuple(int(inner[k] + (outer[k] - inner[k]) * t) for k in range(3)) + (255,)
        draw.ellipse([x - r, y - r, x + r, y + r], fill=colour)
    mask = Image.new("L", image.size, 0)
    ImageDraw.Draw(mask).ellipse([cx - radius, cy - radius, cx + radius, cy + radius], fill=255)
    image.paste(layer, (0, 0), mask)


def record_black():
    image, draw = canvas(64, 64)
    radial_disc(image, s(32), s(32), s(25), (80, 80, 80), (12, 12, 12))
    draw.ellipse([s(7), s(7), s(57), s(57)], outline=(0, 0, 0, 255), width=w(1.5))
    save(image, 64, 64, "record_black.png")


def stop():
    image, draw = canvas(64, 64)
    draw.rounded_rectangle([s(12), s(12), s(52), s(52)], radius=s(5),
                           fill=(28, 28, 28, 255), outline=(0, 0, 0, 255), width=w(1.5))
    # A faint sheen along the top edge keeps the square from looking like a hole.
    draw.rounded_rectangle([s(15), s(15), s(49), s(24)], radius=s(3), fill=(56, 56, 56, 255))
    draw.rectangle([s(15), s(20), s(49), s(28)], fill=(28, 28, 28, 255))
    save(image, 64, 64, "stop.png")


def settings():
    image, draw = canvas(64, 64)
    cx = cy = s(32)
    teeth = 8
    outer, root = s(27), s(21)
    points = []
    # Each tooth is a trapezoid: wide at the root, narrower at the tip.
    for i in range(teeth):
        centre = 2 * math.pi * i / teeth
        pitch = 2 * math.pi / teeth
        for angle, radius in ((centre - pitch * 0.30, root), (centre - pitch * 0.17, outer),
                              (centre + pitch * 0.17, outer), (centre + pitch * 0.30, root)):
            points.append((cx + radius * math.cos(angle), cy + radius * math.sin(angle)))
    draw.polygon(points, fill=(40, 40, 40, 255))
    draw.ellipse([cx - root, cy - root, cx + root, cy + root], fill=(40, 40, 40, 255))
    hole = s(9)
    draw.ellipse([cx - hole, cy - hole, cx + hole, cy + hole], fill=(0, 0, 0, 0))
    save(image, 64, 64, "settings.png")


def fast_forward():
    image, draw = canvas(64, 64)
    colour = (30, 30, 30, 255)
    for left in (8, 31):
        draw.polygon([(s(left), s(14)), (s(left + 25), s(32)), (s(left), s(50))], fill=colour)
    save(image, 64, 64, "fast_forward.png")


def lamp_128():
    image, draw = canvas(128, 128)
    cx = s(64)
    # A soft glow behind the glass.
    glow = Image.new("RGBA", image.size, (0, 0, 0, 0))
    glow_draw = ImageDraw.Draw(glow)
    for i in range(30, 0, -1):
        r = s(30 + i)
        alpha = int(70 * (1 - i / 30) ** 2)
        glow_draw.ellipse([cx - r, s(50) - r, cx + r, s(50) + r], fill=(255, 220, 120, alpha))
    image.alpha_composite(glow)
    # The glass: a disc on top of a tapering neck.
    radial_disc(image, cx, s(50), s(32), (255, 250, 215), (245, 190, 50))
    draw.polygon([(cx - s(22), s(72)), (cx + s(22), s(72)), (cx + s(14), s(92)),
                  (cx - s(14), s(92))], fill=(245, 190, 50, 255))
    draw.ellipse([cx - s(32), s(18), cx + s(32), s(82)], outline=(170, 120, 20, 255),
                 width=w(2))
    # The filament.
    filament = [(cx - s(10), s(80)), (cx - s(8), s(52)), (cx - s(4), s(60)), (cx, s(52)),
                (cx + s(4), s(60)), (cx + s(8), s(52)), (cx + s(10), s(80))]
    draw.line(filament, fill=(160, 90, 10, 255), width=w(2.5), joint="curve")
    # The screw base: three grey rings and a dark tip.
    for i, top in enumerate((92, 100, 108)):
        shade = 150 - 20 * i
        draw.rounded_rectangle([cx - s(15), s(top), cx + s(15), s(top + 7)], radius=s(3),
                               fill=(shade, shade, shade + 8, 255))
    draw.pieslice([cx - s(9), s(109), cx + s(9), s(124)], 0, 180, fill=(50, 50, 55, 255))
    save(image, 128, 128, "lamp_128.png")


def veloran_logo():
    width, height = 400, 100
    image, draw = canvas(width, height)
    font = ImageFont.truetype(os.path.join(FONT_DIR, "DejaVuSans-Bold.ttf"), s(64))
    text = "VELORAN"
    spacing = s(6)
    advances = [draw.textlength(c, font=font) for c in text]
    total = sum(advances) + spacing * (len(text) - 1)
    left, top, right, bottom = draw.textbbox((0, 0), text, font=font)
    x = (s(width) - total) / 2
    y = (s(height) - (bottom - top)) / 2 - top
    for c, advance in zip(text, advances):
        draw.text((x, y), c, font=font, fill=(64, 64, 64, 255))
        x += advance + spacing
    save(image, width, height, "VeloranLogo.png")


def vizuvava():
    size = 256
    image, draw = canvas(size, size)
    c = s(size / 2)
    radial_disc(image, c, c, s(120), (110, 110, 120), (40, 40, 48), highlight=(0.35, 0.3))
    draw.ellipse([c - s(120), c - s(120), c + s(120), c + s(120)],
                 outline=(200, 200, 210, 255), width=w(4))
    # Spectrum bars rising from the centre line, mirrored below it.
    bars = 15
    bar_width = s(9)
    gap = s(4.5)
    total = bars * bar_width + (bars - 1) * gap
    x = c - total / 2
    for i in range(bars):
        t = i / (bars - 1)
        # A bell-shaped envelope with a ripple, so the bars read as a spectrum.
        level = math.exp(-((t - 0.5) ** 2) / 0.09) * (0.75 + 0.25 * math.cos(t * 19))
        half = s(8) + s(62) * level
        shade = (60 + int(60 * level), 150 + int(80 * level), 255, 255)
        draw.rounded_rectangle([x, c - half, x + bar_width, c + half], radius=bar_width / 2,
                               fill=shade)
        x += bar_width + gap
    # A thin sine wave across the bars ties the picture together.
    wave = [(c - s(100) + s(200) * k / 200,
             c + s(22) * math.sin(k / 200 * 4 * math.pi)) for k in range(201)]
    draw.line(wave, fill=(255, 255, 255, 210), width=w(3), joint="curve")
    save(image, size, size, "Vizuvava.png")
    # The same picture as the application's icon in the desktop's icon theme.
    for n in ICON_SIZES:
        save(image, n, n, "../packaging/icons/%dx%d/%s.png" % (n, n, APP_ID))


if __name__ == "__main__":
    record_black()
    stop()
    settings()
    fast_forward()
    lamp_128()
    veloran_logo()
    vizuvava()
