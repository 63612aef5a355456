"""Reference values of the uniform-disk magnification for tests/cpp/test_witt_mao.cpp.

Every expected value comes from mpmath: the point-source formula for rho <= 0,
and otherwise tests/reference.py's uniform_disk, Witt & Mao's closed form
evaluated from the exact complements 1 - n and 1 - m (checked there against a
quadrature of the point-source magnification over the disk).  Before writing
anything the rows away from the extremes are checked once more against the
same closed form with mpmath's own K, E and Pi of the rounded n and m, at a
working precision raised by 2 log10(s/|d|) next to the rim and 2 |log10(u/rho)|
for the cancellation far from it.

Deterministic.  Run from anywhere:
    python3 tests/reference/make_witt_mao_table.py
writes tests/cpp/data/witt_mao_reference.inc.
"""
import math
import pathlib
import random
import sys

import mpmath as mp

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from reference import point_source, uniform_disk  # noqa: E402

OUT = pathlib.Path(__file__).resolve().parents[1] / "cpp" / "data" / "witt_mao_reference.inc"
RHOS = (1e-6, 1e-4, 1e-2, 0.1, 1.0, 10.0)


def region_of(u, rho):
    """Which accuracy target applies: within half a source radius of the rim and
    inside the source 1e-13, elsewhere 1e-12; the point source to a few ulps."""
    if rho <= 0:
        return "point"
    if abs(u - rho) <= 0.5 * rho:
        return "rim"
    return "inside" if u < rho else "outside"


def truth(u, rho):
    with mp.workdps(40):
        if rho <= 0:
            return point_source(u)
        return uniform_disk(u, rho)


def rounded_closed_form(u, rho):
    """The closed form from n and m themselves, with the digits they lose next to
    the rim and to the cancellation far from it added back."""
    spread = abs(math.log10(u / rho))
    near = abs(u - rho) / (u + rho)
    with mp.workdps(40 + int(2 * spread) + int(2 * max(0.0, -math.log10(near)))):
        u, r = mp.mpf(u), mp.mpf(rho)
        d, s = u - r, u + r
        n = 4 * u * r / (s * s)
        g = mp.sqrt(4 + d * d)
        m = 4 * n / (g * g)
        value = (s * g / (2 * r * r) * mp.ellipe(m)
                 - d * (8 + u * u - r * r) / (2 * r * r * g) * mp.ellipk(m)
                 + 2 * d * d * (1 + r * r) / (r * r * s * g) * mp.ellippi(n, m)) / mp.pi
        return +value


def ulps_away(x, count):
    direction = math.inf if count > 0 else -math.inf
    for _ in range(abs(count)):
        x = math.nextafter(x, direction)
    return x


def cases():
    rows = []

    def add(u, rho, note):
        rows.append((u, rho, note))

    # Point source: rho <= 0, any sign of zero, negative u included.
    for rho in (0.0, -0.0, -0.5, -1e-300):
        for u in (1e-8, 0.3, 1.0, 7.5, 1e6, -0.3):
            add(u, rho, "point source")

    # Lens exactly on the rim, over the whole range of radii.
    for rho in (1e-300, 1e-200, 1e-100, 1e-6, 1e-3, 0.01, 0.1, 0.5, 1.0, 2.0, 10.0, 100.0, 1e100, 1e200, 1e300):
        add(rho, rho, "u == rho")

    # Both sides of the rim, from half a radius down to a single ulp.
    for rho in RHOS + (3.0,):
        for offset in (0.5, 0.3, *(10.0**-k for k in range(1, 13))):
            add(rho * (1 - offset), rho, f"u/rho = 1 - {offset:g}")
            add(rho * (1 + offset), rho, f"u/rho = 1 + {offset:g}")
        for count in (-64, -5, -2, -1, 1, 2, 5, 64):
            add(ulps_away(rho, count), rho, f"{count:+d} ulps from the rim")

    # Inside the source, the centre included with either sign of zero.
    for rho in RHOS:
        add(0.0, rho, "u = 0")
        add(-0.0, rho, "u = -0")
        for ratio in (1e-12, 1e-6, 0.1, 0.4, 0.49):
            add(ratio * rho, rho, f"u/rho = {ratio:g}")

    # Elsewhere over a grid of separations and radii, then at random.
    for rho in (1e-4, 1e-3, 0.01, 0.1, 0.5, 1.0, 3.0, 20.0):
        for l in (1.6, 2.0, 5.0, 30.0, 300.0):
            add(l * rho, rho, "outside grid")
    rng = random.Random(20240611)
    for _ in range(60):
        rho = 10.0 ** rng.uniform(-6, 1)
        l = 10.0 ** rng.uniform(-2, 3)
        add(l * rho, rho, "random")

    # Both sides of the switch to the series near u = 20 rho, and far beyond.
    for rho in RHOS:
        for l in (5.0, 10.0, 15.0, 19.0, 21.0, 25.0, 40.0, 1e3, 1e5, 1e6, 1e8, 1e12):
            add(l * rho, rho, f"l = {l:g}")
        for count in (-1, 0, 1):
            add(ulps_away(20.0 * rho, count), rho, f"u = 20 rho {count:+d} ulp")

    # Extreme magnitudes, and where intermediate squares over- or underflow.
    add(1e200, 1e-10, "u^2 overflows")
    add(1e155, 1e150, "u^2 overflows, l = 1e5")
    add(0.5, 1e-300, "rho^2 underflows")
    add(3e-3, 5e-320, "subnormal rho")
    for rho in (1e-300, 1e-160, 1e-100, 1e100, 1e160, 1e300):
        for ratio in (0.0, 1e-8, 0.5, 1 - 1e-8, 1 + 1e-8, 2.0, 1e8):
            u = ratio * rho
            if u < 1e300:
                add(u, rho, f"u/rho = {ratio:g} at an extreme radius")
    return rows


def hexfloat(x):
    return "-0x0p+0" if x == 0 and math.copysign(1, x) < 0 else float.hex(x)


def check_against_rounded_form(rows):
    worst = mp.mpf(0)
    for u, rho, _ in rows:
        if rho <= 0 or u <= 0 or u == rho or not 1e-7 <= u / rho <= 1e6 or not 1e-7 <= rho <= 100:
            continue
        with mp.workdps(40):
            difference = abs(rounded_closed_form(u, rho) / truth(u, rho) - 1)
        assert difference < mp.mpf(10) ** -30, (u, rho, difference)
        worst = max(worst, difference)
    return worst


def main():
    rows = cases()
    worst = check_against_rounded_form(rows)
    lines = [
        "// Generated by tests/reference/make_witt_mao_table.py; do not edit.",
        "// {u, rho, magnification (mpmath, 40+ digits), region}: inputs as exact doubles.",
    ]
    for u, rho, note in rows:
        value = truth(u, rho)
        lines.append(f"{{{hexfloat(u)}, {hexfloat(rho)}, {mp.nstr(value, 21, min_fixed=0, max_fixed=0)}, "
                     f"Region::{region_of(u, rho)}}},  // u={u!r} rho={rho!r}: {note}")
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text("\n".join(lines) + "\n")
    print(f"wrote {len(rows)} rows to {OUT}; worst difference from the rounded form "
          f"at raised precision: {mp.nstr(worst, 3)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
