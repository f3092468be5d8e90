#!/usr/bin/python3
"""Draws the pictures of Tarvolin's built-in files and demo site.

Everything is painted procedurally (gradients, fractal noise, simple shapes),
with a fixed random seed per picture, so a run always gives the same files.

    /usr/bin/python3 tools/demo-art/make_demo_art.py [resources-folder]

Needs Pillow and NumPy (Debian: python3-pil python3-numpy).  Writes:

    CONTENT/file.gif, CONTENT/folder.gif, CONTENT/blue-ball-small.gif
    BINDAT/demo/.pict/blue-ball-small.gif
    BINDAT/demo/PhotoAlbum/*.jpg   (14 "photographs")
    BINDAT/ScreenShot/screenshot.png
"""

import math
import os
import sys

import numpy as np
from PIL import Image, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
RES = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(HERE, "..", "..", "resources"))
ALBUM = os.path.join(RES, "BINDAT", "demo", "PhotoAlbum")
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
FONT_BOLD = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"


# ---------------------------------------------------------------- helpers

def smoothstep(a, b, x):
    t = np.clip((x - a) / (b - a), 0.0, 1.0)
    return t * t * (3 - 2 * t)


def noise(w, h, rng, scale=4.0, octaves=5, pers=0.5, aspect=1.0):
    """Fractal value noise in 0..1, shape (h, w)."""
    acc = np.zeros((h, w), np.float32)
    amp, tot = 1.0, 0.0
    for o in range(octaves):
        nx = int(scale * 2 ** o) + 2
        ny = int(scale * 2 ** o * h / w * aspect) + 2
        small = rng.random((ny, nx)).astype(np.float32)
        layer = Image.fromarray(small, "F").resize((w, h), Image.BICUBIC)
        acc += amp * np.asarray(layer, np.float32)
        tot += amp
        amp *= pers
    acc -= acc.min()
    acc /= acc.max() + 1e-6
    return acc


def noise1d(n, rng, scale=4.0, octaves=6, pers=0.5):
    x = np.linspace(0.0, 1.0, n)
    acc = np.zeros(n)
    amp, tot = 1.0, 0.0
    for o in range(octaves):
        k = int(scale * 2 ** o) + 2
        pts = rng.random(k)
        acc += amp * np.interp(x * (k - 1), np.arange(k), pts)
        tot += amp
        amp *= pers
    acc -= acc.min()
    acc /= acc.max() + 1e-9
    return acc


def vgrad(w, h, stops):
    """Vertical gradient; stops = [(position 0..1, (r, g, b)), ...]."""
    pos = np.array([s[0] for s in stops])
    y = np.linspace(0.0, 1.0, h)
    out = np.zeros((h, w, 3), np.float32)
    for c in range(3):
        col = np.interp(y, pos, [s[1][c] for s in stops])
        out[:, :, c] = col[:, None]
    return out


def grid(w, h):
    return np.meshgrid(np.arange(w, dtype=np.float32), np.arange(h, dtype=np.float32))


def paint(img, color, mask):
    m = mask[..., None]
    col = np.asarray(color, np.float32)
    img *= 1.0 - m
    img += col * m
    return img


def below(line, h):
    """Anti-aliased mask of the area below a per-column line y(x)."""
    y = np.arange(h, dtype=np.float32)[:, None]
    return np.clip(y - line[None, :] + 0.5, 0.0, 1.0)


def tint(noise_field, c0, c1):
    n = noise_field[..., None]
    return np.asarray(c0, np.float32) * (1 - n) + np.asarray(c1, np.float32) * n


class Mask:
    """Shapes drawn supersampled, returned as an anti-aliased float mask."""

    def __init__(self, w, h, ss=3):
        self.w, self.h, self.ss = w, h, ss
        self.im = Image.new("L", (w * ss, h * ss), 0)
        self.d = ImageDraw.Draw(self.im)

    def _p(self, pts):
        s = self.ss
        return [(x * s, y * s) for x, y in pts]

    def polygon(self, pts, fill=255):
        self.d.polygon(self._p(pts), fill=fill)

    def ellipse(self, x0, y0, x1, y1, fill=255):
        s = self.ss
        self.d.ellipse([x0 * s, y0 * s, x1 * s, y1 * s], fill=fill)

    def rect(self, x0, y0, x1, y1, fill=255):
        s = self.ss
        self.d.rectangle([x0 * s, y0 * s, x1 * s - 1, y1 * s - 1], fill=fill)

    def line(self, pts, width, fill=255):
        s = self.ss
        self.d.line(self._p(pts), fill=fill, width=max(1, int(round(width * s))), joint="curve")
        r = width * s / 2.0
        for x, y in self._p(pts):
            self.d.ellipse([x - r, y - r, x + r, y + r], fill=fill)

    def get(self, blur=0.0):
        im = self.im.resize((self.w, self.h), Image.LANCZOS)
        if blur:
            im = im.filter(ImageFilter.GaussianBlur(blur))
        return np.asarray(im, np.float32) / 255.0


def save_jpeg(img, name, quality=75, soften=0.5):
    arr = np.clip(img, 0, 255).astype(np.uint8)
    im = Image.fromarray(arr, "RGB")
    if soften:
        im = im.filter(ImageFilter.GaussianBlur(soften))
    path = os.path.join(ALBUM, name)
    im.save(path, "JPEG", quality=quality, optimize=True, progressive=False)
    print("%-18s %4dx%-4d %6d bytes" % (name, im.width, im.height, os.path.getsize(path)))


