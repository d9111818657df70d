#!/usr/bin/env python3
"""Draws the tool's icons and its logo bitmap as XPM files (C source, compiled into the executable).

Run it from this directory after changing a drawing; the .xpm files are committed.
"""

import math

PALETTE = {
    ' ': 'None', '.': '#000000', 'w': '#FFFFFF', 'g': '#A0A0A0', 'd': '#606060', 'l': '#D8D8D8',
    'b': '#1E4FA0', 'B': '#7FA8E8', 'y': '#F0C419', 'Y': '#C89A10', 'r': '#C83020', 'G': '#30A040',
    'k': '#D0D0A7', 'n': '#8A6A30', 'c': '#40B0C0', 'm': '#B05090',
}

# 5 x 7 glyphs for the few letters the drawings carry.
GLYPHS = {
    'T': ["#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."],
    'A': [".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"],
    'V': ["#...#", "#...#", "#...#", "#...#", ".#.#.", ".#.#.", "..#.."],
    '?': [".###.", "#...#", "....#", "...#.", "..#..", ".....", "..#.."],
    '!': ["..#..", "..#..", "..#..", "..#..", "..#..", ".....", "..#.."],
    'i': ["..#..", ".....", ".##..", "..#..", "..#..", "..#..", ".###."],
    'X': ["#...#", ".#.#.", "..#..", "..#..", "..#..", ".#.#.", "#...#"],
}


class Canvas:
    def __init__(self, w, h, back=' '):
        self.w, self.h = w, h
        self.px = [[back] * w for _ in range(h)]

    def put(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c

    def rect(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.put(x, y, c)

    def frame(self, x0, y0, x1, y1, c):
        for x in range(x0, x1 + 1):
            self.put(x, y0, c)
            self.put(x, y1, c)
        for y in range(y0, y1 + 1):
            self.put(x0, y, c)
            self.put(x1, y, c)

    def disc(self, cx, cy, r, c, edge=None):
        for y in range(self.h):
            for x in range(self.w):
                d = math.hypot(x + 0.5 - cx, y + 0.5 - cy)
                if d <= r:
                    self.put(x, y, edge if edge and d > r - 1.2 else c)

    def triangle(self, cx, top, bottom, c, edge):
        for y in range(top, bottom + 1):
            half = (y - top) * 0.62
            for x in range(int(cx - half), int(cx + half) + 1):
                border = y == bottom or x <= cx - half + 1 or x >= cx + half - 1
                self.put(x, y, edge if border else c)

    def text(self, s, x, y, scale, c):
        for ch in s:
            for gy, row in enumerate(GLYPHS[ch]):
                for gx, bit in enumerate(row):
                    if bit == '#':
                        self.rect(x + gx * scale, y + gy * scale, x + gx * scale + scale - 1,
                                  y + gy * scale + scale - 1, c)
            x += 6 * scale

    def xpm(self, name):
        used = sorted({c for row in self.px for c in row})
        lines = ['/* XPM */', f'static const char* const {name}[] = {{',
                 f'"{self.w} {self.h} {len(used)} 1",']
        lines += [f'"{c} c {PALETTE[c]}",' for c in used]
        lines += [f'"{"".join(row)}",' for row in self.px]
        lines[-1] = lines[-1].rstrip(',')
        lines.append('};')
        return '\n'.join(lines) + '\n'


def message_icon(sign, face, edge):
    c = Canvas(32, 32)
    c.disc(16, 16, 15, face, edge)
    c.text(sign, 11, 6, 2, 'w')
    return c


def folder(open_):
    c = Canvas(16, 16)
    c.rect(1, 3, 6, 4, 'Y')
    c.rect(1, 4, 14, 13, 'Y')
    c.rect(2, 5, 13, 12, 'y')
    if open_:
        for y in range(8, 14):
            c.rect(3 + (13 - y) // 2, y, 15 - (13 - y) // 2 + 0, y, 'y')
        c.frame(3, 8, 15, 13, 'Y')
    return c


def drive(kind):
    c = Canvas(16, 16)
    if kind == 'cd':
        c.disc(8, 8, 7, 'l', 'd')
        c.disc(8, 8, 2.2, ' ', 'd')
        c.rect(10, 4, 11, 5, 'w')
        return c
    c.rect(1, 6, 14, 11, 'g')
    c.frame(1, 6, 14, 11, 'd')
    c.rect(2, 7, 13, 7, 'l')
    c.rect(11, 9, 12, 9, 'G')
    if kind == 'removable':
        c.rect(4, 9, 9, 9, '.')
    elif kind == 'network':
        c.rect(7, 12, 8, 14, 'd')
        c.rect(3, 14, 12, 14, 'd')
    elif kind == 'unknown':
        c.rect(4, 8, 6, 10, 'r')
    elif kind == 'noroot':
        c.text('X', 0, 0, 1, 'r')
    return c


def app_icon():
    c = Canvas(32, 32)
    c.rect(1, 1, 30, 30, 'b')
    c.frame(1, 1, 30, 30, '.')
    c.text('T', 11, 5, 2, 'y')
    c.rect(5, 24, 26, 25, 'B')
    return c


def edit_icon():
    c = Canvas(32, 32)
    c.rect(5, 2, 24, 29, 'w')
    c.frame(5, 2, 24, 29, 'd')
    for y in range(7, 26, 4):
        c.rect(8, y, 21, y, 'B')
    for i in range(12):
        c.rect(14 + i, 24 - i * 2 // 1 // 2 - i, 16 + i, 25 - i, 'r')
    return c


def chooser_icon():
    c = Canvas(32, 32)
    f = folder(True)
    for y in range(16):
        for x in range(16):
            if f.px[y][x] != ' ':
                c.rect(x * 2, y * 2, x * 2 + 1, y * 2 + 1, f.px[y][x])
    return c


def logo():
    c = Canvas(240, 120, 'k')
    for y in range(120):
        shade = 'B' if y < 60 else 'k'
        if y % 2 == 0 and y < 60:
            c.rect(0, y, 239, y, shade)
    c.rect(0, 60, 239, 61, 'b')
    c.text('TAV', 36, 4, 8, 'b')
    # A ledger: ruled page with a rising bar chart.
    c.rect(40, 70, 199, 113, 'w')
    c.frame(40, 70, 199, 113, 'd')
    for y in range(78, 112, 6):
        c.rect(44, y, 195, y, 'l')
    for i, h in enumerate([10, 16, 13, 22, 28, 34]):
        x = 60 + i * 22
        c.rect(x, 110 - h, x + 12, 110, 'G' if i % 2 else 'b')
    return c


def main():
    images = {
        'icon_100': app_icon(),
        'icon_101': message_icon('?', 'b', '.'),
        'icon_102': message_icon('i', 'G', '.'),
        'icon_103': message_icon('!', 'r', '.'),
        'icon_104': edit_icon(),
        'icon_2099': drive('unknown'),
        'icon_2100': drive('noroot'),
        'icon_2101': drive('removable'),
        'icon_2102': drive('fixed'),
        'icon_2103': drive('network'),
        'icon_2104': drive('cd'),
        'icon_2105': folder(False),
        'icon_2106': folder(True),
        'icon_2107': chooser_icon(),
        'bitmap_200': logo(),
    }
    for name, canvas in images.items():
        with open(f'{name}.xpm', 'w') as out:
            out.write(canvas.xpm(name))


if __name__ == '__main__':
    main()
