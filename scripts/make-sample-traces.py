#!/usr/bin/env python3
"""Generates the sample traces in examples/: made-up signatures, written the way a touch
screen reports them. Deterministic: the same script always writes the same files, so
`--check` can tell whether the committed traces are current.

    scripts/make-sample-traces.py            # rewrite examples/*.json
    scripts/make-sample-traces.py --check    # exit 1 if a committed trace differs

Each stroke is a Catmull-Rom curve through a few control points, travelled with a
minimum-jerk speed profile (slow at touch-down and lift-off, fastest in the middle), sampled at
the digitiser's rate and delivered in display-rate events that carry the samples taken since
the previous event as coalesced touches, the newest last (the event's own touch).
"""

import argparse
import json
import math
import pathlib
import random
import sys

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def catmull_rom(points, steps=24):
    """A dense polyline through `points` (uniform Catmull-Rom, end points doubled)."""
    pts = [points[0]] + list(points) + [points[-1]]
    out = []
    for i in range(1, len(pts) - 2):
        p0, p1, p2, p3 = pts[i - 1], pts[i], pts[i + 1], pts[i + 2]
        for s in range(steps):
            t = s / steps
            t2, t3 = t * t, t * t * t
            out.append(tuple(
                0.5 * ((2 * p1[k]) + (-p0[k] + p2[k]) * t + (2 * p0[k] - 5 * p1[k] + 4 * p2[k] - p3[k]) * t2
                       + (-p0[k] + 3 * p1[k] - 3 * p2[k] + p3[k]) * t3)
                for k in (0, 1)))
    out.append(tuple(points[-1]))
    return out


def along(polyline, fraction):
    """The point at `fraction` of the polyline's length."""
    lengths = [0.0]
    for a, b in zip(polyline, polyline[1:]):
        lengths.append(lengths[-1] + math.dist(a, b))
    target = fraction * lengths[-1]
    for i in range(1, len(lengths)):
        if lengths[i] >= target:
            span = lengths[i] - lengths[i - 1]
            f = 0.0 if span == 0 else (target - lengths[i - 1]) / span
            a, b = polyline[i - 1], polyline[i]
            return (a[0] + (b[0] - a[0]) * f, a[1] + (b[1] - a[1]) * f)
    return polyline[-1]


def polyline_length(polyline):
    return sum(math.dist(a, b) for a, b in zip(polyline, polyline[1:]))


def min_jerk(tau):
    return 10 * tau ** 3 - 15 * tau ** 4 + 6 * tau ** 5


class Writer:
    """Collects the events of one trace on one clock."""

    def __init__(self, rng, rate, per_event, kind, origin=(0.0, 0.0)):
        self.rng = rng
        self.rate = rate            # digitiser samples per second
        self.per_event = per_event  # coalesced samples per delivered event
        self.kind = kind            # "finger" or "stylus"
        self.origin = origin        # the pad's frame origin in the controller's view
        self.events = []

    def touch(self, t, x, y, force):
        touch = {"t": round(t, 6), "x": round(x + self.origin[0], 2),
                 "y": round(y + self.origin[1], 2)}
        if self.kind == "stylus":
            touch["force"] = round(force, 3)
            touch["type"] = self.kind
        return touch

    def force(self, tau):
        if self.kind != "stylus":
            return 0.0  # a finger on a screen without force sensing
        # Pressure builds up after touch-down, wavers while writing and eases off at lift-off.
        f = 0.35 + 1.45 * math.sin(math.pi * tau) ** 0.6 + 0.18 * math.sin(9.0 * tau + 1.3)
        return min(3.9, max(0.05, f + self.rng.uniform(-0.04, 0.04)))

    def stroke(self, start, controls, speed):
        """One stroke from `start` seconds through `controls` at about `speed` points per
        second; returns the time of its touch-up."""
        path = catmull_rom(controls)
        # The digitiser samples at a fixed rate, so the stroke lasts a whole number of periods.
        n = max(2, round(max(0.12, polyline_length(path) / speed) * self.rate))
        samples = []
        for i in range(n + 1):
            tau = i / n
            x, y = along(path, min_jerk(tau))
            jitter = 0.25 if self.kind == "finger" else 0.08
            samples.append((start + i / self.rate, x + self.rng.uniform(-jitter, jitter),
                            y + self.rng.uniform(-jitter, jitter), self.force(tau)))
        first = samples[0]
        self.events.append({"type": "began", "touches": [self.touch(*first)]})
        rest = samples[1:]
        for i in range(0, len(rest), self.per_event):
            batch = [self.touch(*s) for s in rest[i:i + self.per_event]]
            self.events.append({"type": "moved", "touches": [batch[-1]], "coalesced": batch})
        last = samples[-1]
        up = last[0] + 1.0 / self.rate
        self.events.append({"type": "ended", "touches": [self.touch(up, last[1], last[2], last[3])]})
        return up

    def tap(self, start, x, y, hold=0.07):
        down_force = self.force(0.5) if self.kind == "stylus" else 0.0
        self.events.append({"type": "began", "touches": [self.touch(start, x, y, down_force)]})
        up = start + hold
        self.events.append({"type": "ended", "touches": [self.touch(up, x + 0.3, y - 0.2, down_force * 0.6)]})
        return up

    def host(self, kind, **fields):
        self.events.append(dict({"type": kind}, **fields))


