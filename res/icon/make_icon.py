#!/usr/bin/env python3
"""Render the TarvikInstaller application icon and pack it into a .ico file.

Usage: python3 make_icon.py OUT.ico [--png-dir DIR]

The artwork is a rounded-square tile with a teal-to-blue diagonal gradient
carrying a white "T" whose stem ends in a downward arrowhead.  Every size is
rendered separately from the same geometric description; at the small sizes
the key edges are snapped to whole pixels so the strokes stay crisp.

Only the Python standard library is used.  Output is deterministic: the PNGs
hold nothing but IHDR/IDAT/IEND and are compressed at a fixed zlib level, so
repeated runs produce byte-identical files (given the same zlib library).
"""

import argparse
import math
import os
import struct
import zlib

SIZES = (16, 20, 24, 32, 40, 48, 64, 256)
SUBROWS = 16            # vertical samples per pixel; horizontal coverage is exact
ZLIB_LEVEL = 9

# sRGB colours
TEAL = (13, 148, 136)       # top-left of the tile
BLUE = (30, 64, 175)        # bottom-right of the tile
WHITE = (255, 255, 255)


# ---------------------------------------------------------------- shapes
# A shape answers one question: which x intervals does it cover on the
# horizontal line at height y?  That is all the rasteriser needs.

class RoundRect:
    def __init__(self, x0, y0, x1, y1, r=0.0):
        self.x0, self.y0, self.x1, self.y1 = x0, y0, x1, y1
        self.r = min(r, (x1 - x0) / 2, (y1 - y0) / 2)

    def spans(self, y):
        if y < self.y0 or y >= self.y1:
            return []
        r = self.r
        dy = max(self.y0 + r - y, y - (self.y1 - r), 0.0)
        dx = r - math.sqrt(max(r * r - dy * dy, 0.0)) if dy > 0 else 0.0
        return [(self.x0 + dx, self.x1 - dx)]


class ConvexPolygon:
    def __init__(self, points):
        self.points = points

    def spans(self, y):
        xs = []
        pts = self.points
        for (ax, ay), (bx, by) in zip(pts, pts[1:] + pts[:1]):
            if (ay <= y < by) or (by <= y < ay):
                xs.append(ax + (y - ay) * (bx - ax) / (by - ay))
        return [(min(xs), max(xs))] if len(xs) >= 2 else []


def translated(shape, dx, dy):
    if isinstance(shape, RoundRect):
        return RoundRect(shape.x0 + dx, shape.y0 + dy,
                         shape.x1 + dx, shape.y1 + dy, shape.r)
    return ConvexPolygon([(x + dx, y + dy) for x, y in shape.points])


def coverage(shapes, size):
    """Coverage (0..1) of the union of `shapes`, as size rows of size floats.

    Each pixel row is sampled on SUBROWS horizontal lines; on each line the
    covered intervals are merged and their exact horizontal overlap with every
    pixel is accumulated (fully covered runs go through a difference array).
    """
    w = 1.0 / SUBROWS
    rows = []
    for py in range(size):
        cov = [0.0] * size
        diff = [0.0] * (size + 1)
        for k in range(SUBROWS):
            y = py + (k + 0.5) * w
            spans = sorted(s for sh in shapes for s in sh.spans(y))
            merged = []
            for a, b in spans:
                if merged and a <= merged[-1][1]:
                    merged[-1][1] = max(merged[-1][1], b)
                else:
                    merged.append([a, b])
            for a, b in merged:
                a, b = max(a, 0.0), min(b, float(size))
                if b <= a:
                    continue
                ia, ib = int(a), int(b)
                if ia == ib:
                    cov[ia] += (b - a) * w
                    continue
                cov[ia] += (ia + 1 - a) * w
                diff[ia + 1] += w
                diff[ib] -= w
                if ib < size:
                    cov[ib] += (b - ib) * w
        run = 0.0
        for x in range(size):
            run += diff[x]
            cov[x] = min(cov[x] + run, 1.0)
        rows.append(cov)
    return rows


