"""Limb-darkened magnification by both routes, against 40-digit references."""

import json
import math
import pathlib

import mpmath as mp
import pytest

import tovimera
from reference import limb_darkening, point_source, profile_weighted_mean, relative, uniform_disk
from reference_integrated import limb_darkened_mean, literal_factor

# 34-digit means of the law over a grid of l and rho, written by
# tests/reference/make_integrated_table.py (two formulations, agreeing to 1e-20).
TABLE = json.loads((pathlib.Path(__file__).parent / "reference" / "integrated_reference.json").read_text())
LIMB_GRID = [pytest.param(e["l"], e["rho"], mp.mpf(e["rings"]), id=f"l={e['l']!r}-rho={e['rho']!r}")
             for e in TABLE["limb_darkened"]]

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


@pytest.mark.parametrize("l, rho, mean", LIMB_GRID)
def test_disk_route_is_the_limb_darkened_mean_through_the_limb(l, rho, mean):
    # Split where the nested disk's rim meets the lens, the route is exact
    # everywhere. It divides by a flux literal 1.6e-14 below 0.8 pi: that
    # offset is part of the expected value, not of the tolerance.
    assert relative(disk_route([l], 1.0, rho)[0], mean * literal_factor()) < 1e-11


@pytest.mark.parametrize("l, rho", [p.values[:2] for p in LIMB_GRID], ids=[p.id for p in LIMB_GRID])
def test_both_routes_agree_through_the_limb(l, rho):
    # Both carry the same literal, so they agree without it.
    assert relative(disk_route([l], 1.0, rho)[0], ring_route([l], 1.0, rho)[0]) < 1e-11


FAR_GRID = [p for p in LIMB_GRID if p.values[0] > 20.0]


@pytest.mark.parametrize("l, rho, mean", FAR_GRID, ids=[p.id for p in FAR_GRID])
@pytest.mark.parametrize("route", [disk_route, ring_route], ids=["disks", "rings"])
def test_far_from_the_lens_both_routes_are_exact_to_rounding(route, l, rho, mean):
    # Beyond 20 source radii the law's moment series replaces the integrals;
    # it keeps the flux literal, so the two sides meet at the switch.
    assert relative(route([l], 1.0, rho)[0], mean * literal_factor()) < 1e-15


@pytest.mark.parametrize("rho", [1e-4, 0.01, 1.0, 10.0])
@pytest.mark.parametrize("route", [disk_route, ring_route], ids=["disks", "rings"])
def test_no_step_where_the_series_takes_over(route, rho):
    below, above = route([20.0, math.nextafter(20.0, 21.0)], 1.0, rho)
    # Over one ulp of l the magnification falls by far less than the step
    # allowed: the uniform disk's closed-form error just below its own switch.
    assert abs(above / below - 1) < 1e-13


def test_cached_means_are_the_reference_evaluated_now():
    entry = next(e for e in TABLE["limb_darkened"] if e["l"] == 3.0 and e["rho"] == 1.0)
    assert relative(mp.mpf(entry["rings"]), limb_darkened_mean(3.0, 1.0)) < 1e-30


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
    # rstar = 0: the disk route's whole-disk term is infinite.
    assert disk_route([0.5, 2.0], 1.0, 0.0) == [math.inf, math.inf]
    assert math.isnan(disk_route([math.nan], 1.0, 0.1)[0])
    values = disk_route([0.5, 2.0], 0.0, 1.0)
    assert len(values) == 2


def ring_flux_map(l, re, rstar):
    return tovimera.integrated_flux_map_heyrovsky_magnification(l, re, rstar, [0.0, 0.5, 1.0], [1.0, 0.8, 0.3])


# Where every ring fails (no source radius, a separation that is no distance)
# no quadrature node is finite; the empty sum of 0 would pose as a
# magnification, which is never below 1.
@pytest.mark.parametrize("route", [ring_route, ring_flux_map], ids=["ring", "ring_flux_map"])
@pytest.mark.parametrize("l", [math.nan, -0.5, -3.0])
def test_a_separation_without_any_finite_ring_gives_nan(route, l):
    values = route([0.5, l, 2.0], 1.0, 0.1)
    assert math.isnan(values[1])
    assert values[0::2] == route([0.5, 2.0], 1.0, 0.1) and min(values[0::2]) > 1.0


@pytest.mark.parametrize("route", [ring_route, ring_flux_map], ids=["ring", "ring_flux_map"])
def test_a_source_without_radius_gives_nan_on_the_ring_routes(route):
    assert all(math.isnan(v) for v in route([0.0, 0.5, 2.0], 1.0, 0.0))


# The lens at and next to the source centre: the rings within 1e-5 of it used
# to take the logarithmic form, 4.2 times too large at l = 1e-8.
@pytest.mark.parametrize("l", [0.0, 1e-12, 1e-10, 1e-8, 1e-5])
def test_ring_route_with_the_lens_at_the_centre(l):
    reference = profile_weighted_mean(l, 1.0, 0.1, limb_darkening)
    assert relative(ring_route([l], 1.0, 0.1)[0], reference) < 1e-11
