"""High-precision references for the integrated (brightness-weighted) functions.

Built on tests/reference.py and never on tovimera. The limb-darkened mean is
computed two independent ways, over rings and over nested disks, so that each
checks the other; the annulus construction of the tabulated route is
evaluated from its definition.
"""

import mpmath as mp

from reference import limb_darkening, profile_weighted_mean, uniform_disk

# The half-width of the annuli as the double the construction uses.
HALF_WIDTH = mp.mpf(0.0001)
# The routes divide by these stored literals rather than by 0.8 pi and
# multiply by pi rounded to double: they sit this factor above the exact mean.
FLUX_LITERAL = mp.mpf(2.5132741228717936)
PI_DOUBLE = mp.mpf(3.141592653589793)


def literal_factor():
    return mp.mpf("0.8") * PI_DOUBLE / FLUX_LITERAL


def _near_rim_points(l, limit):
    """Extra split points between 0 and `limit` where a singularity lies just
    past an end, so that mp.quad resolves it at full precision."""
    gap = abs(l - 1)
    return [limit - gap * 10**j for j in range(0, 12) if 0 < limit - gap * 10**j < limit and gap * 10**j < 0.5]


def ring_weighted_mean(l, rho, profile, breaks=()):
    """profile_weighted_mean, also split towards a lens just outside the rim."""
    extra = _near_rim_points(mp.mpf(l), 1) if 1 < l < 1.5 else []
    return profile_weighted_mean(l, 1, rho, profile, breaks=[*breaks, *extra])


def limb_darkened_mean(l, rho):
    """Limb-darkened mean over rings: the law-weighted ring magnification."""
    return ring_weighted_mean(l, rho, limb_darkening)


def limb_darkened_by_disks(l, rho):
    """The same mean from nested disks: (0.4 W(u, rho) + 0.6 J) / 0.8, with
    J = integral over x in [0, 1] of (1 - x^2) W(u, rho sqrt(1 - x^2))."""
    l, rho = mp.mpf(l), mp.mpf(rho)
    u = l * rho

    def nested(x):
        s = mp.sqrt(1 - x * x)
        return s * s * uniform_disk(u, rho * s)

    points = {mp.mpf(0), mp.mpf(1)}
    if 0 < l < 1:
        points.add(mp.sqrt(1 - l * l))
    elif 1 < l < 1.5:
        # The rim lies at imaginary x = sqrt(l^2 - 1) off the end x = 0.
        reach = mp.sqrt(l * l - 1)
        points |= {reach * 10**j for j in range(0, 6) if reach * 10**j < 0.5}
    j = mp.quad(nested, sorted(points))
    return (mp.mpf("0.4") * uniform_disk(u, rho) + mp.mpf("0.6") * j) / mp.mpf("0.8")


def interpolated(bl, bf):
    """The table linearly interpolated, 0 outside it; one entry is uniform."""
    bl = [mp.mpf(b) for b in bl]
    bf = [mp.mpf(b) for b in bf]

    def profile(r):
        if len(bl) == 1:
            return bf[0]
        if r < bl[0] or r > bl[-1]:
            return mp.mpf(0)
        for i in range(len(bl) - 1):
            if bl[i] <= r <= bl[i + 1]:
                return bf[i] + (r - bl[i]) / (bl[i + 1] - bl[i]) * (bf[i + 1] - bf[i])
        return bf[-1]

    return profile


def annulus(u, rho, x):
    """Uniform annulus of half-width HALF_WIDTH around radius x, clipped to [0, 1]."""
    inner = max(x - HALF_WIDTH, mp.mpf(0))
    outer = min(x + HALF_WIDTH, mp.mpf(1))
    inner_flux = inner * inner * uniform_disk(u, inner * rho) if inner > 0 else 0
    return (outer * outer * uniform_disk(u, outer * rho) - inner_flux) / (outer * outer - inner * inner)


def annulus_construction(l, rho, bl, bf):
    """Integral of I(x) 2 pi x A_annulus(u, x) over [0, 1] over the flux of I,
    split wherever the integrand has a kink: the annulus edges on the lens
    (x = l -+ h), the clipping (x = h, 1 - h), the lens, and the table."""
    l, rho = mp.mpf(l), mp.mpf(rho)
    h = HALF_WIDTH
    u = l * rho
    profile = interpolated(bl, bf)
    candidates = [l - h, l, l + h, h, 1 - h] + [mp.mpf(b) for b in bl]
    points = sorted({mp.mpf(0), mp.mpf(1)} | {p for p in candidates if 0 < p < 1})
    flux = mp.quad(lambda x: profile(x) * 2 * mp.pi * x, points)
    total = mp.quad(lambda x: profile(x) * 2 * mp.pi * x * annulus(u, rho, x), points)
    return total / flux


def tabulated_ring_mean(l, rho, bl, bf):
    """The ring route's target: the interpolated table's weighted ring mean."""
    return ring_weighted_mean(l, rho, interpolated(bl, bf), breaks=bl)


__all__ = [
    "HALF_WIDTH", "literal_factor", "limb_darkened_mean", "limb_darkened_by_disks", "interpolated",
    "annulus", "annulus_construction", "tabulated_ring_mean",
]
