#!/usr/bin/env python3
"""Writes audio_fft_tables.cpp: the twiddle factors (each part the float
nearest to the exact value), the leaf positions of the first FFT pass and
the schedule of combine passes of the 256-point transform."""
import sys
import mpmath

mpmath.mp.prec = 200


def nearest_float(x):
    with mpmath.workprec(24):
        y = +x
    return float(y)


def twiddle(k, n):
    a = 2 * mpmath.pi * k / n
    return nearest_float(mpmath.cos(a)), -nearest_float(mpmath.sin(a))


def lit(v):
    if v == 0.0:
        return "-0.0f" if str(v).startswith("-") else "0.0f"
    return float.hex(v) + "f"


twiddles = [(0.0, 0.0)] * 1024
n = 4
while n <= 2048:
    for k in range(n // 4):
        twiddles[n // 4 + k] = twiddle(k, n)
    n *= 2
long_twiddles = [twiddle(k, 4096) for k in range(512)] + [twiddle(k, 8192) for k in range(1024)]

positions = [0] * 1024
n = 4
while n <= 2048:
    e = n // 4
    f = n // 12 + 1
    pos = [None] * e
    kind = [None] * e

    def walk(size, p, s, t):
        if size == 4:
            assert t == e
            a = s if s >= 0 else s + e
            assert 0 <= a < e and pos[a] is None
            pos[a] = p
            kind[a] = 4
        elif size == 8:
            walk(4, p, s, 2 * t)
            a = s + t
            assert 0 <= a < e and pos[a] is None
            pos[a] = p + 4
            kind[a] = 2
        else:
            walk(size // 2, p, s, 2 * t)
            walk(size // 4, p + size // 2, s + t, 4 * t)
            walk(size // 4, p + 3 * size // 4, s - t, 4 * t)

    walk(n, 0, 0, 1)
    for a in range(e):
        assert pos[a] is not None
        assert (kind[a] == 4) == (a < f or a >= e - f + 1), (n, a)
        positions[e + a] = pos[a]
    n *= 2

schedule = []


def post(size, p):
    if size < 8:
        return
    if size > 8:
        post(size // 2, p)
        post(size // 4, p + size // 2)
        post(size // 4, p + 3 * size // 4)
    schedule.append((p, size // 4))


post(256, 0)
assert len(schedule) == 42, len(schedule)

out = []
out.append("// Constant tables of the audio FFT, written by make_fft_tables.py.")
out.append('#include "audio/codec/audio_transform.h"')
out.append("")
out.append("alignas(64) const float FFT_TWIDDLES[2048] = {")
for re, im in twiddles:
    out.append("    %s, %s," % (lit(re), lit(im)))
out.append("};")
out.append("")
out.append("alignas(64) const float FFT_TWIDDLES_LONG[3072] = {")
for re, im in long_twiddles:
    out.append("    %s, %s," % (lit(re), lit(im)))
out.append("};")
out.append("")
out.append("alignas(64) const uint16_t FFT_LEAF_POSITIONS[1024] = {")
for i in range(0, 1024, 16):
    out.append("    " + " ".join("%d," % v for v in positions[i:i + 16]))
out.append("};")
out.append("")
out.append("const uint16_t FFT_PASS_SCHEDULE[84] = {")
for i in range(0, 42, 6):
    out.append("    " + " ".join("%d, %d," % e for e in schedule[i:i + 6]))
out.append("};")
sys.stdout.write("\n".join(out) + "\n")
