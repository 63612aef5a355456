"""Limb-darkened magnification by both routes, against 40-digit references."""

import math

import mpmath as mp
import pytest

import tovimera
from reference import limb_darkening, point_source, profile_weighted_mean, relative, uniform_disk

disk_route = tovimera.integrated_witt_mao_magnification
ring_route = tovimera.integrated_heyrovsky_magnification

# Lens outside the source (l > 1): both integrands are smooth.
OUTSIDE = [(1.5, 1.0, 0.1), (3.0, 1.0, 1.0), (1.2, 1.0, 0.01), (10.0, 1.0, 0.05), (2.0, 2.0, 1.0)]
# Lens inside the source (l < 1): the disk integrand has a kink, the ring one a log singularity.
INSIDE = [(0.3, 1.0, 0.1), (0.5, 1.0, 1.0), (0.9, 1.0, 0.01), (0.05, 1.0, 0.1)]


@pytest.mark.parametrize("l, re, rstar, tolerance", [c + (1e-13,) for c in OUTSIDE] + [c + (1e-11,) for c in INSIDE])
def test_ring_route_is_the_limb_darkened_mean(l, re, rstar, tolerance):
    # Inside the source the rings within 1e-5 of the lens use the logarithmic
    # asymptote, whose error over that band is the larger tolerance.
    reference = profile_weighted_mean(l, re, rstar, limb_darkening)
    assert relative(ring_route([l], re, rstar)[0], reference) < tolerance


@pytest.mark.parametrize("l, re, rstar", OUTSIDE)
def test_disk_route_is_the_limb_darkened_mean_where_smooth(l, re, rstar):
    reference = profile_weighted_mean(l, re, rstar, limb_darkening)
    assert relative(disk_route([l], re, rstar)[0], reference) < 1e-12


@pytest.mark.parametrize("l, re, rstar", INSIDE)
def test_disk_route_with_the_kink_inside_stays_within_its_measured_accuracy(l, re, rstar):
    # A single sweep over the kink where rho sqrt(1 - x^2) = u converges slowly.
    reference = profile_weighted_mean(l, re, rstar, limb_darkening)
    assert relative(disk_route([l], re, rstar)[0], reference) < 1e-4


def test_disk_route_formula_from_its_parts():
    # A = pi (0.4 m + 0.6 J) / F with J the limb integral; at l = 3, rho = 0.1
    # the integrand is smooth, so J from mpmath checks the grouping.
    l, re, rstar = 3.0, 1.0, 0.1
    rho = rstar / re
    u = l * rho
    j = mp.quad(lambda x: (1 - x * x) * uniform_disk(u, rho * mp.sqrt(1 - x * x)), [0, 1])
    m = uniform_disk(u, rho)
    expected = mp.pi * (mp.mpf("0.4") * m + mp.mpf("0.6") * j) / (mp.mpf("0.8") * mp.pi)
    assert relative(disk_route([l], re, rstar)[0], expected) < 1e-13


@pytest.mark.parametrize("l", [1e3, 1e4])
def test_both_routes_approach_the_point_source_far_away(l):
    # The finite-source correction is about (rho/u)^2 (2/u^4) relative: below 1e-9 here.
    rho = 0.01
    expected = point_source(l * rho)
    for route in (disk_route, ring_route):
        assert relative(route([l], 1.0, rho)[0], expected) < 1e-8


def test_order_length_and_repeats():
    l = [2.0, 0.5, 2.0, 1.5]
    for route in (disk_route, ring_route):
        values = route(l, 1.0, 0.1)
        assert len(values) == 4 and values[0] == values[2]
        assert values == [route([x], 1.0, 0.1)[0] for x in l]
        assert route([], 1.0, 0.1) == []


def test_degenerate_inputs_follow_the_arithmetic():
    # rstar = 0: the disk route's whole-disk term is infinite, the ring route's
    # rings all fail, which count as nothing.
    assert disk_route([0.5, 2.0], 1.0, 0.0) == [math.inf, math.inf]
    assert ring_route([0.5, 2.0], 1.0, 0.0) == [0.0, 0.0]
    assert math.isnan(disk_route([math.nan], 1.0, 0.1)[0])
    assert ring_route([math.nan], 1.0, 0.1) == [0.0]
    values = disk_route([0.5, 2.0], 0.0, 1.0)
    assert len(values) == 2


# The lens at and next to the source centre: the rings within 1e-5 of it used
# to take the logarithmic form, 4.2 times too large at l = 1e-8.
@pytest.mark.parametrize("l", [0.0, 1e-12, 1e-10, 1e-8, 1e-5])
def test_ring_route_with_the_lens_at_the_centre(l):
    reference = profile_weighted_mean(l, 1.0, 0.1, limb_darkening)
    assert relative(ring_route([l], 1.0, 0.1)[0], reference) < 1e-11
