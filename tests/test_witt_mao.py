"""Uniform-disk sequences and grids."""

import math
import struct

import pytest

import tovimera
from reference import point_source, relative, rim_value, uniform_disk

disk = tovimera.witt_mao_magnification
multi = tovimera.multi_witt_mao_magnification

QUIET_NAN = struct.pack("<Q", 0x7FF8000000000000)
RHOS = (1e-6, 1e-4, 1e-2, 1.0, 10.0)
# Within half a source radius of the rim and inside the source the target is
# 1e-13; everywhere else 1e-12.
NEAR_RIM = [1 + side * offset for offset in (0.5, 0.3, *(10.0**-k for k in range(1, 13))) for side in (-1, 1)]
INSIDE = [0.0, 1e-12, 1e-6, 0.1, 0.5, 0.9]
# Around and well beyond the far-from-lens series, which now starts near 20 rho.
OUTSIDE = [1.6, 2.0, 3.0, 5.0, 8.0, 10.0, 12.0, 15.0, 18.0, 19.0, 19.9, 20.0, 20.1, 21.0, 25.0, 30.0, 40.0,
           60.0, 100.0, 300.0, 1e3, 3e3, 1e4, 3e4, 1e5, 1e6, 1e8, 1e12]


def target(u, rho):
    return 1e-13 if u <= 1.5 * rho else 1e-12


def bits(values):
    return [struct.pack("<d", v) for v in values]


@pytest.mark.parametrize(
    "l, re, rstar",
    [(0.5, 1.0, 0.1), (3.0, 2.0, 0.2), (0.0, 1.0, 0.5), (1.2, 1.0, 1.0), (40.0, 1.0, 0.001), (2e4, 1.0, 1e-4)],
)
def test_values_are_the_uniform_disk_magnification(l, re, rstar):
    rho = rstar / re
    u = l * rho
    assert relative(disk([l], re, rstar)[0], uniform_disk(u, rho)) < 1e-12


@pytest.mark.parametrize("rho", RHOS)
@pytest.mark.parametrize("l", NEAR_RIM + INSIDE + OUTSIDE)
def test_accuracy_against_the_closed_form(l, rho):
    u = l * rho  # as the module forms it, so the reference sees the same double
    assert relative(disk([l], 1.0, rho)[0], uniform_disk(u, rho)) < target(u, rho)


@pytest.mark.parametrize("rho", RHOS)
def test_lens_on_the_rim(rho):
    assert relative(disk([1.0], 1.0, rho)[0], rim_value(rho)) < 1e-13


def ulps_away(x, count):
    direction = math.inf if count > 0 else -math.inf
    for _ in range(abs(count)):
        x = math.nextafter(x, direction)
    return x


RIM_SWEEP = sorted({*RHOS, *(10.0 ** (k / 4) for k in range(-24, 5)), 0.3, 3.0, 7.0})


@pytest.mark.parametrize("rho", RIM_SWEEP)
def test_a_few_ulps_from_the_rim(rho):
    # n = 4 u rho / (u + rho)^2 rounds to 1 here; the complements do not.
    ls = [ulps_away(1.0, k) for k in (-4, -3, -2, -1, 1, 2, 3, 4)]
    separations = [l * rho for l in ls]
    assert min(separations) < rho < max(separations)
    for u, value in zip(separations, disk(ls, 1.0, rho)):
        assert not math.isnan(value), u
        assert relative(value, uniform_disk(u, rho)) < 1e-13, u


@pytest.mark.parametrize("rho", RHOS)
def test_value_moves_with_u_up_to_the_rim(rho):
    # 64 ulps from the rim the magnification differs from the rim value by
    # dozens of ulps: no coincidence band may return the rim value there.
    rim = disk([1.0], 1.0, rho)[0]
    for l in (ulps_away(1.0, -64), ulps_away(1.0, 64)):
        gap = relative(uniform_disk(l * rho, rho), rim_value(rho))
        assert gap > 20 * 2.0**-52
        assert disk([l], 1.0, rho)[0] != rim, l


def test_negative_zero_separation_is_the_centre():
    rho = 0.1
    centre = disk([-0.0], 1.0, rho)[0]
    assert centre == disk([0.0], 1.0, rho)[0]
    assert relative(centre, uniform_disk(0.0, rho)) < 1e-13


def test_separations_are_scaled_by_the_ratio_not_the_product():
    # u = l * (rstar / re): for these inputs it differs from (l * rstar) / re by
    # one ulp, which next to the rim moves the magnification by several.
    l, re, rstar = 0.9999999, 3.5, 0.78
    assert (l * rstar) / re != l * (rstar / re)
    rho = rstar / re
    assert disk([l], re, rstar) == disk([l], 1.0, rho)
    assert disk([l], re, rstar) != disk([(l * rstar) / re / rho], 1.0, rho)


