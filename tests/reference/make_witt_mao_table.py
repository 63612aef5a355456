"""Reference values of the uniform-disk magnification for tests/cpp/test_witt_mao.cpp.

Every expected value comes from mpmath at 40 digits or more: the point-source
formula, the exact limit for a lens on the source's rim, or Witt & Mao's closed
form with mpmath's own elliptic integrals (parameter m = k^2), evaluated on the
exact double inputs.  The closed form cancels like (u/rho)^2 and near the rim,
so the working precision grows with both.  Before writing anything the closed
form is checked against a direct quadrature of the point-source magnification
over the disk, so the table does not rest on the formula alone.

Deterministic.  Run from anywhere:
    python3 tests/reference/make_witt_mao_table.py
writes tests/cpp/data/witt_mao_reference.inc and prints how far the value
returned inside the coincidence band lies from the true magnification.
"""
import math
import pathlib
import random
import sys

import mpmath as mp

OUT = pathlib.Path(__file__).resolve().parents[1] / "cpp" / "data" / "witt_mao_reference.inc"
FAR_RATIO = 1000.0  # the kernel's switch to the series: u > 1000 rho


def tolerance(rho):
    """The coincidence half-width, as the kernel computes it in doubles."""
    relative = 0.001 * abs(rho)
    return relative if relative > 1e-5 else 1e-5


def in_band(u, rho):
    return abs(u - rho) < tolerance(rho)


def point_source(u):
    u = mp.mpf(u)
    return (u * u + 2) / (u * mp.sqrt(u * u + 4))


def rim(rho):
    """Magnification with the lens exactly on the rim (limit u -> rho of the closed form)."""
    r = mp.mpf(rho)
    return (((1 + r * r) / (r * r)) * (mp.asin((r * r - 1) / (1 + r * r)) + mp.pi / 2) + 2 / r) / mp.pi


def closed_form(u, rho):
    """Witt & Mao's closed form for u >= 0, rho > 0, u != rho."""
    spread = abs(math.log10(u) - math.log10(rho)) if u > 0 else 0.0
    near = abs(u - rho) / (u + rho)
    digits = 40 + int(2 * spread) + int(2 * max(0.0, -math.log10(near)))
    with mp.workdps(digits):
        u = mp.mpf(u)
        r = mp.mpf(rho)
        d = u - r
        s = u + r
        n = 4 * u * r / (s * s)
        g = mp.sqrt(4 + d * d)
        m = 4 * n / (g * g)
        value = (s * g / (2 * r * r) * mp.ellipe(m)
                 - d * (8 + u * u - r * r) / (2 * r * r * g) * mp.ellipk(m)
                 + 2 * d * d * (1 + r * r) / (r * r * s * g) * mp.ellippi(n, m)) / mp.pi
        return +value


def disk_mean_quadrature(u, rho):
    """Point-source magnification averaged over the disk, in annuli about the lens."""
    u = mp.mpf(u)
    rho = mp.mpf(rho)

    def integrand(r):
        c = (r * r + u * u - rho * rho) / (2 * r * u)
        arc = 2 * mp.pi if c <= -1 else (0 if c >= 1 else 2 * mp.acos(c))
        return point_source(r) * r * arc

    inner = abs(u - rho)
    points = [0, inner, u + rho] if u < rho else [inner, u, u + rho]
    return mp.quad(integrand, points) / (mp.pi * rho * rho)


