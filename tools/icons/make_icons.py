#!/usr/bin/env python3
"""Draws the programs' icons: one 32 x 32 image, 256 colours, per program.

The pictures are drawn here in code, so this file is their source; the .ico
files beside the resource scripts are its output and are kept in the
repository so that a build needs no Python. Run it again after a change:

    tools/icons/make_icons.py shell/win32
"""
import struct
import sys

SIZE = 32

# The palette: the first entries are the colours the pictures use, the rest
# of the 256 stay black (an 8-bit icon always carries 256 entries).
COLOURS = {
    'transparent': (0, 0, 0),
    'outline': (40, 40, 48),
    'box': (205, 160, 92),
    'box_dark': (160, 116, 58),
    'box_light': (232, 198, 140),
    'band': (120, 84, 40),
    'green': (40, 160, 72),
    'green_dark': (20, 110, 48),
    'blue': (48, 110, 200),
    'blue_dark': (28, 70, 140),
    'orange': (232, 128, 32),
    'orange_dark': (168, 84, 16),
    'white': (250, 250, 250),
}
NAMES = list(COLOURS)
INDEX = {name: i for i, name in enumerate(NAMES)}


def blank():
    return [['transparent'] * SIZE for _ in range(SIZE)]


def fill(image, x0, y0, x1, y1, colour):
    for y in range(max(0, y0), min(SIZE, y1 + 1)):
        for x in range(max(0, x0), min(SIZE, x1 + 1)):
            image[y][x] = colour


def frame(image, x0, y0, x1, y1, colour):
    fill(image, x0, y0, x1, y0, colour)
    fill(image, x0, y1, x1, y1, colour)
    fill(image, x0, y0, x0, y1, colour)
    fill(image, x1, y0, x1, y1, colour)


def archive_box(image, top):
    """The archive: a closed carton with a band across its lid."""
    fill(image, 3, top, 28, 30, 'box')
    fill(image, 3, top, 28, top + 4, 'box_light')
    fill(image, 22, top + 5, 28, 30, 'box_dark')
    fill(image, 14, top, 17, 30, 'band')
    frame(image, 3, top, 28, 30, 'outline')
    fill(image, 3, top + 5, 28, top + 5, 'outline')


def arrow_down(image, cx, top, bottom, colour, dark):
    """A thick arrow pointing down, its head ending at `bottom`."""
    head = bottom - 7
    fill(image, cx - 3, top, cx + 3, head, colour)
    fill(image, cx + 2, top, cx + 3, head, dark)
    for row in range(8):
        half = 7 - row
        fill(image, cx - half, head + row, cx + half, head + row, colour)
        if half > 0:
            image[head + row][cx + half] = dark
            image[head + row][cx - half] = 'outline'
    frame(image, cx - 3, top, cx + 3, top, 'outline')


def arrow_side(image, y, left, right, colour, dark, pointing_right):
    """A horizontal arrow across the lid, for the two-way conversion."""
    if pointing_right:
        fill(image, left, y - 1, right - 4, y + 1, colour)
        for col in range(5):
            half = 4 - col
            fill(image, right - 4 + col, y - half, right - 4 + col, y + half, colour)
            image[y + half][right - 4 + col] = dark
    else:
        fill(image, left + 4, y - 1, right, y + 1, colour)
        for col in range(5):
            half = 4 - col
            fill(image, left + 4 - col, y - half, left + 4 - col, y + half, colour)
            image[y + half][left + 4 - col] = dark


def hvrupdate():
    image = blank()
    archive_box(image, 14)
    arrow_down(image, 16, 1, 20, 'green', 'green_dark')
    return image


def hvrconv():
    image = blank()
    archive_box(image, 16)
    arrow_side(image, 4, 4, 27, 'blue', 'blue_dark', True)
    arrow_side(image, 11, 4, 27, 'orange', 'orange_dark', False)
    fill(image, 9, 21, 22, 25, 'white')
    frame(image, 9, 21, 22, 25, 'outline')
    return image


def ico_bytes(image):
    """An .ico file with one 32 x 32, 8-bit image (BMP form, with AND mask)."""
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (r, g, b) in COLOURS.values())
    palette += b'\0\0\0\0' * (256 - len(COLOURS))
    # Rows are stored bottom-up; an 8-bit row of 32 pixels is already a
    # multiple of 4 bytes.
    pixels = b''.join(bytes(INDEX[c] for c in row) for row in reversed(image))
    mask = b''
    for row in reversed(image):
        bits = 0
        for x, colour in enumerate(row):
            if colour == 'transparent':
                bits |= 1 << (31 - x)
        mask += struct.pack('>I', bits)
    header = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE * 2, 1, 8, 0, len(pixels) + len(mask), 0, 0, 256, 0)
    body = header + palette + pixels + mask
    directory = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', SIZE, SIZE, 0, 0, 1, 8, len(body), 6 + 16)
    return directory + body


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else '.'
    for name, draw in (('hvrupdate', hvrupdate), ('hvrconv', hvrconv)):
        with open(f'{out}/{name}.ico', 'wb') as f:
            f.write(ico_bytes(draw()))


if __name__ == '__main__':
    main()
