#!/usr/bin/python3
"""Builds the icon font Tarvelo-Fontello.ttf from the outlines in icons.txt.

    build_icon_font.py icons.txt out.ttf

icons.txt is the icon set's index and its drawing at once: each `icon` record
names the byte code, a short name and what the icon means where the interface
uses it, then the shapes that draw it. Shapes are in font units on a 1000-unit
em whose box runs from y = -200 (descender) to y = 800 (ascender), so a glyph
drawn at n pixels fills an n x n square from the top of the text line.

Shapes (numbers are font units, angles degrees counter-clockwise from +x):
    rect x0 y0 x1 y1              filled rectangle
    rrect x0 y0 x1 y1 r           rectangle with rounded corners
    disc cx cy r                  filled circle
    ring cx cy r width            circle outline, `width` thick inward
    oval cx cy rx ry width        ellipse outline, `width` thick inward
    poly x y x y ...              filled polygon
    seg x0 y0 x1 y1 w             straight stroke w thick, square ends
    line w x y x y ...            polyline stroke w thick with round joints
    arc cx cy r w a0 a1           circular stroke from a0 to a1 (a1 > a0)
Prefix a shape with `cut` to punch it out of what was drawn before (it is
wound the other way, so it makes a hole where exactly one shape lies under it).

Every code 1..255 gets a glyph: an icon where one is drawn, an empty glyph
elsewhere, so the program can measure every code it asks for.
"""
import math
import shlex
import sys

from fontTools.fontBuilder import FontBuilder
from fontTools.pens.ttGlyphPen import TTGlyphPen

EM = 1000
ASCENT = 800
DESCENT = -200
BLANK_ADVANCE = 500
ROUND_STEPS = 48  # polygon corners per full circle: below a tenth of a pixel off at 100 px


def circle_points(cx, cy, r, a0=0.0, a1=360.0, steps=None, ry=None):
    span = a1 - a0
    ry = r if ry is None else ry
    n = steps or max(2, int(math.ceil(ROUND_STEPS * abs(span) / 360.0)))
    return [(cx + r * math.cos(math.radians(a0 + span * i / n)),
             cy + ry * math.sin(math.radians(a0 + span * i / n))) for i in range(n + 1)]


def area(points):
    s = 0.0
    for i, (x0, y0) in enumerate(points):
        x1, y1 = points[(i + 1) % len(points)]
        s += x0 * y1 - x1 * y0
    return s / 2.0


def oriented(points, clockwise):
    """TrueType fills clockwise contours; holes run counter-clockwise."""
    pts = [(round(x), round(y)) for x, y in points]
    dedup = [p for i, p in enumerate(pts) if p != pts[i - 1]]
    if len(dedup) < 3:
        return None
    if (area(dedup) < 0) != clockwise:
        dedup.reverse()
    return dedup


def stroke_quad(x0, y0, x1, y1, w):
    dx, dy = x1 - x0, y1 - y0
    length = math.hypot(dx, dy)
    if length == 0:
        return None
    nx, ny = -dy / length * w / 2.0, dx / length * w / 2.0
    return [(x0 + nx, y0 + ny), (x1 + nx, y1 + ny), (x1 - nx, y1 - ny), (x0 - nx, y0 - ny)]