def check_closed_form():
    for u, rho in [(0.5, 0.05), (2.0, 0.5), (0.3, 0.01), (0.5, 1.0), (0.99, 1.0), (1.02, 1.0), (40.0, 3.0)]:
        with mp.workdps(30):
            q = disk_mean_quadrature(u, rho)
            c = closed_form(u, rho)
            assert abs(c / q - 1) < mp.mpf(10) ** -25, (u, rho)
    with mp.workdps(100):
        for rho in (1e-3, 0.1, 1.0, 3.0):
            r = mp.mpf(rho)
            for side in (1, -1):
                u = r * (1 + side * mp.mpf(10) ** -25)
                d = u - r
                s = u + r
                n = 4 * u * r / (s * s)
                g = mp.sqrt(4 + d * d)
                m = 4 * n / (g * g)
                value = (s * g / (2 * r * r) * mp.ellipe(m) - d * (8 + u * u - r * r) / (2 * r * r * g) * mp.ellipk(m)
                         + 2 * d * d * (1 + r * r) / (r * r * s * g) * mp.ellippi(n, m)) / mp.pi
                assert abs(value / rim(rho) - 1) < mp.mpf(10) ** -20, rho


def branch_of(u, rho):
    if rho <= 0:
        return "point"
    if in_band(u, rho):
        return "rim"
    if u > rho * FAR_RATIO and u < math.inf:
        return "far"
    return "closed"


def truth(u, rho):
    kind = branch_of(u, rho)
    with mp.workdps(40):
        if kind == "point":
            return point_source(u)
        if kind == "rim":
            return rim(rho)
    if u == 0:
        with mp.workdps(40):
            r = mp.mpf(rho)
            return mp.sqrt(r * r + 4) / r
    return closed_form(u, rho)


def exact_edge(rho, side):
    """A double u > 0 with |u - rho| equal to the tolerance in double arithmetic, or None."""
    t = tolerance(rho)
    centre = rho + side * t
    candidates = [centre]
    up = down = centre
    for _ in range(4):
        up = math.nextafter(up, math.inf)
        down = math.nextafter(down, -math.inf)
        candidates += [up, down]
    for u in candidates:
        if u > 0 and abs(u - rho) == t:
            return u
    return None


def find_exact_edge(target, side):
    """Walk rho up from target until an exact edge input exists."""
    rho = target
    for _ in range(200000):
        u = exact_edge(rho, side)
        if u is not None:
            return u, rho
        rho = math.nextafter(rho, math.inf)
    raise RuntimeError(f"no exact edge near {target}")


def innermost(rho, side):
    """The double u farthest from rho on the given side that is still inside the band."""
    t = tolerance(rho)
    u = rho + side * t
    toward = -side * math.inf
    while not in_band(u, rho):
        u = math.nextafter(u, toward)
    away = side * math.inf
    while in_band(math.nextafter(u, away), rho):
        u = math.nextafter(u, away)
    return u


def outermost(rho, side):
    """The double u nearest to rho on the given side that is outside the band."""
    u = innermost(rho, side)
    return math.nextafter(u, side * math.inf)