# ---------------------------------------------------------------- artwork
# Hand-tuned pixel geometry for the small sizes, where a half-pixel edge turns
# a stroke into a grey smear.  Keys: tile inset and corner radius, bar top,
# bar thickness, bar half-width, stem width, arrowhead base y, arrowhead
# half-width, arrowhead tip y.  Horizontal values are measured from the
# centre line, which lies on a pixel boundary (all sizes are even) so even
# stem widths land exactly on the grid.
SNAPPED = {
    16: dict(inset=0, radius=3, bar_y=3, bar_h=2, bar_hw=5, stem_w=2,
             head_y=9, head_hw=4, tip_y=13),
    20: dict(inset=0, radius=4, bar_y=4, bar_h=3, bar_hw=6, stem_w=4,
             head_y=10, head_hw=6, tip_y=16),
    24: dict(inset=1, radius=4, bar_y=5, bar_h=3, bar_hw=7, stem_w=4,
             head_y=12, head_hw=6, tip_y=19),
    32: dict(inset=1, radius=6, bar_y=7, bar_h=4, bar_hw=10, stem_w=4,
             head_y=17, head_hw=7, tip_y=26),
}


def geometry(size):
    """Glyph and tile geometry in pixels for one icon size."""
    if size in SNAPPED:
        return SNAPPED[size]
    inset = size / 32
    t = size - 2 * inset                      # tile edge length
    g = dict(inset=inset, radius=t * 0.22,
             bar_y=inset + t * 0.18, bar_h=t * 0.15, bar_hw=t * 0.33,
             stem_w=t * 0.16, head_y=inset + t * 0.54,
             head_hw=t * 0.23, tip_y=inset + t * 0.83)
    if size <= 64:
        # Mid sizes: put horizontal edges on the pixel grid and keep the stem
        # an even width so it stays centred on the (pixel-boundary) centre line.
        for k in ("inset", "bar_y", "bar_h", "bar_hw", "head_y", "head_hw",
                  "tip_y"):
            g[k] = float(round(g[k]))
        g["stem_w"] = 2.0 * round(g["stem_w"] / 2)
    return g


def glyph_shapes(g, cx, round_bar):
    bar = RoundRect(cx - g["bar_hw"], g["bar_y"], cx + g["bar_hw"],
                    g["bar_y"] + g["bar_h"], g["bar_h"] * 0.3 if round_bar else 0)
    # The stem overlaps both the bar and the arrowhead so no seam can appear.
    stem = RoundRect(cx - g["stem_w"] / 2, g["bar_y"] + g["bar_h"] / 2,
                     cx + g["stem_w"] / 2, g["head_y"] + 0.5)
    head = ConvexPolygon([(cx - g["head_hw"], g["head_y"]),
                          (cx + g["head_hw"], g["head_y"]),
                          (cx, g["tip_y"])])
    return [bar, stem, head]


def mix(a, b, t):
    return tuple(x + (y - x) * t for x, y in zip(a, b))


def render(size):
    """Return the icon at `size` as rows of (r, g, b, a) byte tuples."""
    large = size >= 48
    g = geometry(size)
    i, cx = g["inset"], size / 2
    tile = RoundRect(i, i, size - i, size - i, g["radius"])
    glyph = glyph_shapes(g, cx, large)

    tile_cov = coverage([tile], size)
    glyph_cov = coverage(glyph, size)
    if large:
        # A darker lip along the bottom edge: the lighter face is the same
        # tile raised by `lip`, so the lip shows only below it.
        lip = size / 40
        face_cov = coverage([RoundRect(i, i, size - i, size - i - lip,
                                       g["radius"])], size)
        shadow_cov = coverage([translated(s, 0, size / 48) for s in glyph],
                              size)

    span = size - 2 * i
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            a = tile_cov[py][px]
            if a <= 0.0:
                row.append((0, 0, 0, 0))
                continue
            x, y = (px + 0.5 - i) / span, (py + 0.5 - i) / span
            t = min(max((x + y) / 2, 0.0), 1.0)
            col = mix(TEAL, BLUE, t)
            if large:
                # Soft highlight fading out towards the middle of the tile.
                col = mix(col, WHITE, 0.10 * max(0.0, 1 - y / 0.55) ** 2)
                col = mix(mix(col, (0, 0, 0), 0.28), col, face_cov[py][px])
                col = mix(col, mix(BLUE, (0, 0, 0), 0.45),
                          0.45 * shadow_cov[py][px])
            col = mix(col, WHITE, glyph_cov[py][px])
            row.append(tuple(int(c + 0.5) for c in col)
                       + (int(a * 255 + 0.5),))
        rows.append(row)
    return rows


