#!/usr/bin/env python3
"""Writes the factory sets of grooves/ as "vm-groove/1.0" documents.

Each set is complete (every track's sound, all eight patterns, the effects and
a song chain), so loading it replaces the whole set of an instance, as an
import of a saved set does. Empty steps are written as {} (the reader's
default step) to keep the files small. Run from anywhere:

    python3 grooves/make_grooves.py
"""
import json
import os

KEYS = ["kick", "bass", "hoover", "break", "hat", "stab"]
PARAMS = ["tune", "pitchAmt", "pitchDec", "click", "tone", "cut", "res", "env", "decay", "drive",
          "level", "detune", "slide", "slideT", "pitch", "gate", "open", "chord", "delaySend", "reverbSend"]
# A fresh engine's sound per track, so that a set only names what it changes.
DEFAULT = {
    "tune": [100] * 6, "pitchAmt": [6] * 6, "pitchDec": [0.06] * 6, "click": [0.4] * 6,
    "tone": [3000] * 6, "cut": [400, 400, 1800, 12000, 8000, 1200], "res": [6, 6, 3, 6, 6, 6],
    "env": [0.5] * 6, "decay": [0.35, 0.25, 0.5, 0.35, 0.05, 0.2], "drive": [0.6, 0.3, 0.3, 0.6, 0.6, 0.6],
    "level": [0.9, 0.7, 0.6, 0.8, 0.5, 0.5], "detune": [22] * 6, "slide": [12] * 6, "slideT": [0.25] * 6,
    "pitch": [0] * 6, "gate": [1] * 6, "open": [0] * 6, "chord": [3] * 6, "delaySend": [0] * 6,
    "reverbSend": [0] * 6,
}
KICK, BASS, HOOVER, BREAK, HAT, STAB = range(6)


class Groove:
    def __init__(self, key, name, bpm, swing=0, length=16, drive=0.15, level=0.85,
                 delay=(0.375, 0.4), reverb=0.8):
        self.key, self.name, self.bpm, self.swing, self.len = key, name, bpm, swing, length
        self.drive, self.level = drive, level
        self.delay, self.reverb = delay, reverb
        self.p = [{k: DEFAULT[k][t] for k in PARAMS} for t in range(6)]
        self.square = [False] * 6
        self.pats = [[[None] * 64 for _ in range(6)] for _ in range(8)]
        self.song = [(0, 1)]

    def sound(self, track, square=None, **values):
        for k, v in values.items():
            assert k in PARAMS, k
            self.p[track][k] = v
        if square is not None:
            self.square[track] = square

    def hit(self, pat, track, step, note=0, acc=0, rat=1, slice=0, rev=0):
        s = {"on": 1}
        if acc: s["acc"] = 1
        if note: s["note"] = note
        if rat != 1: s["rat"] = rat
        if slice: s["slice"] = slice
        if rev: s["rev"] = 1
        self.pats[pat][track][step] = s

    def hits(self, pat, track, steps, **kw):
        for st in steps:
            self.hit(pat, track, st, **kw)

    def copy(self, src, dst):
        self.pats[dst] = [[None if s is None else dict(s) for s in row] for row in self.pats[src]]

    def text(self):
        out = ['{"format":"vm-groove/1.0",', '"name":%s,' % json.dumps(self.name, ensure_ascii=False)]
        out.append('"bpm":%g,"swing":%g,"len":%d,' % (self.bpm, self.swing, self.len))
        out.append('"master":{"drive":%g,"level":%g},' % (self.drive, self.level))
        out.append('"tracks":[')
        for t in range(6):
            vals = ",".join('"%s":%g' % (k, self.p[t][k]) for k in PARAMS)
            wave = "square" if self.square[t] else "saw"
            out.append(' {"key":"%s","mute":false,"p":{%s,"wave":"%s"}}%s'
                       % (KEYS[t], vals, wave, "," if t < 5 else ""))
        out.append('],"pats":[')
        for pi, pat in enumerate(self.pats):
            out.append(' [')
            for t, row in enumerate(pat):
                steps = ",".join("{}" if s is None else json.dumps(s, separators=(",", ":")) for s in row)
                out.append('  [%s]%s' % (steps, "," if t < 5 else ""))
            out.append(' ]%s' % ("," if pi < 7 else ""))
        out.append('],"fx":{"delayTime":%g,"delayFb":%g,"reverbSize":%g},'
                   % (self.delay[0], self.delay[1], self.reverb))
        out.append('"song":[%s],"chain":false}' % ",".join('{"pat":%d,"rep":%d}' % e for e in self.song))
        return "\n".join(out) + "\n"


