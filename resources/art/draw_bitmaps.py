#!/usr/bin/env python3
"""Draws the program's small bitmaps from the character pictures below and
writes them as 24-bit BMP files beside the resource script. Magenta is the
transparent colour of every strip. Run it again after changing a picture."""
import os
import struct

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