# ---------------------------------------------------------------- file formats

def png_bytes(rows):
    """Encode RGBA rows as a minimal PNG (IHDR, IDAT, IEND only)."""
    height, width = len(rows), len(rows[0])

    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data
                + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))

    raw = bytearray()
    for row in rows:
        # Filter type 1 (Sub): each byte minus the same channel one pixel to
        # the left.  Gradients and flat areas become runs of small values.
        flat = bytes(c for px in row for c in px)
        raw.append(1)
        raw += flat[:4]
        raw += bytes((flat[j] - flat[j - 4]) & 0xFF for j in range(4, len(flat)))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr)
            + chunk(b"IDAT", zlib.compress(bytes(raw), ZLIB_LEVEL))
            + chunk(b"IEND", b""))


def ico_bytes(images):
    """Pack (size, png) pairs into an .ico with PNG-compressed entries."""
    header = struct.pack("<HHH", 0, 1, len(images))
    offset = len(header) + 16 * len(images)
    entries, blobs = b"", b""
    for size, png in images:
        dim = 0 if size >= 256 else size       # 0 means 256 in the directory
        entries += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32,
                               len(png), offset)
        offset += len(png)
        blobs += png
    return header + entries + blobs


# ---------------------------------------------------------------- preview

def preview(icons):
    """All sizes at 1:1 plus the 16/24/32 px ones at 8x, on light and dark."""
    pad, zoom = 16, 8
    enlarged = [(s, icons[s]) for s in (16, 24, 32)]
    top_w = sum(SIZES) + pad * (len(SIZES) + 1)
    low_w = sum(s * zoom for s, _ in enlarged) + pad * (len(enlarged) + 1)
    width = max(top_w, low_w)
    band_h = max(SIZES) + 32 * zoom + 3 * pad
    canvas = []
    for bg in ((242, 242, 242), (32, 32, 32)):
        band = [[bg] * width for _ in range(band_h)]

        def paste(rows, x0, y0, scale):
            for y in range(len(rows) * scale):
                for x in range(len(rows) * scale):
                    r, g, b, a = rows[y // scale][x // scale]
                    t = a / 255
                    band[y0 + y][x0 + x] = tuple(
                        int(c * t + k * (1 - t) + 0.5)
                        for c, k in zip((r, g, b), bg))

        x = pad
        for s in SIZES:                     # bottom-aligned 1:1 row
            paste(icons[s], x, pad + max(SIZES) - s, 1)
            x += s + pad
        x = pad
        for s, rows in enlarged:
            paste(rows, x, 2 * pad + max(SIZES), zoom)
            x += s * zoom + pad
        canvas += band
    return [[px + (255,) for px in row] for row in canvas]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out", help="path of the .ico file to write")
    ap.add_argument("--png-dir", help="also write each size and a preview "
                                      "sheet as PNG files into this directory")
    args = ap.parse_args()

    icons = {s: render(s) for s in SIZES}
    pngs = [(s, png_bytes(icons[s])) for s in SIZES]
    with open(args.out, "wb") as f:
        f.write(ico_bytes(pngs))

    if args.png_dir:
        os.makedirs(args.png_dir, exist_ok=True)
        for s, png in pngs:
            with open(os.path.join(args.png_dir, "tarvik-%d.png" % s), "wb") as f:
                f.write(png)
        with open(os.path.join(args.png_dir, "preview.png"), "wb") as f:
            f.write(png_bytes(preview(icons)))


if __name__ == "__main__":
    main()
