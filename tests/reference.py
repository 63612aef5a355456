"""High-precision references computed from the definitions with mpmath.

Nothing here calls tovimera: values come from the physics (the mean of the
point-source magnification over a ring or a disk) or from closed forms
evaluated at 40 digits on the exact double inputs.
"""

import mpmath as mp

mp.mp.dps = 40


def point_source(u):
    u = mp.mpf(u)
    return (u * u + 2) / (u * mp.sqrt(u * u + 4))


def ring_mean(l, r, re, rstar):
    """Mean of the point-source magnification over the ring of radius r
    (source radii) around a centre at distance l from the lens."""
    l, r, q = mp.mpf(l), mp.mpf(r), mp.mpf(re) / mp.mpf(rstar)

    def at(phi):
        return point_source(mp.sqrt(l * l + r * r - 2 * l * r * mp.cos(phi)) / q)

    # The integrand peaks at phi = 0 when the lens is close to the ring.
    return mp.quad(at, [0, mp.mpf("1e-6"), mp.mpf("1e-3"), mp.mpf("0.1"), mp.pi]) / mp.pi


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


def ring_closed_form(l, r, re, rstar):
    """The ring mean in complete elliptic integrals (Heyrovsky), at 40 digits."""
    l, r, q = mp.mpf(l), mp.mpf(r), mp.mpf(re) / mp.mpf(rstar)
    d = r - l
    if abs(d) < mp.mpf("1e-15") * l:
        # Quadrature nodes this close to the ring make n and m round to 1; the
        # logarithmic asymptote is exact to O(d^2 log d) there.
        return ring_near_rim(l, r, re, rstar)
    n = 4 * l * r / (l + r) ** 2
    m = n * 4 * q * q / (4 * q * q + d * d)
    return 2 * (2 * q * q * mp.ellipk(m) + d * d * mp.ellippi(n, m)) / (
        mp.pi * (l + r) * mp.sqrt(4 * q * q + d * d))


def uniform_disk(u, rho):
    """Witt & Mao's uniform-disk magnification (u, rho in Einstein radii)."""
    u, rho = mp.mpf(u), mp.mpf(rho)
    if u == rho:
        return (2 / rho + (1 + rho * rho) / (rho * rho) * (mp.pi / 2 + mp.asin((rho * rho - 1) / (rho * rho + 1)))) / mp.pi
    d, s = u - rho, u + rho
    g = mp.sqrt(4 + d * d)
    n = 4 * u * rho / (s * s)
    m = 4 * n / (4 + d * d)
    rho2 = rho * rho
    return (s * g / (2 * rho2) * mp.ellipe(m)
            - d * (8 + u * u - rho2) / (2 * rho2 * g) * mp.ellipk(m)
            + 2 * d * d * (1 + rho2) / (rho2 * s * g) * mp.ellippi(n, m)) / mp.pi


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
    total = mp.quad(lambda r: profile(r) * 2 * mp.pi * r * ring_closed_form(l, r, re, rstar), points)
    return total / flux
