#!/usr/bin/env python3
"""Draws Tollwick's own icon (res/tollwick.ico: 16, 32 and 48 pixels) and the
window finder's cursor (res/finder.cur: 32 x 32, hot spot in the centre).
Plain Python, no imaging library: the files are written byte by byte.
Run it again only to change the pictures; its output is kept in res/."""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
RES = os.path.join(HERE, "..", "res")


def blend(dst, src, alpha):
    return tuple(int(d + (s - d) * alpha) for d, s in zip(dst, src))


def icon_pixels(size):
    """A blue round watch face with a white tick: the program keeps watch."""
    px = [[(0, 0, 0, 0)] * size for _ in range(size)]
    c = (size - 1) / 2.0
    r = size * 0.47
    for y in range(size):
        for x in range(size):
            d = math.hypot(x - c, y - c)
            cover = max(0.0, min(1.0, r - d + 0.5))
            if cover <= 0:
                continue
            shade = 0.75 + 0.25 * (1 - y / size)
            rgb = (int(30 * shade), int(110 * shade), int(200 * shade))
            if d > r - max(1.5, size / 16):
                rgb = (20, 60, 120)
            px[y][x] = rgb + (int(255 * cover),)
    # The tick: two thick strokes.
    w = max(1.2, size / 10)
    a = (size * 0.27, size * 0.52)
    b = (size * 0.44, size * 0.70)
    e = (size * 0.75, size * 0.32)
    for y in range(size):
        for x in range(size):
            for p, q in ((a, b), (b, e)):
                vx, vy = q[0] - p[0], q[1] - p[1]
                t = max(0, min(1, ((x - p[0]) * vx + (y - p[1]) * vy) / (vx * vx + vy * vy)))
                dist = math.hypot(x - (p[0] + t * vx), y - (p[1] + t * vy))
                cover = max(0.0, min(1.0, w / 2 - dist + 0.5))
                if cover > 0 and px[y][x][3] > 0:
                    r0, g0, b0, a0 = px[y][x]
                    px[y][x] = blend((r0, g0, b0), (255, 255, 255), cover) + (a0,)
    return px


def cursor_pixels():
    """Cross hairs in a ring, black with a white edge, centred on (16, 16)."""
    size = 32
    px = [[(0, 0, 0, 0)] * size for _ in range(size)]
    c = 16

    def put(x, y, rgb):
        if 0 <= x < size and 0 <= y < size:
            px[y][x] = rgb + (255,)

    shape = set()
    for y in range(size):
        for x in range(size):
            d = math.hypot(x - c, y - c)
            if 9.0 <= d <= 10.6:
                shape.add((x, y))
    for i in range(2, 30):
        if abs(i - c) > 2:
            shape.add((c, i))
            shape.add((i, c))
    shape.add((c, c))
    for (x, y) in shape:
        for dx in (-1, 0, 1):
            for dy in (-1, 0, 1):
                if (x + dx, y + dy) not in shape:
                    put(x + dx, y + dy, (255, 255, 255))
    for (x, y) in shape:
        put(x, y, (0, 0, 0))
    return px


def dib(px):
    """A 32-bit DIB with its AND mask, as icon and cursor files hold them."""
    size = len(px)
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    colour = b"".join(struct.pack("<BBBB", p[2], p[1], p[0], p[3]) for row in reversed(px) for p in row)
    row_bytes = ((size + 31) // 32) * 4
    mask = b""
    for row in reversed(px):
        out = bytearray(row_bytes)
        for x, p in enumerate(row):
            if p[3] == 0:
                out[x // 8] |= 0x80 >> (x % 8)
        mask += bytes(out)
    return header + colour + mask


def write_icon_file(path, images, kind, hotspot=(0, 0)):
    entries = b""
    data = b""
    offset = 6 + 16 * len(images)
    for px in images:
        size = len(px)
        blob = dib(px)
        if kind == 1:
            planes, bits = 1, 32
        else:
            planes, bits = hotspot
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, 0, 0, planes, bits, len(blob), offset)
        data += blob
        offset += len(blob)
    with open(path, "wb") as f:
        f.write(struct.pack("<HHH", 0, kind, len(images)) + entries + data)


def main():
    write_icon_file(os.path.join(RES, "tollwick.ico"), [icon_pixels(s) for s in (16, 32, 48)], 1)
    write_icon_file(os.path.join(RES, "finder.cur"), [cursor_pixels()], 2, hotspot=(16, 16))


if __name__ == "__main__":
    main()
