#!/usr/bin/env python3
"""Draws the lobby window's button pictures (32 x 32 RGBA PNG) into this folder.

Run by hand after changing a drawing; the PNGs are committed and the build only
packs them. Standard library only: shapes are inside-tests, each pixel is
sampled 4 x 4 times and the layers are painted over each other.
"""
import math
import os
import struct
import zlib

SIZE = 32
SUB = 4


def png(path, pixels):
    raw = bytearray()
    for y in range(SIZE):
        raw.append(0)
        for x in range(SIZE):
            raw.extend(pixels[y][x])

    def chunk(kind, data):
        c = kind + data
        return struct.pack(">I", len(data)) + c + struct.pack(">I", zlib.crc32(c) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(bytes(raw), 9)))
        f.write(chunk(b"IEND", b""))


# ---- shapes: functions (x, y) -> bool, coordinates in pixels ------------------

def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def ring(cx, cy, r, w):
    return lambda x, y: (r - w) ** 2 <= (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            (ax, ay), (bx, by) = points[i], points[(i + 1) % n]
            if (ay > y) != (by > y) and x < (bx - ax) * (y - ay) / (by - ay) + ax:
                hit = not hit
        return hit
    return inside


def segment(ax, ay, bx, by, r):
    def inside(x, y):
        dx, dy = bx - ax, by - ay
        t = max(0.0, min(1.0, ((x - ax) * dx + (y - ay) * dy) / (dx * dx + dy * dy)))
        px, py = ax + t * dx, ay + t * dy
        return (x - px) ** 2 + (y - py) ** 2 <= r * r
    return inside


def outline(points, r=0.6):
    segs = [segment(*points[i], *points[(i + 1) % len(points)], r) for i in range(len(points))]
    return lambda x, y: any(s(x, y) for s in segs)


def arc(cx, cy, r, w, a0, a1):
    """Part of a ring from angle a0 to a1 (degrees, counter-clockwise, y down)."""
    def inside(x, y):
        d2 = (x - cx) ** 2 + (y - cy) ** 2
        if not ((r - w) ** 2 <= d2 <= r * r):
            return False
        a = math.degrees(math.atan2(cy - y, x - cx)) % 360
        lo, hi = a0 % 360, a1 % 360
        return lo <= a <= hi if lo <= hi else a >= lo or a <= hi
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def render(layers):
    img = [[(0, 0, 0, 0)] * SIZE for _ in range(SIZE)]
    for y in range(SIZE):
        row = []
        for x in range(SIZE):
            r = g = b = a = 0.0
            for sy in range(SUB):
                for sx in range(SUB):
                    px, py = x + (sx + 0.5) / SUB, y + (sy + 0.5) / SUB
                    cr = cg = cb = ca = 0.0
                    for shape, (lr, lg, lb, la) in layers:
                        if shape(px, py):
                            la /= 255.0
                            cr = lr * la + cr * (1 - la)
                            cg = lg * la + cg * (1 - la)
                            cb = lb * la + cb * (1 - la)
                            ca = la + ca * (1 - la)
                    r, g, b, a = r + cr, g + cg, b + cb, a + ca
            n = SUB * SUB
            if a == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((round(r / a), round(g / a), round(b / a), round(255 * a / n)))
        img[y] = row
    return img


def disabled(img):
    """Grey, flat and light: the look of a button that cannot be pressed."""
    out = []
    for row in img:
        new = []
        for (r, g, b, a) in row:
            lum = 0.299 * r + 0.587 * g + 0.114 * b
            v = round(128 + lum * 0.45)
            new.append((v, v, v, round(a * 0.8)))
        out.append(new)
    return out


# ---- palette -------------------------------------------------------------------

INK = (40, 40, 48, 255)
WALL = (236, 214, 170, 255)
ROOF = (196, 78, 52, 255)
DOORWOOD = (150, 98, 52, 255)
DARK = (60, 36, 20, 255)
GREEN = (46, 160, 67, 255)
RED = (214, 48, 49, 255)
BLUE = (41, 121, 214, 255)
ORANGE = (232, 134, 22, 255)
WHITE = (255, 255, 255, 255)


def house():
    roof = [(3, 15), (15, 4), (27, 15)]
    body = [(6, 14), (24, 14), (24, 28), (6, 28)]
    return [
        (polygon(body), WALL), (outline(body), INK),
        (polygon(roof), ROOF), (outline(roof), INK),
        (rect(12.5, 19.5, 17.5, 28), DOORWOOD), (outline([(12.5, 19.5), (17.5, 19.5), (17.5, 28), (12.5, 28)], 0.5), INK),
    ]


def badge(cx, cy, color, mark):
    return [(circle(cx, cy, 7.5), INK), (circle(cx, cy, 6.6), color), (mark, WHITE)]


def create():
    plus = union(rect(20.8, 22.6, 29.2, 25.4), rect(23.6, 19.8, 26.4, 28.2))
    return house() + badge(25, 24, GREEN, plus)


def delete():
    cross = union(segment(22, 21, 28, 27, 1.3), segment(28, 21, 22, 27, 1.3))
    return house() + badge(25, 24, RED, cross)


def door_frame():
    frame = [(14, 3), (28, 3), (28, 29), (14, 29)]
    return [(polygon(frame), (90, 62, 40, 255)), (outline(frame), INK)]


def enter():
    # The door stands open; the arrow goes in.
    leaf = [(14, 3), (20, 6), (20, 26), (14, 29)]
    arrow = [(2, 13), (12, 13), (12, 8), (21, 16), (12, 24), (12, 19), (2, 19)]
    return door_frame() + [
        (rect(15, 4, 27, 28), (250, 236, 190, 255)),
        (polygon(leaf), DOORWOOD), (outline(leaf, 0.5), INK),
        (circle(18.5, 16, 0.9), DARK),
        (polygon(arrow), BLUE), (outline(arrow, 0.6), INK),
    ]


def leave():
    # The same open door; the arrow comes out of it.
    leaf = [(28, 3), (22, 6), (22, 26), (28, 29)]
    arrow = [(21, 13), (11, 13), (11, 8), (2, 16), (11, 24), (11, 19), (21, 19)]
    return door_frame() + [
        (rect(15, 4, 27, 28), (250, 236, 190, 255)),
        (polygon(leaf), DOORWOOD), (outline(leaf, 0.5), INK),
        (circle(23.5, 16, 0.9), DARK),
        (polygon(arrow), ORANGE), (outline(arrow, 0.6), INK),
    ]


def start():
    tri = [(12, 8), (24, 16), (12, 24)]
    return [(circle(16, 16, 14.5), INK), (circle(16, 16, 13.5), GREEN),
            (ring(16, 16, 13.5, 1.2), (120, 210, 130, 255)), (polygon(tri), WHITE)]


def help_():
    hook = arc(16, 12, 6.2, 2.6, -90, 180)
    stem = rect(14.7, 15.5, 17.3, 20)
    dot = circle(16, 24, 1.7)
    return [(circle(16, 16, 14.5), INK), (circle(16, 16, 13.5), BLUE),
            (union(hook, stem, dot), WHITE)]


def app_icon():
    left = [(3, 5), (21, 5), (21, 17), (11, 17), (6, 22), (7, 17), (3, 17)]
    right = [(12, 12), (29, 12), (29, 24), (25, 24), (26, 29), (21, 24), (12, 24)]
    return [(polygon(left), BLUE), (outline(left), INK),
            (polygon(right), ORANGE), (outline(right), INK),
            (circle(17, 18, 1.3), WHITE), (circle(20.5, 18, 1.3), WHITE), (circle(24, 18, 1.3), WHITE)]


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    pairs = {"create": create, "enter": enter, "leave": leave, "delete": delete, "start": start}
    for name, draw in pairs.items():
        img = render(draw())
        png(os.path.join(here, name + "_enable.png"), img)
        png(os.path.join(here, name + "_disable.png"), disabled(img))
    png(os.path.join(here, "help.png"), render(help_()))
    png(os.path.join(here, "qorchat.png"), render(app_icon()))


if __name__ == "__main__":
    main()