def beat(bpm, sixteenths):
    """A delay time of so many sixteenths at bpm, in seconds."""
    return round(60.0 / bpm / 4.0 * sixteenths, 4)


def gabber():
    g = Groove("gabber-hoover", "Gabber-Hoover", 190, drive=0.25, level=0.7, delay=(beat(190, 3), 0.35), reverb=0.5)
    g.sound(KICK, tune=100, pitchAmt=9, pitchDec=0.08, click=0.8, drive=0.95, decay=0.45, level=0.9)
    g.sound(HOOVER, decay=0.2, slide=12, slideT=0.08, cut=2200, drive=0.5, detune=30, level=0.5,
            delaySend=0.15, reverbSend=0.2)
    g.sound(HAT, decay=0.05, level=0.45)
    g.sound(BASS, square=True, cut=300, decay=0.12, drive=0.6, level=0.5)
    riff = [(0, 0, 1), (3, 0, 0), (6, 3, 0), (10, -2, 0), (12, 5, 1), (14, 3, 0)]
    for pat, up in ((0, 0), (1, 5)):
        g.hits(pat, KICK, [0, 4, 8, 12])
        g.hit(pat, KICK, 0, acc=1)
        for st, n, a in riff:
            g.hit(pat, HOOVER, st, note=n + up, acc=a)
        g.hits(pat, HAT, [2, 6, 10, 14], acc=1)
        g.hits(pat, BASS, [2, 6, 10, 14], note=up)
    g.hit(1, KICK, 14, rat=2)
    g.hit(1, KICK, 15, rat=3, acc=1)
    g.song = [(0, 3), (1, 1)]
    return g


def breakcore():
    g = Groove("breakcore-rueckwaerts", "Breakcore r\u00fcckw\u00e4rts", 200, drive=0.2,
               delay=(beat(200, 3), 0.45), reverb=0.6)
    g.sound(BREAK, level=0.85, gate=1, delaySend=0.12, reverbSend=0.1)
    g.sound(KICK, pitchAmt=8, decay=0.3, drive=0.8, click=0.6)
    g.sound(BASS, cut=180, env=0.2, decay=0.4, drive=0.4, level=0.6)
    g.sound(STAB, chord=5, cut=1500, decay=0.25, delaySend=0.4, reverbSend=0.3, level=0.45)
    a = [(0, 0, 1, 1, 0), (1, 1, 0, 1, 0), (2, 2, 0, 1, 0), (3, 3, 0, 1, 0), (4, 4, 1, 1, 0), (5, 5, 0, 1, 0),
         (6, 2, 0, 1, 1), (7, 7, 0, 2, 0), (8, 8, 1, 1, 0), (9, 9, 0, 1, 0), (10, 10, 0, 1, 0), (11, 3, 0, 1, 1),
         (12, 12, 1, 1, 0), (13, 5, 0, 1, 1), (14, 14, 0, 3, 0), (15, 15, 1, 4, 0)]
    for st, sl, acc, rat, rev in a:
        g.hit(0, BREAK, st, slice=sl, acc=acc, rat=rat, rev=rev)
    b = [(0, 0, 1, 1, 0), (1, 0, 0, 2, 0), (2, 4, 0, 1, 1), (3, 3, 0, 1, 0), (4, 4, 1, 4, 0), (5, 13, 0, 1, 1),
         (6, 6, 0, 1, 0), (7, 12, 0, 3, 1), (8, 8, 1, 1, 0), (9, 9, 0, 2, 0), (10, 4, 0, 1, 1), (11, 11, 0, 1, 0),
         (12, 12, 1, 2, 1), (13, 12, 0, 2, 1), (14, 12, 0, 4, 1), (15, 15, 1, 6, 0)]
    for st, sl, acc, rat, rev in b:
        g.hit(1, BREAK, st, slice=sl, acc=acc, rat=rat, rev=rev)
    for pat in (0, 1):
        g.hits(pat, KICK, [0, 6, 10], acc=1)
        g.hit(pat, BASS, 0, note=0, acc=1)
        g.hit(pat, BASS, 10, note=-2)
    g.hit(0, STAB, 12, note=0)
    g.hit(1, STAB, 4, note=-2)
    g.hit(1, STAB, 12, note=3, acc=1)
    g.song = [(0, 2), (1, 1), (0, 1)]
    return g