def sky_clouds(img, rng, y0, y1, amount=0.6, scale=3.0, color=(250, 250, 252), shade=(175, 180, 195),
               stretch=1.0):
    h, w, _ = img.shape
    n = noise(w, h, rng, scale=scale, octaves=6, aspect=stretch)
    yy = np.linspace(0, 1, h)[:, None]
    band = smoothstep(y0, y0 + 0.08, yy) * (1 - smoothstep(y1 - 0.08, y1, yy))
    thr = 0.72 - amount * 0.35
    m = smoothstep(thr, thr + 0.16, n) * band
    # thick parts and the underside are darker; the sunny top stays bright
    under = np.roll(n, -int(h * 0.02) - 1, axis=0)
    light = np.clip(1.1 - (n - thr) * 1.6 - (under - n) * 4.0, 0.0, 1.0)[..., None]
    col = np.asarray(shade, np.float32) * (1 - light) + np.asarray(color, np.float32) * light
    return paint(img, col, m)


# ---------------------------------------------------------------- photographs

def photo_cloud():
    rng = np.random.default_rng(101)
    w, h = 640, 480
    img = vgrad(w, h, [(0, (34, 88, 176)), (0.65, (110, 165, 225)), (1, (190, 212, 236))])
    img = sky_clouds(img, rng, 0.05, 0.95, amount=0.62, scale=3.2, stretch=1.5)
    line = h - 22 - 26 * noise1d(w, rng, scale=10, octaves=5)
    img = paint(img, (30, 52, 32), below(line, h))
    save_jpeg(img, "cloud.jpg")


def mountain_layers(img, rng, layers, snow=None):
    h, w, _ = img.shape
    X, Y = grid(w, h)
    for i, (base, amp, col, ridged) in enumerate(layers):
        n = noise1d(w, rng, scale=2.5 + i, octaves=7, pers=0.55)
        if ridged:
            n = 1 - np.abs(n * 2 - 1)
        line = base * h - amp * h * n
        m = below(line, h)
        tex = noise(w, h, rng, scale=8, octaves=4)
        shade = np.clip(0.85 + 0.3 * (tex - 0.5), 0, 1.3)[..., None]
        col = np.asarray(col, np.float32) * shade
        if snow is not None and i == 0:
            # a ragged snow line: snow above it, thinning out in gullies
            sn = noise(w, h, rng, scale=10, octaves=5)
            gully = noise(w, h, rng, scale=16, octaves=3, aspect=0.25)
            top = line.min()
            snow_y = top + (base * h - top) * snow
            cap = 1 - smoothstep(snow_y - 12, snow_y + 12, Y + (sn - 0.5) * 70)
            cap *= smoothstep(0.25, 0.55, gully + 0.35 * (1 - (Y - top) / (snow_y - top + 1)))
            col = col * (1 - cap[..., None]) + np.asarray((236, 240, 248), np.float32) * cap[..., None] * shade
        img = paint(img, col, m)
    return img


def photo_mountains():
    rng = np.random.default_rng(202)
    w, h = 800, 600
    img = vgrad(w, h, [(0, (60, 110, 185)), (0.5, (150, 185, 225)), (1, (200, 215, 230))])
    img = sky_clouds(img, rng, 0.0, 0.35, amount=0.45, scale=3, stretch=2.5)
    img = mountain_layers(img, rng, [
        (0.55, 0.40, (120, 128, 150), True),
        (0.66, 0.22, (88, 100, 118), False),
        (0.78, 0.20, (52, 74, 60), False),
        (0.92, 0.10, (40, 62, 34), False),
    ], snow=0.45)
    # meadow in front
    line = h * 0.93 - 14 * noise1d(w, rng, scale=5)
    g = noise(w, h, rng, scale=20, octaves=3)
    img = paint(img, tint(g, (70, 110, 40), (120, 150, 60)), below(line, h))
    save_jpeg(img, "mountains.jpg")


def treeline(w, rng, base, height, spacing=7):
    line = np.full(w, float(base))
    x = 0.0
    while x < w:
        th = height * (0.55 + 0.45 * rng.random())
        half = spacing * (0.6 + 0.5 * rng.random())
        xs = np.arange(max(0, int(x - half)), min(w, int(x + half) + 1))
        top = base - th + np.abs(xs - x) / half * th
        line[xs] = np.minimum(line[xs], top)
        x += spacing * (0.6 + 0.8 * rng.random())
    return line


def reflect(img, horizon, rng, darken=0.72, tint_col=(30, 60, 90), ripple=3.0):
    h, w, _ = img.shape
    hz = int(horizon)
    rows = h - hz
    src = np.clip(2 * hz - np.arange(hz, h), 0, hz - 1)
    out = img.copy()
    wave = noise(w, rows, rng, scale=3, octaves=3, aspect=8.0)
    X, _ = grid(w, rows)
    shift = ((wave - 0.5) * ripple * (1 + np.arange(rows)[:, None] / rows * 3)).astype(np.int32)
    xs = np.clip(X.astype(np.int32) + shift, 0, w - 1)
    refl = img[src[:, None], xs]
    refl = refl * darken + np.asarray(tint_col, np.float32) * (1 - darken)
    streak = noise(w, rows, rng, scale=2, octaves=4, aspect=10.0)
    refl *= (0.92 + 0.16 * streak)[..., None]
    out[hz:] = refl
    return out