def cases():
    rows = []

    def add(u, rho, note):
        rows.append((u, rho, note))

    # Point source: rho <= 0, any sign of zero, negative u included.
    for rho in (0.0, -0.0, -0.5, -1e-300):
        for u in (1e-8, 0.3, 1.0, 7.5, 1e6, -0.3):
            add(u, rho, "point source")

    # Lens exactly on the rim.
    for rho in (1e-6, 1e-3, 0.01, 0.1, 0.5, 1.0, 2.0, 10.0, 100.0):
        add(rho, rho, "u == rho")

    # Inside the band: the rim value whatever u is; the last doubles inside.
    for rho in (1e-3, 0.01, 0.1, 1.0, 10.0):
        t = tolerance(rho)
        add(rho + 0.5 * t, rho, "inside the band")
        add(rho - 0.5 * t, rho, "inside the band")
        add(innermost(rho, +1), rho, "last double inside the band, above")
        add(innermost(rho, -1), rho, "last double inside the band, below")
        add(outermost(rho, +1), rho, "first double outside the band, above")
        add(outermost(rho, -1), rho, "first double outside the band, below")

    # |u - rho| exactly the tolerance: general branch (strict comparison).
    add(0.0, 1e-5, "u = 0, |u - rho| == 1e-5 exactly")
    add(2.0**-20 + 1e-5, 2.0**-20, "|u - rho| == 1e-5 exactly, absolute regime")
    for target, side in ((0.3, +1), (0.3, -1), (1.0, +1), (4.0, -1), (25.0, +1)):
        u, rho = find_exact_edge(target, side)
        add(u, rho, "|u - rho| == 0.001 rho exactly")

    # u = 0: sqrt(rho^2 + 4) / rho.
    for rho in (2e-5, 1e-3, 0.1, 1.0, 10.0):
        add(0.0, rho, "u = 0")

    # General branch over a grid of separations and radii, then at random.
    for rho in (1e-4, 1e-3, 0.01, 0.1, 0.5, 1.0, 3.0, 20.0):
        for l in (0.2, 0.5, 0.9, 0.99, 1.01, 1.1, 2.0, 5.0, 30.0, 300.0):
            add(l * rho, rho, "general grid")
    rng = random.Random(20240611)
    for _ in range(60):
        rho = 10.0 ** rng.uniform(-4, 1.5)
        l = 10.0 ** rng.uniform(-2, 3)
        add(l * rho, rho, "general random")

    # Both sides of the switch at u = 1000 rho, small u first (where the second
    # series term is largest), then out to where the closed form is useless.
    for u in (1e-4, 3e-3, 0.05, 0.7, 1.0, 2.0, 9.0, 150.0, 4e4):
        rho = u / FAR_RATIO
        add(rho * FAR_RATIO, rho, "u == 1000 rho, closed form")
        add(math.nextafter(rho * FAR_RATIO, math.inf), rho, "just above the switch")
        add(u * 0.9, rho, "l = 900, closed form")
        add(u * 1.05, rho, "l = 1050")
    for l in (1.3e3, 1e4, 1e6, 1e8, 1e12):
        for u in (2e-5, 4e-3, 0.5, 1.7, 30.0, 1e5):
            add(u, u / l, f"l = {l:g}")
    # Where the closed form over- or underflows outright.
    add(1e200, 1e-10, "u^2 overflows")
    add(1e155, 1e150, "u^2 overflows, l = 1e5")
    add(0.5, 1e-300, "rho^2 underflows")
    add(3e-3, 5e-320, "subnormal rho")
    return rows


def hexfloat(x):
    return "-0x0p+0" if x == 0 and math.copysign(1, x) < 0 else float.hex(x)


def band_report():
    print("coincidence band: rim value returned vs true magnification (worst |rel| over the band)")
    for rho in (1e-3, 1e-2, 0.1, 1.0):
        t = tolerance(rho)
        with mp.workdps(40):
            returned = rim(rho)
        worst = (mp.mpf(0), None)
        probes = [innermost(rho, +1), innermost(rho, -1)] + [rho + f * t for f in (-0.99, -0.9, -0.5, -0.1, -0.01, 0.01, 0.1, 0.5, 0.9, 0.99)]
        for u in probes:
            rel = abs(returned / closed_form(u, rho) - 1)
            if rel > worst[0]:
                worst = (rel, u)
        print(f"  rho = {rho:g} (t = {t:g}): {mp.nstr(worst[0], 4)} at u = {worst[1]!r} (rho {worst[1] - rho:+.6g})")


def main():
    mp.mp.dps = 40
    check_closed_form()
    lines = [
        "// Generated by tests/reference/make_witt_mao_table.py; do not edit.",
        "// {u, rho, magnification (mpmath, 40+ digits), branch}: inputs as exact doubles.",
    ]
    for u, rho, note in cases():
        value = truth(u, rho)
        kind = branch_of(u, rho)
        lines.append(f"{{{hexfloat(u)}, {hexfloat(rho)}, {mp.nstr(value, 21, min_fixed=0, max_fixed=0)}, Branch::{kind}}},"
                     f"  // u={u!r} rho={rho!r}: {note}")
    OUT.parent.mkdir(parents=True, exist_ok=True)
    OUT.write_text("\n".join(lines) + "\n")
    print(f"wrote {len(lines) - 2} rows to {OUT}")
    band_report()
    return 0


if __name__ == "__main__":
    sys.exit(main())
