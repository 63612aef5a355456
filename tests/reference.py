"""High-precision references computed from the definitions with mpmath.

Nothing here calls tovimera: values come from the physics (the mean of the
point-source magnification over a ring or a disk) or from closed forms
evaluated at 40 digits or more on the exact double inputs.

Next to the rim (u -> rho, or r -> l for a ring) the closed forms need 1 - n and
1 - m to far more digits than n and m carry, so they are formed exactly from
d = u - rho (or r - l): 1 - n = (d/s)^2 and 1 - m = d^2 (s^2 + 4 q^2) / (s^2 h).
test_reference.py checks both closed forms against the quadratures below.
"""

import math

import mpmath as mp

mp.mp.dps = 40


def point_source(u):
    u = mp.mpf(u)
    return (u * u + 2) / (u * mp.sqrt(u * u + 4))


def _peak_points(width, end):
    """Break points 0, width, 10 width, ... up to end, for an integrand that
    varies on the scale of width near 0 and slowly after."""
    points = [mp.mpf(0)]
    x = mp.mpf(width)
    if x > 0:
        while x < end:
            points.append(x)
            x *= 10
    return points + [mp.mpf(end)]


def ring_mean(l, r, re, rstar):
    """Mean of the point-source magnification over the ring of radius r
    (source radii) around a centre at distance l from the lens."""
    l, r, q = mp.mpf(l), mp.mpf(r), mp.mpf(re) / mp.mpf(rstar)
    d = mp.fsub(r, l, exact=True)

    def at(phi):
        # (r - l)^2 + 4 l r sin^2(phi/2) is l^2 + r^2 - 2 l r cos(phi) without
        # the cancellation near the lens.
        return point_source(mp.sqrt(d * d + 4 * l * r * mp.sin(phi / 2) ** 2) / q)

    # With the lens near the ring the integrand peaks at phi = 0 over a width |r - l| / sqrt(l r).
    width = abs(d) / mp.sqrt(l * r) if l * r > 0 else 0
    points = sorted(set(_peak_points(width, mp.pi)) | {mp.mpf("1e-6"), mp.mpf("1e-3"), mp.mpf("0.1")})
    return mp.quad(at, points) / mp.pi


def ring_near_rim(l, r, re, rstar):
    """The logarithmic form used on the ring, evaluated at high precision."""
    l, r, q = mp.mpf(l), mp.mpf(r), mp.mpf(re) / mp.mpf(rstar)
    d = r - l
    big_l = mp.log(8 * q * l / (mp.sqrt(l * l + q * q) * abs(d)))
    return ((1 - d / (2 * l)) * (2 * q / l) * big_l + 4 * mp.atan(l / q)
            + (2 * l * l + q * q) * q / ((l * l + q * q) * l * l) * d) / (2 * mp.pi)


def relative(value, reference):
    reference = mp.mpf(reference)
    return abs((mp.mpf(value) - reference) / reference)


def complete_by_agm(one_minus_m, one_minus_n, tolerance):
    """K(m), E(m) and the parts of Pi(n, m) = P (2 + n / (1 - n) S) by the AGM
    (DLMF 19.8.5-8), from the complements alone; returns (K, E, P, S). A caller
    holding 1 - n = (d/s)^2 multiplies by d^2 without dividing by zero.
    (mpmath's own ellipe loses 20 digits at m = 1 - 1e-32.)"""
    a, g, p = mp.mpf(1), mp.sqrt(one_minus_m), mp.sqrt(one_minus_n)
    q, total = mp.mpf(1), mp.mpf(0)
    # E = K (1 - sum 2^(j-1) c_j^2), c_0^2 = m, c_(j+1) = (a_j - g_j) / 2.
    weight, defect = mp.mpf(1) / 2, (1 - one_minus_m) / 2
    for _ in range(200):
        total += q
        ag = a * g
        e = (p * p - ag) / (p * p + ag)
        c = (a - g) / 2
        a, g, p = (a + g) / 2, mp.sqrt(ag), (p * p + ag) / (2 * p)
        weight *= 2
        defect += weight * c * c
        q = q * e / 2
        if abs(q) <= tolerance * abs(total) and abs(c) <= tolerance * a:
            break
    else:
        raise ArithmeticError("AGM did not converge")
    k = mp.pi / (2 * a)
    return k, k * (1 - defect), mp.pi / (4 * a), total


