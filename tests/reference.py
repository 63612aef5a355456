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
