#!/usr/bin/env python3
"""Draws the small pictures of the simulated signals for the help page
simulated_signals.htm: sim_<kind>.png beside this script, 120 x 40 pixels, two
periods of each signal between its low and high value. Only the standard
library is used (PNG written with zlib and struct). Run it again after changing
a picture; the pictures are committed."""
import math
import os
import random
import struct
import zlib

WIDTH, HEIGHT = 120, 40
MARGIN_X, MARGIN_Y = 4, 5
PERIODS = 2
BACKGROUND = (255, 255, 255)
GUIDE = (200, 208, 220)      # the low and high lines
PERIOD_MARK = (225, 230, 238)  # where a period starts
SIGNAL = (31, 63, 111)


def ramp(phase):
    return phase


def triangle(phase):
    return 2 * phase if phase < 0.5 else 2 - 2 * phase


def sine(phase):
    return 0.5 + 0.5 * math.sin(2 * math.pi * phase)


def square(phase):
    return 1.0 if phase < 0.5 else 0.0


def held(values):
    """A signal that takes a new value once per period and holds it."""
    def at(period, _phase):
        return values[period % len(values)]
    return at


def counting(step_share, start):
    """Adds one step per period; past high it starts again at low."""
    values, value = [], start
    for _ in range(6):
        values.append(value)
        value += step_share
        if value > 1.0 + 1e-9:
            value = 0.0
    return values


def waveform(shape):
    def at(_period, phase):
        return shape(phase)
    return at


def render(signal, periods_shown):
    """Rows of RGB pixels: guides, period marks, then the signal as a line."""
    pixels = [[BACKGROUND] * WIDTH for _ in range(HEIGHT)]
    top, bottom = MARGIN_Y, HEIGHT - 1 - MARGIN_Y
    left, right = MARGIN_X, WIDTH - 1 - MARGIN_X
    span = right - left
    for x in range(left, right + 1):
        if x % 2 == 0:
            pixels[top][x] = GUIDE
            pixels[bottom][x] = GUIDE
    for p in range(1, periods_shown):
        x = left + round(span * p / periods_shown)
        for y in range(top + 1, bottom):
            pixels[y][x] = PERIOD_MARK

    def y_of(value):
        return round(bottom - value * (bottom - top))

    def plot(x, y):
        for dy in (0, 1):  # two pixels thick, so the line reads at this size
            if 0 <= y + dy < HEIGHT:
                pixels[y + dy][x] = SIGNAL

    previous = None
    for x in range(left, right + 1):
        t = (x - left) / span * periods_shown
        if t >= periods_shown:
            t = periods_shown - 1e-9
        period = int(t)
        phase = t - period
        y = y_of(signal(period, phase))
        if previous is not None and abs(y - previous) > 1:
            # A jump (square edge, a new random or count value): a vertical line.
            for yy in range(min(y, previous), max(y, previous) + 1):
                plot(x, yy)
        plot(x, y)
        previous = y
    return pixels


def write_png(path, pixels):
    raw = b''.join(b'\x00' + bytes(c for pixel in row for c in pixel) for row in pixels)

    def chunk(kind, data):
        body = kind + data
        return struct.pack('>I', len(data)) + body + struct.pack('>I', zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack('>IIBBBBB', len(pixels[0]), len(pixels), 8, 2, 0, 0, 0)
    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', zlib.compress(raw, 9)) +
                chunk(b'IEND', b''))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    draws = random.Random(7)  # the same picture on every run
    randoms = [draws.random() for _ in range(8)]
    pictures = {
        'ramp': (waveform(ramp), PERIODS),
        'triangle': (waveform(triangle), PERIODS),
        'sine': (waveform(sine), PERIODS),
        'square': (waveform(square), PERIODS),
        # The kinds that change once per period show more periods.
        'random': (held(randoms), 6),
        'count': (held(counting(0.25, 0.25)), 6),
    }
    for name, (signal, periods_shown) in pictures.items():
        write_png(os.path.join(here, 'sim_%s.png' % name), render(signal, periods_shown))


if __name__ == '__main__':
    main()