def photo_lake():
    rng = np.random.default_rng(303)
    w, h = 640, 480
    hz = int(h * 0.56)
    img = vgrad(w, h, [(0, (70, 120, 190)), (0.5, (170, 200, 230)), (1, (200, 220, 235))])
    img = sky_clouds(img, rng, 0.0, 0.3, amount=0.5, scale=3, stretch=2.2)
    img = mountain_layers(img, rng, [
        (0.42, 0.22, (118, 130, 160), True),
        (0.50, 0.12, (80, 96, 112), False),
    ], snow=0.5)
    trees = treeline(w, rng, hz, 32, spacing=6)
    g = noise(w, h, rng, scale=30, octaves=3)
    img = paint(img, tint(g, (18, 42, 26), (40, 70, 40)), below(trees, h))
    img = reflect(img, hz, rng, darken=0.7, tint_col=(20, 50, 70), ripple=4)
    # a sunny shore stripe and a few stones in front
    line = h - 30 - 12 * noise1d(w, rng, scale=3)
    s = noise(w, h, rng, scale=25, octaves=4)
    img = paint(img, tint(s, (110, 96, 70), (175, 160, 128)), below(line, h))
    save_jpeg(img, "lake.jpg")


def photo_sea():
    rng = np.random.default_rng(404)
    w, h = 640, 480
    hz = int(h * 0.44)
    img = vgrad(w, h, [(0, (55, 115, 195)), (0.44, (185, 214, 238)), (0.441, (38, 92, 140)),
                       (0.75, (40, 120, 150)), (1, (70, 165, 170))])
    img = sky_clouds(img, rng, 0.0, 0.40, amount=0.35, scale=3, stretch=3.5)
    # waves
    X, Y = grid(w, h)
    wv = noise(w, h, rng, scale=6, octaves=5, aspect=6.0)
    sea = (Y >= hz).astype(np.float32)
    depth = np.clip((Y - hz) / (h - hz), 0, 1)
    crest = smoothstep(0.62, 0.85, wv) * sea * (0.3 + 0.7 * depth)
    img *= (1 + (wv[..., None] - 0.5) * 0.25 * sea[..., None])
    img = paint(img, (225, 240, 245), crest * 0.6)
    # beach with foam
    line = h * 0.86 - 16 * np.sin(np.linspace(0, 3.2, w)) - 10 * noise1d(w, rng, scale=4)
    foam = below(line - 5, h) - below(line, h)
    sand = noise(w, h, rng, scale=40, octaves=3)
    img = paint(img, tint(sand, (200, 180, 140), (232, 214, 175)), below(line, h))
    img = paint(img, (245, 248, 248), np.clip(foam, 0, 1) * 0.9)
    # a sailing boat on the horizon
    m = Mask(w, h)
    bx, by = 430, hz - 1
    m.polygon([(bx, by - 30), (bx, by - 3), (bx + 19, by - 4)])
    m.polygon([(bx - 2, by - 26), (bx - 2, by - 4), (bx - 14, by - 5)])
    img = paint(img, (246, 246, 240), m.get())
    m = Mask(w, h)
    m.polygon([(bx - 16, by - 3), (bx + 22, by - 3), (bx + 16, by + 2), (bx - 11, by + 2)])
    img = paint(img, (60, 40, 30), m.get())
    save_jpeg(img, "sea.jpg")


def photo_sunset():
    rng = np.random.default_rng(505)
    w, h = 640, 480
    hz = int(h * 0.62)
    img = vgrad(w, h, [(0, (40, 30, 85)), (0.3, (130, 60, 105)), (0.5, (225, 105, 70)),
                       (0.62, (255, 185, 90)), (1, (255, 185, 90))])
    X, Y = grid(w, h)
    sx, sy = 380, hz - 16
    glow = np.exp(-((X - sx) ** 2 + (Y - sy) ** 2) / (2 * 90.0 ** 2))
    img = paint(img, (255, 210, 140), glow * 0.7)
    img = sky_clouds(img, rng, 0.15, 0.55, amount=0.4, scale=3, color=(255, 150, 110),
                     shade=(95, 45, 80), stretch=4.0)
    sun = np.clip(28.5 - np.sqrt((X - sx) ** 2 + (Y - sy) ** 2), 0, 1)
    img = paint(img, (255, 240, 200), sun)
    img = reflect(img, hz, rng, darken=0.6, tint_col=(50, 20, 40), ripple=6)
    # glitter column under the sun
    col = np.exp(-((X - sx) ** 2) / (2 * 30.0 ** 2)) * (Y > hz)
    sp = noise(w, h, rng, scale=10, octaves=3, aspect=10)
    img = paint(img, (255, 200, 120), col * smoothstep(0.55, 0.8, sp))
    # dark headland with palms on the left
    line = hz - 40 * np.clip(1 - X[0] / 230, 0, 1) ** 1.5 - 6 * noise1d(w, rng, scale=8)
    line = np.where(X[0] < 240, line, 1e4)
    img = paint(img, (30, 15, 28), below(line, h) * (Y <= hz + 14))
    m = Mask(w, h)
    for px, ph, lean in ((70, 150, 14), (135, 115, -10)):
        top = (px + lean, hz - 30 - ph)
        m.line([(px, hz - 20), (px + lean * 0.4, hz - 30 - ph * 0.5), top], 5)
        for a in range(9):
            ang = -math.pi * (0.05 + a / 8 * 0.9)
            ln = 45 + 15 * rng.random()
            pts = [top]
            for k in range(1, 6):
                t = k / 5
                pts.append((top[0] + math.cos(ang) * ln * t, top[1] + math.sin(ang) * ln * t * 0.6 + 22 * t * t))
            m.line(pts, 3)
    img = paint(img, (30, 15, 28), m.get())
    save_jpeg(img, "sunset-2.jpg")