def finger_signature():
    rng = random.Random(20240611)
    w = Writer(rng, rate=120, per_event=2, kind="finger", origin=(10.0, 96.0))
    t = 0.40
    # A stray start, undone by the host's undo button.
    t = w.stroke(t, [(30, 120), (60, 100), (70, 118)], speed=380)
    w.host("wait", seconds=0.35)
    t += 0.35
    w.host("undo")
    t += 0.30
    # Looping cursive: a capital with a loop, then a run of small loops (a prolate cycloid).
    t = w.stroke(t, [(28, 104), (40, 40), (52, 30), (58, 58), (44, 96), (36, 80), (70, 70)], speed=420)
    t += 0.18
    loops = []
    for i in range(29):
        u = i / 28
        loops.append((72 + 120 * u - 9 * math.sin(2 * math.pi * 4 * u),
                      82 - 16 * (0.5 - 0.5 * math.cos(2 * math.pi * 4 * u))))
    t = w.stroke(t, loops, speed=520)
    t += 0.22
    # A tall letter with a descender.
    t = w.stroke(t, [(200, 96), (212, 36), (222, 28), (218, 70), (210, 128), (196, 136), (190, 120), (230, 84)], speed=460)
    t += 0.25
    # The i's dot: a tap, which the controller completes to a dot.
    t = w.tap(t, 214, 50)
    t += 0.31
    # Underline flourish, fast.
    t = w.stroke(t, [(24, 120), (90, 126), (170, 122), (250, 112), (284, 100)], speed=780)
    # Lift off and leave the pad alone: the smoothing redraw falls due.
    w.host("wait", seconds=1.5)
    return {
        "version": 1,
        "description": "A finger signature on a phone: 120 Hz touches in 60 Hz events (2 coalesced), "
                       "no force sensing, a stroke undone, a dot, smoothing after the pause.",
        "pad": {"width": 300, "height": 150, "x": 10, "y": 96},
        "device": "phone",
        "orientation": "portrait",
        "config": {"smoothing": True, "smoothingDelay": 0.6, "lineWidth": 3.0,
                   "lineColor": "#1a2a8c", "backgroundColor": "white", "MinSigPoints": 12},
        "events": w.events,
    }


def stylus_signature():
    rng = random.Random(19870302)
    w = Writer(rng, rate=240, per_event=4, kind="stylus")
    t = 0.25
    # "M" in one stroke, with a lead-in.
    t = w.stroke(t, [(40, 190), (52, 80), (64, 60), (88, 160), (112, 64), (128, 70), (138, 196)], speed=300)
    t += 0.28
    # Lower-case letters joined: a few arches and a loop.
    arches = []
    for i in range(41):
        u = i / 40
        arches.append((150 + 200 * u + 10 * math.sin(2 * math.pi * 5 * u),
                       180 - 50 * abs(math.sin(math.pi * 5 * u)) - 6 * u))
    t = w.stroke(t, arches, speed=360)
    t += 0.20
    # A cross bar, quick and light.
    t = w.stroke(t, [(260, 120), (300, 116), (336, 118)], speed=420)
    t += 0.34
    # A long final letter running off the right of the pad (positions beyond the pad are kept).
    t = w.stroke(t, [(380, 190), (400, 60), (430, 40), (440, 120), (470, 200), (520, 170), (590, 120), (612, 100)], speed=340)
    t += 0.27
    # A full stop.
    t = w.tap(t, 540, 204, hold=0.05)
    w.host("wait", seconds=1.2)
    return {
        "version": 1,
        "description": "A stylus signature on a tablet in landscape: 240 Hz with pressure in 60 Hz events "
                       "(4 coalesced), one stroke leaving the pad, a full stop.",
        "pad": {"width": 600, "height": 250},
        "device": "pad",
        "orientation": "landscapeLeft",
        "config": {"smoothing": True, "smoothingDelay": 1.0, "lineWidth": 2.5,
                   "lineColor": "blue", "backgroundColor": {"red": 0.98, "green": 0.97, "blue": 0.92},
                   "MinSigPoints": 12},
        "events": w.events,
    }


def render(trace):
    """JSON with one event per line: readable in a diff, compact on disk."""
    head = {k: v for k, v in trace.items() if k != "events"}
    lines = ["{"]
    for key, value in head.items():
        lines.append(f"  {json.dumps(key)}: {json.dumps(value)},")
    lines.append('  "events": [')
    events = [f"    {json.dumps(e, separators=(', ', ': '))}" for e in trace["events"]]
    lines.append(",\n".join(events))
    lines.append("  ]")
    lines.append("}")
    return "\n".join(lines) + "\n"


TRACES = {
    "finger-signature.json": finger_signature,
    "stylus-signature.json": stylus_signature,
}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="compare instead of writing")
    parser.add_argument("--out", type=pathlib.Path, default=EXAMPLES, help="folder to write")
    args = parser.parse_args()
    stale = []
    for name, make in TRACES.items():
        text = render(make())
        path = args.out / name
        if args.check:
            if not path.exists() or path.read_text() != text:
                stale.append(str(path))
        else:
            args.out.mkdir(parents=True, exist_ok=True)
            path.write_text(text)
            print(f"wrote {path}")
    if stale:
        print("out of date (run scripts/make-sample-traces.py): " + ", ".join(stale), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
