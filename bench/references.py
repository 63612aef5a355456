"""mpmath references for the peer benchmark, computed from the definitions at 30+ digits.

Uniform disk: Witt & Mao's closed form in complete elliptic integrals (parameter
convention m = k^2): E from mpmath's ellipe, K and Pi from the AGM with the complements
1 - m and 1 - n formed exactly (mpmath's ellippi takes 10 ms a call and returns infinity
once n rounds to 1, which the nested disks below reach); checked once against the same
form with mpmath's ellipk/ellipe/ellippi and against the direct mean of the point-source
magnification over the disk.

Linear limb darkening I(r) = 1 - 0.6 (1 - sqrt(1 - r^2)): the brightness-weighted mean of
the uniform disk integrated by parts over nested disks, split at r = l where the nested
disk's rim crosses the lens; checked once against a mean of point-source magnifications
over rings.

u and rho are in Einstein radii, l = u / rho in source radii. compare_peers.py caches the
values in bench/references.json keyed by the exact inputs (float.hex).
"""

from __future__ import annotations

import sys

import mpmath as mp

DPS = 34
RING_DPS = 24  # the doubly nested check is slow; 24 digits resolve a 1e-16 difference
LIMB = mp.mpf("0.6")


def point_source(u):
    u = mp.mpf(u)
    return (u * u + 2) / (u * mp.sqrt(u * u + 4))


def _pi_agm(n, one_minus_n, one_minus_m):
    """Complete Pi(n | m) by the AGM (DLMF 19.8.6-8), fed the complements exactly.

    Returns (pi / (4 M), S) with Pi = pi / (4 M) (2 + n / (1 - n) S), so that a caller
    holding (1 - n) as a square can cancel it without dividing by zero."""
    a, g, p = mp.mpf(1), mp.sqrt(one_minus_m), mp.sqrt(one_minus_n)
    q, total = mp.mpf(1), mp.mpf(0)
    tol = 4 * mp.eps
    for _ in range(200):
        total += q
        ag = a * g
        eps = (p * p - ag) / (p * p + ag)
        a, g, p = (a + g) / 2, mp.sqrt(ag), (p * p + ag) / (2 * p)
        q = q * eps / 2
        if abs(q) < tol * abs(total) and abs(a - g) < tol * a:
            break
    else:
        raise ArithmeticError("AGM for Pi did not converge")
    return mp.pi / (4 * a), total


def disk(u, rho):
    """Uniform disk of radius rho centred u from the lens (Einstein radii), Witt & Mao's
    closed form. With d = u - rho, s = u + rho, g = sqrt(4 + d^2):
      pi A = s g / (2 rho^2) E(m) - d (8 + u^2 - rho^2) / (2 rho^2 g) K(m)
             + 2 d^2 (1 + rho^2) / (rho^2 s g) Pi(n | m),
      n = 4 u rho / s^2, m = 4 n / g^2.
    The complements 1 - n = (d/s)^2 and 1 - m = d^2 (4 + s^2) / (s^2 g^2) are formed
    exactly, so the form stays exact up to the rim (d -> 0), where mpmath's ellippi of a
    rounded n would return infinity."""
    u = mp.mpf(u)
    rho = mp.mpf(rho)
    d = u - rho
    if d == 0:
        # The lens on the rim: the limit n -> 1, where d^2 Pi -> 0 and K's factor d -> 0.
        return (2 / rho + (1 + rho**2) / rho**2 * (mp.pi / 2 + mp.asin((rho**2 - 1) / (rho**2 + 1)))) / mp.pi
    s = u + rho
    g2 = 4 + d * d
    g = mp.sqrt(g2)
    n = 4 * u * rho / (s * s)
    m = 4 * n / g2
    one_minus_m = d * d * (4 + s * s) / (s * s * g2)
    scale, series = _pi_agm(n, (d / s) ** 2, one_minus_m)
    k = 2 * scale  # K = pi / (2 M(1, sqrt(1 - m)))
    e = mp.ellipe(1 - one_minus_m)  # m itself can round above 1 near the rim
    d2_pi = scale * (2 * d * d + n * s * s * series)  # d^2 Pi(n | m)
    return (s * g / (2 * rho**2) * e
            - d * (8 + u * u - rho**2) / (2 * rho**2 * g) * k
            + 2 * (1 + rho**2) / (rho**2 * s * g) * d2_pi) / mp.pi


def disk_mpmath(u, rho):
    """The same closed form with mpmath's own ellipk, ellipe, ellippi (parameter
    convention); good away from the rim, where n rounds to 1."""
    u = mp.mpf(u)
    rho = mp.mpf(rho)
    d = u - rho
    s = u + rho
    g = mp.sqrt(4 + d * d)
    n = 4 * u * rho / (s * s)
    m = 4 * n / (g * g)
    return (s * g / (2 * rho**2) * mp.ellipe(m)
            - d * (8 + u * u - rho**2) / (2 * rho**2 * g) * mp.ellipk(m)
            + 2 * d * d * (1 + rho**2) / (rho**2 * s * g) * mp.ellippi(n, m)) / mp.pi