def photo_white_night():
    rng = np.random.default_rng(606)
    w, h = 640, 480
    hz = int(h * 0.6)
    img = vgrad(w, h, [(0, (118, 140, 185)), (0.35, (186, 186, 212)), (0.58, (238, 206, 200)),
                       (0.6, (245, 215, 195)), (1, (245, 215, 195))])
    img = sky_clouds(img, rng, 0.05, 0.45, amount=0.3, scale=2.5, color=(235, 200, 210),
                     shade=(150, 140, 175), stretch=3.5)
    # city silhouette on the far bank
    m = Mask(w, h)
    x = 0
    while x < w:
        bw = 18 + rng.integers(0, 40)
        bh = 14 + rng.integers(0, 34)
        m.rect(x, hz - bh, x + bw, hz + 1)
        x += bw
    m.rect(150, hz - 70, 164, hz)                      # tower
    m.polygon([(150, hz - 70), (164, hz - 70), (157, hz - 150)])  # spire
    m.rect(400, hz - 58, 470, hz)                      # cathedral
    m.ellipse(410, hz - 96, 460, hz - 40)              # dome
    m.rect(433, hz - 112, 437, hz - 94)
    m.rect(300, hz - 9, 640, hz - 4)                   # bridge deck
    for px in range(320, 640, 60):
        m.rect(px, hz - 9, px + 6, hz + 1)
    img = paint(img, (58, 56, 82), m.get())
    lights = (rng.random((h, w)) > 0.9985) * below(np.full(w, hz - 40.0), h) * (1 - below(np.full(w, hz - 2.0), h))
    img = paint(img, (255, 220, 150), np.asarray(Image.fromarray((lights * 255).astype(np.uint8)).filter(
        ImageFilter.MaxFilter(3)), np.float32) / 255 * m.get())
    img = reflect(img, hz, rng, darken=0.75, tint_col=(40, 50, 80), ripple=5)
    save_jpeg(img, "white-night.jpg")


def photo_lighthouse():
    rng = np.random.default_rng(707)
    w, h = 480, 640
    hz = int(h * 0.6)
    img = vgrad(w, h, [(0, (50, 110, 190)), (0.6, (180, 210, 235)), (0.601, (40, 90, 130)),
                       (1, (40, 110, 140))])
    img = sky_clouds(img, rng, 0.0, 0.5, amount=0.45, scale=2.5, stretch=2.5)
    X, Y = grid(w, h)
    wv = noise(w, h, rng, scale=6, octaves=4, aspect=6.0)
    sea = (Y >= hz)[..., None]
    img *= np.where(sea, 1 + (wv[..., None] - 0.5) * 0.3, 1)
    # rocky headland on the right
    xr = np.linspace(0, 1, w)
    line = h + 20 - (h + 20 - (hz - 90)) * smoothstep(0.22, 0.62, xr) ** 0.7 + 14 * noise1d(w, rng, scale=6)
    rock = noise(w, h, rng, scale=30, octaves=5, pers=0.6)
    img = paint(img, tint(rock, (78, 72, 66), (132, 124, 112)), below(line, h))
    grass = below(line, h) * (1 - below(line + 18 + 10 * noise1d(w, rng, scale=9), h)) * (line[None, :] < hz - 60)
    img = paint(img, tint(rock, (70, 110, 50), (110, 150, 70)), grass)
    rockm = below(line, h)
    surf = noise(w, h, rng, scale=20, octaves=3)
    foam = np.clip(np.maximum(np.roll(rockm, -4, axis=1), np.roll(rockm, -9, axis=1) * surf) - rockm, 0, 1) * (Y > hz + 2)
    ground = float(line[330])
    # tower
    cx, base, top = 330, ground + 6, ground - 230
    m = Mask(w, h)
    m.polygon([(cx - 26, base), (cx + 26, base), (cx + 15, top), (cx - 15, top)])
    tower = m.get()
    shade = np.clip(1.0 - (X - (cx - 26)) / 80.0, 0.55, 1.0)[..., None]
    white = np.asarray((246, 246, 242), np.float32) * shade
    red = np.asarray((200, 40, 36), np.float32) * shade
    band = ((((Y - top) / (base - top)) * 5).astype(np.int32) % 2 == 1)[..., None]
    img = paint(img, np.where(band, red, white), tower)
    m = Mask(w, h)
    m.rect(cx - 22, top - 6, cx + 22, top)            # gallery
    m.rect(cx - 11, top - 34, cx + 11, top - 6)       # lamp room
    m.polygon([(cx - 14, top - 34), (cx + 14, top - 34), (cx, top - 50)])
    img = paint(img, (40, 40, 46), m.get())
    m = Mask(w, h)
    m.rect(cx - 8, top - 31, cx + 8, top - 9)
    img = paint(img, (255, 236, 160), m.get())
    img = paint(img, (240, 248, 250), foam * 0.8)
    # house at the foot of the tower
    m = Mask(w, h)
    m.rect(cx + 24, ground - 24, cx + 80, ground + 6)
    img = paint(img, (236, 232, 222), m.get())
    m = Mask(w, h)
    m.polygon([(cx + 20, ground - 22), (cx + 84, ground - 22), (cx + 52, ground - 44)])
    img = paint(img, (150, 50, 40), m.get())
    save_jpeg(img, "lighthouse.jpg")


