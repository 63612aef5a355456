"""The ring magnification against the mean over the ring, at 40 digits."""

import math

import mpmath as mp
import pytest

import tovimera
from reference import relative, ring_mean, ring_near_rim

ring = tovimera.heyrovsky_magnification


@pytest.mark.parametrize(
    "l, r, re, rstar",
    [
        (0.5, 0.7, 1.0, 1.0),
        (0.3, 1.0, 1.0, 0.1),
        (1.5, 1.0, 1.0, 0.1),
        (3.0, 0.2, 1.0, 1.0),
        (0.01, 0.9, 1.0, 0.01),
        (20.0, 0.5, 1.0, 0.05),
        (1.0, 0.999, 1.0, 0.001),
        (0.9, 1.0, 10.0, 1.0),
        (100.0, 1.0, 1.0, 1.0),
    ],
)
def test_general_branch_is_the_mean_over_the_ring(l, r, re, rstar):
    # Near the ring m approaches 1 and K(m) amplifies the rounding of m by 1/(1 - m).
    q = mp.mpf(re) / rstar
    m = 16 * l * r * q * q / ((l + r) ** 2 * (4 * q * q + (r - l) ** 2))
    tolerance = 2e-14 + 2.2e-16 / (1 - m)
    assert relative(ring(l, r, re, rstar), ring_mean(l, r, re, rstar)) < tolerance


@pytest.mark.parametrize(
    "l, r, re, rstar",
    [(0.5, 0.5 + 3e-6, 1.0, 1.0), (1.0, 1.0 - 9e-6, 1.0, 0.1), (0.2, 0.2 - 1e-7, 1.0, 0.01), (3.0, 3.0 + 5e-6, 2.0, 1.0)],
)
def test_near_rim_branch_evaluates_the_logarithmic_form(l, r, re, rstar):
    value = ring(l, r, re, rstar)
    assert relative(value, ring_near_rim(l, r, re, rstar)) < 1e-14
    # The logarithmic form is an asymptote of the true ring mean.
    assert relative(value, ring_mean(l, r, re, rstar)) < 1e-4


@pytest.mark.parametrize("l, r", [(1e-5, 2e-5), (2e-5, 1e-5)])
def test_branch_boundary_is_strict(l, r):
    # Doubling is exact, so |r - l| is exactly the band's width here.
    assert abs(r - l) == 1e-5
    general = ring(l, r, 1.0, 1.0)
    assert relative(general, ring_mean(l, r, 1.0, 1.0)) < 1e-13
    assert relative(general, ring_near_rim(l, r, 1.0, 1.0)) > 1e-3


def test_on_the_ring_the_magnification_is_infinite():
    assert ring(0.5, 0.5, 1.0, 1.0) == math.inf


@pytest.mark.parametrize("r, q", [(0.5, 1.0), (1.0, 0.1), (0.3, 5.0)])
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
        ((-0.3, 0.8, 1.0, 1.0), "ellipk: Arguments cannot be NAN."),
        ((10000.0, 10000.0 + 2e-5, 1.0, 1.0), "ellippi: n cannot be 1."),
    ],
)
def test_elliptic_failures_raise_runtime_error(args, message):
    with pytest.raises(RuntimeError) as info:
        ring(*args)
    assert type(info.value) is RuntimeError and info.value.args == (message,)


def test_nan_lens_size_inside_the_band_returns_nan():
    assert math.isnan(ring(0.5, 0.5 + 1e-6, math.nan, 1.0))


def test_returns_a_float():
    assert type(ring(0.5, 0.7, 1.0, 1.0)) is float
