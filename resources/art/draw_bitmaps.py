#!/usr/bin/env python3
"""Draws the program's small bitmaps from the character pictures below and
writes them as 24-bit BMP files beside the resource script. Magenta is the
transparent colour of every strip. It also writes the program icon (the device
picture at 16 and 32 pixels) and, with ImageMagick's convert, the 256-colour
splash picture. Run it again after changing a picture."""
import os
import shutil
import struct
import subprocess
import tempfile

PALETTE = {
    '.': (255, 0, 255),   # transparent
    'k': (0, 0, 0),
    'w': (255, 255, 255),
    'g': (128, 128, 128),
    'l': (192, 192, 192),
    'd': (64, 64, 64),
    'y': (255, 220, 90),
    'o': (200, 150, 30),
    'b': (40, 90, 200),
    'c': (140, 190, 240),
    'G': (20, 160, 40),
    'R': (200, 30, 30),
    'n': (0, 0, 128),
}

# Device tree strip: device, device selected, group, group selected (open),
# device polling, device stopped.
DEVICE = [
    "................",
    "................",
    "..dddddddddddd..",
    ".dllllllllllllkd",
    ".dlwwwwwwwwwwlkd",
    ".dlw%%%%%%%%wlkd",
    ".dlwccccccccwlkd",
    ".dlwccccccccwlkd",
    ".dlwwwwwwwwwwlkd",
    ".dllllllll@@lkd.",
    ".dddddddddddddd.",
    "...dllllllllkd..",
    "..dddddddddddd..",
    "................",
    "................",
    "................",
]
FOLDER = [
    "................",
    "................",
    "..kkkkk.........",
    ".kyyyyyk........",
    ".kyyyyyykkkkkkk.",
    ".kwwwwwwwwwwwwok",
    ".kyyyyyyyyyyyyok",
    ".kyyyyyyyyyyyyok",
    ".kyyyyyyyyyyyyok",
    ".kyyyyyyyyyyyyok",
    ".kyyyyyyyyyyyyok",
    ".kyyyyyyyyyyyyok",
    ".kooooooooooooo.",
    "..kkkkkkkkkkkkk.",
    "................",
    "................",
]
FOLDER_OPEN = [
    "................",
    "................",
    "..kkkkk.........",
    ".kyyyyyk........",
    ".kyyyyyykkkkkk..",
    ".kyyyyyyyyyyyyk.",
    ".kyykkkkkkkkkkkk",
    ".kyky@@@@@@@@@ok",
    ".kykyyyyyyyyyyok",
    ".kkyyyyyyyyyyok.",
    ".kkyyyyyyyyyyok.",
    ".kyyyyyyyyyyyok.",
    ".kooooooooooook.",
    "..kkkkkkkkkkkk..",
    "................",
    "................",
]


def device(screen, led):
    return [row.replace('%', screen).replace('@', led) for row in DEVICE]


def folder(picture):
    return [row.replace('@', 'w') for row in picture]


TREE = [device('c', 'g'), device('b', 'g'), folder(FOLDER), folder(FOLDER_OPEN),
        device('c', 'G'), device('c', 'R')]

# Tag icons: a tag (label) and a writable tag.
TAG = [
    "................",
    "................",
    "......kkkkkkkkk.",
    ".....kwwwwwwwwk.",
    "....kwwwwwwwwwk.",
    "...kwwwkkwwwwwk.",
    "..kwwwwkkwwwwwk.",
    "..kwwwwwwww%%wk.",
    "..kwwwwwwwwwwwk.",
    "..kwwww%%%%%%wk.",
    "..kwwwwwwwwwwwk.",
    "..kwwww%%%%%%wk.",
    "..kwwwwwwwwwwwk.",
    "..kkkkkkkkkkkkk.",
    "................",
    "................",
]
TAGS = [[r.replace('%', 'b') for r in TAG], [r.replace('%', 'G') for r in TAG]]