def photo_road():
    rng = np.random.default_rng(808)
    w, h = 640, 480
    hz = int(h * 0.46)
    vx = w * 0.52
    img = vgrad(w, h, [(0, (60, 120, 200)), (0.46, (190, 215, 235)), (1, (190, 215, 235))])
    img = sky_clouds(img, rng, 0.0, 0.42, amount=0.5, scale=3, stretch=2.8)
    X, Y = grid(w, h)
    hills = hz - 18 * noise1d(w, rng, scale=3) - 4
    img = paint(img, (110, 140, 150), below(hills, h))
    # fields: stripes converging on the vanishing point
    f = noise(w, h, rng, scale=18, octaves=3)
    ang = np.arctan2(X - vx, np.maximum(Y - hz, 1))
    stripes = (np.floor(ang * 6) % 3)[..., None]
    fields = np.where(stripes == 0, tint(f, (150, 160, 60), (200, 190, 90)),
                      np.where(stripes == 1, tint(f, (70, 120, 40), (100, 150, 60)),
                               tint(f, (120, 140, 50), (160, 170, 80))))
    img = paint(img, fields, (Y >= hz).astype(np.float32))
    # road
    t = np.clip((Y - hz) / (h - hz), 0, 1)
    half = 4 + t * w * 0.42
    dist = np.abs(X - vx)
    road = np.clip(half - dist + 0.5, 0, 1) * (Y >= hz)
    asphalt = noise(w, h, rng, scale=60, octaves=2)
    img = paint(img, tint(asphalt, (70, 72, 76), (100, 102, 104)), road)
    edge = (np.clip(half - dist + 0.5, 0, 1) - np.clip(half * 0.95 - dist + 0.5, 0, 1)) * (Y >= hz)
    img = paint(img, (235, 235, 230), np.clip(edge, 0, 1) * 0.9)
    z = 1.0 / np.maximum(t, 1e-3)
    dashes = ((np.floor(z * 2.0) % 2) == 0) * np.clip(half * 0.025 + 0.3 - dist + 0.5, 0, 1) * (Y > hz + 3)
    img = paint(img, (245, 240, 200), dashes.astype(np.float32))
    # poles along the right side
    m = Mask(w, h)
    for k in range(1, 9):
        tz = 1.0 / (k * 0.9)
        if tz > 1.2:
            continue
        yb = hz + tz * (h - hz) * 0.8
        xb = vx + (0.5 * w) * tz * 1.05
        ph = 150 * tz
        m.rect(xb - max(1, 3 * tz), yb - ph, xb + max(1, 3 * tz), yb)
        m.rect(xb - 14 * tz, yb - ph + 6 * tz, xb + 14 * tz, yb - ph + 9 * tz)
    img = paint(img, (60, 45, 35), m.get())
    save_jpeg(img, "road.jpg")


def crowns(img, rng, n, y0, y1, palette, rmin, rmax):
    h, w, _ = img.shape
    X, Y = grid(w, h)
    tex = noise(w, h, rng, scale=40, octaves=3)
    ys = np.sort(rng.uniform(y0, y1, n))
    for cy in ys:
        cx = rng.uniform(-20, w + 20)
        r = rng.uniform(rmin, rmax) * (0.6 + 0.6 * (cy - y0) / (y1 - y0 + 1e-6))
        col = np.asarray(palette[rng.integers(0, len(palette))], np.float32)
        x0, x1 = int(max(0, cx - r - 2)), int(min(w, cx + r + 2))
        yy0, yy1 = int(max(0, cy - r - 2)), int(min(h, cy + r + 2))
        if x0 >= x1 or yy0 >= yy1:
            continue
        sx, sy = X[yy0:yy1, x0:x1], Y[yy0:yy1, x0:x1]
        d = np.sqrt((sx - cx) ** 2 + ((sy - cy) * 1.15) ** 2) / r
        edge = d + (tex[yy0:yy1, x0:x1] - 0.5) * 0.5
        m = np.clip((1 - edge) * r * 0.5, 0, 1)
        light = np.clip(1.15 - 0.5 * ((sx - cx + r * 0.4) ** 2 + (sy - cy + r * 0.5) ** 2) ** 0.5 / r, 0.55, 1.15)
        c = col * light[..., None] * (0.85 + 0.3 * tex[yy0:yy1, x0:x1])[..., None]
        sub = img[yy0:yy1, x0:x1]
        img[yy0:yy1, x0:x1] = sub * (1 - m[..., None]) + c * m[..., None]
    return img


AUTUMN = [(214, 120, 30), (230, 170, 40), (190, 60, 30), (160, 40, 30), (225, 200, 70),
          (120, 120, 40), (200, 90, 20), (90, 110, 40)]


def photo_fall():
    rng = np.random.default_rng(909)
    w, h = 640, 480
    img = vgrad(w, h, [(0, (70, 130, 205)), (0.35, (175, 205, 232)), (1, (175, 205, 232))])
    img = sky_clouds(img, rng, 0.0, 0.3, amount=0.4, scale=3, stretch=2.5)
    line = h * 0.32 - 40 * noise1d(w, rng, scale=2)
    img = paint(img, (90, 80, 50), below(line, h))
    img = crowns(img, rng, 420, h * 0.22, h * 1.05, AUTUMN, 14, 46)
    save_jpeg(img, "fall.jpg")


