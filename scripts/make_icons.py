#!/usr/bin/env python3
"""Draws the program's three tray and window icons and writes them as .ico files.

ICON_1  red antenna: a small mast at the top, a wavy line running down to a triangle
ICON_2  green bell (serial port open)
ICON_3  the same bell in red (serial port failed)

Each is 32 x 32 pixels, 16 colours (the standard VGA palette), with a transparent
background (AND mask). Plain Python, no imaging library:

    scripts/make_icons.py [output-dir]      # default src/resources
    scripts/make_icons.py --preview DIR     # also writes 8x enlarged PNGs to look at
"""
import math
import os
import struct
import sys
import zlib

SIZE = 32
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, GREEN, SILVER, GREY, RED, LIME, YELLOW, WHITE = 0, 1, 2, 7, 8, 9, 10, 11, 15
CLEAR = None


def blank():
    return [[CLEAR] * SIZE for _ in range(SIZE)]


def fill(img, inside, colour):
    for y in range(SIZE):
        for x in range(SIZE):
            if inside(x + 0.5, y + 0.5):
                img[y][x] = colour


def outline(img, inside, edge):
    """Pixels of the shape that touch a pixel outside it get the edge colour."""
    for y in range(SIZE):
        for x in range(SIZE):
            if not inside(x + 0.5, y + 0.5):
                continue
            for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)):
                if not inside(x + 0.5 + dx, y + 0.5 + dy):
                    img[y][x] = edge
                    break


def shape(img, inside, body, edge):
    fill(img, inside, body)
    outline(img, inside, edge)


def antenna():
    img = blank()
    # The triangle at the foot: apex at the end of the wave, base on the bottom row.
    apex_y, base_y = 21.0, 31.0

    def triangle(x, y):
        if y < apex_y or y > base_y:
            return False
        half = (y - apex_y) / (base_y - apex_y) * 12.0
        return abs(x - 16.0) <= half + 0.6

    shape(img, triangle, RED, MAROON)

    # The wavy line from the mast down to the triangle's apex, drawn as a stroke
    # along the curve so its steep parts stay joined.
    curve = []
    for i in range(400):
        t = 8.0 + (apex_y + 0.5 - 8.0) * i / 399
        curve.append((16.0 + 3.5 * math.sin((t - 8.0) * 2.0 * math.pi / 9.0), t))

    def wave(x, y):
        return any((x - cx) ** 2 + (y - cy) ** 2 <= 1.05 ** 2 for cx, cy in curve)

    fill(img, wave, RED)

    # The small mast at the top: a pole with a crossbar and a knob.
    def mast(x, y):
        pole = abs(x - 16.0) <= 1.0 and 2.0 <= y <= 8.5
        bar = abs(y - 5.0) <= 0.8 and abs(x - 16.0) <= 4.5
        knob = (x - 16.0) ** 2 + (y - 2.0) ** 2 <= 2.3 ** 2
        return pole or bar or knob

    shape(img, mast, RED, MAROON)
    return img


def bell(body, edge, shine):
    img = blank()

    def half_width(y):
        if 4.0 <= y < 11.0:        # the dome
            return math.sqrt(max(0.0, 7.0 ** 2 - (y - 11.0) ** 2))
        if 11.0 <= y < 22.0:       # the flaring waist
            t = (y - 11.0) / 11.0
            return 7.0 + 4.5 * t * t
        if 22.0 <= y <= 25.0:      # the rim
            return 13.0
        return -1.0

    def body_shape(x, y):
        return abs(x - 16.0) <= half_width(y)

    def hook(x, y):
        r = math.hypot(x - 16.0, y - 2.5)
        return 1.0 <= r <= 2.4 and y <= 4.5

    def clapper(x, y):
        return (x - 16.0) ** 2 + (y - 28.0) ** 2 <= 2.8 ** 2

    shape(img, clapper, edge, edge)
    shape(img, body_shape, body, edge)
    fill(img, hook, edge)

    # A highlight down the left flank so the bell reads as round.
    def highlight(x, y):
        return 9.0 <= y <= 20.0 and abs(x - (16.0 - half_width(y) + 3.2)) <= 0.8

    fill(img, highlight, shine)
    return img


def ico_bytes(img):
    width = height = SIZE
    xor_row = width // 2                       # 4 bits a pixel
    and_row = ((width + 31) // 32) * 4         # 1 bit a pixel, rows of whole dwords
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(height)):          # bottom-up rows
        row = img[y]
        for x in range(0, width, 2):
            a = row[x] if row[x] is not CLEAR else 0
            b = row[x + 1] if row[x + 1] is not CLEAR else 0
            xor.append((a << 4) | b)
        bits = 0
        for x in range(width):
            bits = (bits << 1) | (1 if row[x] is CLEAR else 0)
        mask += bits.to_bytes(and_row, 'big')
    assert len(xor) == xor_row * height
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack('<IiiHHIIiiII', 40, width, height * 2, 1, 4, 0, len(xor) + len(mask), 0, 0, 16, 0)
    image = header + palette + bytes(xor) + bytes(mask)
    directory = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', width, height, 16, 0, 1, 4,
                                                             len(image), 6 + 16)
    return directory + image


def png_bytes(img, scale=8):
    rows = bytearray()
    for y in range(SIZE * scale):
        rows.append(0)
        for x in range(SIZE * scale):
            c = img[y // scale][x // scale]
            rows += bytes((200, 220, 240)) if c is CLEAR else bytes(PALETTE[c])

    def chunk(kind, data):
        return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))

    side = SIZE * scale
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', side, side, 8, 2, 0, 0, 0)) +
            chunk(b'IDAT', zlib.compress(bytes(rows))) + chunk(b'IEND', b''))


def main(argv):
    preview = None
    if '--preview' in argv:
        i = argv.index('--preview')
        preview = argv[i + 1]
        del argv[i:i + 2]
    out = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(__file__), '..', 'src', 'resources')
    icons = {
        'icon1.ico': antenna(),
        'icon2.ico': bell(LIME, GREEN, WHITE),
        'icon3.ico': bell(RED, MAROON, WHITE),
    }
    for name, img in icons.items():
        with open(os.path.join(out, name), 'wb') as f:
            f.write(ico_bytes(img))
        if preview:
            os.makedirs(preview, exist_ok=True)
            with open(os.path.join(preview, name.replace('.ico', '.png')), 'wb') as f:
                f.write(png_bytes(img))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