# Toolbar (16 x 15 buttons): New, Save, Delete.
NEW = [
    "................",
    "..kkkkkkkk......",
    "..kwwwwwwkk.....",
    "..kwwwwwwkwk....",
    "..kwwwwwwkkkk...",
    "..kwwwwwwwwwk...",
    "..kwwwwwwwwwk...",
    "..kwwwwwwwwwk...",
    "..kwwwwwwwwwk...",
    "..kwwwwwwwwwk...",
    "..kwwwwwwwwwk...",
    "..kwwwwwwwwwk...",
    "..kwwwwwwwwwk...",
    "..kkkkkkkkkkk...",
    "................",
]
SAVE = [
    "................",
    ".kkkkkkkkkkkkkk.",
    ".knkwwwwwwwwknk.",
    ".knkwwwwwwwwknk.",
    ".knkwwwwwwwwknk.",
    ".knkwwwwwwwwknk.",
    ".knnkkkkkkkknnk.",
    ".knnnnnnnnnnnnk.",
    ".knnkkkkkkkknnk.",
    ".knnkllllkwknnk.",
    ".knnkllllkwknnk.",
    ".knnkllllkwknnk.",
    "..kkkkkkkkkkkkk.",
    "................",
    "................",
]
DELETE = [
    "................",
    "................",
    "..RR.......RR...",
    "..RRR.....RRR...",
    "...RRR...RRR....",
    "....RRR.RRR.....",
    ".....RRRRR......",
    "......RRR.......",
    ".....RRRRR......",
    "....RRR.RRR.....",
    "...RRR...RRR....",
    "..RRR.....RRR...",
    "..RR.......RR...",
    "................",
    "................",
]


def write_strip(path, images):
    height = len(images[0])
    width = sum(len(img[0]) for img in images)
    rows = []
    for y in range(height):
        row = []
        for img in images:
            for ch in img[y]:
                row.append(PALETTE[ch])
        rows.append(row)
    stride = (width * 3 + 3) & ~3
    pixels = bytearray()
    for row in reversed(rows):
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += b'\0' * (stride - len(line))
        pixels += line
    header = struct.pack('<2sIHHI', b'BM', 54 + len(pixels), 0, 0, 54)
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    with open(path, 'wb') as f:
        f.write(header + info + pixels)


here = os.path.dirname(os.path.abspath(__file__))
out = os.path.dirname(here)
for img in TREE + TAGS + [NEW, SAVE, DELETE]:
    assert all(len(r) == 16 for r in img), img
write_strip(os.path.join(out, 'tree_images.bmp'), TREE)
write_strip(os.path.join(out, 'tag_icons.bmp'), TAGS)
write_strip(os.path.join(out, 'toolbar.bmp'), [NEW, SAVE, DELETE])


def scaled(picture, factor):
    return [''.join(ch * factor for ch in row) for row in picture for _ in range(factor)]


def icon_image(picture):
    """One 32-bit icon image: BITMAPINFOHEADER (double height), BGRA rows
    bottom up, then the AND mask (1 = transparent)."""
    size = len(picture)
    pixels = bytearray()
    mask = bytearray()
    mask_stride = ((size + 31) // 32) * 4
    for row in reversed(picture):
        bits = 0
        line = bytearray(mask_stride)
        for x, ch in enumerate(row):
            r, g, b = PALETTE[ch]
            transparent = ch == '.'
            pixels += bytes((b, g, r, 0 if transparent else 255))
            if transparent:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(pixels) + len(mask), 0, 0, 0, 0)
    return header + pixels + mask


def write_icon(path, pictures):
    images = [icon_image(p) for p in pictures]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for picture, image in zip(pictures, images):
        size = len(picture)
        data += struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(image), offset)
        offset += len(image)
    with open(path, 'wb') as f:
        f.write(data + b''.join(images))


def write_splash(path, emblem):
    """478 x 365, 256 colours: a deep blue field with the device emblem, the
    program's name and what it is."""
    convert = shutil.which('convert')
    if convert is None:
        print('convert (ImageMagick) not found: splash.bmp left as it is')
        return
    font = '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf'
    bold = '/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf'
    with tempfile.TemporaryDirectory() as work:
        picture = os.path.join(work, 'emblem.bmp')
        write_strip(picture, [scaled(emblem, 6)])
        subprocess.run([
            convert, '-size', '478x365', 'gradient:#0b2f6b-#1f6fb8',
            '(', picture, '-transparent', '#ff00ff', ')', '-geometry', '+36+100', '-composite',
            '-fill', '#ffffff', '-font', bold, '-pointsize', '38', '-annotate', '+152+150', 'Tovi Explorer',
            '-fill', '#cfe3ff', '-font', font, '-pointsize', '15',
            '-annotate', '+154+180', 'OPC Data Access 1.0a Server',
            '-annotate', '+154+200', 'and Configuration Editor',
            '-fill', '#ffffff', '-draw', 'rectangle 0,300 477,301',
            '-fill', '#9cc3f0', '-font', font, '-pointsize', '12',
            '-annotate', '+36+330', 'Freely configured memory tags for OPC clients',
            '-colors', '256', '-type', 'Palette', '-compress', 'None', 'BMP3:' + path,
        ], check=True)


write_icon(os.path.join(out, 'ToviExplorer.ico'), [device('c', 'G'), scaled(device('c', 'G'), 2)])
write_splash(os.path.join(out, 'splash.bmp'), device('c', 'G'))