def photo_fall4():
    rng = np.random.default_rng(1010)
    w, h = 600, 450
    hz = h * 0.55
    img = vgrad(w, h, [(0, (240, 200, 110)), (0.55, (200, 150, 70)), (1, (150, 80, 30))])
    g = noise(w, h, rng, scale=25, octaves=4)
    X, Y = grid(w, h)
    ground = (Y > hz).astype(np.float32)
    img = paint(img, tint(g, (150, 60, 20), (230, 140, 40)), ground)
    # path towards the light
    t = np.clip((Y - hz) / (h - hz), 0, 1)
    half = 6 + t * 170
    path = np.clip(half - np.abs(X - w * 0.5 - (1 - t) * 20) + 0.5, 0, 1) * ground
    img = paint(img, tint(g, (150, 115, 80), (200, 170, 120)), path * 0.85)
    # trunks: far ones thin and light, near ones thick and dark
    for k in range(26):
        depth = rng.random() ** 1.5
        x = rng.uniform(0, w)
        if abs(x - w * 0.5) < 40 + 200 * depth:
            x += (1 if x > w * 0.5 else -1) * (60 + 200 * depth)
        wd = 3 + 26 * depth
        yb = hz + depth * (h - hz) * 0.9
        m = Mask(w, h)
        m.polygon([(x - wd / 2, yb), (x + wd / 2, yb), (x + wd * 0.35, -10), (x - wd * 0.35, -10)])
        c = np.array((120, 90, 70)) * (1 - depth) + np.array((45, 30, 22)) * depth
        img = paint(img, c, m.get())
    # canopy leaves
    leaves = noise(w, h, rng, scale=14, octaves=5)
    top = (1 - smoothstep(0.15, 0.45, Y / h))
    img = paint(img, tint(leaves, (200, 80, 20), (250, 190, 60)), smoothstep(0.45, 0.7, leaves) * top)
    # falling leaves
    m = Mask(w, h)
    for k in range(40):
        x, y = rng.uniform(0, w), rng.uniform(0, h * 0.8)
        s = rng.uniform(2, 5)
        m.ellipse(x - s, y - s * 0.6, x + s, y + s * 0.6)
    img = paint(img, (235, 120, 30), m.get())
    save_jpeg(img, "fall-4.jpg")


def leaf_shape(cx, cy, r, rot):
    pts = []
    for i in range(200):
        a = 2 * math.pi * i / 200
        lobes = abs(math.cos(2.5 * a))
        rr = r * (0.45 + 0.55 * lobes ** 0.6) * (1 - 0.25 * max(0, math.cos(a)) ** 8)
        # serrated edge
        rr *= 1 + 0.04 * math.sin(a * 40)
        pts.append((cx + rr * math.cos(a + rot), cy + rr * math.sin(a + rot)))
    return pts


def photo_redleaves():
    rng = np.random.default_rng(1111)
    w, h = 640, 480
    img = np.zeros((h, w, 3), np.float32)
    img[:] = (40, 45, 30)
    X, Y = grid(w, h)
    # out-of-focus background
    bg = Mask(w, h, ss=1)
    for k in range(40):
        x, y, r = rng.uniform(0, w), rng.uniform(0, h), rng.uniform(20, 70)
        bg.ellipse(x - r, y - r, x + r, y + r, fill=int(rng.uniform(60, 255)))
    img = paint(img, (110, 120, 60), bg.get(blur=18) * 0.8)
    n = noise(w, h, rng, scale=30, octaves=3)
    for k in range(34):
        cx, cy = rng.uniform(-30, w + 30), rng.uniform(-30, h + 30)
        r = rng.uniform(40, 95)
        rot = rng.uniform(0, 2 * math.pi)
        m = Mask(w, h, ss=2)
        m.polygon(leaf_shape(cx, cy, r, rot))
        mk = m.get()
        base = np.array([rng.uniform(170, 235), rng.uniform(15, 70), rng.uniform(15, 35)], np.float32)
        if rng.random() < 0.2:
            base = np.array((235, 120, 30), np.float32)
        light = np.clip(1.1 - 0.4 * np.sqrt((X - cx + r * 0.3) ** 2 + (Y - cy + r * 0.3) ** 2) / r, 0.6, 1.1)
        col = base[None, None, :] * (light * (0.9 + 0.2 * n))[..., None]
        img = paint(img, col, mk)
        v = Mask(w, h, ss=2)
        for j in range(5):
            a = rot + j * 2 * math.pi / 5 + math.pi / 2 + 0.0
            v.line([(cx, cy), (cx + r * 0.8 * math.cos(a + math.pi), cy + r * 0.8 * math.sin(a + math.pi))], 1.2)
        img = paint(img, base * 0.55, v.get() * mk * 0.8)
    save_jpeg(img, "redleaves.jpg")