def test_point_source_branch_and_its_infinities():
    # rho <= 0 takes the point-source formula at u = l * rho, sign included.
    assert relative(disk([2.0], 1.0, -0.5)[0], point_source(-1.0)) < 1e-15
    values = disk([1.0, -2.0, 0.0], 1.0, 0.0)
    assert values[0] == math.inf and values[1] == -math.inf and values[2] == math.inf


NEGATIVE_NAN = struct.unpack("<d", struct.pack("<Q", 0xFFF0000000000123))[0]


@pytest.mark.parametrize(
    "l, re, rstar",
    [
        (-1.0, 1.0, 0.1),  # u < 0
        (-0.999, 1.0, 0.1),  # u < 0 next to the mirrored rim
        (-1e-300, 1.0, 0.1),
        (-5e-324, 1.0, 1.0),
        (-1e6, 1.0, 1e-6),  # negative and far from the lens
        (-math.inf, 1.0, 0.1),
        (math.nan, 1.0, 0.1),
        (NEGATIVE_NAN, 1.0, 0.1),
        (1.0, math.nan, 0.1),
        (1.0, 1.0, math.nan),
        (math.inf, 1.0, 0.1),  # u = +inf
        (1e300, 1.0, 1e10),  # u overflows to +inf
        (1.0, 0.0, 0.1),  # re = 0: rho = +inf
        (0.0, 0.0, 0.1),  # and u = 0 * inf
    ],
)
def test_nan_results_are_the_quiet_nan(l, re, rstar):
    assert struct.pack("<d", disk([l], re, rstar)[0]) == QUIET_NAN


EXTREME_RHOS = [10.0**e for e in (-300, -200, -100, -30, -10, -6, 0, 1, 6, 30, 100, 200, 300)]
EXTREME_LS = [0.0, 1e-300, 1e-100, 1e-30, 1e-6, 0.5, 1 - 1e-8, 1.0, 1 + 1e-8, 2.0, 30.0, 1e6, 1e30, 1e100, 1e300]


@pytest.mark.parametrize("rho", EXTREME_RHOS)
def test_extreme_magnitudes_are_finite_and_accurate(rho):
    ls = [l for l in EXTREME_LS if l == 0 or 1e-300 <= l * rho <= 1e300]
    misses = []
    for l, value in zip(ls, disk(ls, 1.0, rho)):
        u = l * rho
        if not (math.isfinite(value) and relative(value, uniform_disk(u, rho)) < target(u, rho)):
            misses.append((u, value))
    assert misses == [], f"rho = {rho!r}: (u, value) {misses}"


def test_order_for_lengths_that_are_not_powers_of_two():
    l = [0.013 * i for i in range(1, 1000)]
    values = disk(l, 1.0, 0.1)
    assert values == [disk([x], 1.0, 0.1)[0] for x in l]


def test_multi_rows_are_single_calls_in_pair_order():
    l = [0.0, 0.5, 1.0, 2.5, -1.0]
    re = [1.0, 2.0, 0.0]
    rstar = [0.1, 0.0, 1.0]
    rows = multi(l, re, rstar)
    assert len(rows) == 9
    for j, a in enumerate(re):
        for k, b in enumerate(rstar):
            assert bits(rows[j * len(rstar) + k]) == bits(disk(l, a, b))


def test_multi_rows_next_to_the_rim_are_single_calls():
    l = [1.0, 1 - 1e-12, 1 + 1e-12, ulps_away(1.0, -1), ulps_away(1.0, 1), 1 - 1e-5, 1 + 1e-3, 0.5, -0.0, 25.0]
    re = [1.0, 3.0, 0.5]
    rstar = [1e-6, 0.01, 1.0, 10.0]
    rows = multi(l, re, rstar)
    for j, a in enumerate(re):
        for k, b in enumerate(rstar):
            assert bits(rows[j * len(rstar) + k]) == bits(disk(l, a, b)), (a, b)


def test_multi_empty_axes():
    assert multi([1.0], [], [1.0]) == []
    assert multi([1.0], [1.0], []) == []
    assert multi([], [1.0, 2.0], [0.1, 0.2, 0.3]) == [[]] * 6


@pytest.mark.parametrize("position, name", [(1, "re"), (2, "rstar")])
def test_multi_needs_sequences_for_the_sizes(position, name):
    args = [[1.0], [1.0], [1.0]]
    args[position] = 1.0
    with pytest.raises(TypeError) as info:
        multi(*args)
    assert str(info.value) == "'float' object is not an instance of 'Sequence'"
    assert info.value.__notes__ == [f"while processing '{name}'"]
