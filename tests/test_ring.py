"""The ring magnification against the mean over the ring, at 40 digits."""

import math

import pytest

import tovimera
from reference import relative, ring_closed_form, ring_mean, ring_near_rim

ring = tovimera.heyrovsky_magnification


def ulps_away(x, count):
    direction = math.inf if count > 0 else -math.inf
    for _ in range(abs(count)):
        x = math.nextafter(x, direction)
    return x


@pytest.mark.parametrize(
    "l, r, re, rstar",
    [
        (0.5, 0.7, 1.0, 1.0),
        (0.3, 1.0, 1.0, 0.1),
        (1.5, 1.0, 1.0, 0.1),
        (3.0, 0.2, 1.0, 1.0),
        (0.01, 0.9, 1.0, 0.01),
        (20.0, 0.5, 1.0, 0.05),
        (1.0, 0.999, 1.0, 0.001),  # 1 - m = 2.5e-7: K(m) from the complement
        (0.9, 1.0, 10.0, 1.0),
        (100.0, 1.0, 1.0, 1.0),
    ],
)
def test_general_branch_is_the_mean_over_the_ring(l, r, re, rstar):
    assert relative(ring(l, r, re, rstar), ring_mean(l, r, re, rstar)) < 1e-13


# Inside |r - l| < 1e-5 the closed form is returned wherever it is finite.
@pytest.mark.parametrize(
    "l, r, re, rstar",
    [
        (0.5, 0.5 + 3e-6, 1.0, 1.0),
        (1.0, 1.0 - 9e-6, 1.0, 0.1),
        (0.2, 0.2 - 1e-7, 1.0, 0.01),
        (3.0, 3.0 + 5e-6, 2.0, 1.0),
        (0.5, ulps_away(0.5, 2), 1.0, 1.0),
        (1.0, ulps_away(1.0, -1), 1.0, 0.001),
        (1e4, 1e4 + 1e-6, 1.0, 1.0),  # n would round to 1 from l and r
    ],
)
def test_near_the_ring_is_the_mean_over_the_ring(l, r, re, rstar):
    assert relative(ring(l, r, re, rstar), ring_mean(l, r, re, rstar)) < 1e-13


@pytest.mark.parametrize("l", [1e-3, 0.5, 1.0, 3.0, 100.0])
@pytest.mark.parametrize("offset", [-8, -3, -1, 1, 3, 8, 64, -1e-9, 1e-7, -3e-6, 9.9e-6])
def test_from_a_few_ulps_to_the_band_edge(l, offset):
    # Integer offsets count ulps of l; the others are r - l.
    r = ulps_away(l, offset) if isinstance(offset, int) else l + offset
    assert 0 < abs(r - l) < 1e-5
    assert relative(ring(l, r, 1.0, 0.1), ring_closed_form(l, r, 1.0, 0.1)) < 1e-13


@pytest.mark.parametrize("l, r", [(1e-5, 2e-5), (2e-5, 1e-5), (0.5, 0.5 + 1.000001e-5), (3.0, 3.0 - 1.000001e-5)])
def test_both_sides_of_the_band_edge(l, r):
    assert abs(r - l) >= 1e-5
    inside = l + (r - l) * 0.99
    assert abs(inside - l) < 1e-5
    for separation in (r, inside):
        assert relative(ring(l, separation, 1.0, 1.0), ring_mean(l, separation, 1.0, 1.0)) < 1e-13


# The lens at and near the source centre, with rings inside and outside 1e-5 of it.
@pytest.mark.parametrize(
    "l, r",
    [
        (0.0, 5e-6), (0.0, 1e-12), (0.0, 0.3),
        (1e-12, 5e-6), (1e-12, 2e-12), (1e-12, 0.7),
        (1e-8, 5e-6), (1e-8, ulps_away(1e-8, 3)), (1e-8, 2e-5), (1e-8, 0.4),
        (1e-5, 5e-6), (1e-5, 1.5e-5), (1e-5, 3e-5), (1e-5, 0.9),
    ],
)
@pytest.mark.parametrize("re, rstar", [(1.0, 1.0), (1.0, 0.01)])
def test_lens_near_the_centre(l, r, re, rstar):
    assert relative(ring(l, r, re, rstar), ring_mean(l, r, re, rstar)) < 1e-13


@pytest.mark.parametrize("l", [0.5, 1e-8, 1e4])
def test_on_the_ring_the_magnification_is_infinite(l):
    assert ring(l, l, 1.0, 1.0) == math.inf


@pytest.mark.parametrize("r, q", [(0.5, 1.0), (1.0, 0.1), (0.3, 5.0), (5e-6, 1.0)])
def test_lens_at_the_centre_gives_the_point_source_value(r, q):
    expected = (2 * q * q + r * r) / (r * math.sqrt(4 * q * q + r * r))
    assert ring(0.0, r, q, 1.0) == pytest.approx(expected, rel=4e-16)


def test_no_lens_gives_no_magnification():
    assert ring(0.3, 0.8, 0.0, 1.0) == pytest.approx(1.0, rel=1e-15)


@pytest.mark.parametrize(
    "args, message",
    [
        ((0.3, 0.8, 1.0, 0.0), "ellipk: Arguments cannot be NAN."),
        ((math.nan, 0.8, 1.0, 1.0), "ellipk: Arguments cannot be NAN."),
        ((0.3, math.nan, 1.0, 1.0), "ellipk: Arguments cannot be NAN."),
        ((0.3, 0.8, math.nan, 1.0), "ellipk: Arguments cannot be NAN."),
        ((0.3, 0.8, 1.0, math.nan), "ellipk: Arguments cannot be NAN."),
        ((-0.3, 0.8, 1.0, 1.0), "ellipk: Arguments cannot be NAN."),
        ((0.3, -0.8, 1.0, 1.0), "ellipk: Arguments cannot be NAN."),
        ((10000.0, 10000.0 + 2e-5, 1.0, 1.0), "ellippi: n cannot be 1."),
    ],
)
def test_elliptic_failures_raise_runtime_error(args, message):
    with pytest.raises(RuntimeError) as info:
        ring(*args)
    assert type(info.value) is RuntimeError and info.value.args == (message,)


# Inside the band nothing raises: where the closed form is not finite the old
# logarithmic form is returned, whatever it gives.
@pytest.mark.parametrize(
    "l, r, re, rstar",
    [
        (0.5, 0.5 + 1e-6, math.nan, 1.0),
        (0.5, 0.5 + 1e-6, 1.0, math.nan),
        (0.5, 0.5 + 1e-6, 1.0, 0.0),  # q = inf: inf / inf in the logarithm
        (-1e-6, 1e-6, 1.0, 1.0),  # l r < 0: the logarithm of a negative number
    ],
)
def test_inside_the_band_failures_give_nan_not_errors(l, r, re, rstar):
    value = ring(l, r, re, rstar)
    assert type(value) is float and math.isnan(value)


def test_inside_the_band_a_ring_across_the_lens_takes_the_logarithmic_form():
    # l r < 0 with l > 0: the closed form is not finite, the logarithm is.
    value = ring(1e-6, -1e-6, 1.0, 1.0)
    assert relative(value, ring_near_rim(1e-6, -1e-6, 1.0, 1.0)) < 1e-14


def test_returns_a_float():
    assert type(ring(0.5, 0.7, 1.0, 1.0)) is float