def photo_stones():
    rng = np.random.default_rng(1212)
    w, h = 640, 480
    sand = noise(w, h, rng, scale=60, octaves=3)
    img = tint(sand, (70, 62, 52), (110, 100, 86))
    X, Y = grid(w, h)
    tex = noise(w, h, rng, scale=50, octaves=4)
    spots = noise(w, h, rng, scale=20, octaves=3)
    tones = [(150, 146, 140), (120, 110, 100), (180, 170, 150), (95, 92, 92), (160, 130, 105),
             (200, 195, 185), (130, 120, 120)]
    placed = []
    for k in range(900):
        if len(placed) > 120:
            break
        cx, cy = rng.uniform(-20, w + 20), rng.uniform(-20, h + 20)
        rx = rng.uniform(22, 60)
        ry = rx * rng.uniform(0.55, 0.85)
        if any((cx - px) ** 2 / (rx + prx * 0.8) ** 2 + (cy - py) ** 2 / (ry + pry * 0.8) ** 2 < 1
               for px, py, prx, pry in placed):
            continue
        placed.append((cx, cy, rx, ry))
    for cx, cy, rx, ry in sorted(placed, key=lambda p: p[1]):
        rot = rng.uniform(-0.6, 0.6)
        x0, x1 = int(max(0, cx - rx - 3)), int(min(w, cx + rx + 3))
        y0, y1 = int(max(0, cy - rx - 3)), int(min(h, cy + rx + 3))
        if x0 >= x1 or y0 >= y1:
            continue
        sx, sy = X[y0:y1, x0:x1] - cx, Y[y0:y1, x0:x1] - cy
        u = sx * math.cos(rot) + sy * math.sin(rot)
        v = -sx * math.sin(rot) + sy * math.cos(rot)
        d = np.sqrt((u / rx) ** 2 + (v / ry) ** 2)
        m = np.clip((1 - d) * min(rx, ry) * 0.6, 0, 1)
        # light from the upper left, a soft shadow below
        nz = np.sqrt(np.clip(1 - d ** 2, 0, 1))
        light = np.clip(0.35 + 0.75 * (nz * 0.7 - (sx / rx) * 0.25 - (sy / ry) * 0.35), 0.25, 1.25)
        col = np.asarray(tones[rng.integers(0, len(tones))], np.float32)
        c = col * light[..., None] * (0.88 + 0.24 * tex[y0:y1, x0:x1])[..., None]
        c *= (0.92 + 0.1 * smoothstep(0.5, 0.7, spots[y0:y1, x0:x1]))[..., None]
        sub = img[y0:y1, x0:x1]
        sh = np.clip((1 - np.sqrt((u / (rx * 1.08)) ** 2 + ((v - ry * 0.12) / (ry * 1.12)) ** 2)) * 4, 0, 1) * 0.45
        sub *= (1 - sh)[..., None]
        img[y0:y1, x0:x1] = sub * (1 - m[..., None]) + c * m[..., None]
    save_jpeg(img, "stones.jpg")


def photo_branch():
    rng = np.random.default_rng(1313)
    w, h = 480, 640
    img = vgrad(w, h, [(0, (120, 170, 225)), (0.6, (175, 205, 235)), (1, (160, 190, 150))])
    bg = Mask(w, h, ss=1)
    for k in range(30):
        x, y, r = rng.uniform(0, w), rng.uniform(h * 0.5, h), rng.uniform(20, 60)
        bg.ellipse(x - r, y - r, x + r, y + r, fill=int(rng.uniform(80, 255)))
    img = paint(img, (130, 170, 110), bg.get(blur=16) * 0.6)
    wood = Mask(w, h)
    tips = []

    def grow(x, y, ang, length, width, depth):
        pts = [(x, y)]
        for k in range(8):
            ang += rng.normal(0, 0.12)
            x += math.cos(ang) * length / 8
            y += math.sin(ang) * length / 8
            pts.append((x, y))
        wood.line(pts, width)
        if depth == 0 or width < 1.4:
            tips.append((x, y))
            return
        grow(x, y, ang + rng.uniform(-0.3, 0.2), length * 0.7, width * 0.7, depth - 1)
        for j in range(2):
            t = rng.uniform(0.3, 0.8)
            px, py = pts[int(t * 8)]
            side = 1 if j == 0 else -1
            grow(px, py, ang + side * rng.uniform(0.5, 0.9), length * 0.5, width * 0.55, depth - 1)
            tips.append((px, py))

    grow(-10, h * 0.78, -0.75, 330, 15, 4)
    img = paint(img, (62, 48, 42), wood.get())
    petals = Mask(w, h)
    centres = Mask(w, h)
    for (x, y) in tips:
        for k in range(rng.integers(2, 5)):
            bx, by = x + rng.normal(0, 9), y + rng.normal(0, 9)
            s = rng.uniform(4, 8)
            for p in range(5):
                a = p * 2 * math.pi / 5 + rng.uniform(0, 1)
                px, py = bx + math.cos(a) * s * 0.9, by + math.sin(a) * s * 0.9
                petals.ellipse(px - s * 0.7, py - s * 0.7, px + s * 0.7, py + s * 0.7)
            centres.ellipse(bx - s * 0.3, by - s * 0.3, bx + s * 0.3, by + s * 0.3)
    img = paint(img, (250, 205, 220), petals.get())
    img = paint(img, (200, 90, 120), centres.get())
    save_jpeg(img, "branch.jpg")


# ---------------------------------------------------------------- icons

def save_gif(pixels, palette, path, transparent=0):
    """pixels: list of strings, one char per pixel; palette: char -> (r, g, b)."""
    keys = list(palette.keys())
    h, w = len(pixels), len(pixels[0])
    im = Image.new("P", (w, h))
    flat = []
    for k in keys:
        flat.extend(palette[k])
    bits = max(1, (len(keys) - 1).bit_length())
    flat.extend([0] * (3 * (1 << bits) - len(flat)))
    im.putpalette(flat)
    im.putdata([keys.index(ch) for row in pixels for ch in row])
    os.makedirs(os.path.dirname(path), exist_ok=True)
    im.save(path, "GIF", transparency=transparent, optimize=False)
    print("%-40s %dx%d %d bytes" % (os.path.relpath(path, RES), w, h, os.path.getsize(path)))


