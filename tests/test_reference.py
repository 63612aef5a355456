"""The closed-form references against routes that share nothing with them:
quadratures of the point-source magnification over the disk and the ring."""

import math

import mpmath as mp
import pytest

from reference import disk_mean, point_source, relative, rim_value, ring_closed_form, ring_mean, uniform_disk


def ulps_away(x, count):
    for _ in range(count):
        x = math.nextafter(x, math.inf)
    return x


@pytest.mark.parametrize(
    "u_over_rho, rho",
    [
        (0.0, 1.0), (0.5, 1e-6), (1 - 1e-12, 1e-6), (1 + 1e-12, 1e-6), (1.0, 1e-6),
        (1 - 1e-12, 1.0), (ulps_away(1.0, 1), 1.0), (1 + 1e-3, 10.0), (1 - 1e-6, 10.0), (30.0, 0.01),
    ],
)
def test_uniform_disk_is_the_disk_mean(u_over_rho, rho):
    u = u_over_rho * rho
    with mp.workdps(30):
        quadrature = disk_mean(u, rho)
    assert relative(uniform_disk(u, rho), quadrature) < 1e-24


def test_the_closed_form_meets_the_rim_value():
    # The magnification moves by about d log(1/d) next to the rim.
    with mp.workdps(60):
        for rho in (1e-6, 1.0, 10.0):
            for side in (-1, 1):
                u = mp.mpf(rho) * (1 + side * mp.mpf(10) ** -40)
                assert relative(uniform_disk(u, rho), rim_value(rho)) < 1e-37


def test_cut_over_to_the_limits_is_seamless():
    # Beyond a ratio of 1e40 the reference returns the point source or the centre value.
    assert relative(uniform_disk(1e38, 1.0), point_source(1e38)) < 1e-70
    assert relative(uniform_disk(1e-38, 1.0), mp.sqrt(5)) < 1e-70


@pytest.mark.parametrize(
    "l, r, re, rstar",
    [
        (0.5, ulps_away(0.5, 2), 1.0, 1.0),
        (1.0, 1.0 - 9e-6, 10.0, 1.0),
        (1e4, 1e4 + 1e-6, 1.0, 1.0),
        (1e-8, ulps_away(1e-8, 3), 1.0, 1.0),
        (1e-8, 5e-6, 1.0, 1.0),
        (0.0, 0.3, 1.0, 0.1),
        (3.0, 0.2, 1.0, 1.0),
    ],
)
def test_ring_closed_form_is_the_ring_mean(l, r, re, rstar):
    assert relative(ring_closed_form(l, r, re, rstar), ring_mean(l, r, re, rstar)) < 1e-30