def rounded_rect(x0, y0, x1, y1, r):
    r = min(r, (x1 - x0) / 2.0, (y1 - y0) / 2.0)
    pts = []
    for cx, cy, a in ((x1 - r, y1 - r, 0), (x0 + r, y1 - r, 90), (x0 + r, y0 + r, 180),
                      (x1 - r, y0 + r, 270)):
        pts += circle_points(cx, cy, r, a, a + 90, ROUND_STEPS // 4)
    return pts


def shape_contours(op, a):
    """Polygons of one shape, each as a list of points (any winding)."""
    if op == "rect":
        x0, y0, x1, y1 = a
        return [[(x0, y0), (x1, y0), (x1, y1), (x0, y1)]]
    if op == "rrect":
        return [rounded_rect(*a)]
    if op == "disc":
        return [circle_points(a[0], a[1], a[2])[:-1]]
    if op == "poly":
        if len(a) < 6 or len(a) % 2:
            raise ValueError("poly needs three or more x y pairs")
        return [list(zip(a[0::2], a[1::2]))]
    if op == "seg":
        return [stroke_quad(*a)]
    if op == "line":
        w, xy = a[0], a[1:]
        pts = list(zip(xy[0::2], xy[1::2]))
        out = [stroke_quad(p[0], p[1], q[0], q[1], w) for p, q in zip(pts, pts[1:])]
        out += [circle_points(x, y, w / 2.0)[:-1] for x, y in pts[1:-1]]
        return [c for c in out if c]
    if op == "arc":
        cx, cy, r, w, a0, a1 = a
        outer = circle_points(cx, cy, r, a0, a1)
        inner = circle_points(cx, cy, r - w, a0, a1)
        return [outer + inner[::-1]]
    raise ValueError("unknown shape " + op)


def glyph_contours(shapes):
    contours = []
    for cut, op, args in shapes:
        if op in ("ring", "oval"):
            cx, cy, rx, ry, w = args if op == "oval" else args[:3] + args[2:]
            contours.append(oriented(circle_points(cx, cy, rx, ry=ry)[:-1], not cut))
            contours.append(oriented(circle_points(cx, cy, rx - w, ry=ry - w)[:-1], cut))
            continue
        for c in shape_contours(op, args):
            contours.append(oriented(c, not cut))
    return [c for c in contours if c]


def parse(path):
    icons = {}
    current = None
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            words = shlex.split(line)
            try:
                if words[0] == "icon":
                    code = int(words[1], 0)
                    if not 1 <= code <= 255 or code in icons:
                        raise ValueError("code %d out of range or drawn twice" % code)
                    current = {"code": code, "name": words[2], "meaning": words[3],
                               "advance": EM, "shapes": []}
                    icons[code] = current
                elif words[0] == "advance":
                    current["advance"] = int(words[1])
                elif words[0] == "end":
                    if not current["shapes"]:
                        raise ValueError("icon %d has no shape" % current["code"])
                    current = None
                else:
                    cut = words[0] == "cut"
                    op = words[1] if cut else words[0]
                    args = [float(w) for w in words[2 if cut else 1:]]
                    current["shapes"].append((cut, op, args))
            except (IndexError, ValueError, TypeError) as e:
                sys.exit("%s:%d: %s" % (path, number, e))
    if current is not None:
        sys.exit("%s: the last icon has no end" % path)
    return icons


def build(source, target):
    icons = parse(source)
    order = [".notdef", "space"]
    cmap = {32: "space"}
    glyphs, metrics = {}, {}

    def add(name, contours, advance):
        pen = TTGlyphPen(None)
        for c in contours:
            pen.moveTo(c[0])
            for p in c[1:]:
                pen.lineTo(p)
            pen.closePath()
        glyphs[name] = pen.glyph()
        xmin = min((x for c in contours for x, _ in c), default=0)
        metrics[name] = (advance, xmin)

    add(".notdef", [], BLANK_ADVANCE)
    add("space", [], BLANK_ADVANCE)
    for code in range(1, 256):
        if code == 32:
            continue
        icon = icons.get(code)
        name = "icon%03d_%s" % (code, icon["name"]) if icon else "blank%03d" % code
        order.append(name)
        cmap[code] = name
        if icon:
            add(name, glyph_contours(icon["shapes"]), icon["advance"])
        else:
            add(name, [], BLANK_ADVANCE)

    fb = FontBuilder(EM, isTTF=True)
    fb.setupGlyphOrder(order)
    fb.setupCharacterMap(cmap)
    fb.setupGlyf(glyphs)
    fb.setupHorizontalMetrics(metrics)
    fb.setupHorizontalHeader(ascent=ASCENT, descent=DESCENT)
    fb.setupNameTable({"familyName": "Tarvelo Icons", "styleName": "Regular",
                       "uniqueFontIdentifier": "Tarvelo Icons Regular",
                       "fullName": "Tarvelo Icons", "psName": "TarveloIcons-Regular",
                       "version": "Version 1.0",
                       "copyright": "Drawn by the Tarvelo developers"})
    fb.setupOS2(sTypoAscender=ASCENT, sTypoDescender=DESCENT, sTypoLineGap=0,
                usWinAscent=ASCENT, usWinDescent=-DESCENT, fsType=0,
                usFirstCharIndex=1, usLastCharIndex=255)
    fb.setupPost()
    fb.save(target)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    build(sys.argv[1], sys.argv[2])