def disk_direct(u, rho):
    """The same disk as the area mean of the point-source magnification, in polar
    coordinates about the lens: the circle of radius r meets the disk in an arc of
    half-angle acos((r^2 + u^2 - rho^2) / (2 u r))."""
    u = mp.mpf(u)
    rho = mp.mpf(rho)
    inner = abs(u - rho)
    # Circles about the lens lying wholly inside the source: int 2 pi r A dr = pi r sqrt(r^2+4).
    total = mp.pi * inner * mp.sqrt(inner**2 + 4) if u < rho else mp.mpf(0)
    if u == 0:
        return total / (mp.pi * rho**2)

    def arc(r):
        c = (r * r + u * u - rho * rho) / (2 * u * r)
        c = min(max(c, mp.mpf(-1)), mp.mpf(1))
        return 2 * r * mp.acos(c) * point_source(r)

    total += mp.quad(arc, [inner, u, u + rho] if inner < u < u + rho else [inner, u + rho])
    return total / (mp.pi * rho**2)


def limb_darkened(l, rho):
    """Linear law, coefficient 0.6, lens at l source radii from the centre.

    Flux within radius x (source radii) of nested uniform disks: F(x) = pi x^2 A_disk(x rho).
    int_0^1 I dF = I(1) F(1) - int_0^1 I'(x) F(x) dx with I' = -0.6 x / sqrt(1 - x^2), and
    x = sin(t) turns x^3 / sqrt(1 - x^2) dx into sin^3(t) dt, smooth at the limb. The total
    flux of the law is pi (1 - 0.6 / 3)."""
    l = mp.mpf(l)
    rho = mp.mpf(rho)
    u = l * rho

    def nested(t):
        x = mp.sin(t)
        return x**3 * disk(u, x * rho)

    points = [0, mp.asin(l), mp.pi / 2] if 0 < l < 1 else [0, mp.pi / 2]
    integral = mp.quad(nested, points)
    numerator = (1 - LIMB) * disk(u, rho) + LIMB * integral
    return numerator / (1 - LIMB / 3)


def limb_darkened_rings(l, rho):
    """Check form: brightness-weighted mean over rings x of the ring mean of A_ps."""
    l = mp.mpf(l)
    rho = mp.mpf(rho)

    def ring(x):
        # Mean of A_ps over the ring of radius x, angle phi measured at the source centre.
        def f(phi):
            # l^2 + x^2 - 2 l x cos(phi) without the cancellation near x = l, phi = 0.
            return point_source(rho * mp.sqrt((x - l) ** 2 + 4 * l * x * mp.sin(phi / 2) ** 2))
        return mp.quad(f, [0, mp.pi]) / mp.pi

    def weighted(x):
        return (1 - LIMB * (1 - mp.sqrt(1 - x * x))) * 2 * x * ring(x)

    points = [0, l, 1] if 0 < l < 1 else [0, 1]
    return mp.quad(weighted, points) / (1 - LIMB / 3)


def validate(out=sys.stdout):
    """Closed forms against the definitions at a spread of points; returns the worst
    relative differences (disk, limb-darkened)."""
    worst_disk = mp.mpf(0)
    worst_mp = mp.mpf(0)
    with mp.workdps(DPS):
        for rho in ("1e-3", "1e-2", "0.1", "1", "3"):
            rho = mp.mpf(rho)
            for l in ("0", "0.3", "0.999", "1", "1.0001", "1.7", "30"):
                u = mp.mpf(l) * rho
                a = disk(u, rho)
                worst_disk = max(worst_disk, abs(a / disk_direct(u, rho) - 1))
                if l != "1":
                    worst_mp = max(worst_mp, abs(a / disk_mpmath(u, rho) - 1))
    print(f"disk closed form (AGM) vs direct area mean of A_ps, 35 points, dps {DPS}: worst rel "
          f"diff {mp.nstr(worst_disk, 3)}; vs mpmath ellipk/ellipe/ellippi, 30 points: "
          f"{mp.nstr(worst_mp, 3)}", file=out)
    worst_ld = mp.mpf(0)
    for rho, l in (("0.01", "0.5"), ("1", "1.5"), ("0.1", "0"), ("0.1", "0.999")):
        with mp.workdps(DPS):
            a = limb_darkened(mp.mpf(l), mp.mpf(rho))
        with mp.workdps(RING_DPS):
            b = limb_darkened_rings(mp.mpf(l), mp.mpf(rho))
        with mp.workdps(DPS):
            worst_ld = max(worst_ld, abs(a / b - 1))
    print(f"limb-darkened by-parts form (dps {DPS}) vs ring means of A_ps (nested quadrature, "
          f"dps {RING_DPS}), 4 points: worst rel diff {mp.nstr(worst_ld, 3)}", file=out)
    return float(worst_disk), float(worst_ld)


if __name__ == "__main__":
    validate()