def industrial():
    g = Groove("industrial-140", "Industrial 140", 140, swing=8, drive=0.35, level=0.65, delay=(beat(140, 3), 0.5), reverb=0.9)
    g.sound(KICK, tune=80, pitchAmt=4, pitchDec=0.1, click=0.2, decay=0.8, drive=0.7, level=0.9, reverbSend=0.1)
    g.sound(BASS, square=True, cut=250, env=1.0, decay=0.3, drive=0.5, level=0.6)
    g.sound(HAT, decay=0.08, open=1, level=0.4, reverbSend=0.4)
    g.sound(STAB, chord=6, cut=700, res=4, decay=0.6, level=0.5, delaySend=0.3, reverbSend=0.6)
    g.sound(BREAK, pitch=-5, level=0.6, gate=0.8, reverbSend=0.35)
    for pat in (0, 1):
        g.hits(pat, KICK, [0, 8, 11])
        g.hit(pat, KICK, 0, acc=1)
        for st, n in ((0, 0), (3, 0), (8, -5), (11, -5), (14, -2)):
            g.hit(pat, BASS, st, note=n)
        g.hits(pat, HAT, [4, 12])
        g.hits(pat, BREAK, [4, 12], slice=4, acc=1)
    g.hit(0, STAB, 6, note=0)
    g.hit(1, STAB, 6, note=-3)
    g.hit(1, STAB, 14, note=-1, acc=1)
    g.hit(1, BREAK, 15, slice=4, rat=2)
    g.song = [(0, 2), (1, 2)]
    return g


def kettenlauf():
    g = Groove("kettenlauf", "Kettenlauf", 175, drive=0.2, level=0.75, delay=(beat(175, 3), 0.4), reverb=0.7)
    g.sound(KICK, pitchAmt=8, decay=0.4, drive=0.85, click=0.6)
    g.sound(BASS, cut=320, env=0.8, decay=0.15, drive=0.5, level=0.6)
    g.sound(HOOVER, decay=0.45, slide=7, slideT=0.15, cut=1600, detune=35, level=0.45, reverbSend=0.3)
    g.sound(HAT, decay=0.04, level=0.45)
    g.sound(STAB, chord=4, cut=1400, decay=0.3, delaySend=0.35, level=0.45)
    g.sound(BREAK, level=0.7, delaySend=0.1)
    for pat in range(4):
        g.hits(pat, KICK, [0, 4, 8, 12])
        g.hit(pat, KICK, 0, acc=1)
        g.hits(pat, HAT, [2, 6, 10, 14], acc=1)
    # Part 2: the rolling bass joins.
    for pat in (1, 2, 3):
        for st in (2, 3, 6, 7, 10, 11, 14, 15):
            g.hit(pat, BASS, st, note=0 if st % 4 == 2 else 12, acc=1 if st % 4 == 2 else 0)
    # Part 3: the hoover riff on top.
    for st, n in ((0, 0), (4, 3), (8, -2), (11, 0), (14, 5)):
        g.hit(2, HOOVER, st, note=n, acc=1 if st == 0 else 0)
    # Part 4: break and stabs, the kick drops out on the last beat.
    for st in range(16):
        g.hit(3, BREAK, st, slice=st if st < 12 else 12, rat=2 if st >= 14 else 1, acc=1 if st % 4 == 0 else 0)
    g.hits(3, STAB, [3, 7, 11], note=0)
    g.pats[3][KICK][12] = None
    g.song = [(0, 2), (1, 2), (2, 2), (3, 1)]
    return g


def terror():
    g = Groove("terror-220", "Terror 220", 220, drive=0.4, level=0.55, delay=(beat(220, 2), 0.3), reverb=0.4)
    g.sound(KICK, tune=110, pitchAmt=10, pitchDec=0.05, click=1.0, decay=0.22, drive=1.0, level=0.9)
    g.sound(HAT, decay=0.03, level=0.4)
    g.sound(STAB, chord=1, cut=2500, res=8, decay=0.15, level=0.4, delaySend=0.2)
    g.sound(HOOVER, decay=0.12, slide=24, slideT=0.05, cut=3000, drive=0.7, level=0.4)
    for pat in (0, 1):
        g.hits(pat, KICK, [0, 2, 4, 6, 8, 10, 12, 14])
        g.hits(pat, KICK, [0, 8], acc=1)
        g.hits(pat, HAT, range(1, 16, 2))
        g.hits(pat, HAT, [3, 7, 11, 15], acc=1)
        g.hits(pat, STAB, [3, 11], note=0)
    g.hit(1, KICK, 14, rat=3, acc=1)
    g.hit(1, KICK, 15, rat=4)
    g.hits(1, HOOVER, [0, 6], note=0, acc=1)
    g.hit(1, HOOVER, 12, note=1)
    g.song = [(0, 3), (1, 1)]
    return g