def ring_closed_form(l, r, re, rstar):
    """The ring mean in complete elliptic integrals (Heyrovsky), at 40 digits:
    2 (2 q^2 K(m) + d^2 Pi(n, m)) / (pi s sqrt(h)), d = r - l, s = l + r,
    h = 4 q^2 + d^2, n = 4 l r / s^2, m = 4 q^2 n / h."""
    l, r, q = mp.mpf(l), mp.mpf(r), mp.mpf(re) / mp.mpf(rstar)
    d, s = mp.fsub(r, l, exact=True), mp.fadd(l, r, exact=True)
    if d == 0:
        return mp.inf
    h = 4 * q * q + d * d
    n = 4 * l * r / (s * s)
    one_minus_m = d * d * (s * s + 4 * q * q) / (s * s * h)
    k, _, p, series = complete_by_agm(one_minus_m, (d / s) ** 2, mp.eps)
    d2_pi = p * (2 * d * d + n * s * s * series)
    return 2 * (2 * q * q * k + d2_pi) / (mp.pi * s * mp.sqrt(h))


def rim_value(rho):
    """Limit of the uniform-disk magnification as the lens reaches the rim."""
    rho = mp.mpf(rho)
    return ((1 + rho * rho) / (rho * rho) * 2 * mp.atan(rho) + 2 / rho) / mp.pi


def uniform_disk(u, rho):
    """Witt & Mao's uniform-disk magnification (u >= 0, rho > 0 in Einstein radii)."""
    u, rho = mp.mpf(u), mp.mpf(rho)
    if u == rho:
        return rim_value(rho)
    if u == 0:
        return mp.sqrt(rho * rho + 4) / rho
    # The three terms cancel like (u/rho)^2 far out and (rho/u)^2 close in.
    # Beyond a ratio of 1e40 either way the finite-source correction is below
    # 1e-80 relative: the point source outside, the centre value inside.
    spread = abs(mp.log10(u / rho))
    if spread > 40:
        return point_source(u) if u > rho else mp.sqrt(rho * rho + 4) / rho
    with mp.workdps(mp.mp.dps + 10 + 2 * int(spread)):
        d, s = mp.fsub(u, rho, exact=True), mp.fadd(u, rho, exact=True)
        g2 = 4 + d * d
        g = mp.sqrt(g2)
        rho2 = rho * rho
        n = 4 * u * rho / (s * s)
        one_minus_m = d * d * (4 + s * s) / (s * s * g2)
        k, e, p, series = complete_by_agm(one_minus_m, (d / s) ** 2, mp.eps)
        d2_pi = p * (2 * d * d + n * s * s * series)
        value = (s * g / (2 * rho2) * e
                 - d * (8 + u * u - rho2) / (2 * rho2 * g) * k
                 + 2 * (1 + rho2) / (rho2 * s * g) * d2_pi) / mp.pi
    return +value


def disk_mean(u, rho):
    """The uniform disk as the area mean of the point-source magnification, by
    quadrature in circles about the lens (no elliptic integrals): the circle of
    radius r meets the disk in an arc of half-angle acos((r^2 + u^2 - rho^2) / (2 u r))."""
    u, rho = mp.mpf(u), mp.mpf(rho)
    inner = abs(mp.fsub(u, rho, exact=True))
    # Circles wholly inside the source: integral of 2 pi r A(r) dr = pi r sqrt(r^2 + 4).
    total = mp.pi * inner * mp.sqrt(inner * inner + 4) if u < rho else mp.mpf(0)
    if u == 0:
        return total / (mp.pi * rho * rho)

    # In x = r - inner every factor of (1 - c) / (1 + c) = tan^2(half-angle / 2)
    # is a sum, so nothing cancels next to the inner radius.
    width = 2 * min(u, rho)
    below, above = 2 * max(rho - u, 0), 2 * max(u - rho, 0)

    def arc(x):
        r = inner + x
        ratio = (width - x) * (below + x) / ((above + x) * (r + u + rho))
        half = 2 * mp.atan(mp.sqrt(ratio)) if ratio > 0 else mp.mpf(0)
        return 2 * r * half * point_source(r)

    # The arc turns over a width |u - rho| next to the inner radius.
    total += mp.quad(arc, _peak_points(inner, width))
    return total / (mp.pi * rho * rho)


def limb_darkening(r):
    r = mp.mpf(r)
    return 1 - mp.mpf("0.6") * (1 - mp.sqrt(1 - r * r))


def profile_weighted_mean(l, re, rstar, profile, breaks=()):
    """Brightness-weighted mean of the ring magnification over the unit disk:
    integral of profile(r) 2 pi r A_ring(l, r) over the integral of profile(r) 2 pi r.
    The integrand is split at r = l and at the profile's own break points."""
    l = mp.mpf(l)
    points = sorted({mp.mpf(0), mp.mpf(1), *[mp.mpf(b) for b in breaks if 0 < b < 1]}
                    | ({l} if 0 < l < 1 else set()))
    flux = mp.quad(lambda r: profile(r) * 2 * mp.pi * r, points)

    def ring(r):
        # A node next to r = l can round onto it: the singularity is integrable
        # and such a node's weight is below the working precision.
        return 0 if r == l else ring_closed_form(l, r, re, rstar)

    total = mp.quad(lambda r: profile(r) * 2 * mp.pi * r * ring(r), points)
    return total / flux