FILE_ICON = [
    "................",
    "..#########.....",
    "..#wwwwwww##....",
    "..#wwwwwww#g#...",
    "..#wwwwwww#gg#..",
    "..#wwwwwww####..",
    "..#wwllllllww#..",
    "..#wwwwwwwwww#..",
    "..#wwllllllww#..",
    "..#wwwwwwwwww#..",
    "..#wwlllllwww#..",
    "..#wwwwwwwwww#..",
    "..#wwllllllww#..",
    "..#wwwwwwwwww#..",
    "..############..",
    "................",
]

FOLDER_ICON = [
    "................",
    "................",
    ".######.........",
    "#llllll#........",
    "#lllllll#######.",
    "#yyyyyyyyyyyyy#.",
    "#y############d#",
    "#y#lllllllllll#d",
    "#y#yyyyyyyyyyy#d",
    "#y#yyyyyyyyyyy#d",
    "#y#yyyyyyyyyyy#d",
    "#y#yyyyyyyyyyy#d",
    "#y#yyyyyyyyyyy#d",
    "################",
    ".ddddddddddddddd",
    "................",
]


def blue_ball(size=14):
    """A small shaded blue ball with a highlight; returns rows of palette keys."""
    keys = "0123456789"
    rows = []
    c = (size - 1) / 2.0
    for y in range(size):
        row = ""
        for x in range(size):
            dx, dy = (x - c) / (size / 2.0), (y - c) / (size / 2.0)
            d = math.sqrt(dx * dx + dy * dy)
            if d > 1.0:
                row += "."
                continue
            nz = math.sqrt(max(0.0, 1 - d * d))
            light = 0.25 + 0.75 * max(0.0, (-dx * 0.5 - dy * 0.6 + nz * 0.62))
            hl = max(0.0, 1 - math.hypot(dx + 0.35, dy + 0.4) * 3.2)
            level = min(9, int(light * 8 + hl * 6))
            row += keys[level]
        rows.append(row)
    pal = {".": (255, 255, 255)}
    for i, k in enumerate(keys):
        t = i / 9.0
        if t < 0.75:
            s = t / 0.75
            col = (int(10 + 40 * s), int(30 + 100 * s), int(110 + 140 * s))
        else:
            s = (t - 0.75) / 0.25
            col = (int(50 + 200 * s), int(130 + 120 * s), int(250 + 5 * s))
        pal[k] = col
    return rows, pal


def make_icons():
    content = os.path.join(RES, "CONTENT")
    save_gif(FILE_ICON, {".": (255, 255, 255), "#": (64, 72, 88), "w": (255, 255, 255),
                         "g": (200, 206, 216), "l": (120, 140, 180)},
             os.path.join(content, "file.gif"))
    save_gif(FOLDER_ICON, {".": (255, 255, 255), "#": (150, 110, 20), "l": (255, 222, 120),
                           "y": (250, 196, 50), "d": (190, 160, 110)},
             os.path.join(content, "folder.gif"))
    rows, pal = blue_ball(14)
    save_gif(rows, pal, os.path.join(content, "blue-ball-small.gif"))
    save_gif(rows, pal, os.path.join(RES, "BINDAT", "demo", ".pict", "blue-ball-small.gif"))


# ---------------------------------------------------------------- screenshot placeholder

def make_screenshot_placeholder():
    w, h = 320, 240
    im = Image.new("RGB", (w, h), (236, 239, 243))
    d = ImageDraw.Draw(im)
    # a monitor with an empty, crossed-out screen
    d.rounded_rectangle([90, 34, 230, 134], radius=8, fill=(60, 66, 78))
    d.rectangle([100, 44, 220, 122], fill=(188, 196, 208))
    d.line([(100, 44), (220, 122)], fill=(150, 158, 172), width=3)
    d.line([(100, 122), (220, 44)], fill=(150, 158, 172), width=3)
    d.polygon([(145, 134), (175, 134), (182, 152), (138, 152)], fill=(60, 66, 78))
    d.rounded_rectangle([120, 150, 200, 158], radius=3, fill=(60, 66, 78))
    big = ImageFont.truetype(FONT_BOLD, 17)
    small = ImageFont.truetype(FONT, 12)
    for text, font, y, col in (("Screenshot not available", big, 176, (40, 46, 58)),
                               ("The server could not capture its screen.", small, 202, (90, 98, 112)),
                               ("Reload the page to try again.", small, 218, (90, 98, 112))):
        tw = d.textlength(text, font=font)
        d.text(((w - tw) / 2, y), text, font=font, fill=col)
    path = os.path.join(RES, "BINDAT", "ScreenShot", "screenshot.png")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    im.save(path, "PNG", optimize=True)
    print("%-40s %dx%d %d bytes" % (os.path.relpath(path, RES), w, h, os.path.getsize(path)))


def main():
    os.makedirs(ALBUM, exist_ok=True)
    make_icons()
    make_screenshot_placeholder()
    for fn in (photo_branch, photo_cloud, photo_fall4, photo_fall, photo_lake, photo_lighthouse,
               photo_mountains, photo_redleaves, photo_road, photo_sea, photo_stones, photo_sunset,
               photo_white_night):
        fn()
    total = sum(os.path.getsize(os.path.join(ALBUM, f)) for f in os.listdir(ALBUM) if f.endswith(".jpg"))
    print("album total: %d bytes" % total)


if __name__ == "__main__":
    main()