def rave():
    g = Groove("rave-stab-165", "Rave-Stab 165", 165, swing=12, drive=0.15, delay=(beat(165, 3), 0.45), reverb=0.75)
    g.sound(BREAK, level=0.8, reverbSend=0.1)
    g.sound(STAB, chord=4, cut=1800, res=5, decay=0.35, level=0.5, delaySend=0.3, reverbSend=0.35)
    g.sound(BASS, cut=220, env=0.3, decay=0.35, drive=0.3, level=0.65)
    g.sound(KICK, pitchAmt=6, decay=0.35, drive=0.5, level=0.8)
    g.sound(HOOVER, decay=0.8, slide=12, slideT=0.3, cut=1500, level=0.4, reverbSend=0.4)
    order = [0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 2, 3, 12, 13, 6, 7]
    for pat in (0, 1):
        for st, sl in enumerate(order):
            g.hit(pat, BREAK, st, slice=sl, acc=1 if st % 4 == 0 else 0)
        g.hits(pat, KICK, [0, 10])
        g.hit(pat, BASS, 0, note=0, acc=1)
        g.hit(pat, BASS, 10, note=5)
    for st, n in ((2, 0), (5, 0), (10, 5), (13, 3)):
        g.hit(0, STAB, st, note=n)
    for st, n in ((2, 7), (5, 7), (10, 5), (13, 3)):
        g.hit(1, STAB, st, note=n, acc=1 if st == 2 else 0)
    g.hit(1, HOOVER, 0, note=0, acc=1)
    g.song = [(0, 2), (1, 2)]
    return g


def frenchcore():
    g = Groove("frenchcore-200", "Frenchcore 200", 200, drive=0.3, level=0.65, delay=(beat(200, 3), 0.35), reverb=0.6)
    g.sound(KICK, tune=95, pitchAmt=7, pitchDec=0.07, click=0.7, decay=0.6, drive=0.9, level=0.85)
    g.sound(BASS, square=True, cut=450, res=8, env=1.2, decay=0.09, drive=0.7, level=0.55)
    g.sound(HOOVER, decay=0.3, slide=5, slideT=0.1, cut=2500, detune=28, level=0.45, delaySend=0.2, reverbSend=0.3)
    g.sound(HAT, decay=0.05, level=0.4)
    for pat in (0, 1):
        g.hits(pat, KICK, [0, 4, 8, 12], acc=1)
        for st in (1, 2, 3, 5, 6, 7, 9, 10, 11, 13, 14, 15):
            g.hit(pat, BASS, st, note=-12 if st % 4 == 1 else 0)
        g.hits(pat, HAT, [2, 6, 10, 14])
    melody0 = ((0, 0), (2, 3), (4, 7), (6, 3), (8, 5), (10, 3), (12, 2), (14, -2))
    melody1 = ((0, 0), (2, 3), (4, 7), (6, 10), (8, 8), (10, 7), (12, 5), (14, 3))
    for st, n in melody0:
        g.hit(0, HOOVER, st, note=n, acc=1 if st % 8 == 0 else 0)
    for st, n in melody1:
        g.hit(1, HOOVER, st, note=n, acc=1 if st % 8 == 0 else 0)
    g.song = [(0, 2), (1, 2)]
    return g


def doomcore():
    g = Groove("doomcore-120", "Doomcore 120", 120, length=32, drive=0.3, level=0.7,
               delay=(beat(120, 6), 0.55), reverb=1.0)
    g.sound(KICK, tune=70, pitchAmt=5, pitchDec=0.15, click=0.3, decay=1.2, drive=0.8, level=0.9, reverbSend=0.15)
    g.sound(STAB, chord=3, cut=500, res=3, decay=1.0, level=0.5, delaySend=0.35, reverbSend=0.7)
    g.sound(HAT, decay=0.1, open=1, level=0.3, reverbSend=0.5)
    g.sound(HOOVER, decay=1.6, slide=-12, slideT=0.8, cut=900, detune=40, level=0.4, reverbSend=0.6)
    g.sound(BREAK, pitch=-12, level=0.55, gate=1.5, reverbSend=0.5)
    g.hits(0, KICK, [0, 8, 16, 24, 27])
    g.hits(0, KICK, [0, 16], acc=1)
    g.hits(0, HAT, [12, 28])
    g.hit(0, STAB, 4, note=0)
    g.hit(0, STAB, 20, note=-4)
    g.hits(0, BREAK, [8, 24], slice=4)
    g.hit(0, HOOVER, 0, note=0)
    g.hit(0, HOOVER, 16, note=-5)
    g.song = [(0, 1)]
    return g


SETS = [gabber, breakcore, industrial, kettenlauf, terror, rave, frenchcore, doomcore]

if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    for make in SETS:
        g = make()
        with open(os.path.join(here, g.key + ".json"), "w", encoding="utf-8") as f:
            f.write(g.text())
        print(g.key, g.name, g.bpm)
