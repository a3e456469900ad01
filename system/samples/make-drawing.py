#!/usr/bin/env python3
"""Draws the bundled sample: a bilevel engineering drawing as a raw PBM.

A title block, a frame with zone marks, a flange seen from the front with
its bolt circle, and a dimensioned side view: the kind of page pvview is
made for, small enough to ship.
"""
import math
import sys

W, H = 1100, 850
img = bytearray(W * H)  # 1 = black


def dot(x, y, r=1):
    for yy in range(y - r + 1, y + r):
        for xx in range(x - r + 1, x + r):
            if 0 <= xx < W and 0 <= yy < H:
                img[yy * W + xx] = 1


def line(x0, y0, x1, y1, r=1, dash=0):
    n = max(abs(x1 - x0), abs(y1 - y0), 1)
    for i in range(n + 1):
        if dash and (i // dash) % 2:
            continue
        dot(round(x0 + (x1 - x0) * i / n), round(y0 + (y1 - y0) * i / n), r)


def rect(x0, y0, x1, y1, r=1):
    line(x0, y0, x1, y0, r); line(x1, y0, x1, y1, r)
    line(x1, y1, x0, y1, r); line(x0, y1, x0, y0, r)


def circle(cx, cy, rad, r=1, dash=0):
    n = max(int(2 * math.pi * rad), 8)
    for i in range(n):
        if dash and (i // dash) % 2:
            continue
        a = 2 * math.pi * i / n
        dot(round(cx + rad * math.cos(a)), round(cy + rad * math.sin(a)), r)


def arrow(x0, y0, x1, y1):
    line(x0, y0, x1, y1)
    for (ax, ay, bx, by) in ((x0, y0, x1, y1), (x1, y1, x0, y0)):
        d = math.hypot(bx - ax, by - ay) or 1
        ux, uy = (bx - ax) / d, (by - ay) / d
        for s in (-1, 1):
            line(ax, ay, round(ax + 12 * ux - 4 * s * uy), round(ay + 12 * uy + 4 * s * ux))


# Frame with zone ticks.
rect(20, 20, W - 21, H - 21, 2)
rect(40, 40, W - 41, H - 41, 1)
for i in range(1, 8):
    x = 40 + i * (W - 80) // 8
    line(x, 20, x, 40); line(x, H - 41, x, H - 21)
for i in range(1, 6):
    y = 40 + i * (H - 80) // 6
    line(20, y, 40, y); line(W - 41, y, W - 21, y)

# Title block, with hatched "text" bars standing in for lettering.
tx, ty = W - 441, H - 181
rect(tx, ty, W - 41, H - 41, 2)
for y in (ty + 35, ty + 70, ty + 105):
    line(tx, y, W - 41, y)
line(tx + 140, ty + 35, tx + 140, H - 41)
for k, y in enumerate((ty + 12, ty + 47, ty + 82, ty + 117)):
    for x in range(tx + 10, tx + 10 + 90 - 10 * k, 6):
        line(x, y, x, y + 12)
    for x in range(tx + 150, W - 60 - 40 * k, 4):
        if (x // 24) % 3:
            line(x, y, x, y + 14)

# Front view of a flange: rims, bore, bolt circle, centre lines.
cx, cy = 300, 330
circle(cx, cy, 200, 2)
circle(cx, cy, 70, 2)
circle(cx, cy, 135, 1, dash=6)
for k in range(6):
    a = 2 * math.pi * k / 6
    circle(round(cx + 135 * math.cos(a)), round(cy + 135 * math.sin(a)), 18, 2)
line(cx - 230, cy, cx + 230, cy, 1, dash=10)
line(cx, cy - 230, cx, cy + 230, 1, dash=10)
arrow(cx - 200, cy + 260, cx + 200, cy + 260)
line(cx - 200, cy + 5, cx - 200, cy + 270); line(cx + 200, cy + 5, cx + 200, cy + 270)

# Side view with a hidden bore and its dimension.
sx = 620
rect(sx, cy - 200, sx + 60, cy + 200, 2)
rect(sx + 60, cy - 110, sx + 220, cy + 110, 2)
line(sx, cy - 70, sx + 220, cy - 70, 1, dash=8)
line(sx, cy + 70, sx + 220, cy + 70, 1, dash=8)
line(sx - 30, cy, sx + 250, cy, 1, dash=10)
arrow(sx, cy - 240, sx + 220, cy - 240)
line(sx, cy - 205, sx, cy - 250); line(sx + 220, cy - 115, sx + 220, cy - 250)
# Section hatching on the hub.
for i in range(-110, 220, 14):
    for t in range(0, 160):
        x, y = sx + 60 + t, cy - 110 + i + t
        if sx + 60 < x < sx + 220 and cy + 72 < y < cy + 110:
            dot(x, y)

out = sys.stdout.buffer
out.write(b"P4\n# pvview sample drawing\n%d %d\n" % (W, H))
row_bytes = (W + 7) // 8
for y in range(H):
    row = bytearray(row_bytes)
    for x in range(W):
        if img[y * W + x]:
            row[x >> 3] |= 0x80 >> (x & 7)
    out.write(row)
